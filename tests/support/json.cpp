#include "json.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace standin_test {

namespace {
const char* kind_name(json::kind k) {
    switch (k) {
    case json::kind::null: return "null";
    case json::kind::boolean: return "bool";
    case json::kind::number: return "number";
    case json::kind::string: return "string";
    case json::kind::array: return "array";
    case json::kind::object: return "object";
    }
    return "?";
}

[[noreturn]] void wrong_kind(json::kind have, const char* want) {
    throw std::runtime_error(std::string("json: expected ") + want + ", found " + kind_name(have));
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

class parser {
public:
    explicit parser(const std::string& t) : text_(t) {}

    json document() {
        json v = value(0);
        skip_ws();
        if (pos_ != text_.size()) fail("trailing characters");
        return v;
    }

private:
    const std::string& text_;
    std::size_t pos_ = 0;

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("json: " + what + " at offset " + std::to_string(pos_));
    }
    void skip_ws() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }
    bool consume_word(const char* w) {
        std::string s(w);
        if (text_.compare(pos_, s.size(), s) == 0) {
            pos_ += s.size();
            return true;
        }
        return false;
    }

    json value(int depth) {
        if (depth > 200) fail("nesting too deep");
        skip_ws();
        if (pos_ >= text_.size()) fail("unexpected end");
        char c = text_[pos_];
        if (c == '{') return object(depth);
        if (c == '[') return array(depth);
        if (c == '"') return json::make_string(string());
        if (consume_word("true")) return json::make_bool(true);
        if (consume_word("false")) return json::make_bool(false);
        if (consume_word("null")) return json();
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        fail(std::string("unexpected character '") + c + "'");
    }

    json object(int depth) {
        ++pos_;
        std::vector<std::pair<std::string, json>> members;
        skip_ws();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return json::make_object(std::move(members));
        }
        for (;;) {
            skip_ws();
            if (pos_ >= text_.size() || text_[pos_] != '"') fail("expected a key");
            std::string key = string();
            skip_ws();
            if (pos_ >= text_.size() || text_[pos_] != ':') fail("expected ':'");
            ++pos_;
            json v = value(depth + 1);
            members.emplace_back(std::move(key), std::move(v));
            skip_ws();
            if (pos_ >= text_.size()) fail("unexpected end in object");
            if (text_[pos_] == ',') { ++pos_; continue; }
            if (text_[pos_] == '}') { ++pos_; break; }
            fail("expected ',' or '}'");
        }
        return json::make_object(std::move(members));
    }

    json array(int depth) {
        ++pos_;
        std::vector<json> items;
        skip_ws();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return json::make_array(std::move(items));
        }
        for (;;) {
            items.push_back(value(depth + 1));
            skip_ws();
            if (pos_ >= text_.size()) fail("unexpected end in array");
            if (text_[pos_] == ',') { ++pos_; continue; }
            if (text_[pos_] == ']') { ++pos_; break; }
            fail("expected ',' or ']'");
        }
        return json::make_array(std::move(items));
    }

    unsigned hex4() {
        if (pos_ + 4 > text_.size()) fail("short \\u escape");
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f') v |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= unsigned(c - 'A' + 10);
            else fail("bad hex digit");
        }
        return v;
    }

    std::string string() {
        ++pos_;  // opening quote
        std::string out;
        for (;;) {
            if (pos_ >= text_.size()) fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') break;
            if (c < 0x20) fail("control character in string");
            if (c != '\\') {
                out += char(c);
                continue;
            }
            if (pos_ >= text_.size()) fail("unterminated escape");
            char e = text_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t cp = hex4();
                if (cp >= 0xD800 && cp < 0xDC00) {
                    if (!consume_word("\\u")) fail("lone high surrogate");
                    std::uint32_t lo = hex4();
                    if (lo < 0xDC00 || lo > 0xDFFF) fail("bad low surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    fail("lone low surrogate");
                }
                append_utf8(out, cp);
                break;
            }
            default: fail(std::string("bad escape \\") + e);
            }
        }
        return out;
    }

    json number() {
        std::size_t start = pos_;
        if (text_[pos_] == '-') ++pos_;
        auto digits = [&] {
            std::size_t s = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
            return pos_ - s;
        };
        if (digits() == 0) fail("bad number");
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (digits() == 0) fail("bad fraction");
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (digits() == 0) fail("bad exponent");
        }
        return json::make_number(std::stod(text_.substr(start, pos_ - start)));
    }
};

