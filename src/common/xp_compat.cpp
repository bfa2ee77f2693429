// The threads runtime that the Windows programs link in calls
// GetTickCount64, which Windows XP's kernel32 lacks: a program importing it
// does not even start there. This fills the runtime's import slot itself, so
// the linker takes no such import from kernel32: the first call looks the
// function up and keeps it where Windows has it, or else a 64-bit count
// widened from GetTickCount.
#ifdef _WIN32
#include "common/os_headers.h"
#include "common/xp_compat.h"

#include <atomic>

namespace {

using tick_count_function = ULONGLONG(WINAPI*)();

ULONGLONG WINAPI xp_tick_count64() {
    static std::atomic<std::uint64_t> last{0};
    std::uint64_t previous = last.load();
    for (;;) {
        // Read after `previous` was loaded, so a smaller reading is a wrap.
        const std::uint64_t next = velmora::widened_tick_count(previous, GetTickCount());
        if (last.compare_exchange_weak(previous, next)) return next;
    }
}

ULONGLONG WINAPI first_tick_count64();

}  // namespace

// The import slot's own name: stdcall decoration on 32-bit Windows.
#if defined(__i386__)
#define VELMORA_TICK_COUNT64_SLOT "__imp__GetTickCount64@0"
#else
#define VELMORA_TICK_COUNT64_SLOT "__imp_GetTickCount64"
#endif
extern "C" {
extern tick_count_function tick_count64_slot __asm__(VELMORA_TICK_COUNT64_SLOT);
tick_count_function tick_count64_slot = first_tick_count64;
}

namespace {

ULONGLONG WINAPI first_tick_count64() {
    auto found = reinterpret_cast<tick_count_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
    // Threads that race here all store the same pointer.
    tick_count64_slot = found ? found : xp_tick_count64;
    return tick_count64_slot();
}

}  // namespace
#endif
