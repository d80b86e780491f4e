// Writing compound indexes: node encoding, bulk builds and single-entry changes.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "xbase/bytes.h"
#include "xbase/cdx.h"
#include "xbase/cdx_build.h"
#include "xbase/cdx_format.h"
#include "xbase/error.h"
#include "xbase/parallel.h"

namespace xbase {

namespace {

using cdxfmt::LeafLayout;
using cdxfmt::LeafPacker;
namespace attr = cdxfmt::attr;

std::uint32_t maxRecno(const Node& n) {
    std::uint32_t m = 0;
    for (auto r : n.recnos)
        m = std::max(m, r);
    return m;
}

// The header of a node as this engine writes it: the kind bits only (root, leaf), never the
// mark Visual FoxPro leaves on nodes it rewrote.
void putHeader(const Node& n, unsigned char* page) {
    cdxfmt::encodeNodeHeader(
        {static_cast<std::uint16_t>(n.attributes & (attr::kRoot | attr::kLeaf)), n.count, n.left,
         n.right},
        page);
}

// Encodes a leaf into a page; false when its entries do not fit.
bool encodeLeaf(const Node& n, unsigned char* page) {
    std::memset(page, 0, kNodeSize);
    putHeader(n, page);
    LeafPacker packer(page, LeafLayout::forKeys(n.keyLength, maxRecno(n)), n.keyLength, n.trail);
    for (std::size_t i = 0; i < n.count; ++i)
        if (!packer.add(n.key(i), n.recnos[i])) return false;
    packer.close();
    return true;
}

bool encodeInterior(const Node& n, unsigned char* page) {
    const std::size_t kl = n.keyLength;
    if (n.count > cdxfmt::interiorCapacity(kl)) return false;
    std::memset(page, 0, kNodeSize);
    putHeader(n, page);
    for (std::size_t i = 0; i < n.count; ++i)
        cdxfmt::encodeInteriorEntry(cdxfmt::interiorEntry(page, kl, i), n.key(i), n.recnos[i],
                                    n.children[i]);
    return true;
}

bool encode(const Node& n, unsigned char* page) {
    return n.leaf() ? encodeLeaf(n, page) : encodeInterior(n, page);
}

void writeTagHeader(unsigned char* h, const TagInfo& t) {
    cdxfmt::TagHeader th;
    th.root = t.root;
    th.freeList = t.freeList;
    th.keyLength = t.keyLength;
    th.options = t.options;
    th.signature = t.signature;
    th.descending = t.descending;
    th.keyExpression = t.keyExpression;
    th.forExpression = t.forExpression;
    if (t.collation != "MACHINE") th.collation = t.collation;
    if (!cdxfmt::encodeTagHeader(th, h))
        fail(code::kUnsupported, "The expressions of tag " + t.name + " are too long");
}

// The entries from `from` to `to` of a node, as a node of their own.
Node slice(const Node& n, std::size_t from, std::size_t to) {
    Node p;
    p.attributes = n.attributes;
    p.keyLength = n.keyLength;
    p.trail = n.trail;
    p.count = static_cast<std::uint16_t>(to - from);
    const std::size_t kl = n.keyLength;
    p.keys.assign(n.keys.begin() + static_cast<std::ptrdiff_t>(from * kl),
                  n.keys.begin() + static_cast<std::ptrdiff_t>(to * kl));
    p.recnos.assign(n.recnos.begin() + static_cast<std::ptrdiff_t>(from),
                    n.recnos.begin() + static_cast<std::ptrdiff_t>(to));
    if (!n.leaf())
        p.children.assign(n.children.begin() + static_cast<std::ptrdiff_t>(from),
                          n.children.begin() + static_cast<std::ptrdiff_t>(to));
    return p;
}

// Splits the entries of an overfull node into two that each fit; returns the count for the
// left one.
std::size_t splitPoint(const Node& n) {
    unsigned char page[kNodeSize];
    std::size_t mid = n.count / 2;
    for (std::size_t delta = 0; delta < n.count; ++delta) {
        for (std::size_t m : {mid + delta, mid - std::min(mid, delta)}) {
            if (m == 0 || m >= n.count) continue;
            if (encode(slice(n, 0, m), page) && encode(slice(n, m, n.count), page)) return m;
        }
    }
    fail(code::kCorruptIndex, "a node cannot be split");
}

void insertEntry(Node& n, std::size_t at, std::string_view key, std::uint32_t recno,
                 std::uint32_t child) {
    n.keys.insert(n.keys.begin() + static_cast<std::ptrdiff_t>(at * n.keyLength), key.begin(),
                  key.end());
    n.recnos.insert(n.recnos.begin() + static_cast<std::ptrdiff_t>(at), recno);
    if (!n.leaf()) n.children.insert(n.children.begin() + static_cast<std::ptrdiff_t>(at), child);
    ++n.count;
}

void eraseEntry(Node& n, std::size_t at) {
    auto k = n.keys.begin() + static_cast<std::ptrdiff_t>(at * n.keyLength);
    n.keys.erase(k, k + n.keyLength);
    n.recnos.erase(n.recnos.begin() + static_cast<std::ptrdiff_t>(at));
    if (!n.leaf()) n.children.erase(n.children.begin() + static_cast<std::ptrdiff_t>(at));
    --n.count;
}

void setEntryKey(Node& n, std::size_t at, std::string_view key, std::uint32_t recno) {
    std::memcpy(n.keys.data() + at * n.keyLength, key.data(), n.keyLength);
    n.recnos[at] = recno;
}

}  // namespace

int compareEntry(std::string_view a, std::uint32_t ra, std::string_view b, std::uint32_t rb) {
    int c = std::memcmp(a.data(), b.data(), a.size());
    if (c != 0) return c < 0 ? -1 : 1;
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

// ---- bulk ------------------------------------------------------------------------------

void TagEntries::add(std::string_view key, std::uint32_t recno) {
    std::size_t at = keys.size();
    keys.resize(at + key.size());
    std::memcpy(keys.data() + at, key.data(), key.size());
    recnos.push_back(recno);
}

void TagEntries::sort(bool unique) {
    const std::size_t n = recnos.size();
    // Sort on the first sixteen key bytes as two numbers, falling back to the rest of the key
    // only where those are equal.
    struct Item {
        std::uint64_t high, low;
        std::uint32_t entry;
    };
    std::vector<Item> items(n);
    const std::size_t kl = keyLength;
    for (std::size_t i = 0; i < n; ++i) {
        const auto* k = reinterpret_cast<const unsigned char*>(keys.data() + i * kl);
        std::uint64_t h = 0, l = 0;
        for (std::size_t b = 0; b < 8; ++b)
            h = (h << 8) | (b < kl ? k[b] : 0);
        for (std::size_t b = 8; b < 16; ++b)
            l = (l << 8) | (b < kl ? k[b] : 0);
        items[i] = {h, l, static_cast<std::uint32_t>(i)};
    }
    std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        if (a.high != b.high) return a.high < b.high;
        if (a.low != b.low) return a.low < b.low;
        if (kl > 16) {
            int c = std::memcmp(keys.data() + a.entry * kl + 16, keys.data() + b.entry * kl + 16,
                                kl - 16);
            if (c != 0) return c < 0;
        }
        return recnos[a.entry] < recnos[b.entry];
    });
    order.clear();
    order.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t e = items[i].entry;
        if (unique && !order.empty() &&
            std::memcmp(keys.data() + order.back() * kl, keys.data() + e * kl, kl) == 0)
            continue;
        order.push_back(e);
    }
}

