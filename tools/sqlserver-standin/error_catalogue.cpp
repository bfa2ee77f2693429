#include "sqlserver-standin/error_catalogue.h"

namespace standin {

std::string error_text(const error_def& d, std::initializer_list<std::string_view> args) {
    std::string out;
    for (const char* p = d.text; *p; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            std::size_t i = static_cast<std::size_t>(p[1] - '1');
            if (i < args.size()) out += *(args.begin() + i);
            ++p;
            continue;
        }
        out += *p;
    }
    return out;
}

server_message make_message(const error_def& d, std::initializer_list<std::string_view> args) {
    server_message m;
    m.number = d.number;
    m.state = d.state;
    m.severity = d.severity;
    m.text = error_text(d, args);
    return m;
}

namespace detail {

tsql_error make_error(const error_def& d, std::initializer_list<std::string_view> args, bool abort_batch) {
    tsql_error e{d.number, d.state, d.severity, error_text(d, args)};
    e.abort_batch = abort_batch;
    return e;
}

tsql_error make_error(const server_message& m) { return tsql_error{m.number, m.state, m.severity, m.text}; }

}  // namespace detail

}  // namespace standin
