#include "xbase/cdx_format.h"

#include "xbase/ascii.h"

namespace xbase::cdxfmt {

namespace {

unsigned bitsFor(std::uint64_t v) {
    unsigned n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n;
}

bool upperAsciiLetter(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}

// A NUL-ended expression of the pool, without surrounding blanks.
std::string poolString(const unsigned char* p, std::size_t max) {
    std::size_t n = 0;
    while (n < max && p[n] != 0)
        ++n;
    return std::string(ascii::trimBlanks({reinterpret_cast<const char*>(p), n}));
}

}  // namespace

bool decodeTagHeader(const unsigned char* h, TagHeader& t) {
    t.root = le32(h + tag::kRoot);
    t.freeList = le32(h + tag::kFreeList);
    t.counter = le32(h + tag::kCounter);
    t.keyLength = le16(h + tag::kKeyLength);
    t.options = h[tag::kOptions];
    t.signature = h[tag::kSignature];
    t.descending = le16(h + tag::kDescending) != 0;
    const std::uint16_t forPos = le16(h + tag::kForPos), forLen = le16(h + tag::kForLen);
    const std::uint16_t keyPos = le16(h + tag::kKeyPos), keyLen = le16(h + tag::kKeyLen);
    if (std::size_t{keyPos} + keyLen > tag::kPoolSize ||
        std::size_t{forPos} + forLen > tag::kPoolSize)
        return false;
    const unsigned char* pool = h + tag::kPool;
    t.keyExpression = poolString(pool + keyPos, keyLen);
    t.forExpression.clear();
    if (forLen > 1 && (t.options & option::kFor))
        t.forExpression = poolString(pool + forPos, forLen);
    // A collation other than the machine order is recorded by its name where Visual FoxPro
    // writes it; a writer that put it elsewhere in the reserved bytes left a run of capital
    // letters standing alone between NULs.
    t.collation.clear();
    for (std::size_t i = tag::kCollation;
         i < tag::kCollation + tag::kCollationSize && upperAsciiLetter(h[i]); ++i)
        t.collation += static_cast<char>(h[i]);
    for (std::size_t i = tag::kReserved; t.collation.empty() && i + 4 < tag::kReservedEnd; ++i) {
        std::size_t j = i;
        while (j < tag::kReservedEnd && upperAsciiLetter(h[j]))
            ++j;
        if (j - i >= 4 && (i == tag::kReserved || h[i - 1] == 0) &&
            (j == tag::kReservedEnd || h[j] == 0)) {
            t.collation.assign(reinterpret_cast<const char*>(h + i), j - i);
            break;
        }
        i = j;
    }
    if (t.collation == "MACHINE") t.collation.clear();
    return true;
}

bool encodeTagHeader(const TagHeader& t, unsigned char* h) {
    std::memset(h, 0, kTagHeaderSize);
    const std::size_t keyLen = t.keyExpression.size() + 1;
    const std::size_t forLen = t.forExpression.size() + 1;
    if (keyLen + forLen > tag::kPoolSize || t.collation.size() > tag::kCollationSize) return false;
    putLe32(h + tag::kRoot, t.root);
    putLe32(h + tag::kFreeList, t.freeList);
    putLe32(h + tag::kCounter, t.counter);
    putLe16(h + tag::kKeyLength, t.keyLength);
    h[tag::kOptions] = t.options;
    h[tag::kSignature] = t.signature;
    std::memcpy(h + tag::kCollation, t.collation.data(), t.collation.size());
    putLe16(h + tag::kDescending, t.descending ? 1 : 0);
    // The key expression first in the pool, the FOR expression after it.
    putLe16(h + tag::kForPos, static_cast<std::uint16_t>(keyLen));
    putLe16(h + tag::kForLen, static_cast<std::uint16_t>(forLen));
    putLe16(h + tag::kKeyPos, 0);
    putLe16(h + tag::kKeyLen, static_cast<std::uint16_t>(keyLen));
    std::memcpy(h + tag::kPool, t.keyExpression.data(), t.keyExpression.size());
    std::memcpy(h + tag::kPool + keyLen, t.forExpression.data(), t.forExpression.size());
    return true;
}

LeafLayout LeafLayout::forKeys(std::uint16_t keyLength, std::uint32_t maxRecno) {
    LeafLayout l;
    l.dupBits = l.trailBits = bitsFor(keyLength);
    const unsigned need = std::max(1u, bitsFor(maxRecno)) + l.dupBits + l.trailBits;
    l.bytes = std::max(3u, (need + 7) / 8);
    l.recBits = std::min(32u, l.bytes * 8 - l.dupBits - l.trailBits);
    return l;
}

bool LeafLayout::decode(const unsigned char* page, LeafLayout& l) {
    l.recBits = page[leaf::kRecnoBits];
    l.dupBits = page[leaf::kDupBits];
    l.trailBits = page[leaf::kTrailBits];
    l.bytes = page[leaf::kEntryBytes];
    if (l.bytes < 1 || l.bytes > 8 || l.recBits + l.dupBits + l.trailBits > l.bytes * 8 ||
        l.recBits > 32 || l.dupBits > 8 || l.trailBits > 8)
        return false;
    return le32(page + leaf::kRecnoMask) == mask(l.recBits) &&
           page[leaf::kDupMask] == mask(l.dupBits) && page[leaf::kTrailMask] == mask(l.trailBits);
}

void LeafLayout::encode(unsigned char* page) const {
    putLe32(page + leaf::kRecnoMask, static_cast<std::uint32_t>(mask(recBits)));
    page[leaf::kDupMask] = static_cast<unsigned char>(mask(dupBits));
    page[leaf::kTrailMask] = static_cast<unsigned char>(mask(trailBits));
    page[leaf::kRecnoBits] = static_cast<unsigned char>(recBits);
    page[leaf::kDupBits] = static_cast<unsigned char>(dupBits);
    page[leaf::kTrailBits] = static_cast<unsigned char>(trailBits);
    page[leaf::kEntryBytes] = static_cast<unsigned char>(bytes);
}

std::size_t padCount(std::string_view k, char pad) {
    std::size_t n = k.size();
    std::uint64_t fill;
    std::memset(&fill, pad, sizeof fill);
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, k.data() + n - 8, 8);
        if (w != fill) break;
        n -= 8;
    }
    while (n > 0 && k[n - 1] == pad)
        --n;
    return k.size() - n;
}

