#pragma once

#include <cstdint>
#include <string>

#include "xbase/file.h"

namespace xbase {

// A memo file: FoxPro .fpt (block size in the header, big-endian, each memo starting with a
// type and a length), dBase III .dbt (512-byte blocks, text ended by 0x1A) or dBase IV/7 .dbt
// (block size at byte 20 of the header, little-endian; each memo starting with FF FF 08 00 and
// its length including that 8-byte header). Both .dbt forms keep the next free block at byte 0,
// little-endian.
// Where a dBase IV/7 memo file keeps its block size, and the mark of a block in use.
inline constexpr std::uint64_t kDbt4BlockSize = 20;
inline constexpr std::uint32_t kDbt4Used = 0x0008FFFFu;  // FF FF 08 00 read little-endian

class MemoFile {
  public:
    enum class Kind { Fpt, Dbt, Dbt4 };
    static MemoFile open(const std::string& path, Kind kind, Access access, Share share);

    Kind kind() const { return kind_; }
    std::uint32_t blockSize() const { return blockSize_; }
    const std::string& path() const { return file_.path(); }
    // The memo stored from `block` on; empty for block 0. A chain that runs past the end of
    // the file is code::kCorruptTable naming the file and the block.
    std::string read(std::uint32_t block) const;

    File& file() { return file_; }
    // The file grew by a write of the owner.
    void grew(std::uint64_t size) { size_ = size; }

  private:
    File file_;
    Kind kind_ = Kind::Fpt;
    std::uint32_t blockSize_ = 64;
    std::uint64_t size_ = 0;
};

}  // namespace xbase
