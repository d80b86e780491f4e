#pragma once

// The memo files as they lie on disk, written down once. A memo field of a record holds the
// number of the block where its memo starts: 4 bytes little-endian in Visual FoxPro tables, 10
// ASCII digits elsewhere. A block's offset is its number times the block size.
//
// FoxPro (.fpt). Numbers are big-endian.
//   Header (512 bytes):    0 next free block (u32)    6 block size (u16)
//   Memo:                  0 type: 0 picture, 1 text (u32)    4 length of the data (u32)
//                          8 the data, then padding to a whole block
// dBase III (.dbt): blocks of 512 bytes; the header keeps the next free block at 0
//   (little-endian); a memo is its text ended by 0x1A (two are written).
// dBase IV and dBase 7 (.dbt). Numbers are little-endian.
//   Header:                0 next free block (u32)    20 block size (u16)
//   Memo:                  0 FF FF 08 00 (a block in use)    4 length with this header (u32)
//                          8 the text

#include <cstddef>
#include <cstdint>

#include "xbase/bytes.h"

namespace xbase::memofmt {

inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kNextFree = 0;
inline constexpr std::size_t kBlockHeaderSize = 8;

namespace fpt {
inline constexpr std::size_t kBlockSize = 6;
inline constexpr std::uint32_t kPicture = 0;
inline constexpr std::uint32_t kText = 1;
}  // namespace fpt

namespace dbt {
inline constexpr std::uint32_t kBlockSize3 = 512;
inline constexpr std::size_t kBlockSize4 = 20;
inline constexpr std::uint32_t kUsed4 = 0x0008FFFFu;  // FF FF 08 00 read little-endian
inline constexpr char kEnd = '\x1A';
}  // namespace dbt

// The header's next free block: big-endian in a FoxPro memo file, little-endian in a .dbt.
inline std::uint32_t decodeNextFree(const unsigned char* header, bool fpt) {
    return fpt ? be32(header + kNextFree) : le32(header + kNextFree);
}
inline void encodeNextFree(std::uint32_t block, unsigned char* header, bool fpt) {
    if (fpt)
        putBe32(header + kNextFree, block);
    else
        putLe32(header + kNextFree, block);
}

// The header of a FoxPro memo: its type and the length of its data.
struct FptBlock {
    std::uint32_t type = fpt::kText;
    std::uint32_t length = 0;
};
inline FptBlock decodeFptBlock(const unsigned char* p) {
    return {be32(p), be32(p + 4)};
}
inline void encodeFptBlock(const FptBlock& b, unsigned char* p) {
    putBe32(p, b.type);
    putBe32(p + 4, b.length);
}

// The header of a dBase IV/7 memo: false when the block does not start one (such a block
// holds text as dBase III writes it); `storedLength` is the length it gives, this header
// included (a sound one is at least kBlockHeaderSize).
inline bool decodeDbt4Block(const unsigned char* p, std::uint32_t& storedLength) {
    if (le32(p) != dbt::kUsed4) return false;
    storedLength = le32(p + 4);
    return true;
}
inline void encodeDbt4Block(std::uint32_t textLength, unsigned char* p) {
    putLe32(p, dbt::kUsed4);
    putLe32(p + 4, textLength + static_cast<std::uint32_t>(kBlockHeaderSize));
}

}  // namespace xbase::memofmt
