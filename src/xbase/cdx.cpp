#include "xbase/cdx.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "xbase/ascii.h"
#include "xbase/bytes.h"
#include "xbase/error.h"

namespace xbase {

namespace {

constexpr std::size_t kMaxCachedNodes = 16384;
constexpr int kMaxDepth = 64;

}  // namespace

void CdxFile::corrupt(const std::string& what) const {
    fail(code::kCorruptIndex, file_.path() + ": " + what);
}

CdxFile CdxFile::open(const std::string& path, Access access, Share share) {
    CdxFile c;
    // The index is held like its table: the table's lock already keeps other opens away,
    // so the index itself takes a shared lock only.
    (void)share;
    c.file_ = File::open(path, access, Share::Shared);
    c.size_ = c.file_.size();
    if (c.size_ < cdxfmt::kTagHeaderSize || c.size_ % kNodeSize != 0)
        c.corrupt("the size " + std::to_string(c.size_) + " is not a whole number of index pages");
    c.directory_ = c.readTagHeader(0, "(directory)");
    if (c.directory_.keyLength == 0 || c.directory_.keyLength > 240)
        c.corrupt("the tag directory has the key length " + std::to_string(c.directory_.keyLength));
    c.directory_.keyKind = 'C';

    // Walk the directory's leaves in key order: each entry names a tag and its header offset.
    std::uint32_t leaf = c.edgeLeaf(c.directory_, false);
    std::unordered_set<std::uint32_t> seen;
    while (leaf != kNoNode) {
        if (!seen.insert(leaf).second) c.corrupt("the tag directory's leaves form a cycle");
        auto n = c.node(c.directory_, leaf);
        if (!n->leaf()) c.corrupt("the tag directory links a leaf to an interior node");
        for (std::size_t i = 0; i < n->count; ++i) {
            std::string name(n->key(i));
            while (!name.empty() && (name.back() == ' ' || name.back() == '\0'))
                name.pop_back();
            std::uint32_t off = n->recnos[i];
            if (off % kNodeSize != 0 || off < cdxfmt::kTagHeaderSize ||
                static_cast<std::uint64_t>(off) + cdxfmt::kTagHeaderSize > c.size_)
                c.corrupt("tag " + name + " has its header at the bad offset " +
                          std::to_string(off));
            c.tags_.push_back(c.readTagHeader(off, name));
        }
        leaf = n->right;
    }
    return c;
}

TagInfo CdxFile::readTagHeader(std::uint32_t offset, const std::string& name) const {
    unsigned char h[cdxfmt::kTagHeaderSize];
    if (file_.readAt(offset, h, sizeof h) != sizeof h)
        corrupt("the header of tag " + name + " lies past the end of the file");
    cdxfmt::TagHeader th;
    if (!cdxfmt::decodeTagHeader(h, th))
        corrupt("tag " + name + " has its expressions outside the expression pool");
    TagInfo t;
    t.name = name;
    t.headerOffset = offset;
    t.root = th.root;
    t.freeList = th.freeList;
    t.keyLength = th.keyLength;
    t.options = th.options;
    t.signature = th.signature;
    t.unique = (t.options & cdxfmt::option::kUnique) != 0;
    t.descending = th.descending;
    t.keyExpression = std::move(th.keyExpression);
    t.forExpression = std::move(th.forExpression);
    if (!th.collation.empty()) t.collation = std::move(th.collation);
    if (t.keyLength == 0 || t.keyLength > cdxfmt::kMaxKeyLength)
        corrupt("tag " + name + " has the impossible key length " + std::to_string(t.keyLength));
    if (t.root % kNodeSize != 0 || t.root < cdxfmt::kTagHeaderSize ||
        static_cast<std::uint64_t>(t.root) + kNodeSize > size_)
        corrupt("tag " + name + " has its root at the bad offset " + std::to_string(t.root));
    return t;
}

const TagInfo* CdxFile::tag(std::string_view name) const {
    for (const TagInfo& t : tags_)
        if (ascii::equalNoCase(t.name, name)) return &t;
    return nullptr;
}

Node CdxFile::readNode(const TagInfo& tag, std::uint32_t offset, bool keepCounts,
                       ReadAhead* ahead) const {
    auto where = [&] { return "tag " + tag.name + ", node " + std::to_string(offset); };
    if (tag.binary())
        fail(code::kUnsupported,
             file_.path() + ": tag " + tag.name + " is a binary index (signature 5): unsupported");
    if (offset % kNodeSize != 0 || offset < cdxfmt::kTagHeaderSize ||
        static_cast<std::uint64_t>(offset) + kNodeSize > size_)
        corrupt(where() + ": the node lies outside the file");
    unsigned char own[kNodeSize];
    const unsigned char* b = own;
    if (ahead) {
        // Nodes outside the window start a new one at the node.
        constexpr std::size_t kWindow = 128 * kNodeSize;
        auto& w = *ahead;
        if (offset < w.start_ || offset + kNodeSize > w.start_ + w.bytes_.size()) {
            w.start_ = offset;
            w.bytes_.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - offset)));
            w.bytes_.resize(file_.readAt(offset, w.bytes_.data(), w.bytes_.size()));
            if (w.bytes_.size() < kNodeSize) corrupt(where() + ": short read");
        }
        b = w.bytes_.data() + (offset - w.start_);
    } else if (file_.readAt(offset, own, kNodeSize) != kNodeSize) {
        corrupt(where() + ": short read");
    }
    const cdxfmt::NodeHeader h = cdxfmt::decodeNodeHeader(b);
    Node n;
    n.offset = offset;
    n.attributes = h.attributes;
    n.count = h.count;
    n.left = h.left;
    n.right = h.right;
    n.keyLength = tag.keyLength;
    n.trail = padOf(tag);
    const std::size_t kl = tag.keyLength;
    if ((n.attributes & ~cdxfmt::attr::kKnown) != 0)
        corrupt(where() + ": unknown node attributes " + std::to_string(n.attributes));
    n.keys.resize(n.count * kl);
    n.recnos.resize(n.count);
    if (!n.leaf()) {
        if (n.count > cdxfmt::interiorCapacity(kl))
            corrupt(where() + ": " + std::to_string(n.count) + " keys do not fit an interior node");
        if (n.count == 0) corrupt(where() + ": an interior node without keys");
        n.children.resize(n.count);
        for (std::size_t i = 0; i < n.count; ++i)
            cdxfmt::decodeInteriorEntry(cdxfmt::interiorEntry(b, kl, i), kl, n.keys.data() + i * kl,
                                        n.recnos[i], n.children[i]);
        return n;
    }
    n.freeSpace = le16(b + cdxfmt::leaf::kFreeSpace);
    cdxfmt::LeafLayout lay;
    if (!cdxfmt::LeafLayout::decode(b, lay)) corrupt(where() + ": bad leaf bit layout");
    const std::size_t infoEnd =
        cdxfmt::leaf::kEntries + static_cast<std::size_t>(n.count) * lay.bytes;
    if (infoEnd > kNodeSize)
        corrupt(where() + ": " + std::to_string(n.count) + " entries do not fit a leaf");
    if (keepCounts) {
        n.dups.resize(n.count);
        n.trails.resize(n.count);
    }
    std::size_t keyPos = kNodeSize;
    const char* prev = nullptr;
    for (std::size_t i = 0; i < n.count; ++i) {
        std::size_t dup, trail;
        lay.unpack(lay.getEntry(b, i), n.recnos[i], dup, trail);
        if (dup + trail > kl || (i == 0 && dup != 0))
            corrupt(where() + ": entry " + std::to_string(i + 1) + " has bad compression counts");
        const std::size_t stored = kl - dup - trail;
        if (keyPos < infoEnd + stored) corrupt(where() + ": the keys overlap the entries");
        keyPos -= stored;
        char* key = n.keys.data() + i * kl;
        if (dup) std::memcpy(key, prev, dup);
        std::memcpy(key + dup, b + keyPos, stored);
        std::memset(key + dup + stored, n.trail, trail);
        if (keepCounts) {
            n.dups[i] = static_cast<std::uint8_t>(dup);
            n.trails[i] = static_cast<std::uint8_t>(trail);
        }
        prev = key;
    }
    n.usedSpace =
        static_cast<std::uint16_t>(infoEnd - cdxfmt::leaf::kEntries + (kNodeSize - keyPos));
    return n;
}