void addEntries(TagTreeWriter& tree, const TagEntries& sorted) {
    const std::size_t n = sorted.order.size();
    for (std::size_t i = 0; i < n; ++i) {
        // Keys lie in record order, the tree wants them in key order: fetch ahead.
        if (i + 16 < n) __builtin_prefetch(sorted.key(i + 16).data());
        tree.add(sorted.key(i), sorted.recno(i));
    }
}

void writeCompoundIndex(const std::string& path, const std::vector<TagInfo>& tagsIn,
                        const std::vector<TagEntries>& entries) {
    // Each tag's tree is built on its own, in parallel, straight into the file.
    IndexFileWriter out(path, tagsIn.size());
    std::vector<TagInfo> tags = tagsIn;
    const std::size_t workers = workerCount(tags.size());
    runWorkers(workers, [&](std::size_t w) {
        for (std::size_t t = w; t < tags.size(); t += workers) {
            const TagEntries& e = entries[t];
            std::uint32_t maxRecno = 0;
            for (std::uint32_t r : e.recnos)
                maxRecno = std::max(maxRecno, r);
            TagTreeWriter tree(out, tags[t], maxRecno);
            addEntries(tree, e);
            tags[t].root = tree.finish();
        }
    });
    out.finish(std::move(tags));
}

