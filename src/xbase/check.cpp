#include "xbase/check.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>

#include "xbase/ascii.h"
#include "xbase/bytes.h"
#include "xbase/cdx.h"
#include "xbase/cdx_format.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/key.h"
#include "xbase/parallel.h"

namespace xbase {

namespace {

constexpr std::size_t kMaxListed = 10;

struct Entry {
    std::string key;
    std::uint32_t recno;
};

// The pages of an index file a walk has reached, a bit each.
class PageSet {
  public:
    explicit PageSet(std::uint64_t fileSize) : bits_(fileSize / kNodeSize + 1) {}
    // False when the page was reached before.
    bool insert(std::uint32_t offset) {
        const std::size_t at = offset / kNodeSize;
        if (at >= bits_.size()) return true;  // outside the file: reading it will say so
        if (bits_[at]) return false;
        bits_[at] = true;
        return true;
    }
    bool count(std::uint32_t offset) const {
        const std::size_t at = offset / kNodeSize;
        return at < bits_.size() && bits_[at];
    }

  private:
    std::vector<bool> bits_;
};

class TagChecker {
  public:
    TagChecker(const Table& table, const CdxFile& cdx, const TagInfo& tag, PageSet& used,
               CheckReport& report)
        : table_(table),
          cdx_(cdx),
          tag_(tag),
          used_(used),
          problems_(report.problems),
          warnings_(report.warnings) {}

    // Walks the tree level by level and judges how it is stored: node kinds and root flags,
    // sibling links of every level, each interior entry against the last entry of its child,
    // the free space of every leaf, the order of the entries and the encoding of each leaf
    // entry. Returns the entries of the leaves in key order; false when the tree cannot be
    // walked.
    // With `entries` null, only the count of the entries is kept (walked()).
    bool walk(std::vector<Entry>* entries) {
        std::vector<std::uint32_t> level{tag_.root};
        std::vector<Parent> parents;
        CdxFile::ReadAhead ahead;
        bool isRoot = true;
        for (int depth = 0; depth < 64; ++depth) {
            std::vector<std::uint32_t> nextLevel;
            std::vector<Parent> nextParents;
            bool leaves = false;
            std::uint32_t expectLeft = kNoNode;
            for (std::size_t i = 0; i < level.size(); ++i) {
                std::uint32_t off = level[i];
                if (!used_.insert(off)) {
                    report("node " + std::to_string(off) +
                           " is reached twice (a cycle or a shared node)");
                    return false;
                }
                Node n;
                try {
                    n = cdx_.readNodeWithCounts(tag_, off, &ahead);
                } catch (const Error& e) {
                    problems_.push_back(e.what());
                    return false;
                }
                if (i == 0) leaves = n.leaf();
                if (n.leaf() != leaves) {
                    report("node " + std::to_string(off) + ": the leaves are not all on one level");
                    return false;
                }
                if (isRoot != n.root())
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
                if (n.leaf() && n.freeSpace != kNodeSize - cdxfmt::leaf::kEntries - n.usedSpace)
                    report("leaf " + std::to_string(off) + " records " +
                           std::to_string(n.freeSpace) + " free bytes but has " +
                           std::to_string(kNodeSize - cdxfmt::leaf::kEntries - n.usedSpace));
                if (!isRoot && n.count == 0) report("node " + std::to_string(off) + " is empty");
                // The parent's entry for this node must equal the node's last entry.
                if (i < parents.size() && n.count > 0) {
                    const Parent& p = parents[i];
                    if (p.key != n.key(n.count - 1u) || p.recno != n.recnos[n.count - 1u])
                        report("interior node " + std::to_string(p.node) + ", entry " +
                               std::to_string(p.entry + 1) + ": not the last entry of its child " +
                               std::to_string(off));
                }
                if (n.leaf()) {
                    checkEncoding(n);
                    for (std::size_t k = 0; k < n.count; ++k) {
                        if (walked_ > 0 &&
                            compareEntry(last_.key, last_.recno, n.key(k), n.recnos[k]) >= 0 &&
                            !disordered_) {
                            disordered_ = true;
                            report("leaf " + std::to_string(off) + ", entry " +
                                   std::to_string(k + 1) + " (record " +
                                   std::to_string(n.recnos[k]) +
                                   ") is not after the entry before it in key order");
                        }
                        last_.key.assign(n.key(k));
                        last_.recno = n.recnos[k];
                        ++walked_;
                        if (entries) entries->push_back(last_);
                    }
                } else {
                    for (std::size_t k = 0; k < n.count; ++k) {
                        nextLevel.push_back(n.children[k]);
                        nextParents.push_back({std::string(n.key(k)), n.recnos[k], off, k});
                    }
                }
            }
            if (leaves) return true;
            level = std::move(nextLevel);
            parents = std::move(nextParents);
            isRoot = false;
        }
        report("the tree is deeper than 64 levels");
        return false;
    }