std::shared_ptr<const Node> CdxFile::node(const TagInfo& tag, std::uint32_t offset) const {
    auto it = cache_.find(offset);
    if (it != cache_.end() && it->second->keyLength == tag.keyLength &&
        it->second->trail == padOf(tag))
        return it->second;
    if (cache_.size() >= kMaxCachedNodes) cache_.clear();
    auto n = std::make_shared<const Node>(readNode(tag, offset));
    cache_[offset] = n;
    return n;
}

std::uint32_t CdxFile::edgeLeaf(const TagInfo& tag, bool last) const {
    std::uint32_t off = tag.root;
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        auto n = node(tag, off);
        if (n->leaf()) return off;
        off = last ? n->children.back() : n->children.front();
    }
    corrupt("tag " + tag.name + ": the tree is deeper than " + std::to_string(kMaxDepth) +
            " levels (a cycle of node links)");
}

bool CdxFile::walkLeaves(const TagInfo& tag, const std::function<bool(const Node&)>& visit) const {
    std::uint32_t leaf = tag.root;
    for (int depth = 0;; ++depth) {
        if (depth >= kMaxDepth) return false;
        Node n = readNode(tag, leaf);
        if (n.leaf()) break;
        if (n.children.empty()) return false;
        leaf = n.children.front();
    }
    std::uint64_t guard = size_ / kNodeSize + 1;
    ReadAhead ahead;
    while (leaf != kNoNode) {
        if (guard-- == 0) return false;
        Node n = readNode(tag, leaf, false, &ahead);
        if (!n.leaf() || !visit(n)) return false;
        leaf = n.right;
    }
    return true;
}

