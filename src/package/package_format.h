#pragma once
// The db.dat script package: records of "$$$$$$" name "^^^^" reversed-script
// "####", back to back, then "@@@@". Names and scripts are GBK bytes.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::package {

inline constexpr std::string_view name_head = "$$$$$$";
inline constexpr std::string_view body_head = "^^^^";
inline constexpr std::string_view body_end = "####";
inline constexpr std::string_view end_marker = "@@@@";
inline constexpr std::string_view package_file_name = "db.dat";

// Everything before a record's body end may be at most this long.
inline constexpr std::size_t max_record_head_and_body = 32766;

// The one reversal shared by writer and reader: single bytes, end first.
std::string reversed(std::string_view bytes);
// The same into out, whose storage is used again.
void reversed_into(std::string& out, std::string_view bytes);

// Appends one record (the script is stored reversed).
void append_record(std::string& package, std::string_view name, std::string_view script);

struct record {
    std::string name;
    std::string script;  // in its own byte order
    bool operator==(const record&) const = default;
};

std::string encode_package(const std::vector<record>& records);

// A record as it lies in a package buffer; views point into that buffer.
struct record_view {
    std::size_t offset = 0;          // byte offset of the record's first byte
    std::string_view name;
    std::string_view stored_body;    // reversed script
};

struct validation {
    bool ok = true;
    std::size_t offset = 0;   // where the damage was found
    std::string problem;      // English description (names as UTF-8), empty when ok
    std::string record_name;  // the record the damage lies in (GBK), when its name could be read
};

// A whole record header, as a reader would take one: "$$$$$$", a name that
// ends in ".sql" in any letter case and holds no "^^^^", then "^^^^".
struct header_match {
    std::size_t offset = 0;  // where its "$$$$$$" starts
    std::string_view name;
};
// The first whole record header inside bytes, if any. Inside a record's
// stored body one means that two records ran together (a damaged "####"),
// since a script's reversed text holds one only when the script holds a
// reversed header. Linear time.
std::optional<header_match> find_record_header(std::string_view bytes);

// Whole-package check: every record has a "####", a "^^^^" at or after its 7th
// byte and no whole record header in its body, and the rest after the last
// record is exactly "@@@@". Linear time.
validation validate_package(std::string_view package);

// Decodes a package that validates; throws nothing, returns false with the
// validation result when it does not. Linear time, no copying of the rest.
bool decode_package(std::string_view package, std::vector<record_view>& out, validation* why = nullptr);

// Decodes a package handed over piece by piece as it is read, with the same
// checks and findings as decode_package, holding back only the record in
// progress. Each record goes to on_record as soon as it is whole (its views
// last for that call only), so whoever must not act on a damaged package
// lets a first reader finish before acting on a second one's records.
class package_reader {
public:
    explicit package_reader(std::function<void(const record_view&)> on_record);
    // The next bytes; false once damage is found (nothing more is needed).
    bool feed(std::string_view piece);
    // At the end of the file: the verdict on the whole package.
    validation finish();

private:
    bool take(std::string_view record);

    std::function<void(const record_view&)> on_record_;
    std::string held_;       // the record in progress, from offset base_
    std::size_t base_ = 0;
    std::size_t fed_ = 0;
    validation result_;
};

}  // namespace velmora::package
