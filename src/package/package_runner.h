#pragma once
// The "put" run: re-creates every procedure and trigger of db.dat on the session.

#include <cstddef>
#include <cstdint>
#include <string>

#include "sql_executor.h"
#include "ui_services.h"

namespace velmora {

struct run_outcome {
    enum class ending { package_missing, package_damaged, create_failed, completed } how =
        ending::completed;
    int executed = 0, skipped = 0, refused = 0;
};

// Reads run_dir + "db.dat", validates it whole, and drops/re-creates each script
// meant for the session's driver, with the operator's messages. Never commits
// or rolls back: the session's commit mode applies.
run_outcome run_package(const std::string& run_dir, sql_executor& session, ui_services& ui);

// Bytes the runner asks for per read call.
inline constexpr std::size_t read_piece_size = 32765;

// Read call count for a file of the given length (pieces of 32,765 bytes).
std::size_t read_call_count(std::uint64_t file_length);

}  // namespace velmora
