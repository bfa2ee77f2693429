// Reads the version resource back out of each shipped program, as Explorer's
// Details tab does, and checks that none carries a manifest (no elevation
// request, no common controls 6):
//
//   version_resource_check VERSION PRODUCT (PROGRAM.exe DESCRIPTION)...
//
// Prints one line per program; exit status 1 when any check failed.
#include "common/os_headers.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring string_value(const std::vector<char>& block, const wchar_t* name) {
    std::wstring path = L"\\StringFileInfo\\080404B0\\";
    path += name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value));
}

BOOL CALLBACK count_manifest(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Returns the failures found in PROGRAM.
std::vector<std::string> check(const std::wstring& program, const std::wstring& version, const std::wstring& product,
                               const std::wstring& description) {
    std::vector<std::string> failures;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    if (size == 0) return {"no version resource (error " + std::to_string(GetLastError()) + ")"};
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(program.c_str(), 0, size, block.data())) return {"the version resource cannot be read"};

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    unsigned parts[4] = {0, 0, 0, 0};
    swscanf(version.c_str(), L"%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    const DWORD ms = (parts[0] << 16) | parts[1], ls = (parts[2] << 16) | parts[3];
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed)
        failures.push_back("no fixed file information");
    else if (fixed->dwFileVersionMS != ms || fixed->dwFileVersionLS != ls || fixed->dwProductVersionMS != ms ||
             fixed->dwProductVersionLS != ls)
        failures.push_back("the fixed file and product version are not " + utf8(version));

    const std::wstring file = program.substr(program.find_last_of(L"/\\") + 1);
    const struct {
        const wchar_t* name;
        std::wstring expected;
    } strings[] = {{L"FileDescription", description}, {L"FileVersion", version},    {L"ProductName", product},
                   {L"ProductVersion", version},     {L"OriginalFilename", file}};
    for (const auto& s : strings) {
        const std::wstring value = string_value(block, s.name);
        if (value != s.expected)
            failures.push_back(utf8(s.name) + " is \"" + utf8(value) + "\", not \"" + utf8(s.expected) + "\"");
    }

    HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!image) {
        failures.push_back("cannot be opened for its resources");
    } else {
        int manifests = 0;
        EnumResourceNamesW(image, MAKEINTRESOURCEW(24) /* RT_MANIFEST */, count_manifest,
                           reinterpret_cast<LONG_PTR>(&manifests));
        if (manifests) failures.push_back("carries a manifest");
        FreeLibrary(image);
    }
    return failures;
}

}  // namespace

// wmain: the descriptions arrive as UTF-16, not through the ANSI code page.
int wmain(int argc, wchar_t** argv) {
    if (argc < 5 || (argc - 3) % 2) {
        std::fputs("usage: version_resource_check VERSION PRODUCT (PROGRAM.exe DESCRIPTION)...\n", stderr);
        return 2;
    }
    int status = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        const auto failures = check(argv[i], argv[1], argv[2], argv[i + 1]);
        std::printf("%s: %s\n", utf8(argv[i]).c_str(),
                    failures.empty() ? "version resource as expected, no manifest" : "WRONG");
        for (const auto& f : failures) std::printf("  %s\n", f.c_str());
        if (!failures.empty()) status = 1;
    }
    return status;
}
