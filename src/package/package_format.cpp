#include "package/package_format.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "common/gbk.h"
#include "common/reversed_bytes.h"

namespace velmora::package {

std::string reversed(std::string_view bytes) {
    std::string out(bytes.size(), '\0');
    reverse_into(out.data(), bytes);
    return out;
}

void reversed_into(std::string& out, std::string_view bytes) {
    out.resize(bytes.size());
    reverse_into(out.data(), bytes);
}

void append_record(std::string& package, std::string_view name, std::string_view script) {
    package.reserve(package.size() + name_head.size() + name.size() + body_head.size() +
                    script.size() + body_end.size());
    package += name_head;
    package += name;
    package += body_head;
    const std::size_t at = package.size();
    package.resize(at + script.size());
    reverse_into(package.data() + at, script);
    package += body_end;
}

std::string encode_package(const std::vector<record>& records) {
    std::size_t total = end_marker.size();
    for (const record& r : records)
        total += name_head.size() + r.name.size() + body_head.size() + r.script.size() + body_end.size();
    std::string package;
    package.reserve(total);
    for (const record& r : records) append_record(package, r.name, r.script);
    package += end_marker;
    return package;
}

namespace {

bool ends_with_sql(std::string_view name) {
    static constexpr std::string_view ext = ".sql";
    if (name.size() < ext.size()) return false;
    for (std::size_t i = 0; i < ext.size(); ++i) {
        char c = name[name.size() - ext.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ext[i]) return false;
    }
    return true;
}

}  // namespace

// Each "^^^^" ending a name that ends in ".sql" is the end of a header when a
// "$$$$$$" starts far enough before it for such a name, and late enough that
// no earlier "^^^^" would have ended the name first. Those windows follow
// one another, so every byte is looked at a bounded number of times.
std::optional<header_match> find_record_header(std::string_view bytes) {
    constexpr std::size_t shortest_name = 4;  // ".sql"
    std::size_t previous = std::string_view::npos;  // the last "^^^^" before the one looked at
    for (std::size_t at = bytes.find(body_head); at != std::string_view::npos;
         previous = at, at = bytes.find(body_head, at + 1)) {
        if (at < name_head.size() + shortest_name || !ends_with_sql(bytes.substr(0, at))) continue;
        const std::size_t from = previous == std::string_view::npos || previous + 1 < name_head.size()
                                     ? 0
                                     : previous + 1 - name_head.size();
        const std::size_t last = at - shortest_name - name_head.size();  // the latest start that leaves a name
        if (from > last) continue;
        const std::size_t head = bytes.substr(0, last + name_head.size()).find(name_head, from);
        if (head == std::string_view::npos) continue;
        const std::size_t name_at = head + name_head.size();
        return header_match{head, bytes.substr(name_at, at - name_at)};
    }
    return std::nullopt;
}

namespace {

validation damage(std::size_t offset, std::string problem, std::string_view record_name = {}) {
    return validation{false, offset, std::move(problem), std::string(record_name)};
}

// The verdict on what remains at pos when it holds no body end: the end
// marker alone, or damage.
validation judge_rest(std::string_view rest, std::size_t pos, bool empty_package) {
    if (rest == end_marker) return validation{};
    if (empty_package) return damage(0, "empty file: no end marker \"@@@@\"");
    if (rest.substr(0, end_marker.size()) == end_marker)
        return damage(pos + end_marker.size(),
                      std::to_string(rest.size() - end_marker.size()) + " byte(s) after the end marker \"@@@@\"");
    if (rest.empty()) return damage(pos, "no end marker \"@@@@\" after the last record");
    return damage(pos, "record without body end \"####\" (or missing end marker \"@@@@\")");
}

// Splits one record (everything before its body end) that starts at pos.
validation split_record(std::string_view rec, std::size_t pos, record_view& out) {
    const std::size_t head_at = rec.find(body_head);
    if (head_at == std::string_view::npos) return damage(pos, "record without body head \"^^^^\"");
    if (head_at < name_head.size())
        return damage(pos + head_at, "body head \"^^^^\" within the record's first six bytes");
    out = record_view{pos, rec.substr(name_head.size(), head_at - name_head.size()),
                      rec.substr(head_at + body_head.size())};
    if (const auto inner = find_record_header(out.stored_body))
        return damage(pos + head_at + body_head.size() + inner->offset,
                      "record \"" + gbk_to_utf8_lossy(out.name) + "\" holds the whole header of a record \"" +
                          gbk_to_utf8_lossy(inner->name) + "\" in its body: two records ran together (a damaged "
                          "body end \"####\")",
                      out.name);
    return validation{};
}

// Walks the package once, front to back, by position: each record is handed
// to on_record as soon as it is split. The unread rest is never copied, so
// the cost is one pass over the bytes. Stops at the first sign of damage;
// nothing after it is looked at, so a damaged package cannot make it loop.
template <typename OnRecord>
validation walk(std::string_view package, OnRecord&& on_record) {
    std::size_t pos = 0;
    for (;;) {
        const std::string_view rest = package.substr(pos);
        if (rest == end_marker) return validation{};
        const std::size_t end_at = rest.find(body_end);
        if (end_at == std::string_view::npos) return judge_rest(rest, pos, package.empty());
        record_view r;
        validation v = split_record(rest.substr(0, end_at), pos, r);
        if (!v.ok) return v;
        on_record(r);
        pos += end_at + body_end.size();
    }
}

}  // namespace

package_reader::package_reader(std::function<void(const record_view&)> on_record)
    : on_record_(std::move(on_record)) {}

bool package_reader::take(std::string_view rec) {
    record_view r;
    validation v = split_record(rec, base_, r);
    if (!v.ok) {
        result_ = std::move(v);
        return false;
    }
    on_record_(r);
    return true;
}

bool package_reader::feed(std::string_view piece) {
    if (!result_.ok) return false;
    fed_ += piece.size();
    if (!held_.empty()) {
        // Complete the record held back with as little of the piece as it
        // needs; the body end may straddle the border.
        std::size_t need = std::string_view::npos;
        for (std::size_t j = 3; j >= 1 && need == std::string_view::npos; --j)
            if (held_.size() >= j && std::string_view(held_).substr(held_.size() - j) == body_end.substr(0, j) &&
                piece.substr(0, 4 - j) == body_end.substr(0, 4 - j))
                need = 4 - j;
        if (need == std::string_view::npos) {
            const std::size_t at = piece.find(body_end);
            if (at != std::string_view::npos) need = at + body_end.size();
        }
        if (need == std::string_view::npos) {
            held_.append(piece);
            return true;
        }
        held_.append(piece.substr(0, need));
        if (!take(std::string_view(held_).substr(0, held_.size() - body_end.size()))) return false;
        base_ += held_.size();
        held_.clear();
        piece.remove_prefix(need);
    }
    // Whole records straight from the piece, without copying them.
    for (;;) {
        const std::size_t end_at = piece.find(body_end);
        if (end_at == std::string_view::npos) break;
        if (!take(piece.substr(0, end_at))) return false;
        base_ += end_at + body_end.size();
        piece.remove_prefix(end_at + body_end.size());
    }
    held_.assign(piece);
    return true;
}

validation package_reader::finish() {
    if (!result_.ok) return result_;
    return judge_rest(held_, base_, fed_ == 0);
}

validation validate_package(std::string_view package) {
    return walk(package, [](const record_view&) {});
}

bool decode_package(std::string_view package, std::vector<record_view>& out, validation* why) {
    out.clear();
    validation v = walk(package, [&out](const record_view& r) { out.push_back(r); });
    if (!v.ok) out.clear();  // a damaged package yields no records at all
    const bool ok = v.ok;
    if (why) *why = std::move(v);
    return ok;
}

}  // namespace velmora::package
