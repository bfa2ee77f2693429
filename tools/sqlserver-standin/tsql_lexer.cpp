// Tokens and names: the tokenizer, reserved words, case folding and the
// splitting of object names written in strings.

#include "sqlserver-standin/tsql_parser.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace standin::tsql {

std::string to_upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
std::string to_lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool is_reserved(const std::string& u) {
    static const std::unordered_set<std::string> words = {
        "ADD", "ALL", "ALTER", "AND", "ANY", "AS", "ASC", "AUTHORIZATION", "BACKUP", "BEGIN",
        "BETWEEN", "BREAK", "BROWSE", "BULK", "BY", "CASCADE", "CASE", "CHECK", "CHECKPOINT",
        "CLOSE", "CLUSTERED", "COALESCE", "COLLATE", "COLUMN", "COMMIT", "COMPUTE",
        "CONSTRAINT", "CONTAINS", "CONTAINSTABLE", "CONTINUE", "CONVERT", "CREATE", "CROSS",
        "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER",
        "CURSOR", "DATABASE", "DBCC", "DEALLOCATE", "DECLARE", "DEFAULT", "DELETE", "DENY",
        "DESC", "DISK", "DISTINCT", "DISTRIBUTED", "DOUBLE", "DROP", "DUMP", "ELSE", "END",
        "ERRLVL", "ESCAPE", "EXCEPT", "EXEC", "EXECUTE", "EXISTS", "EXIT", "EXTERNAL", "FETCH",
        "FILE", "FILLFACTOR", "FOR", "FOREIGN", "FREETEXT", "FREETEXTTABLE", "FROM", "FULL",
        "FUNCTION", "GOTO", "GRANT", "GROUP", "HAVING", "HOLDLOCK", "IDENTITY",
        "IDENTITY_INSERT", "IDENTITYCOL", "IF", "IN", "INDEX", "INNER", "INSERT", "INTERSECT",
        "INTO", "IS", "JOIN", "KEY", "KILL", "LEFT", "LIKE", "LINENO", "LOAD", "MERGE",
        "NATIONAL", "NOCHECK", "NONCLUSTERED", "NOT", "NULL", "NULLIF", "OF", "OFF", "OFFSETS",
        "ON", "OPEN", "OPENDATASOURCE", "OPENQUERY", "OPENROWSET", "OPENXML", "OPTION", "OR",
        "ORDER", "OUTER", "OVER", "PERCENT", "PIVOT", "PLAN", "PRECISION", "PRIMARY", "PRINT",
        "PROC", "PROCEDURE", "PUBLIC", "RAISERROR", "READ", "READTEXT", "RECONFIGURE",
        "REFERENCES", "REPLICATION", "RESTORE", "RESTRICT", "RETURN", "REVERT", "REVOKE",
        "RIGHT", "ROLLBACK", "ROWCOUNT", "ROWGUIDCOL", "RULE", "SAVE", "SCHEMA", "SELECT",
        "SESSION_USER", "SET", "SETUSER", "SHUTDOWN", "SOME", "STATISTICS", "SYSTEM_USER",
        "TABLE", "TABLESAMPLE", "TEXTSIZE", "THEN", "TO", "TOP", "TRAN", "TRANSACTION",
        "TRIGGER", "TRUNCATE", "TSEQUAL", "UNION", "UNIQUE", "UNPIVOT", "UPDATE", "UPDATETEXT",
        "USE", "USER", "VALUES", "VARYING", "VIEW", "WAITFOR", "WHEN", "WHERE", "WHILE",
        "WITH", "WRITETEXT"};
    return words.count(u) != 0;
}

// ---------------------------------------------------------------- tokenizer

namespace {

bool ident_start(unsigned char c) { return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80; }
bool ident_char(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '#' || c == '$' || c == '@' || c >= 0x80;
}
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Reads a batch into tokens. Each scan_* looks at the current position and
// either takes what it knows there (a blank, a comment, a token) or leaves
// it to the next.
class scanner {
public:
    explicit scanner(const std::string& s) : s_(s), n_(s.size()) {}

