#include "package/create_grammar.h"

#include <algorithm>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "common/gbk_search.h"
#include "package/tsql_tokens.h"

namespace velmora {

namespace {

using tsql::token;
using token_kind = token::kind;
using fault_kind = grammar_fault::kind;

std::size_t line_at(std::string_view s, std::size_t from, std::size_t line, std::size_t to) {
    return line + tsql::line_feeds(s, from, to);
}

bool name_part(const token& t) { return t.what == token_kind::word || t.what == token_kind::quoted_name; }

// The words CREATE may begin with; a key followed by anything else (the
// "Create date:" of a template's comment) begins no statement at all.
bool object_kind(const token& t) {
    if (t.is("PROCEDURE") || t.is("PROC") || t.is("TRIGGER")) return true;
    static constexpr const char* kinds[] = {
        "AGGREGATE", "APPLICATION", "ASSEMBLY", "ASYMMETRIC", "AVAILABILITY", "BROKER",     "CERTIFICATE",
        "CLUSTERED", "COLUMN",      "COLUMNSTORE", "CONTRACT", "CREDENTIAL",  "CRYPTOGRAPHIC", "DATABASE",
        "DEFAULT",   "ENDPOINT",    "EVENT",    "EXTERNAL",   "FULLTEXT",     "FUNCTION",   "INDEX",
        "LOGIN",     "MASTER",      "MESSAGE",  "NONCLUSTERED", "PARTITION",  "PRIMARY",    "QUEUE",
        "REMOTE",    "RESOURCE",    "ROLE",     "ROUTE",      "RULE",         "SCHEMA",     "SEARCH",
        "SECURITY",  "SELECTIVE",   "SEQUENCE", "SERVER",     "SERVICE",      "SPATIAL",    "STATISTICS",
        "SYMMETRIC", "SYNONYM",     "TABLE",    "TYPE",       "UNIQUE",       "USER",       "VIEW",
        "WORKLOAD",  "XML"};
    return std::any_of(std::begin(kinds), std::end(kinds), [&](const char* k) { return t.is(k); });
}

// A WITH list as the message names it: its words in capitals, blanks folded.
std::string list_text(const std::vector<token>& tokens) {
    std::string out;
    for (const token& t : tokens) {
        if (!out.empty() && !t.is_symbol(',') && !t.is_symbol(')')) out += ' ';
        std::string text(t.text);
        if (t.what == token_kind::word)
            for (char& c : text)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        out += text;
    }
    return out;
}

class header_reader {
public:
    header_reader(std::string_view script, const script_cuts& cuts, std::size_t create_line, create_reading& out)
        : script_(script), cuts_(cuts), tokens_(script, cuts.create_at, create_line), out_(out) {}

    // The object's kind: the word after "create" and "or alter".
    token kind() {
        advance();  // create
        advance();
        if (t_.is("OR")) {
            advance();
            if (t_.is("ALTER")) advance();
        }
        return t_;
    }

    // After kind(): the header of a procedure or a trigger; other kinds are
    // left to the server.
    void read() {
        if (t_.is("PROC") || t_.is("PROCEDURE")) {
            advance();
            procedure();
        } else if (t_.is("TRIGGER")) {
            advance();
            trigger();
        }
    }

private:
    void advance() { t_ = tokens_.next(); }
    bool at_end() const { return t_.what == token_kind::end; }

    // [db.][owner.]name, blanks allowed around the dots.
    bool name() {
        if (!name_part(t_)) return false;
        advance();
        while (t_.is_symbol('.')) {
            while (t_.is_symbol('.')) advance();
            if (!name_part(t_)) return false;
            advance();
        }
        return true;
    }

    // A WITH list of the header's own, up to the keyword that ends it (FOR or
    // AS of a procedure, FOR, AFTER or INSTEAD of a trigger); EXECUTE AS
    // holds an AS of its own.
    bool with_list(bool trigger) {
        const token with = t_;
        std::vector<token> list{with};
        bool after_execute = false;
        for (advance();; advance()) {
            if (at_end()) return false;
            const bool ends = trigger ? t_.is("FOR") || t_.is("AFTER") || t_.is("INSTEAD")
                                      : t_.is("FOR") || (t_.is("AS") && !after_execute);
            if (ends) break;
            after_execute = t_.is("EXECUTE") || t_.is("EXEC");
            list.push_back(t_);
        }
        add(fault_kind::second_with, with.line, list_text(list));
        return true;
    }