std::size_t sharedPrefix(std::string_view a, std::string_view b, std::size_t limit) {
    std::size_t n = 0;
    while (n + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a.data() + n, 8);
        std::memcpy(&y, b.data() + n, 8);
        if (x != y) break;
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

LeafPacker::LeafPacker(unsigned char* page, const LeafLayout& layout, std::uint16_t keyLength,
                       char pad)
    : page_(page), layout_(layout), keyLength_(keyLength), pad_(pad) {
    layout_.encode(page_);
}

bool LeafPacker::add(std::string_view key, std::uint32_t recno) {
    const std::string_view previous = prev_;
    const EntryCounts c = canonicalCounts(count_ ? &previous : nullptr, prevTrail_, key, pad_);
    const std::size_t stored = keyLength_ - c.dup - c.trail;
    if (leaf::kEntries + (count_ + 1) * layout_.bytes + stored > keyPos_) return false;
    keyPos_ -= stored;
    std::memcpy(page_ + keyPos_, key.data() + c.dup, stored);
    layout_.putEntry(page_, count_, layout_.pack(recno, c.dup, c.trail));
    prev_.assign(key.data(), key.size());
    prevTrail_ = c.trail;
    prevRecno_ = recno;
    ++count_;
    return true;
}

void LeafPacker::close() {
    putLe16(page_ + node::kCount, static_cast<std::uint16_t>(count_));
    putLe16(page_ + leaf::kFreeSpace,
            static_cast<std::uint16_t>(keyPos_ - leaf::kEntries - count_ * layout_.bytes));
}

}  // namespace xbase::cdxfmt
