#include "xbase/memo.h"

#include "xbase/bytes.h"
#include "xbase/error.h"
#include "xbase/memo_format.h"

namespace xbase {

MemoFile MemoFile::open(const std::string& path, Kind kind, Access access, Share share) {
    MemoFile m;
    m.file_ = File::open(path, access, share);
    m.kind_ = kind;
    m.size_ = m.file_.size();
    unsigned char head[memofmt::dbt::kBlockSize4 + 2];
    m.file_.readExact(0, head, kind == Kind::Dbt4 ? sizeof head : 8, "the memo header");
    if (kind == Kind::Fpt) {
        m.blockSize_ = be16(head + memofmt::fpt::kBlockSize);
        if (m.blockSize_ == 0) fail(code::kCorruptTable, path + ": the memo block size is 0");
    } else if (kind == Kind::Dbt4) {
        m.blockSize_ = le16(head + memofmt::dbt::kBlockSize4);
        if (m.blockSize_ == 0) m.blockSize_ = memofmt::dbt::kBlockSize3;
    } else {
        m.blockSize_ = memofmt::dbt::kBlockSize3;
    }
    return m;
}

std::string MemoFile::read(std::uint32_t block) const {
    if (block == 0) return {};
    std::uint64_t offset = static_cast<std::uint64_t>(block) * blockSize_;
    auto bad = [&](const char* what) {
        fail(code::kCorruptTable,
             file_.path() + ": memo block " + std::to_string(block) + " " + what);
    };
    if (offset < 8 || offset >= size_) bad("lies past the end of the file");
    if (kind_ == Kind::Fpt) {
        unsigned char head[memofmt::kBlockHeaderSize];
        if (file_.readAt(offset, head, sizeof head) != sizeof head)
            bad("lies past the end of the file");
        const std::uint64_t length = memofmt::decodeFptBlock(head).length;
        if (length > size_ - offset - sizeof head) bad("runs past the end of the file");
        std::string out(static_cast<std::size_t>(length), '\0');
        file_.readExact(offset + sizeof head, out.data(), out.size(), "a memo");
        return out;
    }
    if (kind_ == Kind::Dbt4) {
        unsigned char head[memofmt::kBlockHeaderSize];
        if (file_.readAt(offset, head, sizeof head) != sizeof head)
            bad("lies past the end of the file");
        std::uint32_t stored = 0;
        if (memofmt::decodeDbt4Block(head, stored)) {
            if (stored < sizeof head || stored - sizeof head > size_ - offset - sizeof head)
                bad("runs past the end of the file");
            std::string out(stored - sizeof head, '\0');
            file_.readExact(offset + sizeof head, out.data(), out.size(), "a memo");
            return out;
        }
        // A block without the header holds text as dBase III writes it.
    }
    std::string out;
    char buf[512];
    while (offset < size_) {
        std::size_t n = file_.readAt(offset, buf, sizeof buf);
        for (std::size_t i = 0; i < n; ++i) {
            if (buf[i] == memofmt::dbt::kEnd) return out;
            out += buf[i];
        }
        offset += n;
        if (n < sizeof buf) break;
    }
    return out;
}

}  // namespace xbase
