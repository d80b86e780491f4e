#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace xbase {

class Table;

struct CheckReport {
    std::size_t tags = 0;
    // Damage: what another engine would refuse or read wrongly.
    std::vector<std::string> problems;
    // Readable, but not stored the way other engines write it (the file is sound).
    std::vector<std::string> warnings;
    bool ok() const { return problems.empty(); }
    // Sound and stored exactly as other engines write: what every write of ours must leave.
    bool strict() const { return problems.empty() && warnings.empty(); }
};

// Checks the structural index of an open table the way other engines need it stored: for every
// tag (and the tag directory) the node kinds and root flag, the sibling links of every level,
// each interior entry equal to the last entry (key, record) of its child, the free space each
// leaf records, the entries strictly ascending by key bytes and record number, each leaf
// entry's duplicate and trail counts canonical; no node reachable twice, no free-list page in
// a tree; every tag's entries against the keys evaluated from the records (brute force); and
// the index pages that no tag, header or free list uses. Each finding names the tag and page.
// How far the check goes: Full compares every tag with the keys of the records; Structure
// judges how every tag is stored and that a tag without a FOR condition holds one entry per
// record, without computing the keys (a pass over the index alone, as after a write).
enum class CheckDepth { Full, Structure };
CheckReport checkTable(const Table& table, CheckDepth depth = CheckDepth::Full);

}  // namespace xbase