    std::vector<token> run() {
        while (i_ < n_) {
            if (scan_blank() || scan_line_comment() || scan_block_comment() || scan_string() ||
                scan_quoted_name() || scan_number() || scan_variable() || scan_word())
                continue;
            scan_operator();
        }
        token e;
        e.kind = tok::end;
        e.begin = e.end = n_;
        e.line = line_;
        out_.push_back(e);
        return std::move(out_);
    }

private:
    const std::string& s_;
    const std::size_t n_;
    std::size_t i_ = 0;
    int line_ = 1;
    std::vector<token> out_;

    bool at(std::size_t k, char c) const { return k < n_ && s_[k] == c; }
    unsigned char current() const { return static_cast<unsigned char>(s_[i_]); }
    std::size_t skip_digits(std::size_t j) const {
        while (j < n_ && is_digit(s_[j])) ++j;
        return j;
    }

    // A token that starts here.
    token start() const {
        token t;
        t.begin = i_;
        t.line = line_;
        return t;
    }
    // Takes a token that ends at `end`, counting the lines it spans.
    void emit(token t, std::size_t end) {
        t.end = end;
        for (std::size_t k = i_; k < end; ++k)
            if (s_[k] == '\n') ++line_;
        out_.push_back(std::move(t));
        i_ = end;
    }

    // Reads from just after an opening delimiter to its closer, where a doubled
    // closer stands for one; returns the position after the closer (or the
    // end when it never comes) and whether it came.
    std::pair<std::size_t, bool> read_delimited(std::size_t j, char closer, std::string& v) const {
        while (j < n_) {
            if (s_[j] == closer) {
                if (at(j + 1, closer)) {
                    v += closer;
                    j += 2;
                    continue;
                }
                return {j + 1, true};
            }
            v += s_[j++];
        }
        return {n_, false};
    }

    bool scan_blank() {
        if (current() == '\n') ++line_;
        else if (!std::isspace(current())) return false;
        ++i_;
        return true;
    }

    bool scan_line_comment() {
        if (!at(i_, '-') || !at(i_ + 1, '-')) return false;
        while (i_ < n_ && s_[i_] != '\n') ++i_;
        return true;
    }

    // Block comments nest in T-SQL. An unterminated one runs to the end and
    // leaves a "/*" token for the parser to report.
    bool scan_block_comment() {
        if (!at(i_, '/') || !at(i_ + 1, '*')) return false;
        int depth = 1;
        std::size_t j = i_ + 2;
        while (j < n_ && depth > 0) {
            if (at(j, '/') && at(j + 1, '*')) { ++depth; j += 2; }
            else if (at(j, '*') && at(j + 1, '/')) { --depth; j += 2; }
            else ++j;
        }
        if (depth == 0) {
            for (std::size_t k = i_; k < j; ++k)
                if (s_[k] == '\n') ++line_;
            i_ = j;
            return true;
        }
        token t = start();
        t.kind = tok::op;
        t.text = "/*";
        emit(std::move(t), n_);
        return true;
    }

    // '...' and N'...'.
    bool scan_string() {
        const bool unicode = (current() == 'N' || current() == 'n') && at(i_ + 1, '\'');
        if (!unicode && current() != '\'') return false;
        token t = start();
        t.unicode = unicode;
        std::string v;
        auto [j, closed] = read_delimited(i_ + (unicode ? 2 : 1), '\'', v);
        if (closed) {
            t.kind = tok::string;
            t.text = std::move(v);
            emit(std::move(t), j);
            return true;
        }
        // SQL Server reports an unclosed quotation mark (105); the parser
        // turns this marker into that error.
        t.kind = tok::op;
        t.text = "'";
        t.upper = std::move(v);
        emit(std::move(t), n_);
        return true;
    }

