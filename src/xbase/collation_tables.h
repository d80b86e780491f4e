#pragma once

// The weight tables of the collations the engine computes (collation_tables.cpp); the
// assembly of a key from them is in collation.h.

#include <cstddef>
#include <cstdint>

namespace xbase::collation_tables {

// A byte with a tail (secondary) weight, which follows the primary weights in a key.
struct Tail {
    std::uint8_t byte, weight;
};
// A byte that weighs as two characters of the same code page (GENERAL's Æ as "ae").
struct Expansion {
    std::uint8_t byte, first, second;
};
struct Table {
    const char* name;  // as the tag header records it
    int codePage;
    const std::uint8_t* primary;  // 256 entries
    const Tail* tails;
    std::size_t tailCount;
    const Expansion* expansions;
    std::size_t expansionCount;
};

extern const Table kTables[];
extern const std::size_t kTableCount;

}  // namespace xbase::collation_tables