    // PROC[EDURE] name [;n] [(] parameters [)] [WITH options] [FOR REPLICATION] AS
    void procedure() {
        if (!name()) return;
        if (t_.is_symbol(';')) {
            advance();
            if (t_.what != token_kind::number) return;
            advance();
        }
        // The parameters end at the first WITH, FOR or AS outside parentheses;
        // an AS right after a parameter's name is the parameter's.
        int depth = 0;
        bool after_variable = false;
        for (;; advance()) {
            if (at_end()) return;
            if (t_.is_symbol('(')) {
                ++depth;
            } else if (t_.is_symbol(')')) {
                --depth;
            } else if (depth == 0 && (t_.is("WITH") || t_.is("FOR") || (t_.is("AS") && !after_variable))) {
                break;
            }
            after_variable = t_.what == token_kind::variable;
        }
        if (t_.is("WITH") && !with_list(false)) return;
        const token options_at = t_;
        if (t_.is("FOR")) {
            advance();
            if (!t_.is("REPLICATION")) return;
            advance();
            if (!t_.is("AS")) return;
        }
        place(options_at, t_);
    }

    // TRIGGER name ON {table | DATABASE | ALL SERVER} [WITH options]
    // {FOR | AFTER | INSTEAD OF} events [WITH APPEND] [NOT FOR REPLICATION] AS
    void trigger() {
        if (!name() || !t_.is("ON")) return;
        advance();
        if (t_.is("DATABASE")) {
            out_.database_trigger = true;
            advance();
        } else if (t_.is("ALL")) {
            advance();
            if (!t_.is("SERVER")) return;
            advance();
        } else if (!name()) {
            return;
        }
        if (t_.is("WITH") && !with_list(true)) return;
        const token events_at = t_;
        if (t_.is("INSTEAD")) {
            // Nothing the builder can do puts the clause before INSTEAD OF.
            add(fault_kind::instead_of, t_.line);
            return;
        }
        if (!t_.is("FOR") && !t_.is("AFTER")) return;
        if (t_.is("AFTER")) add(fault_kind::after_events, t_.line);
        for (advance(); !t_.is("AS"); advance()) {
            if (at_end()) return;
            if (t_.is("NOT")) {
                // Its FOR is the header's last, and the clause would go before it.
                add(fault_kind::not_for_replication, t_.line);
                advance();
                if (!t_.is("FOR")) return;
            }
        }
        place(events_at, t_);
    }

    // The clause must stand right before options_at; header_as ends the header.
    void place(const token& options_at, const token& header_as) {
        if (!out_.clause.encrypts() || cuts_.clause_at == options_at.begin) return;
        const std::size_t line = out_.clause.line;
        if (cuts_.clause_at > header_as.begin) {
            add(fault_kind::in_body, line);
        } else if (cuts_.clause_at < options_at.begin) {
            add(fault_kind::early, line,
                std::to_string(line_at(script_, cuts_.clause_at, line, cuts_.body_at)));
        }
    }

    void add(fault_kind what, std::size_t line, std::string text = {}) {
        // A trigger with AFTER and NOT FOR REPLICATION has its clause in both.
        for (const grammar_fault& f : out_.faults)
            if (f.what == what) return;
        out_.faults.push_back({what, line, std::move(text), {}});
    }

    std::string_view script_;
    const script_cuts& cuts_;
    tsql::tokenizer tokens_;
    create_reading& out_;
    token t_;
};

// The next "go" in either case at or after i, or npos.
std::size_t next_go(std::string_view s, std::size_t i) {
#ifdef __SSE2__
    // Thirty-two bytes a step: a "g" is rare in code, so a step seldom stops.
    const __m128i case_bit = _mm_set1_epi8(0x20), g = _mm_set1_epi8('g');
    const char* p = s.data();
    for (; i + 33 <= s.size(); i += 32) {
        const __m128i low = _mm_cmpeq_epi8(_mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), case_bit), g);
        const __m128i high =
            _mm_cmpeq_epi8(_mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)), case_bit), g);
        if (_mm_movemask_epi8(_mm_or_si128(low, high)) == 0) continue;
        std::uint32_t hits = static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
                             static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16;
        for (; hits != 0; hits &= hits - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(hits));
            if ((p[at + 1] | 0x20) == 'o') return at;
        }
    }
