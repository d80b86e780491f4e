#pragma once

// The compound index file (.cdx) as it lies on disk, written down once: every offset and
// field the reader, the writers and the integrity check use, with each encoding beside its
// decoding.
//
// The file is a sequence of 512-byte pages; every offset in it is a byte offset from the start
// of the file and a multiple of 512. Multi-byte numbers are little-endian, except the record
// numbers and child offsets of interior entries, which are big-endian.
//
// Tag header (1024 bytes: two pages). The file begins with the header of the directory tag,
// whose entries are the tag names (10 bytes, blank-padded) with the offset of each tag's own
// header in place of a record number. Each tag header holds:
//     0  root node offset                   (u32)
//     4  head of the free-page list, 0: none (u32; kept in the directory tag's header)
//     8  change counter                     (u32)
//    12  key length                         (u16)
//    14  options: 0x01 unique, 0x02 nullable key, 0x04 candidate, 0x08 FOR condition,
//        0x20 compact, 0x40 compound, 0x80 the directory tag
//    15  signature (1 for ordinary compact indexes; Visual FoxPro writes 2 for a tag under a
//        collation, other engines 1; 5 for a binary index)
//    16  reserved, zeros
//   494  the collation sequence the tag was built under (0x1EE): 8 bytes of ASCII padded
//        with NUL, all zeros for MACHINE (the byte order). Under any other collation the key
//        of a character expression of N characters is 2·N bytes of weights (collation.h
//        assembles them: primaries, then tails, then zeros), and the leaf pad is the zero
//        byte instead of the blank; numeric, date and logical keys stay as they are.
//   502  0 ascending, 1 descending          (u16)
//   504  FOR expression: position, length   (u16, u16; within the pool)
//   508  key expression: position, length   (u16, u16; within the pool)
//   512  the expression pool: NUL-ended expressions, 512 bytes
//
// Node (one page). Every node starts with a 12-byte header:
//     0  attributes: 0x01 root, 0x02 leaf, 0x04 rewritten by Visual FoxPro (u16)
//     2  number of entries                  (u16)
//     4  left sibling, 0xFFFFFFFF: none      (u32)
//     8  right sibling, 0xFFFFFFFF: none     (u32)
// Siblings link every node of one level, leaves and interior nodes alike, in key order.
//
// Interior node: from byte 12, entries of keyLength + 8 bytes: the key, then the record number
// and the child's offset, both big-endian. An entry holds the last key and record number of
// its child, so the last entry of a node equals the last entry of its last child.
//
// Leaf node ("compact" leaf), after the common header:
//    12  free bytes between the entry table and the keys (u16)
//    14  record number mask                 (u32)
//    18  duplicate-count mask, trail-count mask (u8, u8)
//    20  bits of record number, duplicate count, trail count (u8, u8, u8)
//    23  bytes per entry                    (u8)
//    24  the entry table: one entry of `bytes per entry` bytes per key, little-endian, holding
//        from the lowest bit the record number, the duplicate count and the trail count
// The keys lie packed downwards from the end of the page, the first key last: each stores only
// the bytes that are neither shared with the previous key (the duplicate count) nor trailing
// pad bytes (the trail count). The pad byte is a blank for character keys and zero for all
// others. Engines that rebuild keys walking a leaf backwards need the counts canonical:
//     trail(i) = the number of pad bytes at the end of key i, exactly;
//     dup(0)   = 0 (the first entry of every leaf);
//     dup(i)   = min(common prefix of key i-1 and key i, keyLength - trail(i-1),
//                    keyLength - trail(i)).
// Free pages form a list through their first four bytes, from the file header's free list.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "xbase/bytes.h"

