#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace xbase {

// The Windows ANSI code page of the systems the program serves. Text inside the program is
// in this code page; a table's code-page byte 0 means it too.
inline constexpr int kAnsiCodePage = 1251;
// The OEM code page that OEM tables of those systems use.
inline constexpr int kOemCodePage = 866;

// A single-byte code page: conversion to and from Unicode and its own case mapping.
class CodePage {
  public:
    // The supported code pages: 437, 850, 866, 1251, 1252. Returns nullptr for others.
    static const CodePage* find(int number);
    // As find, but throws code::kUnsupported for an unsupported number.
    static const CodePage& get(int number);

    int number() const { return number_; }
    bool isOem() const { return number_ == 437 || number_ == 850 || number_ == 866; }

    char16_t toUnicode(unsigned char b) const { return toUnicode_[b]; }
    unsigned char upper(unsigned char b) const { return upper_[b]; }
    unsigned char lower(unsigned char b) const { return lower_[b]; }
    const unsigned char* upperTable() const { return upper_; }
    const unsigned char* lowerTable() const { return lower_; }

    std::string toUtf8(std::string_view bytes) const;
    // UTF-8 text in this code page; nullopt when a character has no byte here (or the
    // UTF-8 is malformed): text is never silently replaced by '?'.
    std::optional<std::string> fromUtf8(std::string_view utf8) const;
    // The byte of a Unicode code point, or -1.
    int fromUnicode(char32_t cp) const;

  private:
    CodePage(int number, const char16_t* toUnicode, const unsigned char* upper,
             const unsigned char* lower);
    int number_;
    const char16_t* toUnicode_;
    const unsigned char* upper_;
    const unsigned char* lower_;
    std::array<std::uint16_t, 65536>* reverse_;  // code point -> byte + 1, 0 when none
};

// A byte-for-byte translation between two code pages. Characters both hold map to each
// other; the bytes left over on each side are paired in order, so the translation is a
// permutation and a round trip never loses a byte.
class Translation {
  public:
    static const Translation& between(int fromCodePage, int toCodePage);
    unsigned char operator()(unsigned char b) const { return map_[b]; }
    void apply(char* data, std::size_t n) const {
        for (std::size_t i = 0; i < n; ++i)
            data[i] = static_cast<char>(map_[static_cast<unsigned char>(data[i])]);
    }
    std::string apply(std::string_view s) const {
        std::string out(s);
        apply(out.data(), out.size());
        return out;
    }
    bool identity() const { return identity_; }

  private:
    Translation(const CodePage& from, const CodePage& to);
    std::array<unsigned char, 256> map_{};
    bool identity_ = false;
};

// The code page that a DBF header's code-page byte (offset 29) names, 0 when the byte names
// one we do not support. Byte 0 means the ANSI code page.
int codePageFromByte(std::uint8_t b);
// The code page a dBase 7 language driver's name names ("DB866RU0" 866, "DBWINUS0" 1252,
// "DBWINRU0" 1251, ...), 0 when the name is empty or names none we support.
int codePageFromDriverName(std::string_view name);
// The code-page byte written for a code page.
std::uint8_t codePageByte(int codePage);

// Appends the UTF-8 form of one code point.
void appendUtf8(std::string& out, char32_t cp);

}  // namespace xbase