#endif
    for (; i + 1 < s.size(); ++i)
        if ((s[i] | 0x20) == 'g' && (s[i + 1] | 0x20) == 'o') return i;
    return std::string_view::npos;
}

// The first line of the create statement that holds only "go" (a repeat
// count and a comment may follow): the client's batch separator, which the
// server reads as a word of the statement. Every "go" is a candidate, and
// only one that opens its line costs a reading of the text before it.
std::size_t go_line(std::string_view s, std::size_t from, std::size_t line) {
    tsql::region_lexer lexer(s);
    std::size_t lexed = from;
    auto blank = [&](std::size_t i) { return i < s.size() && (s[i] == ' ' || s[i] == '\t'); };
    for (std::size_t at = next_go(s, from); at != std::string_view::npos; at = next_go(s, at + 1)) {
        // Blanks alone between the line's start and the "go"; a line feed is
        // never a trail byte, so the "go" starts a character.
        std::size_t start = at;
        while (start > from && (s[start - 1] == ' ' || s[start - 1] == '\t')) --start;
        if (start == from || s[start - 1] != '\n') continue;
        std::size_t j = at + 2;
        if (j < s.size() && tsql::word_char(s, j)) continue;
        while (blank(j)) ++j;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
        while (blank(j) || (j < s.size() && s[j] == '\r')) ++j;
        if (j < s.size() && s[j] != '\n' && !(s[j] == '-' && j + 1 < s.size() && s[j + 1] == '-')) continue;
        if (lexer.run(lexed, at) == tsql::region::code) return line_at(s, from, line, at);
        lexed = at;
    }
    return 0;
}

// The create key must open the CREATE statement of an object, in code; the
// reader is left at the object's kind.
bool create_key_placed(std::string_view script, const script_cuts& cuts, std::size_t create_line,
                       header_reader& reader, create_reading& out) {
    grammar_fault f{fault_kind::create_key, create_line, {}, {}};
    // Every tool starts a batch after the go line, so that is where the
    // script's own reading starts.
    switch (tsql::region_lexer(script).run(cuts.batch_at, cuts.create_at)) {
        case tsql::region::comment: f.text = "comment"; break;
        case tsql::region::string: f.text = "string"; break;
        case tsql::region::quoted_name: f.text = "quoted name"; break;
        case tsql::region::code: {
            const std::size_t word_start = tsql::word_start_before(script, cuts.create_at);
            if (word_start < cuts.create_at) {
                std::size_t end = cuts.create_at;
                while (end < script.size() && tsql::word_char(script, end))
                    end += gbk_search::char_length(script, end);
                f.text = "word";
                f.word = std::string(script.substr(word_start, end - word_start));
            }
            break;
        }
    }
    if (f.text.empty()) {
        const token t = reader.kind();
        if (object_kind(t)) return true;
        f.word = "create " + std::string(t.text);
    }
    out.faults.push_back(std::move(f));
    return false;
}

}  // namespace

create_reading read_create_statement(std::string_view script, const script_cuts& cuts) {
    create_reading out;
    const std::size_t create_line = line_at(script, 0, 1, cuts.create_at);
    header_reader reader(script, cuts, create_line, out);
    if (!create_key_placed(script, cuts, create_line, reader, out)) return out;
    out.clause = place_clause(script, cuts);
    reader.read();
    if (const std::size_t line = go_line(script, cuts.create_at, create_line))
        out.faults.push_back({fault_kind::go_line, line, {}, {}});
    return out;
}

