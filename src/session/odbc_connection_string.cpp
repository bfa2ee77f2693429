#include "session/odbc_connection_string.h"

namespace velmora {

namespace {

std::string_view trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    auto b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool is_local_alias(std::string_view host) {
    if (host == ".") return true;
    if (host.size() != 7) return false;
    std::string lower;
    for (char c : host) lower += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return lower == "(local)";
}

}  // namespace

server_address parse_server_name(std::string_view server_name) {
    server_address out;
    std::string_view rest = trim(server_name);
    // A "tcp:" prefix is what the Microsoft clients accept to force TCP.
    if (rest.size() > 4 && (rest.substr(0, 4) == "tcp:" || rest.substr(0, 4) == "TCP:")) rest.remove_prefix(4);

    if (auto comma = rest.find(','); comma != std::string_view::npos) {
        out.port = std::string(trim(rest.substr(comma + 1)));
        rest = trim(rest.substr(0, comma));
    }
    if (auto slash = rest.find('\\'); slash != std::string_view::npos) {
        out.instance = std::string(trim(rest.substr(slash + 1)));
        rest = trim(rest.substr(0, slash));
    }
    out.host = is_local_alias(rest) ? "127.0.0.1" : std::string(rest);
    return out;
}

std::string odbc_quote_value(std::string_view value) {
    bool needs_braces = value.find_first_of(";{}=") != std::string_view::npos ||
                        (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!needs_braces) return std::string(value);
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') out += '}';
    }
    out += '}';
    return out;
}

std::string freetds_connection_string(const server_address& where, std::string_view database,
                                      std::string_view login_id, std::string_view password) {
    std::string s = "DRIVER=FreeTDS;Server=";
    if (!where.instance.empty() && where.port.empty()) {
        s += odbc_quote_value(where.host + "\\" + where.instance);
    } else {
        // FreeTDS does not assume the default port: a bare host fails.
        s += odbc_quote_value(where.host);
        s += ";Port=";
        s += odbc_quote_value(where.port.empty() ? std::string("1433") : where.port);
    }
    if (!database.empty()) {
        s += ";Database=";
        s += odbc_quote_value(database);
    }
    s += ";UID=";
    s += odbc_quote_value(login_id);
    s += ";PWD=";
    s += odbc_quote_value(password);
    s += ";ClientCharset=UTF-8";
    return s;
}

}  // namespace velmora
