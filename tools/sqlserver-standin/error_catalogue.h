#pragma once
// The errors the engine raises, as SQL Server reports them.

#include <string>

namespace standin::detail {

struct tsql_error {
    int number;
    int state;
    int severity;
    std::string text;
    bool abort_batch = false;
    bool rollback_tran = false;
    bool terminated = false;  // followed by "The statement has been terminated."
};

inline tsql_error err(int number, int severity, int state, std::string text) {
    return tsql_error{number, state, severity, std::move(text)};
}

inline tsql_error compile_err(int number, int severity, int state, std::string text) {
    auto e = err(number, severity, state, std::move(text));
    e.abort_batch = true;
    return e;
}

}  // namespace standin::detail
