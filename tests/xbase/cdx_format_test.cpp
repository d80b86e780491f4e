// The index layout's encodings, each against its decoding and against bytes placed by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "xbase/cdx_format.h"

using namespace xbase::cdxfmt;

TEST(CdxFormat, TagHeaderRoundTrip) {
    auto header = [](std::uint32_t root, std::uint32_t freeList, std::uint32_t counter,
                     std::uint16_t keyLength, int options, bool descending, const char* key,
                     const char* forCondition, const char* collation) {
        TagHeader t;
        t.root = root;
        t.freeList = freeList;
        t.counter = counter;
        t.keyLength = keyLength;
        t.options = static_cast<std::uint8_t>(options);
        t.descending = descending;
        t.keyExpression = key;
        t.forExpression = forCondition;
        t.collation = collation;
        return t;
    };
    const int plain = option::kCompact | option::kCompound;
    const TagHeader cases[] = {
        header(1536, 0, 7, 18, plain, false, "GRUP+NNUM", "", ""),
        header(4096, 9728, 0, 9, plain | option::kNullable | option::kFor, true, "UPPER(NAME)",
               ".NOT.DELETED()", "GENERAL"),
        header(1024, 0, 0, 10, plain | option::kDirectory, false, "", "", ""),
    };
    for (const TagHeader& t : cases) {
        SCOPED_TRACE(t.keyExpression);
        std::vector<unsigned char> h(kTagHeaderSize, 0xAA);
        ASSERT_TRUE(encodeTagHeader(t, h.data()));
        // Where the published layout puts each field.
        EXPECT_EQ(h[tag::kRoot] | (h[tag::kRoot + 1] << 8), static_cast<int>(t.root & 0xFFFF));
        EXPECT_EQ(h[tag::kKeyLength], t.keyLength);
        EXPECT_EQ(h[tag::kOptions], t.options);
        EXPECT_EQ(h[tag::kDescending], t.descending ? 1 : 0);
        EXPECT_EQ(
            std::memcmp(h.data() + tag::kPool, t.keyExpression.data(), t.keyExpression.size()), 0);
        TagHeader back;
        ASSERT_TRUE(decodeTagHeader(h.data(), back));
        EXPECT_EQ(back.root, t.root);
        EXPECT_EQ(back.freeList, t.freeList);
        EXPECT_EQ(back.counter, t.counter);
        EXPECT_EQ(back.keyLength, t.keyLength);
        EXPECT_EQ(back.options, t.options);
        EXPECT_EQ(back.signature, t.signature);
        EXPECT_EQ(back.descending, t.descending);
        EXPECT_EQ(back.keyExpression, t.keyExpression);
        EXPECT_EQ(back.forExpression, t.forExpression);
        EXPECT_EQ(back.collation, t.collation);
    }
    // Expressions that do not fit the pool are refused; a pool pointer outside it too.
    TagHeader big;
    big.keyExpression = std::string(400, 'A');
    big.forExpression = std::string(200, 'B');
    std::vector<unsigned char> h(kTagHeaderSize);
    EXPECT_FALSE(encodeTagHeader(big, h.data()));
    ASSERT_TRUE(encodeTagHeader(TagHeader{}, h.data()));
    h[tag::kKeyPos] = 0x00;  // the key expression at 512: past the pool's end
    h[tag::kKeyPos + 1] = 0x02;
    TagHeader back;
    EXPECT_FALSE(decodeTagHeader(h.data(), back));
}