void dump_string(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else out += char(c);
    }
    out += '"';
}

void dump_value(std::string& out, const json& v) {
    switch (v.type()) {
    case json::kind::null: out += "null"; break;
    case json::kind::boolean: out += v.as_bool() ? "true" : "false"; break;
    case json::kind::number: {
        double d = v.as_number();
        char buf[40];
        if (std::floor(d) == d && std::fabs(d) < 1e15)
            std::snprintf(buf, sizeof buf, "%.0f", d);
        else
            std::snprintf(buf, sizeof buf, "%.17g", d);
        out += buf;
        break;
    }
    case json::kind::string: dump_string(out, v.as_string()); break;
    case json::kind::array:
        out += '[';
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ',';
            dump_value(out, v[i]);
        }
        out += ']';
        break;
    case json::kind::object: {
        out += '{';
        bool first = true;
        for (const auto& k : v.keys()) {
            if (!first) out += ',';
            first = false;
            dump_string(out, k);
            out += ':';
            dump_value(out, v[k]);
        }
        out += '}';
        break;
    }
    }
}
}  // namespace

json json::make_bool(bool b) {
    json j;
    j.kind_ = kind::boolean;
    j.bool_ = b;
    return j;
}
json json::make_number(double d) {
    json j;
    j.kind_ = kind::number;
    j.number_ = d;
    return j;
}
json json::make_string(std::string s) {
    json j;
    j.kind_ = kind::string;
    j.string_ = std::move(s);
    return j;
}
json json::make_array(std::vector<json> items) {
    json j;
    j.kind_ = kind::array;
    j.items_ = std::move(items);
    return j;
}
json json::make_object(std::vector<std::pair<std::string, json>> members) {
    json j;
    j.kind_ = kind::object;
    j.members_ = std::move(members);
    return j;
}

const json& json::operator[](const std::string& key) const {
    if (kind_ != kind::object) wrong_kind(kind_, "object");
    // The last duplicate wins, as most readers do.
    for (auto it = members_.rbegin(); it != members_.rend(); ++it)
        if (it->first == key) return it->second;
    throw std::runtime_error("json: no member \"" + key + "\"");
}

const json& json::operator[](std::size_t index) const {
    if (kind_ != kind::array) wrong_kind(kind_, "array");
    if (index >= items_.size())
        throw std::runtime_error("json: index " + std::to_string(index) + " out of range (size " +
                                 std::to_string(items_.size()) + ")");
    return items_[index];
}

bool json::contains(const std::string& key) const {
    if (kind_ != kind::object) return false;
    for (const auto& m : members_)
        if (m.first == key) return true;
    return false;
}

std::size_t json::size() const {
    if (kind_ == kind::array) return items_.size();
    if (kind_ == kind::object) return members_.size();
    return 0;
}

std::vector<std::string> json::keys() const {
    std::vector<std::string> out;
    if (kind_ != kind::object) return out;
    for (const auto& m : members_) {
        bool seen = false;
        for (const auto& k : out) seen = seen || k == m.first;
        if (!seen) out.push_back(m.first);
    }
    return out;
}

const std::string& json::as_string() const {
    if (kind_ != kind::string) wrong_kind(kind_, "string");
    return string_;
}
double json::as_number() const {
    if (kind_ != kind::number) wrong_kind(kind_, "number");
    return number_;
}
std::int64_t json::as_int() const {
    double d = as_number();
    if (std::floor(d) != d) throw std::runtime_error("json: number is not an integer");
    return static_cast<std::int64_t>(d);
}
bool json::as_bool() const {
    if (kind_ != kind::boolean) wrong_kind(kind_, "bool");
    return bool_;
}

std::string json::dump() const {
    std::string out;
    dump_value(out, *this);
    return out;
}

json parse_json(const std::string& text) { return parser(text).document(); }

}  // namespace standin_test