    // [name] and "name".
    bool scan_quoted_name() {
        if (current() != '[' && current() != '"') return false;
        token t = start();
        t.kind = tok::quoted_ident;
        std::string v;
        std::size_t end = read_delimited(i_ + 1, current() == '[' ? ']' : '"', v).first;
        t.upper = to_upper(v);
        t.text = std::move(v);
        emit(std::move(t), end);
        return true;
    }

    // 12, 0x1F, 1.5, .5, 1e3.
    bool scan_number() {
        if (!is_digit(s_[i_]) && !(current() == '.' && i_ + 1 < n_ && is_digit(s_[i_ + 1]))) return false;
        token t = start();
        t.kind = tok::integer;
        std::size_t j = i_;
        if (current() == '0' && (at(i_ + 1, 'x') || at(i_ + 1, 'X'))) {
            j += 2;
            while (j < n_ && std::isxdigit(static_cast<unsigned char>(s_[j]))) ++j;
        } else {
            j = skip_digits(j);
            if (at(j, '.')) {
                t.kind = tok::number;
                j = skip_digits(j + 1);
            }
            if (at(j, 'e') || at(j, 'E')) {
                std::size_t k = j + 1;
                if (at(k, '+') || at(k, '-')) ++k;
                if (k < n_ && is_digit(s_[k])) {
                    t.kind = tok::number;
                    j = skip_digits(k);
                }
            }
        }
        t.text = s_.substr(i_, j - i_);
        emit(std::move(t), j);
        return true;
    }

    // @variable and @@SYSTEM_VARIABLE.
    bool scan_variable() {
        if (current() != '@') return false;
        token t = start();
        std::size_t j = i_ + 1;
        const bool sys = at(j, '@');
        if (sys) ++j;
        while (j < n_ && ident_char(static_cast<unsigned char>(s_[j]))) ++j;
        t.kind = sys ? tok::sysvar : tok::variable;
        t.text = s_.substr(i_, j - i_);
        t.upper = to_upper(t.text);
        emit(std::move(t), j);
        return true;
    }

    // Keywords and plain names.
    bool scan_word() {
        if (!ident_start(current())) return false;
        token t = start();
        std::size_t j = i_ + 1;
        while (j < n_ && ident_char(static_cast<unsigned char>(s_[j]))) ++j;
        t.kind = tok::ident;
        t.text = s_.substr(i_, j - i_);
        t.upper = to_upper(t.text);
        emit(std::move(t), j);
        return true;
    }

    // Anything else is an operator of one or two characters.
    void scan_operator() {
        static const char* two[] = {"<>", "!=", "<=", ">=", "!<", "!>", "+=", "-=", "*=", "/="};
        token t = start();
        t.kind = tok::op;
        t.text = std::string(1, s_[i_]);
        for (const char* o : two)
            if (at(i_, o[0]) && at(i_ + 1, o[1])) t.text = o;
        std::size_t end = i_ + t.text.size();
        emit(std::move(t), end);
    }
};

}  // namespace

std::vector<token> tokenize(const std::string& s) { return scanner(s).run(); }

std::vector<std::string> split_object_name(const std::string& text) {
    std::vector<std::string> parts;
    std::string cur;
    std::size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        char c = text[i];
        if (c == '[') {
            ++i;
            while (i < text.size()) {
                if (text[i] == ']') {
                    if (i + 1 < text.size() && text[i + 1] == ']') { cur += ']'; i += 2; continue; }
                    ++i;
                    break;
                }
                cur += text[i++];
            }
            any = true;
        } else if (c == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') cur += text[i++];
            ++i;
            any = true;
        } else if (c == '.') {
            parts.push_back(cur);
            cur.clear();
            ++i;
            any = true;
        } else {
            cur += c;
            ++i;
            any = true;
        }
    }
    if (any) parts.push_back(cur);
    for (auto& p : parts) {
        // Blanks around an unbracketed part do not belong to the name.
        while (!p.empty() && p.back() == ' ') p.pop_back();
        std::size_t k = 0;
        while (k < p.size() && p[k] == ' ') ++k;
        p.erase(0, k);
    }
    return parts;
}

}  // namespace standin::tsql
