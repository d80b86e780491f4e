#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace xbase {

class Table;

struct CheckReport {
    std::size_t tags = 0;
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
};

// Checks the structural index of an open table: every tag's tree (node links, key order,
// parent keys, compression counts, free space), every tag's entries against the keys evaluated
// from the records (brute force), and the index pages that no tag, header or free list uses.
CheckReport checkTable(const Table& table);

}  // namespace xbase
