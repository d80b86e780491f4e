// The table and memo layouts' encodings, each against its decoding and hand-placed bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "xbase/dbf_format.h"
#include "xbase/memo_format.h"

using namespace xbase;

TEST(DbfFormat, HeaderRoundTrip) {
    dbffmt::Header h;
    h.version = 0x30;
    h.year = 126;
    h.month = 12;
    h.day = 10;
    h.recordCount = 0x01020304;
    h.headerLength = 296;
    h.recordLength = 1259;
    h.tableFlags = dbffmt::flag::kStructuralIndex | dbffmt::flag::kMemo;
    h.codePage = 0xC9;
    std::vector<unsigned char> b(dbffmt::header::kSize, 0x55);
    dbffmt::encodeHeader(h, b.data());
    // The published places: count at 4, lengths at 8 and 10, flags and code page at 28, 29.
    EXPECT_EQ(std::memcmp(b.data(), "\x30\x7E\x0C\x0A\x04\x03\x02\x01\x28\x01\xEB\x04", 12), 0);
    EXPECT_EQ(b[28], 0x03);
    EXPECT_EQ(b[29], 0xC9);
    EXPECT_EQ(b[12], 0x55);  // reserved bytes left as they were
    const dbffmt::Header back = dbffmt::decodeHeader(b.data());
    EXPECT_EQ(back.version, h.version);
    EXPECT_EQ(back.year, h.year);
    EXPECT_EQ(back.month, h.month);
    EXPECT_EQ(back.day, h.day);
    EXPECT_EQ(back.recordCount, h.recordCount);
    EXPECT_EQ(back.headerLength, h.headerLength);
    EXPECT_EQ(back.recordLength, h.recordLength);
    EXPECT_EQ(back.tableFlags, h.tableFlags);
    EXPECT_EQ(back.codePage, h.codePage);

    const std::pair<int, unsigned char> years[] = {{1999, 99}, {2000, 100}, {2026, 126}, {2156, 0}};
    for (const auto& [year, stored] : years) {
        unsigned char d[3];
        dbffmt::encodeDate(year, 2, 29, d);
        EXPECT_EQ(d[0], stored) << year;
        EXPECT_EQ(d[1], 2);
        EXPECT_EQ(d[2], 29);
    }
}

TEST(DbfFormat, FieldDescriptorRoundTrip) {
    dbffmt::FieldDescriptor f;
    f.name = "NNUM";
    f.type = 'C';
    f.offset = 6;
    f.length = 13;
    f.flags = dbffmt::fieldflag::kNullable;
    unsigned char d[dbffmt::field::kSize];
    std::memset(d, 0xEE, sizeof d);
    ASSERT_TRUE(dbffmt::encodeField(f, d));
    EXPECT_EQ(std::memcmp(d, "NNUM\0\0\0\0\0\0\0C\x06\0\0\0\x0D\0\x02", 19), 0);
    EXPECT_EQ(d[31], 0);
    const dbffmt::FieldDescriptor back = dbffmt::decodeField(d, false);
    EXPECT_EQ(back.name, f.name);
    EXPECT_EQ(back.type, f.type);
    EXPECT_EQ(back.offset, f.offset);
    EXPECT_EQ(back.length, f.length);
    EXPECT_EQ(back.decimals, f.decimals);
    EXPECT_EQ(back.flags, f.flags);
    f.name = "LONGERTHAN10";
    EXPECT_FALSE(dbffmt::encodeField(f, d));
    f.name.clear();
    EXPECT_FALSE(dbffmt::encodeField(f, d));

    // dBase 7: a 32-byte name, then type, length and decimals.
    unsigned char d7[dbffmt::field::kSize7] = {};
    std::memcpy(d7, "A_LONG_DBASE7_FIELD_NAME", 24);
    d7[32] = 'N';
    d7[33] = 12;
    d7[34] = 3;
    const dbffmt::FieldDescriptor f7 = dbffmt::decodeField(d7, true);
    EXPECT_EQ(f7.name, "A_LONG_DBASE7_FIELD_NAME");
    EXPECT_EQ(f7.type, 'N');
    EXPECT_EQ(f7.length, 12);
    EXPECT_EQ(f7.decimals, 3);
}

TEST(MemoFormat, HeadersAndBlocksRoundTrip) {
    unsigned char h[memofmt::kHeaderSize] = {};
    memofmt::encodeNextFree(0x0A0B, h, true);  // FoxPro: big-endian
    EXPECT_EQ(std::memcmp(h, "\0\0\x0A\x0B", 4), 0);
    EXPECT_EQ(memofmt::decodeNextFree(h, true), 0x0A0Bu);
    memofmt::encodeNextFree(0x0A0B, h, false);  // .dbt: little-endian
    EXPECT_EQ(std::memcmp(h, "\x0B\x0A\0\0", 4), 0);
    EXPECT_EQ(memofmt::decodeNextFree(h, false), 0x0A0Bu);

    unsigned char b[memofmt::kBlockHeaderSize];
    memofmt::encodeFptBlock({memofmt::fpt::kText, 300}, b);
    EXPECT_EQ(std::memcmp(b, "\0\0\0\x01\0\0\x01\x2C", 8), 0);
    const memofmt::FptBlock fb = memofmt::decodeFptBlock(b);
    EXPECT_EQ(fb.type, memofmt::fpt::kText);
    EXPECT_EQ(fb.length, 300u);

    memofmt::encodeDbt4Block(300, b);
    EXPECT_EQ(std::memcmp(b, "\xFF\xFF\x08\x00\x34\x01\0\0", 8), 0);  // 300 + the header
    std::uint32_t stored = 0;
    ASSERT_TRUE(memofmt::decodeDbt4Block(b, stored));
    EXPECT_EQ(stored, 308u);
    b[0] = 'T';  // dBase III text where a dBase IV memo would start
    EXPECT_FALSE(memofmt::decodeDbt4Block(b, stored));
}
