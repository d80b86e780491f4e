#include "xbase/cdx.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "xbase/bytes.h"
#include "xbase/error.h"

namespace xbase {

namespace {

constexpr std::size_t kMaxCachedNodes = 16384;
constexpr int kMaxDepth = 64;

bool upperAsciiLetter(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}

std::string cString(const unsigned char* p, std::size_t max) {
    std::size_t n = 0;
    while (n < max && p[n] != 0)
        ++n;
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    while (!s.empty() && s.front() == ' ')
        s.erase(0, 1);
    return s;
}

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
    if (c.size_ < 1024 || c.size_ % kNodeSize != 0)
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
            if (off % kNodeSize != 0 || off < 1024 ||
                static_cast<std::uint64_t>(off) + 1024 > c.size_)
                c.corrupt("tag " + name + " has its header at the bad offset " +
                          std::to_string(off));
            c.tags_.push_back(c.readTagHeader(off, name));
        }
        leaf = n->right;
    }
    return c;
}

TagInfo CdxFile::readTagHeader(std::uint32_t offset, const std::string& name) const {
    unsigned char h[1024];
    if (file_.readAt(offset, h, sizeof h) != sizeof h)
        corrupt("the header of tag " + name + " lies past the end of the file");
    TagInfo t;
    t.name = name;
    t.headerOffset = offset;
    t.root = le32(h);
    t.freeList = le32(h + 4);
    t.keyLength = le16(h + 12);
    t.options = h[14];
    t.unique = (t.options & 0x01) != 0;
    t.descending = le16(h + 502) != 0;
    if (t.keyLength == 0 || t.keyLength > 240)
        corrupt("tag " + name + " has the impossible key length " + std::to_string(t.keyLength));
    if (t.root % kNodeSize != 0 || t.root < 1024 ||
        static_cast<std::uint64_t>(t.root) + kNodeSize > size_)
        corrupt("tag " + name + " has its root at the bad offset " + std::to_string(t.root));
    std::uint16_t forPos = le16(h + 504), forLen = le16(h + 506);
    std::uint16_t keyPos = le16(h + 508), keyLen = le16(h + 510);
    if (static_cast<std::uint32_t>(keyPos) + keyLen > 512 ||
        static_cast<std::uint32_t>(forPos) + forLen > 512)
        corrupt("tag " + name + " has its expressions outside the expression pool");
    const unsigned char* pool = h + 512;
    t.keyExpression = cString(pool + keyPos, keyLen);
    if (forLen > 1 && (t.options & 0x08)) t.forExpression = cString(pool + forPos, forLen);
    // A collation other than the machine order is recorded by name in the reserved bytes.
    for (std::size_t i = 16; i + 4 < 500; ++i) {
        std::size_t j = i;
        while (j < 500 && upperAsciiLetter(h[j]))
            ++j;
        if (j - i >= 4 && (i == 16 || h[i - 1] == 0) && (j == 500 || h[j] == 0)) {
            t.collation.assign(reinterpret_cast<const char*>(h + i), j - i);
            break;
        }
        i = j;
    }
    return t;
}

const TagInfo* CdxFile::tag(std::string_view name) const {
    for (const TagInfo& t : tags_) {
        if (t.name.size() != name.size()) continue;
        bool eq = true;
        for (std::size_t i = 0; i < name.size() && eq; ++i) {
            char a = t.name[i], b = name[i];
            if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
            if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
            eq = a == b;
        }
        if (eq) return &t;
    }
    return nullptr;
}

