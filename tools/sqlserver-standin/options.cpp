#include "sqlserver-standin/options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "sqlserver-standin/server_version.h"

namespace standin {

namespace {

bool parse_int(const std::string& s, long lo, long hi, int& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

std::string usage_text() {
    return "usage: sqlserver-standin [options]\n"
           "A small TDS 7.1-7.4 server that stands in for SQL Server in tests and demos.\n"
           "\n"
           "  --port N              port to listen on (0: any free port; default 1433)\n"
           "  --bind ADDR           address to listen on (default 127.0.0.1)\n"
           "  --fixture FILE        T-SQL run at start-up as sa, GO lines separate batches\n"
           "                        (repeatable, run in order)\n"
           "  --login NAME:PASSWORD accepted login (repeatable; default velmora:quorbin)\n"
           "  --journal FILE        append one JSON line per request received\n"
           "  --dump FILE           on SIGTERM/SIGINT write the whole state as JSON, exit 0\n"
           "  --fail REGEX=NUMBER:MESSAGE\n"
           "                        a batch whose text matches REGEX fails with that error\n"
           "                        instead of running (repeatable)\n"
           "  --drop-after N        close each connection abruptly when its Nth batch arrives\n"
           "  --drop-at N           close each connection abruptly when its Nth request after the\n"
           "                        login arrives (batches, procedure calls, transaction requests)\n"
           "  --silent-at N         from its Nth request after the login, stop answering a\n"
           "                        connection for good (0: not even its first packet)\n"
           "  --delay-ms N          delay every reply by N milliseconds\n"
           "  --backup-dir DIR      BACKUP's folder for a file named without one (default: one\n"
           "                        inside the stand-in's temporary storage)\n"
           "  --version V           the SQL Server to play: 2000, 2005, 2008R2, 2012, 2014,\n"
           "                        2016, 2017, 2019 or 2022 (default 2019)\n"
           "  --help                show this text\n"
           "\n"
           "When ready it prints \"listening on ADDR:PORT\" as its first line on stdout.\n";
}

bool parse_fail_rule(const std::string& text, fail_rule& rule, std::string& error) {
    // The regex may itself hold '=': split at the first '=' that is followed
    // by a number and ':'.
    for (std::size_t eq = text.find('='); eq != std::string::npos; eq = text.find('=', eq + 1)) {
        std::size_t p = eq + 1;
        if (p < text.size() && text[p] == '-') ++p;
        std::size_t digits_start = p;
        while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) ++p;
        if (p == digits_start || p >= text.size() || text[p] != ':') continue;
        int number = 0;
        if (!parse_int(text.substr(eq + 1, p - eq - 1), INT_MIN, INT_MAX, number)) continue;
        rule.pattern = text.substr(0, eq);
        rule.number = number;
        rule.message = text.substr(p + 1);
        if (rule.pattern.empty()) {
            error = "--fail: empty regular expression in '" + text + "'";
            return false;
        }
        try {
            rule.regex = std::regex(rule.pattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            error = "--fail: bad regular expression '" + rule.pattern + "': " + e.what();
            return false;
        }
        return true;
    }
    error = "--fail: expected REGEX=NUMBER:MESSAGE, got '" + text + "'";
    return false;
}

parse_result parse_command_line(const std::vector<std::string>& args) {
    parse_result r;
    server_options& o = r.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            r.help = true;
            return r;
        }
        static const char* const with_value[] = {"--port",  "--bind", "--fixture",    "--login",   "--journal",
                                                 "--dump",  "--fail", "--drop-after", "--delay-ms",
                                                 "--drop-at", "--silent-at", "--backup-dir", "--version"};
        std::string name = a, value;
        bool has_inline = false;
        if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            has_inline = true;
        }
        bool known = false;
        for (const char* k : with_value) known = known || name == k;
        if (!known) {
            r.error = "unknown option '" + a + "'";
            return r;
        }
        if (!has_inline) {
            if (i + 1 >= args.size()) {
                r.error = "option " + name + " needs a value";
                return r;
            }
            value = args[++i];
        }
        if (name == "--port") {
            if (!parse_int(value, 0, 65535, o.port)) {
                r.error = "--port: expected a number from 0 to 65535, got '" + value + "'";
                return r;
            }
        } else if (name == "--bind") {
            o.bind = value;
        } else if (name == "--fixture") {
            o.fixtures.push_back(value);
        } else if (name == "--login") {
            auto colon = value.find(':');
            if (colon == std::string::npos || colon == 0) {
                r.error = "--login: expected NAME:PASSWORD, got '" + value + "'";
                return r;
            }
            o.logins.push_back({value.substr(0, colon), value.substr(colon + 1)});
        } else if (name == "--journal") {
            o.journal_path = value;
        } else if (name == "--dump") {
            o.dump_path = value;
        } else if (name == "--fail") {
            fail_rule rule;
            if (!parse_fail_rule(value, rule, r.error)) return r;
            o.fail_rules.push_back(std::move(rule));
        } else if (name == "--drop-after") {
            if (!parse_int(value, 1, INT_MAX, o.drop_after)) {
                r.error = "--drop-after: expected a positive number, got '" + value + "'";
                return r;
            }
        } else if (name == "--drop-at") {
            if (!parse_int(value, 1, INT_MAX, o.drop_at)) {
                r.error = "--drop-at: expected a positive number, got '" + value + "'";
                return r;
            }
        } else if (name == "--silent-at") {
            if (!parse_int(value, 0, INT_MAX, o.silent_at)) {
                r.error = "--silent-at: expected a number from 0 up, got '" + value + "'";
                return r;
            }
        } else if (name == "--backup-dir") {
            o.backup_dir = value;
        } else if (name == "--version") {
            o.version = find_version(value);
            if (!o.version) {
                std::string names;
                for (const auto& v : all_versions()) names += std::string(names.empty() ? "" : ", ") + v.name;
                r.error = "--version: expected one of " + names + ", got '" + value + "'";
                return r;
            }
        } else if (name == "--delay-ms") {
            if (!parse_int(value, 0, 600000, o.delay_ms)) {
                r.error = "--delay-ms: expected a number of milliseconds, got '" + value + "'";
                return r;
            }
        }
    }
    if (o.logins.empty()) o.logins.push_back({"velmora", "quorbin"});
    return r;
}

}  // namespace standin