const LeafDirectory& CdxFile::leaves(const TagInfo& tag) const {
    auto& slot = leafDirs_[tag.headerOffset];
    if (slot) return *slot;
    auto dir = std::make_unique<LeafDirectory>();
    std::uint32_t off = edgeLeaf(tag, false);
    std::uint64_t maxNodes = size_ / kNodeSize;
    while (off != kNoNode) {
        if (dir->offsets.size() > maxNodes || dir->ordinal.count(off))
            corrupt("tag " + tag.name + ": the leaf links form a cycle");
        if (off % kNodeSize != 0 || off < cdxfmt::kTagHeaderSize ||
            static_cast<std::uint64_t>(off) + kNodeSize > size_)
            corrupt("tag " + tag.name + ", node " + std::to_string(off) +
                    ": the node lies outside the file");
        unsigned char h[cdxfmt::node::kHeaderSize];
        if (file_.readAt(off, h, sizeof h) != sizeof h) corrupt("short read");
        const cdxfmt::NodeHeader nh = cdxfmt::decodeNodeHeader(h);
        if (!(nh.attributes & cdxfmt::attr::kLeaf))
            corrupt("tag " + tag.name + ": a leaf links to an interior node");
        dir->ordinal.emplace(off, dir->offsets.size());
        dir->offsets.push_back(off);
        dir->starts.push_back(dir->total);
        dir->total += nh.count;
        off = nh.right;
    }
    slot = std::move(dir);
    return *slot;
}

void CdxFile::refresh() const {
    cache_.clear();
    leafDirs_.clear();
}

}  // namespace xbase