// ---- streamed builds ----------------------------------------------------------------------

IndexFileWriter::IndexFileWriter(const std::string& path, std::size_t tagCount)
    : file_(File::create(path)), tagCount_(tagCount), end_(1024 + 1024 * tagCount) {}

std::uint32_t IndexFileWriter::reserve(std::uint32_t pages) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Pages given back are handed out again first, so that few stay free in the end.
    for (auto run = free_.begin(); run != free_.end(); ++run) {
        if (run->second < pages) continue;
        const std::uint32_t at = run->first;
        run->first += pages * kNodeSize;
        run->second -= pages;
        if (run->second == 0) free_.erase(run);
        return at;
    }
    std::uint64_t at = end_;
    if (at + static_cast<std::uint64_t>(pages) * kNodeSize > 0xFFFFFE00u)
        fail(code::kUnsupported, file_.path() + ": the index would pass 4 GB");
    end_ += static_cast<std::uint64_t>(pages) * kNodeSize;
    return static_cast<std::uint32_t>(at);
}

void IndexFileWriter::write(std::uint32_t offset, const void* data, std::size_t n) {
    file_.writeAt(offset, data, n);  // positioned writes: no shared file position
}

void IndexFileWriter::release(std::uint32_t first, std::uint32_t pages) {
    if (pages == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    free_.emplace_back(first, pages);
}

void IndexFileWriter::finish(std::vector<TagInfo> tags) {
    std::vector<std::pair<std::string, std::uint32_t>> directory;
    for (std::size_t t = 0; t < tags.size(); ++t) {
        TagInfo& tag = tags[t];
        tag.headerOffset = static_cast<std::uint32_t>(1024 + 1024 * t);
        tag.freeList = 0;
        // The options a tag had stay (nullable values, candidate); the ones that follow from
        // the tag's definition are set from it.
        namespace opt = cdxfmt::option;
        tag.options = static_cast<std::uint8_t>(
            (tag.options & ~(opt::kUnique | opt::kFor | opt::kDirectory)) | opt::kCompact |
            opt::kCompound | (tag.unique ? opt::kUnique : 0) |
            (tag.forExpression.empty() ? 0 : opt::kFor));
        unsigned char header[1024];
        writeTagHeader(header, tag);
        file_.writeAt(tag.headerOffset, header, sizeof header);
        std::string name = tag.name.substr(0, 10);
        name.resize(10, ' ');
        directory.emplace_back(name, tag.headerOffset);
    }
    std::sort(directory.begin(), directory.end());
    TagInfo dir;
    dir.name = "(directory)";
    dir.keyLength = 10;
    dir.keyKind = 'C';
    dir.options = 0xE0;
    {
        std::uint32_t last = 0;
        for (const auto& d : directory)
            last = std::max(last, d.second);
        TagTreeWriter tree(*this, dir, last);
        for (const auto& [name, offset] : directory)
            tree.add(name, offset);
        dir.root = tree.finish();
    }
    // The free list: each free page names the next, the last names none.
    std::vector<std::uint32_t> pages;
    for (const auto& [first, count] : free_)
        for (std::uint32_t i = 0; i < count; ++i)
            pages.push_back(first + i * kNodeSize);
    std::sort(pages.begin(), pages.end());
    for (std::size_t i = 0; i < pages.size(); ++i) {
        unsigned char blank[kNodeSize] = {};
        putLe32(blank, i + 1 < pages.size() ? pages[i + 1] : 0);
        file_.writeAt(pages[i], blank, kNodeSize);
    }
    dir.freeList = pages.empty() ? 0 : pages.front();
    unsigned char header[1024];
    writeTagHeader(header, dir);
    file_.writeAt(0, header, sizeof header);
    file_.sync();
}

namespace {
// Leaves are written a chunk of pages at a time; chunks grow from one page to this many, so a
// small tag leaves few reserved pages unused.
constexpr std::size_t kChunkPages = 32;
}  // namespace

TagTreeWriter::TagTreeWriter(IndexFileWriter& out, const TagInfo& tag, std::uint32_t maxRecno)
    : out_(out),
      tag_(tag),
      layout_(LeafLayout::forKeys(tag.keyLength, maxRecno)),
      pad_(padOf(tag)),
      chunk_(kChunkPages * kNodeSize, 0) {}

void TagTreeWriter::flushChunk() {
    if (used_ == 0) return;
    out_.write(chunkStart_, chunk_.data(), used_ * kNodeSize);
}

void TagTreeWriter::startLeaf() {
    // The new page's place is known before the previous page is written: it links to it.
    const bool first = leafCount_ == 0;
    std::uint32_t previous = first ? kNoNode : leaf_.offset;
    std::uint32_t at;
    if (used_ == chunkPages_) {
        const std::size_t grown = std::clamp<std::size_t>(chunkPages_ * 2, 1, kChunkPages);
        std::uint32_t next = out_.reserve(static_cast<std::uint32_t>(grown));
        if (!taken_.empty()) {
            if (!first) putLe32(page(used_ - 1) + cdxfmt::node::kRight, next);
            flushChunk();
        }
        taken_.emplace_back(next, grown);
        chunkPages_ = grown;
        std::fill(chunk_.begin(), chunk_.end(), 0);
        chunkStart_ = next;
        used_ = 0;
        at = next;
    } else {
        at = chunkStart_ + static_cast<std::uint32_t>(used_ * kNodeSize);
        if (!first) putLe32(page(used_ - 1) + cdxfmt::node::kRight, at);
    }
    unsigned char* p = page(used_++);
    cdxfmt::encodeNodeHeader({attr::kLeaf, 0, previous, kNoNode}, p);
    packer_.emplace(p, layout_, tag_.keyLength, pad_);
    leaf_ = {at, std::string(), 0};
    ++leafCount_;
}

void TagTreeWriter::closeLeaf() {
    packer_->close();
    const bool empty = packer_->count() == 0;
    leaf_.lastKey = empty ? std::string(tag_.keyLength, pad_) : packer_->lastKey();
    leaf_.lastRecno = empty ? 0 : packer_->lastRecno();
    packer_.reset();
    if (leafCount_ == 1) {
        firstLeaf_ = leaf_;
        return;
    }
    if (leafCount_ == 2) addChild(0, firstLeaf_);
    addChild(0, leaf_);
}

void TagTreeWriter::beginInterior(std::size_t level) {
    Level& lv = levels_[level];
    std::fill(lv.page.begin(), lv.page.end(), 0);
    cdxfmt::encodeNodeHeader({0, 0, lv.previous, kNoNode}, lv.page.data());
    lv.count = 0;
    ++lv.pages;
}

void TagTreeWriter::addChild(std::size_t level, const Child& child) {
    const std::size_t kl = tag_.keyLength;
    if (level == levels_.size()) levels_.emplace_back();
    if (levels_[level].offset == kNoNode) {
        levels_[level].offset = out_.reserve(1);
        takenPages_.push_back(levels_[level].offset);
        beginInterior(level);
    } else if (levels_[level].count == cdxfmt::interiorCapacity(kl)) {
        // The full page goes out, linked to the next, and up to its own parent.
        const std::uint32_t next = out_.reserve(1);
        takenPages_.push_back(next);
        Level& lv = levels_[level];
        putLe16(lv.page.data() + cdxfmt::node::kCount, static_cast<std::uint16_t>(lv.count));
        putLe32(lv.page.data() + cdxfmt::node::kRight, next);
        out_.write(lv.offset, lv.page.data(), kNodeSize);
        const Child done{lv.offset, lv.lastKey, lv.lastRecno};
        lv.previous = lv.offset;
        lv.offset = next;
        beginInterior(level);
        addChild(level + 1, done);
    }
    Level& lv = levels_[level];
    cdxfmt::encodeInteriorEntry(cdxfmt::interiorEntry(lv.page.data(), kl, lv.count),
                                std::string_view(child.lastKey).substr(0, kl), child.lastRecno,
                                child.offset);
    ++lv.count;
    lv.lastKey = child.lastKey;
    lv.lastRecno = child.lastRecno;
}

void TagTreeWriter::add(std::string_view k, std::uint32_t recno) {
    if (!packer_) startLeaf();
    if (packer_->add(k, recno)) return;
    closeLeaf();
    startLeaf();
    if (!packer_->add(k, recno))
        fail(code::kUnsupported, "a key of tag " + tag_.name + " does not fit a leaf");
}

std::uint32_t TagTreeWriter::finish() {
    if (leafCount_ == 0) startLeaf();  // a tag without entries is one empty leaf
    if (packer_) closeLeaf();
    unsigned char* last = page(used_ - 1);
    putLe32(last + cdxfmt::node::kRight, kNoNode);
    if (leafCount_ == 1) putLe16(last + cdxfmt::node::kAttributes, attr::kRoot | attr::kLeaf);
    flushChunk();
    out_.release(chunkStart_ + static_cast<std::uint32_t>(used_ * kNodeSize),
                 static_cast<std::uint32_t>(chunkPages_ - used_));
    used_ = chunkPages_;
    if (leafCount_ == 1) return leaf_.offset;
    // The open page of each level is its last: written, and handed to the level above; the
    // level that never needed a second page is the root.
    for (std::size_t level = 0;; ++level) {
        Level& lv = levels_[level];
        const bool root = level + 1 == levels_.size() && lv.pages == 1;
        putLe16(lv.page.data() + cdxfmt::node::kAttributes, root ? attr::kRoot : 0);
        putLe16(lv.page.data() + cdxfmt::node::kCount, static_cast<std::uint16_t>(lv.count));
        out_.write(lv.offset, lv.page.data(), kNodeSize);
        if (root) return lv.offset;
        const Child done{lv.offset, lv.lastKey, lv.lastRecno};
        addChild(level + 1, done);
    }
}

void TagTreeWriter::abandon() {
    // Called instead of finish(): every page of every chunk, used or not, is free again.
    for (const auto& [first, pages] : taken_)
        out_.release(first, static_cast<std::uint32_t>(pages));
    for (std::uint32_t p : takenPages_)
        out_.release(p, 1);
    taken_.clear();
    takenPages_.clear();
    levels_.clear();
    leafCount_ = 0;
    used_ = chunkPages_ = 0;
    packer_.reset();
}

// ---- single entries ----------------------------------------------------------------------

TagInfo& CdxFile::mutableTag(const TagInfo& tag) {
    if (tag.headerOffset == directory_.headerOffset && &tag == &directory_) return directory_;
    for (TagInfo& t : tags_)
        if (t.headerOffset == tag.headerOffset) return t;
    fail(code::kTagNotFound, path() + ": no tag " + tag.name);
}

void CdxFile::changed() {
    leafDirs_.clear();
}

void CdxFile::writeNode(const TagInfo& tag, const Node& n) {
    unsigned char page[kNodeSize];
    if (!encode(n, page))
        corrupt("tag " + tag.name + ": node " + std::to_string(n.offset) + " overflows");
    file_.writeAt(n.offset, page, kNodeSize);
    if (n.offset + kNodeSize > size_) size_ = n.offset + kNodeSize;
    if (cache_.size() >= 16384) cache_.clear();
    cache_[n.offset] = std::make_shared<const Node>(n);
    changed();
}

std::uint32_t CdxFile::allocNode() {
    std::uint32_t head = directory_.freeList;
    if (head != 0 && head != kNoNode) {
        if (head % kNodeSize != 0 || head < 1024 ||
            static_cast<std::uint64_t>(head) + kNodeSize > size_)
            corrupt("the free list points at " + std::to_string(head));
        unsigned char next[4];
        file_.readExact(head, next, 4, "a free page");
        directory_.freeList = le32(next);
        unsigned char h[4];
        putLe32(h, directory_.freeList);
        file_.writeAt(cdxfmt::tag::kFreeList, h, 4);
        cache_.erase(head);
        return head;
    }
    auto off = static_cast<std::uint32_t>(size_);
    size_ += kNodeSize;
    return off;
}

void CdxFile::freeNode(std::uint32_t offset) {
    // A free page holds the next free page in its first four bytes; the file header holds
    // the first.
    unsigned char page[kNodeSize] = {};
    putLe32(page, directory_.freeList == kNoNode ? 0 : directory_.freeList);
    file_.writeAt(offset, page, kNodeSize);
    directory_.freeList = offset;
    unsigned char h[4];
    putLe32(h, offset);
    file_.writeAt(cdxfmt::tag::kFreeList, h, 4);
    cache_.erase(offset);
    changed();
}

void CdxFile::setRoot(const TagInfo& tag, std::uint32_t root) {
    TagInfo& t = mutableTag(tag);
    unsigned char b[4];
    putLe32(b, root);
    file_.writeAt(t.headerOffset + cdxfmt::tag::kRoot, b, 4);
    t.root = root;
    changed();
}

void CdxFile::setLeft(const TagInfo& tag, std::uint32_t node, std::uint32_t left) {
    if (node == kNoNode) return;
    Node n = *this->node(tag, node);
    n.left = left;
    writeNode(tag, n);
}

std::vector<CdxFile::PathStep> CdxFile::pathTo(const TagInfo& tag, std::string_view key,
                                               std::uint32_t recno) const {
    std::vector<PathStep> path;
    std::uint32_t off = tag.root;
    for (int depth = 0; depth < 64; ++depth) {
        auto n = node(tag, off);
        std::size_t lo = 0, hi = n->count;
        while (lo < hi) {
            std::size_t mid = (lo + hi) / 2;
            if (compareEntry(n->key(mid), n->recnos[mid], key, recno) >= 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (n->leaf()) {
            path.push_back({n, lo});
            return path;
        }
        std::size_t child = std::min<std::size_t>(lo, n->count - 1u);
        path.push_back({n, child});
        off = n->children[child];
    }
    corrupt("tag " + tag.name + ": the tree is deeper than 64 levels");
}

void CdxFile::fixParentKeys(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level) {
    // path[level + 1] changed its last key: carry it up while it is the last of its parent.
    for (std::size_t l = level + 1; l-- > 0;) {
        const Node& child = *path[l + 1].node;
        if (child.count == 0) return;
        Node parent = *path[l].node;
        std::size_t at = path[l].index;
        std::string_view last = child.key(child.count - 1u);
        if (parent.key(at) == last && parent.recnos[at] == child.recnos.back()) return;
        setEntryKey(parent, at, last, child.recnos.back());
        writeNode(tag, parent);
        path[l].node = node(tag, parent.offset);
        if (at + 1 != parent.count) return;
    }
}

std::pair<Node, Node> CdxFile::split(const TagInfo& tag, const Node& full) {
    std::size_t m = splitPoint(full);
    Node l = slice(full, 0, m), r = slice(full, m, full.count);
    l.attributes = r.attributes =
        full.leaf() ? attr::kLeaf : 0;  // a split root stops being the root
    l.offset = full.offset;
    r.offset = allocNode();
    r.left = l.offset;
    r.right = full.right;
    l.left = full.left;
    l.right = r.offset;
    // The new node first: until the left half points at it, nothing reaches it.
    writeNode(tag, r);
    writeNode(tag, l);
    setLeft(tag, full.right, r.offset);
    return {std::move(l), std::move(r)};
}

void CdxFile::insertIntoParent(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level,
                               const Node& left, const Node& right) {
    if (level == 0) {
        // The root split: a new root above the two halves.
        Node root;
        root.offset = allocNode();
        root.attributes = attr::kRoot;
        root.keyLength = tag.keyLength;
        root.trail = left.trail;
        insertEntry(root, 0, left.key(left.count - 1u), left.recnos.back(), left.offset);
        insertEntry(root, 1, right.key(right.count - 1u), right.recnos.back(), right.offset);
        writeNode(tag, root);
        setRoot(tag, root.offset);
        return;
    }
    std::size_t p = level - 1;
    Node parent = *path[p].node;
    std::size_t at = path[p].index;
    std::string oldLast(parent.key(parent.count - 1u));
    std::uint32_t oldLastRec = parent.recnos.back();
    setEntryKey(parent, at, left.key(left.count - 1u), left.recnos.back());
    insertEntry(parent, at + 1, right.key(right.count - 1u), right.recnos.back(), right.offset);
    unsigned char page[kNodeSize];
    if (encodeInterior(parent, page)) {
        writeNode(tag, parent);
        path[p].node = node(tag, parent.offset);
        if (p > 0 &&
            (parent.key(parent.count - 1u) != oldLast || parent.recnos.back() != oldLastRec))
            fixParentKeys(tag, path, p - 1);
        return;
    }
    auto [l, r] = split(tag, parent);
    insertIntoParent(tag, path, p, l, r);
}

void CdxFile::insert(const TagInfo& tag, std::string_view key, std::uint32_t recno) {
    if (key.size() != tag.keyLength) corrupt("tag " + tag.name + ": a key of the wrong length");
    auto path = pathTo(tag, key, recno);
    Node leaf = *path.back().node;
    std::size_t at = path.back().index;
    insertEntry(leaf, at, key, recno, 0);
    unsigned char page[kNodeSize];
    const std::size_t level = path.size() - 1;
    if (encodeLeaf(leaf, page)) {
        writeNode(tag, leaf);
        path.back().node = node(tag, leaf.offset);
        if (at + 1 == leaf.count && level > 0) fixParentKeys(tag, path, level - 1);
        return;
    }
    auto [l, r] = split(tag, leaf);
    insertIntoParent(tag, path, level, l, r);
}

void CdxFile::removeFromParent(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level) {
    // path[level] loses the entry of the child it led to.
    Node parent = *path[level].node;
    std::size_t at = path[level].index;
    eraseEntry(parent, at);
    if (parent.count == 0) {
        if (level == 0) {
            // The tag is empty: the root becomes an empty leaf.
            Node leaf;
            leaf.offset = parent.offset;
            leaf.attributes = attr::kRoot | attr::kLeaf;
            leaf.keyLength = tag.keyLength;
            leaf.trail = padOf(tag);
            writeNode(tag, leaf);
            return;
        }
        dropNode(tag, path, level, parent);
        return;
    }
    writeNode(tag, parent);
    path[level].node = node(tag, parent.offset);
    if (at == parent.count && level > 0) fixParentKeys(tag, path, level - 1);
}

void CdxFile::dropNode(const TagInfo& tag, std::vector<PathStep>& path, std::size_t level,
                       const Node& empty) {
    // First the parent forgets the node, then its neighbours, then its page is free.
    removeFromParent(tag, path, level - 1);
    if (empty.left != kNoNode) {
        Node l = *node(tag, empty.left);
        l.right = empty.right;
        writeNode(tag, l);
    }
    setLeft(tag, empty.right, empty.left);
    freeNode(empty.offset);
}

bool CdxFile::remove(const TagInfo& tag, std::string_view key, std::uint32_t recno) {
    if (key.size() != tag.keyLength) return false;
    auto path = pathTo(tag, key, recno);
    Node leaf = *path.back().node;
    std::size_t at = path.back().index;
    if (at >= leaf.count || leaf.recnos[at] != recno || leaf.key(at) != key) return false;
    eraseEntry(leaf, at);
    const std::size_t level = path.size() - 1;
    if (leaf.count == 0 && level > 0) {
        dropNode(tag, path, level, leaf);
        return true;
    }
    writeNode(tag, leaf);
    path.back().node = node(tag, leaf.offset);
    if (at == leaf.count && leaf.count > 0 && level > 0) fixParentKeys(tag, path, level - 1);
    return true;
}

bool CdxFile::contains(const TagInfo& tag, std::string_view key, std::uint32_t recno) const {
    if (key.size() != tag.keyLength) return false;
    auto path = pathTo(tag, key, recno);
    const Node& leaf = *path.back().node;
    const std::size_t at = path.back().index;
    return at < leaf.count && leaf.recnos[at] == recno && leaf.key(at) == key;
}

bool CdxFile::containsOther(const TagInfo& tag, std::string_view key, std::uint32_t except) const {
    auto path = pathTo(tag, key, 0);
    auto n = path.back().node;
    std::size_t i = path.back().index;
    for (std::uint64_t guard = 0; guard <= size_ / kNodeSize; ++guard) {
        for (; i < n->count; ++i) {
            if (n->key(i) != key) return false;
            if (n->recnos[i] != except) return true;
        }
        if (n->right == kNoNode) return false;
        n = node(tag, n->right);
        i = 0;
    }
    corrupt("tag " + tag.name + ": the leaf links form a cycle");
}

}  // namespace xbase
