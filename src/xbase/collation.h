#pragma once

// Keys of tags built under a Visual FoxPro collation sequence (SET COLLATE TO "RUSSIAN",
// "GENERAL"). The tag header names the collation (cdx_format.h); a character key of such a tag
// is not the text but its weights, so that the memcmp order of the keys is the collation's
// order. For an expression of N characters the tag's key length is 2·N, and the key is:
//   1. the value with its trailing blanks removed;
//   2. the primary weight of each character, in order; a character that expands (GENERAL's
//      Æ, ß, Þ ...) weighs as the two characters it expands into;
//   3. then the tail weight of each character that has one, in the same order;
//   4. then zero bytes up to the key length (a longer key is cut there).
// Upper and lower case letters share their primary weight, so such a tag ignores letter case;
// the trailing pad of its leaf entries is the zero byte, not the blank.
//
// The weights are Visual FoxPro's own (collation_tables.cpp). The rule is proven on the GENERAL
// tags Visual FoxPro wrote and on files of an independent engine; since no RUSSIAN file of
// Visual FoxPro is at hand, a table proves its collated tags against its records before the
// first write (Table::keysProven).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace xbase {

class Collation {
  public:
    // The collation a tag header names, for a table of that code page: nullptr for the machine
    // order (an empty name or MACHINE), whose keys are the bytes themselves. A collation the
    // engine lacks, or lacks for that code page, is code::kUnsupported naming it.
    static const Collation* find(std::string_view name, int codePage);
    // Whether a tag header's collation name is the machine order.
    static bool isMachine(std::string_view name) { return name.empty() || name == "MACHINE"; }

    const char* name() const { return name_; }
    int codePage() const { return codePage_; }

    // The key of a character value (bytes of the table's code page), exactly `length` bytes.
    void keyInto(std::string_view value, std::size_t length, std::string& out) const;
    // The bytes that the key of every value beginning with `prefix` begins with: the primary
    // weights of the prefix without its trailing blanks, at most `length` of them. (The tails
    // of such a value come after all its primaries, so they are no part of a common prefix.)
    void prefixInto(std::string_view prefix, std::size_t length, std::string& out) const;

  private:
    Collation() = default;
    const char* name_ = "";
    int codePage_ = 0;
    // Per byte: its primary weights (two for an expansion) and its tail weights.
    std::array<std::array<char, 2>, 256> primary_{};
    std::array<std::uint8_t, 256> primaries_{};
    std::array<std::array<char, 2>, 256> tail_{};
    std::array<std::uint8_t, 256> tails_{};
};

}  // namespace xbase