namespace xbase::cdxfmt {

inline constexpr std::uint32_t kPageSize = 512;
inline constexpr std::uint32_t kTagHeaderSize = 1024;
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;
inline constexpr std::uint16_t kMaxKeyLength = 240;
// The signature of a Visual FoxPro 9 binary index, whose nodes this engine does not read.
inline constexpr std::uint8_t kBinarySignature = 5;

// ---- tag header ------------------------------------------------------------------------
namespace tag {
inline constexpr std::size_t kRoot = 0;
inline constexpr std::size_t kFreeList = 4;
inline constexpr std::size_t kCounter = 8;
inline constexpr std::size_t kKeyLength = 12;
inline constexpr std::size_t kOptions = 14;
inline constexpr std::size_t kSignature = 15;
inline constexpr std::size_t kReserved = 16;
inline constexpr std::size_t kCollation = 0x1EE;
inline constexpr std::size_t kCollationSize = 8;
inline constexpr std::size_t kReservedEnd = 502;
inline constexpr std::size_t kDescending = 502;
inline constexpr std::size_t kForPos = 504;
inline constexpr std::size_t kForLen = 506;
inline constexpr std::size_t kKeyPos = 508;
inline constexpr std::size_t kKeyLen = 510;
inline constexpr std::size_t kPool = 512;
inline constexpr std::size_t kPoolSize = 512;
}  // namespace tag

namespace option {
inline constexpr std::uint8_t kUnique = 0x01;
inline constexpr std::uint8_t kNullable = 0x02;
inline constexpr std::uint8_t kCandidate = 0x04;
inline constexpr std::uint8_t kFor = 0x08;
inline constexpr std::uint8_t kCompact = 0x20;
inline constexpr std::uint8_t kCompound = 0x40;
inline constexpr std::uint8_t kDirectory = 0x80;
}  // namespace option

// The fields of a tag header, as they are stored.
struct TagHeader {
    std::uint32_t root = 0;
    std::uint32_t freeList = 0;
    std::uint32_t counter = 0;
    std::uint16_t keyLength = 0;
    std::uint8_t options = 0;
    std::uint8_t signature = 1;
    bool descending = false;
    std::string keyExpression;  // without the NUL
    std::string forExpression;  // empty: none
    std::string collation;      // empty: the machine order
};

// Decodes a 1024-byte tag header; false when its expressions lie outside the pool.
bool decodeTagHeader(const unsigned char* h, TagHeader& out);
// Encodes a tag header into 1024 bytes; false when the expressions do not fit the pool.
bool encodeTagHeader(const TagHeader& t, unsigned char* h);

// ---- node header -----------------------------------------------------------------------
namespace node {
inline constexpr std::size_t kAttributes = 0;
inline constexpr std::size_t kCount = 2;
inline constexpr std::size_t kLeft = 4;
inline constexpr std::size_t kRight = 8;
inline constexpr std::size_t kHeaderSize = 12;
}  // namespace node

namespace attr {
inline constexpr std::uint16_t kRoot = 0x01;
inline constexpr std::uint16_t kLeaf = 0x02;
// Set by Visual FoxPro on nodes it has rewritten; says nothing about the node's kind.
inline constexpr std::uint16_t kRewritten = 0x04;
inline constexpr std::uint16_t kKnown = kRoot | kLeaf | kRewritten;
}  // namespace attr

struct NodeHeader {
    std::uint16_t attributes = 0;
    std::uint16_t count = 0;
    std::uint32_t left = kNone;
    std::uint32_t right = kNone;
};

inline NodeHeader decodeNodeHeader(const unsigned char* p) {
    return {le16(p + node::kAttributes), le16(p + node::kCount), le32(p + node::kLeft),
            le32(p + node::kRight)};
}
inline void encodeNodeHeader(const NodeHeader& h, unsigned char* p) {
    putLe16(p + node::kAttributes, h.attributes);
    putLe16(p + node::kCount, h.count);
    putLe32(p + node::kLeft, h.left);
    putLe32(p + node::kRight, h.right);
}

// ---- interior entries --------------------------------------------------------------------
inline std::size_t interiorEntrySize(std::size_t keyLength) {
    return keyLength + 8;
}
inline std::size_t interiorCapacity(std::size_t keyLength) {
    return (kPageSize - node::kHeaderSize) / interiorEntrySize(keyLength);
}
inline unsigned char* interiorEntry(unsigned char* page, std::size_t keyLength, std::size_t i) {
    return page + node::kHeaderSize + i * interiorEntrySize(keyLength);
}
inline const unsigned char* interiorEntry(const unsigned char* page, std::size_t keyLength,
                                          std::size_t i) {
    return page + node::kHeaderSize + i * interiorEntrySize(keyLength);
}
inline void encodeInteriorEntry(unsigned char* e, std::string_view key, std::uint32_t recno,
                                std::uint32_t child) {
    std::memcpy(e, key.data(), key.size());
    putBe32(e + key.size(), recno);
    putBe32(e + key.size() + 4, child);
}
inline void decodeInteriorEntry(const unsigned char* e, std::size_t keyLength, char* key,
                                std::uint32_t& recno, std::uint32_t& child) {
    std::memcpy(key, e, keyLength);
    recno = be32(e + keyLength);
    child = be32(e + keyLength + 4);
}

// ---- leaves ------------------------------------------------------------------------------
namespace leaf {
inline constexpr std::size_t kFreeSpace = 12;
inline constexpr std::size_t kRecnoMask = 14;
inline constexpr std::size_t kDupMask = 18;
inline constexpr std::size_t kTrailMask = 19;
inline constexpr std::size_t kRecnoBits = 20;
inline constexpr std::size_t kDupBits = 21;
inline constexpr std::size_t kTrailBits = 22;
inline constexpr std::size_t kEntryBytes = 23;
inline constexpr std::size_t kEntries = 24;
}  // namespace leaf

// How a leaf's entries are packed: bits of the record number, the duplicate count and the
// trail count, and the bytes of one entry.
struct LeafLayout {
    unsigned recBits = 0, dupBits = 0, trailBits = 0, bytes = 0;