    void compare(const std::vector<Entry>& actual) {
        if (!tag_.expressionError.empty()) {
            if (tag_.expressionUnsupported)
                warn("entries not compared with the records: " + tag_.expressionError);
            else
                report("cannot evaluate the key: " + tag_.expressionError);
            return;
        }
        std::unique_ptr<KeyBuilder> kb;
        try {
            kb = std::make_unique<KeyBuilder>(table_, tag_);
        } catch (const Error& e) {
            if (e.code() == code::kUnsupported)
                warn(std::string("entries not compared with the records: ") + e.what());
            else
                report(std::string("cannot evaluate the key: ") + e.what());
            return;
        }
        if (tag_.keyKind == 'C' && !kb->lengthFollowsData() &&
            kb->naturalLength() != tag_.keyLength)
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
        std::stable_sort(expected.begin(), expected.end(), inOrder);
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
                               std::to_string(actual[i].recno) + " key " +
                               ascii::hex(actual[i].key) + ", expected key " +
                               ascii::hex(kept[i].key));
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
                    a ? "record " + std::to_string(a->recno) + " key " + ascii::hex(a->key)
                      : "nothing";
                std::string want =
                    e ? "record " + std::to_string(e->recno) + " key " + ascii::hex(e->key)
                      : "nothing";
                report("entry " + std::to_string(i + 1) + " is " + has + ", expected " + want);
            }
        }
        if (bad > kMaxListed) report(std::to_string(bad) + " entries differ");
        if (actual.size() != expected.size())
            report("holds " + std::to_string(actual.size()) + " entries, expected " +
                   std::to_string(expected.size()));
        if (bad > 0 && kb->collation())
            report("the stored keys are not those this engine computes under the collation " +
                   tag_.collation +
                   ": the index is out of date, or its writer weighed some character otherwise "
                   "(then unsupported); the table is not written");
    }

  private:
    struct Parent {
        std::string key;
        std::uint32_t recno;
        std::uint32_t node;
        std::size_t entry;
    };
    // Tree order: the tree keeps every tag in ascending byte order, then record number; a
    // descending tag is walked backwards.
    static bool inOrder(const Entry& a, const Entry& b) {
        return compareEntry(a.key, a.recno, b.key, b.recno) < 0;
    }
    // Each entry's counts against the canonical ones: what other engines write, and what the
    // engines that rebuild keys walking a leaf backwards need. Other counts still decode, so
    // they are a warning, once per leaf.
    // The rule is computed here byte by byte on its own, not with the writers' packer, so that
    // a fault in the writers' rule cannot hide from the check.
    void checkEncoding(const Node& n) {
        const std::size_t kl = n.keyLength;
        std::size_t previousTrail = 0;
        for (std::size_t i = 0; i < n.count; ++i) {
            const std::string_view key = n.key(i);
            std::size_t trail = 0;
            while (trail < kl && key[kl - 1 - trail] == n.trail)
                ++trail;
            std::size_t dup = 0;
            if (i > 0) {
                const std::string_view previous = n.key(i - 1);
                const std::size_t limit = kl - std::max(trail, previousTrail);
                while (dup < limit && previous[dup] == key[dup])
                    ++dup;
            }
            previousTrail = trail;
            if (n.dups[i] == dup && n.trails[i] == trail) continue;
            warn("leaf " + std::to_string(n.offset) + ", entry " + std::to_string(i + 1) +
                 " (record " + std::to_string(n.recnos[i]) + ") stores the counts " +
                 std::to_string(n.dups[i]) + "/" + std::to_string(n.trails[i]) +
                 " (shared/trailing) instead of " + std::to_string(dup) + "/" +
                 std::to_string(trail) +
                 ": readable, but engines that rebuild keys backwards reject it; a reindex "
                 "rewrites it");
            return;
        }
    }
    static std::string linkText(std::uint32_t off) {
        return off == kNoNode ? std::string("none") : std::to_string(off);
    }
    void report(const std::string& what) { problems_.push_back("tag " + tag_.name + ": " + what); }
    void warn(const std::string& what) { warnings_.push_back("tag " + tag_.name + ": " + what); }

    const Table& table_;
    const CdxFile& cdx_;
    const TagInfo& tag_;
    PageSet& used_;
    std::vector<std::string>& problems_;
    std::vector<std::string>& warnings_;
    bool disordered_ = false;
    Entry last_;                // the last leaf entry walked
    std::uint64_t walked_ = 0;  // leaf entries walked

  public:
    std::uint64_t walked() const { return walked_; }
};

}  // namespace

