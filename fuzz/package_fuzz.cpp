// Package decoding and validation on arbitrary bytes, checked against a plain
// rest-copying reading of the format and against the piecewise reader; and
// encode-then-decode round trips.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "package/package_format.h"

namespace pkg = velmora::package;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

struct plain_record {
    std::string name, stored_body;
};

// A whole record header in bytes, looked for the simple way: from each
// "$$$$$$", the name up to the next "^^^^" ending in ".sql" in any case.
bool plain_holds_header(const std::string& bytes) {
    for (std::size_t i = bytes.find("$$$$$$"); i != std::string::npos; i = bytes.find("$$$$$$", i + 1)) {
        const std::size_t end = bytes.find("^^^^", i + 6);
        if (end == std::string::npos || end - (i + 6) < 4) continue;
        std::string ext = bytes.substr(end - 4, 4);
        for (char& c : ext)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (ext == ".sql") return true;
    }
    return false;
}

// The format read the simple way: copy the rest after every record. Returns
// false on damage. Only used on small inputs, where its quadratic cost does
// not matter.
bool plain_decode(std::string rest, std::vector<plain_record>& out) {
    while (rest != "@@@@") {
        const std::size_t end = rest.find("####");
        if (end == std::string::npos) return false;
        const std::string rec = rest.substr(0, end);
        rest = rest.substr(end + 4);
        const std::size_t head = rec.find("^^^^");
        if (head == std::string::npos || head < 6) return false;
        if (plain_holds_header(rec.substr(head + 4))) return false;
        out.push_back({rec.substr(6, head - 6), rec.substr(head + 4)});
    }
    return true;
}

// Whether a record can be carried by the format at all.
bool carriable(std::string_view name, std::string_view script) {
    if (name.find("^^^^") != std::string_view::npos || name.find("####") != std::string_view::npos) return false;
    if (!name.empty() && name.back() == '^') return false;
    if (script.find("####") != std::string_view::npos) return false;
    if (!script.empty() && script.front() == '#') return false;
    if (plain_holds_header(pkg::reversed(script))) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // 1. The input as a package.
    const pkg::validation v = pkg::validate_package(input);
    std::vector<pkg::record_view> records;
    pkg::validation why;
    const bool ok = pkg::decode_package(input, records, &why);
    require(ok == v.ok && why.ok == v.ok && why.offset == v.offset && why.problem == v.problem);
    require(v.ok ? v.problem.empty() : !v.problem.empty() && v.offset <= size);
    if (!ok) require(records.empty());

    // The piecewise reader, with piece borders taken from the input itself,
    // finds the same records and the same damage.
    {
        const std::size_t piece = size ? 1 + data[0] % 13 : 1;
        std::vector<plain_record> fed;
        std::vector<std::size_t> offsets;
        pkg::package_reader reader([&](const pkg::record_view& r) {
            fed.push_back({std::string(r.name), std::string(r.stored_body)});
            offsets.push_back(r.offset);
        });
        for (std::size_t at = 0; at < size; at += piece)
            if (!reader.feed(input.substr(at, piece))) break;
        const pkg::validation w = reader.finish();
        require(w.ok == v.ok && w.offset == v.offset && w.problem == v.problem);
        if (ok) {
            require(fed.size() == records.size());
            for (std::size_t i = 0; i < records.size(); ++i)
                require(fed[i].name == records[i].name && fed[i].stored_body == records[i].stored_body &&
                        offsets[i] == records[i].offset);
        }
    }

    std::vector<plain_record> plain;
    require(plain_decode(std::string(input), plain) == ok);
    if (ok) {
        require(plain.size() == records.size());
        std::size_t expected_offset = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            require(records[i].name == plain[i].name && records[i].stored_body == plain[i].stored_body);
            require(records[i].offset == expected_offset);
            expected_offset += 6 + records[i].name.size() + 4 + records[i].stored_body.size() + 4;
        }
        require(expected_offset + 4 == size);
    }

    // 2. The input as records: fields separated by NUL bytes, taken in pairs
    // of name and script; those the format cannot carry are left out.
    std::vector<pkg::record> in;
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t nul = input.find('\0', start);
        fields.push_back(input.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start));
        if (nul == std::string_view::npos) break;
        start = nul + 1;
    }
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2)
        if (carriable(fields[i], fields[i + 1])) in.push_back({std::string(fields[i]), std::string(fields[i + 1])});

    const std::string encoded = pkg::encode_package(in);
    std::string appended;
    for (const pkg::record& r : in) pkg::append_record(appended, r.name, r.script);
    appended += pkg::end_marker;
    require(appended == encoded);

    std::vector<pkg::record_view> back;
    require(pkg::decode_package(encoded, back));
    require(back.size() == in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        require(back[i].name == in[i].name);
        require(pkg::reversed(back[i].stored_body) == in[i].script);
    }
    return 0;
}