    // The layout for keys of that length and record numbers up to `maxRecno`: the counts take
    // as many bits as the key length needs, entries at least three bytes.
    static LeafLayout forKeys(std::uint16_t keyLength, std::uint32_t maxRecno);
    // Reads the layout of a leaf page; false when its masks and bit counts disagree or do not
    // fit the entry size.
    static bool decode(const unsigned char* page, LeafLayout& out);
    void encode(unsigned char* page) const;

    std::uint64_t recMask() const { return mask(recBits); }
    std::uint64_t pack(std::uint32_t recno, std::size_t dup, std::size_t trail) const {
        return recno | (static_cast<std::uint64_t>(dup) << recBits) |
               (static_cast<std::uint64_t>(trail) << (recBits + dupBits));
    }
    void unpack(std::uint64_t v, std::uint32_t& recno, std::size_t& dup, std::size_t& trail) const {
        recno = static_cast<std::uint32_t>(v & mask(recBits));
        dup = static_cast<std::size_t>((v >> recBits) & mask(dupBits));
        trail = static_cast<std::size_t>((v >> (recBits + dupBits)) & mask(trailBits));
    }
    void putEntry(unsigned char* page, std::size_t i, std::uint64_t v) const {
        unsigned char* p = page + leaf::kEntries + i * bytes;
        for (unsigned b = 0; b < bytes; ++b)
            p[b] = static_cast<unsigned char>(v >> (8 * b));
    }
    std::uint64_t getEntry(const unsigned char* page, std::size_t i) const {
        const unsigned char* p = page + leaf::kEntries + i * bytes;
        std::uint64_t v = 0;
        for (unsigned b = 0; b < bytes; ++b)
            v |= static_cast<std::uint64_t>(p[b]) << (8 * b);
        return v;
    }
    static std::uint64_t mask(unsigned bits) {
        return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    }
};

// The pad byte of a key of that kind ('C' character; 'N', 'D', 'L' and others).
inline char padByte(char keyKind) {
    return keyKind == 'C' ? ' ' : '\0';
}

// The number of pad bytes at the end of a key.
std::size_t padCount(std::string_view key, char pad);
// The length of the common prefix of two keys, at most `limit`.
std::size_t sharedPrefix(std::string_view a, std::string_view b, std::size_t limit);

// The canonical counts of a leaf entry, given the previous entry of the same leaf (none for
// the first) and its trail count.
struct EntryCounts {
    std::size_t dup = 0, trail = 0;
};
inline EntryCounts canonicalCounts(const std::string_view* previous, std::size_t previousTrail,
                                   std::string_view key, char pad) {
    EntryCounts c;
    c.trail = padCount(key, pad);
    if (previous) {
        const std::size_t limit = key.size() - std::max(c.trail, previousTrail);
        c.dup = sharedPrefix(*previous, key, limit);
    }
    return c;
}

// Packs the entries of one leaf, given in tree order, into a page by the canonical rule. The
// node header (attributes, siblings) is the caller's; close() writes the count and free space.
class LeafPacker {
  public:
    LeafPacker(unsigned char* page, const LeafLayout& layout, std::uint16_t keyLength, char pad);
    // Adds an entry; false, with the page unchanged, when it does not fit.
    bool add(std::string_view key, std::uint32_t recno);
    void close();
    std::size_t count() const { return count_; }
    // The last entry added (valid while count() > 0).
    const std::string& lastKey() const { return prev_; }
    std::uint32_t lastRecno() const { return prevRecno_; }

  private:
    unsigned char* page_;
    LeafLayout layout_;
    std::uint16_t keyLength_;
    char pad_;
    std::size_t count_ = 0, keyPos_ = kPageSize, prevTrail_ = 0;
    std::string prev_;
    std::uint32_t prevRecno_ = 0;
};

}  // namespace xbase::cdxfmt