Node CdxFile::readNode(const TagInfo& tag, std::uint32_t offset) const {
    auto where = [&] { return "tag " + tag.name + ", node " + std::to_string(offset); };
    if (offset % kNodeSize != 0 || offset < 1024 ||
        static_cast<std::uint64_t>(offset) + kNodeSize > size_)
        corrupt(where() + ": the node lies outside the file");
    unsigned char b[kNodeSize];
    if (file_.readAt(offset, b, kNodeSize) != kNodeSize) corrupt(where() + ": short read");
    Node n;
    n.offset = offset;
    n.attributes = le16(b);
    n.count = le16(b + 2);
    n.left = le32(b + 4);
    n.right = le32(b + 8);
    n.keyLength = tag.keyLength;
    n.trail = tag.keyKind == 'C' ? ' ' : '\0';
    const std::size_t kl = tag.keyLength;
    if (n.attributes > 3)
        corrupt(where() + ": unknown node attributes " + std::to_string(n.attributes));
    n.keys.resize(n.count * kl);
    n.recnos.resize(n.count);
    if (!n.leaf()) {
        if (12 + n.count * (kl + 8) > kNodeSize)
            corrupt(where() + ": " + std::to_string(n.count) + " keys do not fit an interior node");
        if (n.count == 0) corrupt(where() + ": an interior node without keys");
        n.children.resize(n.count);
        for (std::size_t i = 0; i < n.count; ++i) {
            const unsigned char* e = b + 12 + i * (kl + 8);
            std::memcpy(n.keys.data() + i * kl, e, kl);
            n.recnos[i] = be32(e + kl);
            n.children[i] = be32(e + kl + 4);
        }
        return n;
    }
    n.freeSpace = le16(b + 12);
    std::uint32_t recMask = le32(b + 14);
    unsigned dupMask = b[18], trailMask = b[19];
    unsigned recBits = b[20], dupBits = b[21], trailBits = b[22], bytes = b[23];
    if (bytes < 1 || bytes > 8 || recBits + dupBits + trailBits > bytes * 8 || recBits > 32 ||
        dupBits > 8 || trailBits > 8)
        corrupt(where() + ": bad leaf bit layout");
    auto maskOf = [](unsigned bits) -> std::uint64_t {
        return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    };
    if (recMask != maskOf(recBits) || dupMask != maskOf(dupBits) || trailMask != maskOf(trailBits))
        corrupt(where() + ": the leaf masks disagree with their bit counts");
    std::size_t infoEnd = 24 + static_cast<std::size_t>(n.count) * bytes;
    if (infoEnd > kNodeSize)
        corrupt(where() + ": " + std::to_string(n.count) + " entries do not fit a leaf");
    std::size_t keyPos = kNodeSize;
    char* prev = nullptr;
    for (std::size_t i = 0; i < n.count; ++i) {
        std::uint64_t v = 0;
        for (unsigned k = 0; k < bytes; ++k)
            v |= static_cast<std::uint64_t>(b[24 + i * bytes + k]) << (8 * k);
        n.recnos[i] = static_cast<std::uint32_t>(v & recMask);
        std::size_t dup = (v >> recBits) & dupMask;
        std::size_t trail = (v >> (recBits + dupBits)) & trailMask;
        if (dup + trail > kl || (i == 0 && dup != 0))
            corrupt(where() + ": entry " + std::to_string(i + 1) + " has bad compression counts");
        std::size_t stored = kl - dup - trail;
        if (keyPos < infoEnd + stored) corrupt(where() + ": the keys overlap the entries");
        keyPos -= stored;
        char* key = n.keys.data() + i * kl;
        if (dup) std::memcpy(key, prev, dup);
        std::memcpy(key + dup, b + keyPos, stored);
        std::memset(key + dup + stored, n.trail, trail);
        prev = key;
    }
    n.usedSpace = static_cast<std::uint16_t>(infoEnd - 24 + (kNodeSize - keyPos));
    return n;
}

std::shared_ptr<const Node> CdxFile::node(const TagInfo& tag, std::uint32_t offset) const {
    auto it = cache_.find(offset);
    if (it != cache_.end() && it->second->keyLength == tag.keyLength &&
        it->second->trail == (tag.keyKind == 'C' ? ' ' : '\0'))
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
    while (leaf != kNoNode) {
        if (guard-- == 0) return false;
        Node n = readNode(tag, leaf);
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
        if (off % kNodeSize != 0 || off < 1024 ||
            static_cast<std::uint64_t>(off) + kNodeSize > size_)
            corrupt("tag " + tag.name + ", node " + std::to_string(off) +
                    ": the node lies outside the file");
        unsigned char h[12];
        if (file_.readAt(off, h, sizeof h) != sizeof h) corrupt("short read");
        if (!(le16(h) & 2)) corrupt("tag " + tag.name + ": a leaf links to an interior node");
        dir->ordinal.emplace(off, dir->offsets.size());
        dir->offsets.push_back(off);
        dir->starts.push_back(dir->total);
        dir->total += le16(h + 2);
        off = le32(h + 8);
    }
    slot = std::move(dir);
    return *slot;
}

void CdxFile::refresh() const {
    cache_.clear();
    leafDirs_.clear();
}

}  // namespace xbase