CheckReport checkTable(const Table& table, CheckDepth depth) {
    CheckReport r;
    for (const std::string& w : table.warnings())
        r.warnings.push_back(w);
    const CdxFile* cdx = table.index();
    if (!cdx) return r;
    PageSet used(cdx->size());
    {
        std::vector<Entry> dirEntries;
        TagChecker dir(table, *cdx, cdx->directory(), used, r);
        dir.walk(&dirEntries);
    }
    // The tags are walked on their own, in parallel: each with its own findings and pages,
    // gathered in tag order afterwards.
    const std::vector<TagInfo>& tags = cdx->tags();
    std::vector<CheckReport> found(tags.size());
    std::vector<PageSet> reached(tags.size(), PageSet(cdx->size()));
    const std::size_t workers = workerCount(tags.size());
    runWorkers(workers, [&](std::size_t w) {
        for (std::size_t t = w; t < tags.size(); t += workers) {
            const TagInfo& tag = tags[t];
            CheckReport& out = found[t];
            if (tag.signature == cdxfmt::kBinarySignature) {
                out.warnings.push_back("tag " + tag.name +
                                       ": a binary index (signature 5), not read: unsupported");
                continue;
            }
            std::vector<Entry> entries;
            TagChecker tc(table, *cdx, tag, reached[t], out);
            if (depth == CheckDepth::Full) {
                if (tc.walk(&entries)) tc.compare(entries);
            } else if (tc.walk(nullptr) && tag.forExpression.empty() && !tag.unique &&
                       tc.walked() != table.recordCount()) {
                // Without a FOR condition every record has its entry.
                out.problems.push_back("tag " + tag.name + ": holds " +
                                       std::to_string(tc.walked()) + " entries for " +
                                       std::to_string(table.recordCount()) + " records");
            }
        }
    });
    for (std::size_t t = 0; t < tags.size(); ++t) {
        ++r.tags;
        r.problems.insert(r.problems.end(), found[t].problems.begin(), found[t].problems.end());
        r.warnings.insert(r.warnings.end(), found[t].warnings.begin(), found[t].warnings.end());
    }
    // No node belongs to two trees.
    for (std::uint64_t off = 0; off < cdx->size(); off += kNodeSize) {
        const auto page = static_cast<std::uint32_t>(off);
        for (std::size_t t = 0; t < tags.size(); ++t) {
            if (!reached[t].count(page)) continue;
            if (!used.insert(page))
                r.problems.push_back("tag " + tags[t].name + ": node " + std::to_string(page) +
                                     " is reached from another tag as well");
        }
    }
    // Every page of the file belongs to a header, a node of some tag, or the free list.
    PageSet pages = used;
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
        if (used.count(freeNode))
            r.problems.push_back(cdx->path() + ": page " + std::to_string(freeNode) +
                                 " is on the free list and in a tag's tree");
        pages.insert(freeNode);
        unsigned char h[4];
        if (file.readAt(freeNode, h, sizeof h) != sizeof h) break;
        freeNode = le32(h);  // a free page holds the next one in its first four bytes
    }
    // Pages that nothing reaches are wasted space, as Visual FoxPro often leaves it (those of
    // a binary index among them), not damage.
    std::size_t lost = 0;
    std::string first;
    for (std::uint64_t off = 0; off < cdx->size(); off += kNodeSize) {
        if (pages.count(static_cast<std::uint32_t>(off))) continue;
        if (lost++ < kMaxListed) first += (first.empty() ? "" : ", ") + std::to_string(off);
    }
    if (lost > 0)
        r.warnings.push_back(cdx->path() + ": " + std::to_string(lost) +
                             " pages belong to no tag and are not on the free list (wasted "
                             "space: " +
                             first + (lost > kMaxListed ? ", ..." : "") + ")");
    return r;
}

}  // namespace xbase
