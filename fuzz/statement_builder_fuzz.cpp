// The statement builder on arbitrary bytes, checked against a slow, direct
// rendering of its steps (1-based positions, the last-keyword search done on
// the reversed header), and the character-boundary searches against brute force.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/gbk_search.h"
#include "package/create_grammar.h"
#include "package/statement_builder.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::vector<bool> boundaries(std::string_view s) {
    std::vector<bool> b(s.size() + 1, false);
    for (std::size_t i = 0; i < s.size();) {
        b[i] = true;
        const auto c = static_cast<unsigned char>(s[i]);
        const bool lead = c >= 0x81 && c <= 0xFE;
        const auto t = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
        const bool trail = i + 1 < s.size() && ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE));
        i += lead && trail ? 2 : 1;
    }
    b[s.size()] = true;
    return b;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    return s;
}

// 1-based position of the first match on a boundary, 0 when none.
long pos(std::string_view s, std::string_view key) {
    const std::vector<bool> b = boundaries(s);
    for (std::size_t i = 0; i + key.size() <= s.size(); ++i)
        if (b[i] && s.substr(i, key.size()) == key) return static_cast<long>(i) + 1;
    return 0;
}

// Bytes from the last boundary-aligned key to the end of s, found by a
// forward search in the reversed text; key length less one when absent.
long last_from_end(std::string_view s, std::string_view key) {
    const std::vector<bool> b = boundaries(s);
    const std::string rs(s.rbegin(), s.rend());
    const std::string rkey(key.rbegin(), key.rend());
    const long L = static_cast<long>(s.size()), k = static_cast<long>(key.size());
    for (long q = 1; q + k - 1 <= L; ++q) {
        if (rs.compare(q - 1, k, rkey) != 0) continue;
        const long start = L - (q - 1) - k;  // 0-based start in s
        if (b[start]) return q + (k - 1);
    }
    return k - 1;
}

bool reference(std::string& as_create, std::string& as_drop) {
    std::string s = as_create;
    const auto first = s.find_first_not_of(' ');
    const std::string ls_source = first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(' ') - first + 1);
    std::string ls_tmp = lower(ls_source.substr(0, 200));
    long li_pos = pos(ls_tmp, "create ");
    if (li_pos == 0) return false;
    as_create = ls_source.substr(li_pos - 1);
    const long li_pos_begin = pos(lower(as_create), "begin");
    if (li_pos_begin == 0) return false;
    std::string ls_encryption = as_create.substr(0, li_pos_begin - 1);
    const long L = static_cast<long>(ls_encryption.size());
    const long li_pos_as = last_from_end(lower(ls_encryption), "as");
    if (!(li_pos_as > 1)) return false;
    const long li_pos_for = last_from_end(lower(ls_encryption), "for");
    const long cut = li_pos_for > 2 ? li_pos_for : li_pos_as;
    ls_encryption = ls_encryption.substr(0, L - cut) + " with ENCRYPTION " + ls_encryption.substr(L - cut);
    as_create = ls_encryption + as_create.substr(li_pos_begin - 1);
    ls_tmp = ls_tmp.substr(0, li_pos - 1);
    li_pos = pos(ls_tmp, "\r\ngo") - 1;
    if (li_pos < 1) return false;
    as_drop = ls_source.substr(0, li_pos);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::string create = input, drop = "untouched";
    std::string ref_create = input, ref_drop = "untouched";
    const bool ok = velmora::wf_get_sql_go(create, drop);
    require(ok == reference(ref_create, ref_drop));
    require(drop == ref_drop);
    if (ok) {
        require(create == ref_create);
        // The create statement is the trimmed script from the create key
        // with exactly the clause inserted.
        const auto first = input.find_first_not_of(' ');
        const std::string trimmed = input.substr(first, input.find_last_not_of(' ') - first + 1);
        require(create.size() >= 17 && create.size() - 17 <= trimmed.size());
        const std::string suffix = trimmed.substr(trimmed.size() - (create.size() - 17));
        require(lower(suffix).starts_with("create "));
        bool found = false;
        for (std::size_t at = create.find(velmora::encryption_clause); !found && at != std::string::npos;
             at = create.find(velmora::encryption_clause, at + 1))
            found = create.substr(0, at) + create.substr(at + 17) == suffix;
        require(found);
        require(trimmed.starts_with(drop));
    }

    // The grammar check reads whatever the builder cuts, and names lines of the script.
    std::string cut = input, cut_drop;
    velmora::script_cuts cuts;
    if (velmora::get_sql_go_checked(cut, cut_drop, &cuts) == velmora::split_failure::none) {
        const auto lines = static_cast<std::size_t>(1 + std::count(input.begin(), input.end(), '\n'));
        const velmora::create_reading reading = velmora::read_create_statement(input, cuts);
        for (const velmora::grammar_fault& f : reading.faults) require(f.line >= 1 && f.line <= lines);
        if (reading.faults.empty() || reading.faults[0].what != velmora::grammar_fault::kind::create_key)
            require(reading.clause.line >= 1 && reading.clause.line <= lines);
    }

    // The boundary-aware searches against brute force, with a short needle
    // taken from the input's first bytes.
    if (size >= 2) {
        const std::size_t n = 1 + data[0] % 3;
        if (size > n) {
            const std::string needle = input.substr(1, n);
            const std::string_view text = std::string_view(input).substr(1 + n);
            const std::vector<bool> b = boundaries(text);
            std::size_t first_hit = velmora::gbk_search::npos, last_hit = velmora::gbk_search::npos;
            for (std::size_t i = 0; i + n <= text.size(); ++i)
                if (b[i] && text.substr(i, n) == needle) {
                    if (first_hit == velmora::gbk_search::npos) first_hit = i;
                    last_hit = i;
                }
            require(velmora::gbk_search::find(text, needle) == first_hit);
            require(velmora::gbk_search::rfind(text, needle) == last_hit);
        }
    }
    return 0;
}
