#include "package_format.h"

#include <string>

namespace velmora::package {

std::string reversed(std::string_view bytes) {
    return std::string(bytes.rbegin(), bytes.rend());
}

void append_record(std::string& package, std::string_view name, std::string_view script) {
    package.reserve(package.size() + name_head.size() + name.size() + body_head.size() +
                    script.size() + body_end.size());
    package += name_head;
    package += name;
    package += body_head;
    package.append(script.rbegin(), script.rend());
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

validation damage(std::size_t offset, std::string problem) {
    return validation{false, offset, std::move(problem)};
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
        if (end_at == std::string_view::npos) {
            if (package.empty()) return damage(0, "empty file: no end marker \"@@@@\"");
            if (rest.substr(0, end_marker.size()) == end_marker)
                return damage(pos + end_marker.size(),
                              std::to_string(rest.size() - end_marker.size()) +
                                  " byte(s) after the end marker \"@@@@\"");
            if (rest.empty())
                return damage(pos, "no end marker \"@@@@\" after the last record");
            return damage(pos, "record without body end \"####\" (or missing end marker \"@@@@\")");
        }

        const std::string_view rec = rest.substr(0, end_at);
        const std::size_t head_at = rec.find(body_head);
        if (head_at == std::string_view::npos)
            return damage(pos, "record without body head \"^^^^\"");
        if (head_at < name_head.size())
            return damage(pos + head_at, "body head \"^^^^\" within the record's first six bytes");

        on_record(record_view{pos, rec.substr(name_head.size(), head_at - name_head.size()),
                              rec.substr(head_at + body_head.size())});
        pos += end_at + body_end.size();
    }
}

}  // namespace

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
