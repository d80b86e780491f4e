#include "xbase/check.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>

#include "xbase/bytes.h"
#include "xbase/cdx.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/key.h"

namespace xbase {

namespace {

constexpr std::size_t kMaxListed = 10;

std::string hex(std::string_view s) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

struct Entry {
    std::string key;
    std::uint32_t recno;
};

class TagChecker {
  public:
    TagChecker(const Table& table, const CdxFile& cdx, const TagInfo& tag,
               std::set<std::uint32_t>& used, std::vector<std::string>& problems)
        : table_(table), cdx_(cdx), tag_(tag), used_(used), problems_(problems) {}

    // Walks the tree level by level; returns the entries of the leaves in key order.
    bool walk(std::vector<Entry>& entries) {
        std::vector<std::uint32_t> level{tag_.root};
        bool isRoot = true;
        for (int depth = 0; depth < 64; ++depth) {
            std::vector<std::uint32_t> nextLevel;
            std::vector<std::pair<std::string, std::uint32_t>> parentKeys = parentKeys_;
            parentKeys_.clear();
            bool leaves = false;
            std::uint32_t expectLeft = kNoNode;
            for (std::size_t i = 0; i < level.size(); ++i) {
                std::uint32_t off = level[i];
                if (!used_.insert(off).second) {
                    report("node " + std::to_string(off) +
                           " is reached twice (a cycle or a shared node)");
                    return false;
                }
                Node n;
                try {
                    n = cdx_.readNode(tag_, off);
                } catch (const Error& e) {
                    problems_.push_back(e.what());
                    return false;
                }
                if (i == 0) leaves = n.leaf();
                if (n.leaf() != leaves) {
                    report("the leaves are not all on one level");
                    return false;
                }
                if (isRoot != ((n.attributes & 1) != 0))
                    report("node " + std::to_string(off) +
                           (isRoot ? " is the root but not flagged so"
                                   : " is flagged as a root but is not"));
                if (n.left != expectLeft)
                    report("node " + std::to_string(off) + " links left to " + linkText(n.left) +
                           " instead of " + linkText(expectLeft));
                std::uint32_t expectRight = i + 1 < level.size() ? level[i + 1] : kNoNode;
                if (n.right != expectRight)
                    report("node " + std::to_string(off) + " links right to " + linkText(n.right) +
                           " instead of " + linkText(expectRight));
                expectLeft = off;
                if (n.leaf() && n.freeSpace != kNodeSize - 24 - n.usedSpace)
                    report("leaf " + std::to_string(off) + " records " +
                           std::to_string(n.freeSpace) + " free bytes but has " +
                           std::to_string(kNodeSize - 24 - n.usedSpace));
                if (!isRoot && n.count == 0) report("node " + std::to_string(off) + " is empty");
                // The parent's key for this node must equal the node's last key.
                if (!parentKeys.empty() && i < parentKeys.size() && n.count > 0) {
                    const auto& [pk, pr] = parentKeys[i];
                    if (pk != n.key(n.count - 1u) || pr != n.recnos[n.count - 1u])
                        report("the parent key of node " + std::to_string(off) +
                               " is not its last key");
                }
                for (std::size_t k = 0; k < n.count; ++k) {
                    if (n.leaf()) {
                        entries.push_back({std::string(n.key(k)), n.recnos[k]});
                    } else {
                        nextLevel.push_back(n.children[k]);
                        parentKeys_.emplace_back(std::string(n.key(k)), n.recnos[k]);
                    }
                }
            }
            if (leaves) return true;
            level = std::move(nextLevel);
            isRoot = false;
        }
        report("the tree is deeper than 64 levels");
        return false;
    }