TEST(CdxFormat, NodeHeaderAndInteriorEntryRoundTrip) {
    unsigned char page[kPageSize] = {};
    const NodeHeader n{attr::kRoot | attr::kRewritten, 17, 0x1200, kNone};
    encodeNodeHeader(n, page);
    EXPECT_EQ(page[node::kAttributes], 5);
    EXPECT_EQ(page[node::kCount], 17);
    const NodeHeader back = decodeNodeHeader(page);
    EXPECT_EQ(back.attributes, n.attributes);
    EXPECT_EQ(back.count, n.count);
    EXPECT_EQ(back.left, n.left);
    EXPECT_EQ(back.right, n.right);

    // Interior entries: the key, then record and child big-endian.
    unsigned char* e = interiorEntry(page, 5, 2);
    EXPECT_EQ(e, page + node::kHeaderSize + 2 * 13);
    encodeInteriorEntry(e, "ABCDE", 0x01020304, 0x00000A00);
    EXPECT_EQ(std::memcmp(e, "ABCDE\x01\x02\x03\x04\x00\x00\x0A\x00", 13), 0);
    char key[5];
    std::uint32_t recno = 0, child = 0;
    decodeInteriorEntry(e, 5, key, recno, child);
    EXPECT_EQ(std::string(key, 5), "ABCDE");
    EXPECT_EQ(recno, 0x01020304u);
    EXPECT_EQ(child, 0xA00u);
    EXPECT_EQ(interiorCapacity(18), (512u - 12u) / 26u);
}

TEST(CdxFormat, LeafLayoutAndEntriesRoundTrip) {
    struct Case {
        std::uint16_t keyLength;
        std::uint32_t maxRecno;
        unsigned countBits, bytes;
    };
    // Count bits: as many as the key length needs; entries at least three bytes.
    const Case cases[] = {{18, 3000, 5, 3}, {8, 100, 4, 3}, {240, 1000000, 8, 5}, {1, 1, 1, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyLength);
        const LeafLayout l = LeafLayout::forKeys(c.keyLength, c.maxRecno);
        EXPECT_EQ(l.dupBits, c.countBits);
        EXPECT_EQ(l.trailBits, c.countBits);
        EXPECT_EQ(l.bytes, c.bytes);
        EXPECT_GE(l.recMask(), c.maxRecno);
        unsigned char page[kPageSize] = {};
        l.encode(page);
        LeafLayout back;
        ASSERT_TRUE(LeafLayout::decode(page, back));
        EXPECT_EQ(back.recBits, l.recBits);
        EXPECT_EQ(back.bytes, l.bytes);
        const std::uint64_t v = l.pack(c.maxRecno, c.keyLength, 0);
        l.putEntry(page, 3, v);
        std::uint32_t recno;
        std::size_t dup, trail;
        l.unpack(l.getEntry(page, 3), recno, dup, trail);
        EXPECT_EQ(recno, c.maxRecno);
        EXPECT_EQ(dup, c.keyLength);
        EXPECT_EQ(trail, 0u);
        page[leaf::kDupMask] ^= 1;  // a mask that disagrees with its bit count
        EXPECT_FALSE(LeafLayout::decode(page, back));
    }
}

// The packer's counts against the rule written out by hand, on keys whose shared prefix runs
// into the previous key's trailing blanks.
TEST(CdxFormat, PackerStoresTheCanonicalCounts) {
    unsigned char page[kPageSize] = {};
    const LeafLayout l = LeafLayout::forKeys(6, 10);
    LeafPacker p(page, l, 6, ' ');
    struct Entry {
        const char* key;
        std::size_t dup, trail;
    };
    const Entry entries[] = {{"A     ", 0, 5}, {"A B   ", 1, 3}, {"A BC  ", 3, 2},
                             {"A BC  ", 4, 2}, {"B     ", 0, 5}, {"      ", 0, 6}};
    std::uint32_t recno = 1;
    for (const Entry& e : entries)
        ASSERT_TRUE(p.add(e.key, recno++));
    p.close();
    EXPECT_EQ(page[node::kCount], 6);
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        std::uint32_t r;
        std::size_t dup, trail;
        l.unpack(l.getEntry(page, i), r, dup, trail);
        EXPECT_EQ(r, i + 1);
        EXPECT_EQ(dup, entries[i].dup) << "entry " << i + 1;
        EXPECT_EQ(trail, entries[i].trail) << "entry " << i + 1;
    }
    // The free space: what neither the entry table nor the stored key bytes take.
    const std::size_t stored = 1 + 2 + 1 + 0 + 1 + 0;
    EXPECT_EQ(page[leaf::kFreeSpace] | (page[leaf::kFreeSpace + 1] << 8),
              static_cast<int>(kPageSize - leaf::kEntries - 6 * l.bytes - stored));
}