namespace {

const std::string clause_en = "\"" + std::string(encryption_clause) + "\"";
const std::string clause_zh = "“" + std::string(encryption_clause) + "”";

std::string describe_one(const grammar_fault& f) {
    std::string text = "line " + std::to_string(f.line) + ": ";
    switch (f.what) {
        case fault_kind::create_key:
            if (f.text.empty())
                return text + "the create statement would begin \"" + f.word +
                       "\", which creates no procedure or trigger; let the first \"create \" after the go line be "
                       "the CREATE of the procedure or trigger";
            if (f.text == "word")
                return text + "the create statement would begin at the \"create \" inside the word \"" + f.word +
                       "\", not at the script's CREATE; rename the word above CREATE";
            return text + "the create statement would begin at the \"create \" of a " + f.text +
                   ", not at the script's CREATE; reword the " + f.text + " above CREATE";
        case fault_kind::second_with:
            return text + "the header has a WITH list of its own (" + f.text + "), and " + clause_en +
                   " would add a second one; leave out " + f.text + ": the package adds a WITH of its own";
        case fault_kind::instead_of:
            return text + "an INSTEAD OF trigger cannot be packaged: " + clause_en +
                   " would have to stand before INSTEAD OF, and the package puts it before the header's last FOR "
                   "or AS";
        case fault_kind::after_events:
            return text + clause_en +
                   " would follow the trigger's AFTER event list; write FOR instead of AFTER, they mean the same";
        case fault_kind::not_for_replication:
            return text + clause_en +
                   " would land inside NOT FOR REPLICATION; leave out NOT FOR REPLICATION: the package puts its WITH "
                   "before the header's last FOR";
        case fault_kind::in_body:
            return text + clause_en +
                   " would land in the body, as the header is read up to the first \"begin\"; begin the body with "
                   "BEGIN";
        case fault_kind::early:
            return text + clause_en + " would land before the header ends, as the header is read only up to the "
                                      "first \"begin\" (line " +
                   f.text + "); keep \"begin\" out of the header's names, defaults and comments";
        case fault_kind::go_line:
            return text +
                   "a \"go\" line inside the create statement, which the server would read as part of it; delete "
                   "the \"go\" line and what follows it: the package sends everything from CREATE to the end of the "
                   "script as one batch";
    }
    return text;
}

std::string describe_one_zh(const grammar_fault& f) {
    std::string text = "第 " + std::to_string(f.line) + " 行：";
    const std::string refused = "，SQL Server 会拒绝该创建语句；";
    switch (f.what) {
        case fault_kind::create_key: {
            if (f.text.empty())
                return text + "创建语句会以“" + f.word + "”开头，它不创建存储过程或触发器" + refused +
                       "请让 go 行之后的第一个“create ”就是存储过程或触发器的 CREATE";
            const std::string where = f.text == "comment"       ? "注释"
                                      : f.text == "string"      ? "字符串"
                                      : f.text == "quoted name" ? "带引号的名称"
                                                                : "单词“" + f.word + "”";
            return text + "创建语句会从" + where + "中的“create ”开始，而不是从脚本的 CREATE 开始" + refused +
                   "请改写 CREATE 上方的" + (f.text == "word" ? std::string("该单词") : where);
        }
        case fault_kind::second_with:
            return text + "头部已有自己的 WITH 子句（" + f.text + "），插入的" + clause_zh + "会成为第二个 WITH" +
                   refused + "请去掉 " + f.text + "：程序包会加上自己的 WITH";
        case fault_kind::instead_of:
            return text + "INSTEAD OF 触发器无法打包：" + clause_zh +
                   "须位于 INSTEAD OF 之前，而程序包只会把它插在头部最后一个 FOR 或 AS 之前";
        case fault_kind::after_events:
            return text + "插入的" + clause_zh + "会位于触发器 AFTER 事件列表之后" + refused +
                   "请把 AFTER 改写为 FOR，两者含义相同";
        case fault_kind::not_for_replication:
            return text + "插入的" + clause_zh + "会落在 NOT FOR REPLICATION 中间" + refused +
                   "请去掉 NOT FOR REPLICATION：程序包会把它的 WITH 插在头部最后一个 FOR 之前";
        case fault_kind::in_body:
            return text + "插入的" + clause_zh + "会落在过程体中（头部只读到第一个“begin”为止）" + refused +
                   "请以 BEGIN 开始过程体";
        case fault_kind::early:
            return text + "插入的" + clause_zh + "会落在头部结束之前（头部只读到第 " + f.text +
                   " 行的第一个“begin”为止）" + refused + "请勿在头部的名称、默认值和注释中使用“begin”";
        case fault_kind::go_line:
            return text + "创建语句中含有“go”行，服务器会把它当作语句的一部分" + refused +
                   "请删除该“go”行及其后的内容：程序包把从 CREATE 到脚本末尾的全部内容作为一个批发送";
    }
    return text;
}

}  // namespace

std::string describe(const std::vector<grammar_fault>& faults) {
    std::string out;
    for (const grammar_fault& f : faults) out += (out.empty() ? "" : "; ") + describe_one(f);
    return out;
}

std::string describe_zh(const std::vector<grammar_fault>& faults) {
    std::string out;
    for (const grammar_fault& f : faults) out += (out.empty() ? "" : "；") + describe_one_zh(f);
    return out;
}

}  // namespace velmora