    void compare(const std::vector<Entry>& actual) {
        auto less = [&](const Entry& a, const Entry& b) {
            // The tree keeps every tag in ascending byte order; a descending tag is walked
            // backwards.
            int c = std::memcmp(a.key.data(), b.key.data(), a.key.size());
            if (c != 0) return c < 0;
            return a.recno < b.recno;
        };
        for (std::size_t i = 1; i < actual.size(); ++i) {
            if (!less(actual[i - 1], actual[i])) {
                report("entries " + std::to_string(i) + " and " + std::to_string(i + 1) +
                       " are out of order");
                break;
            }
        }
        if (!tag_.expressionError.empty()) {
            report("cannot evaluate the key: " + tag_.expressionError);
            return;
        }
        if (tag_.collation != "MACHINE")
            report("the collation " + tag_.collation + " is not the machine order");
        std::unique_ptr<KeyBuilder> kb;
        try {
            kb = std::make_unique<KeyBuilder>(table_, tag_);
        } catch (const Error& e) {
            report(std::string("cannot evaluate the key: ") + e.what());
            return;
        }
        if (tag_.keyKind == 'C' && kb->naturalLength() != tag_.keyLength)
            report("the key expression gives " + std::to_string(kb->naturalLength()) +
                   " bytes but the tag's key length is " + std::to_string(tag_.keyLength));
        std::vector<Entry> expected;
        expected.reserve(table_.recordCount());
        std::vector<char> buf;
        try {
            table_.scan(1, buf, [&](const char* rec, std::uint32_t recno) {
                if (kb->included(rec, recno)) expected.push_back({kb->key(rec, recno), recno});
                return true;
            });
        } catch (const Error& e) {
            report(std::string("cannot evaluate the key: ") + e.what());
            return;
        }
        std::stable_sort(expected.begin(), expected.end(), less);
        if (tag_.unique) {
            // A unique tag keeps one entry per key; which record is the engine's choice.
            std::vector<Entry> kept;
            std::map<std::string, std::set<std::uint32_t>> holders;
            for (const Entry& e : expected) {
                holders[e.key].insert(e.recno);
                if (kept.empty() || kept.back().key != e.key) kept.push_back(e);
            }
            std::size_t bad = 0;
            if (kept.size() != actual.size()) {
                report("holds " + std::to_string(actual.size()) + " entries but the table has " +
                       std::to_string(kept.size()) + " distinct keys");
                return;
            }
            for (std::size_t i = 0; i < kept.size(); ++i) {
                if (kept[i].key != actual[i].key || !holders[kept[i].key].count(actual[i].recno)) {
                    if (bad++ < kMaxListed)
                        report("entry " + std::to_string(i + 1) + " is record " +
                               std::to_string(actual[i].recno) + " key " + hex(actual[i].key) +
                               ", expected key " + hex(kept[i].key));
                }
            }
            if (bad > kMaxListed) report(std::to_string(bad) + " entries differ");
            return;
        }
        std::size_t bad = 0;
        std::size_t n = std::max(actual.size(), expected.size());
        for (std::size_t i = 0; i < n; ++i) {
            const Entry* a = i < actual.size() ? &actual[i] : nullptr;
            const Entry* e = i < expected.size() ? &expected[i] : nullptr;
            if (a && e && a->key == e->key && a->recno == e->recno) continue;
            if (bad++ < kMaxListed) {
                std::string has =
                    a ? "record " + std::to_string(a->recno) + " key " + hex(a->key) : "nothing";
                std::string want =
                    e ? "record " + std::to_string(e->recno) + " key " + hex(e->key) : "nothing";
                report("entry " + std::to_string(i + 1) + " is " + has + ", expected " + want);
            }
        }
        if (bad > kMaxListed) report(std::to_string(bad) + " entries differ");
        if (actual.size() != expected.size())
            report("holds " + std::to_string(actual.size()) + " entries, expected " +
                   std::to_string(expected.size()));
    }

  private:
    static std::string linkText(std::uint32_t off) {
        return off == kNoNode ? std::string("none") : std::to_string(off);
    }
    void report(const std::string& what) { problems_.push_back("tag " + tag_.name + ": " + what); }

    const Table& table_;
    const CdxFile& cdx_;
    const TagInfo& tag_;
    std::set<std::uint32_t>& used_;
    std::vector<std::string>& problems_;
    std::vector<std::pair<std::string, std::uint32_t>> parentKeys_;
};

}  // namespace

CheckReport checkTable(const Table& table) {
    CheckReport r;
    for (const std::string& w : table.warnings())
        r.problems.push_back(w);
    const CdxFile* cdx = table.index();
    if (!cdx) return r;
    std::set<std::uint32_t> used;
    {
        std::vector<Entry> dirEntries;
        TagChecker dir(table, *cdx, cdx->directory(), used, r.problems);
        dir.walk(dirEntries);
    }
    for (const TagInfo& tag : cdx->tags()) {
        ++r.tags;
        std::vector<Entry> entries;
        TagChecker tc(table, *cdx, tag, used, r.problems);
        if (tc.walk(entries)) tc.compare(entries);
    }
    // Every page of the file belongs to a header, a node of some tag, or the free list.
    std::set<std::uint32_t> pages(used);
    pages.insert(0);
    pages.insert(kNodeSize);
    for (const TagInfo& tag : cdx->tags()) {
        pages.insert(tag.headerOffset);
        pages.insert(tag.headerOffset + kNodeSize);
    }
    std::uint32_t freeNode = cdx->directory().freeList;
    std::unordered_set<std::uint32_t> freeSeen;
    const File& file = cdx->file();
    while (freeNode != 0 && freeNode != kNoNode) {
        if (freeNode % kNodeSize != 0 || freeNode + kNodeSize > cdx->size() ||
            !freeSeen.insert(freeNode).second) {
            r.problems.push_back(cdx->path() + ": the free list is broken at " +
                                 std::to_string(freeNode));
            break;
        }
        pages.insert(freeNode);
        unsigned char h[4];
        if (file.readAt(freeNode, h, sizeof h) != sizeof h) break;
        freeNode = le32(h);  // a free page holds the next one in its first four bytes
    }
    std::size_t lost = 0;
    for (std::uint64_t off = 0; off < cdx->size(); off += kNodeSize) {
        if (!pages.count(static_cast<std::uint32_t>(off))) {
            if (lost++ < kMaxListed)
                r.problems.push_back(cdx->path() + ": page " + std::to_string(off) +
                                     " belongs to no tag (a lost block)");
        }
    }
    if (lost > kMaxListed)
        r.problems.push_back(cdx->path() + ": " + std::to_string(lost) + " lost pages in all");
    return r;
}

}  // namespace xbase
