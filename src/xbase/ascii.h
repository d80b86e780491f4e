#pragma once

// Letter case of ASCII text, as names of fields, tags, files and functions are compared and
// stored: only A-Z and a-z change; other bytes (the letters of a code page among them, which
// have their own tables in codepage.h) stay as they are. And the blanks around a stored value,
// and bytes shown as hexadecimal digits.

#include <string>
#include <string_view>

namespace xbase::ascii {

inline char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
inline char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
inline std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = upper(c);
    return out;
}
inline std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = lower(c);
    return out;
}
inline bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// Bytes as upper-case hexadecimal digits, two per byte.
inline std::string hex(std::string_view s) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() * 2);
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// `s` without the blanks before and after it.
inline std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

}  // namespace xbase::ascii
