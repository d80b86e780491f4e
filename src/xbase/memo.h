#pragma once

#include <cstdint>
#include <string>

#include "xbase/file.h"

namespace xbase {

// A memo file: FoxPro .fpt, dBase III .dbt or dBase IV/7 .dbt (their layouts are in
// memo_format.h).
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
