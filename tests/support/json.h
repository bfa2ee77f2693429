#pragma once
// A small JSON reader for the stand-in's journal and dump documents.

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace standin_test {

class json {
public:
    enum class kind { null, boolean, number, string, array, object };

    json() = default;  // null
    static json make_bool(bool b);
    static json make_number(double d);
    static json make_string(std::string s);
    static json make_array(std::vector<json> items);
    static json make_object(std::vector<std::pair<std::string, json>> members);

    kind type() const { return kind_; }
    bool is_null() const { return kind_ == kind::null; }
    bool is_bool() const { return kind_ == kind::boolean; }
    bool is_number() const { return kind_ == kind::number; }
    bool is_string() const { return kind_ == kind::string; }
    bool is_array() const { return kind_ == kind::array; }
    bool is_object() const { return kind_ == kind::object; }

    // Accessors throw std::runtime_error when the value has another kind or
    // the key/index is missing, so a test fails with a message, not a crash.
    const json& operator[](const std::string& key) const;
    const json& operator[](const char* key) const { return (*this)[std::string(key)]; }
    const json& operator[](std::size_t index) const;
    // Any integer index, so that j[0] is not taken for a null key pointer.
    template <typename I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, std::size_t>, int> = 0>
    const json& operator[](I index) const {
        if (index < 0) throw std::runtime_error("json: negative index");
        return (*this)[static_cast<std::size_t>(index)];
    }
    bool contains(const std::string& key) const;
    std::size_t size() const;  // array items or object members; 0 otherwise
    std::vector<std::string> keys() const;  // object keys in document order

    const std::string& as_string() const;
    double as_number() const;
    std::int64_t as_int() const;
    bool as_bool() const;

    // Compact JSON text of this value (for failure messages).
    std::string dump() const;

private:
    kind kind_ = kind::null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<json> items_;
    std::vector<std::pair<std::string, json>> members_;
};

json parse_json(const std::string& text);  // throws std::runtime_error on bad input

}  // namespace standin_test
