#include "xbase/memo.h"

#include "xbase/bytes.h"
#include "xbase/error.h"

namespace xbase {

MemoFile MemoFile::open(const std::string& path, Kind kind, Access access, Share share) {
    MemoFile m;
    m.file_ = File::open(path, access, share);
    m.kind_ = kind;
    m.size_ = m.file_.size();
    unsigned char head[8];
    m.file_.readExact(0, head, sizeof head, "the memo header");
    if (kind == Kind::Fpt) {
        m.blockSize_ = be16(head + 6);
        if (m.blockSize_ == 0) fail(code::kCorruptTable, path + ": the memo block size is 0");
    } else if (kind == Kind::Dbt4) {
        unsigned char size[2];
        m.file_.readExact(kDbt4BlockSize, size, sizeof size, "the memo header");
        m.blockSize_ = le16(size);
        if (m.blockSize_ == 0) m.blockSize_ = 512;
    } else {
        m.blockSize_ = 512;
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
        unsigned char head[8];
        if (file_.readAt(offset, head, 8) != 8) bad("lies past the end of the file");
        std::uint64_t length = be32(head + 4);
        if (length > size_ - offset - 8) bad("runs past the end of the file");
        std::string out(static_cast<std::size_t>(length), '\0');
        file_.readExact(offset + 8, out.data(), out.size(), "a memo");
        return out;
    }
    if (kind_ == Kind::Dbt4) {
        unsigned char head[8];
        if (file_.readAt(offset, head, 8) != 8) bad("lies past the end of the file");
        if (le32(head) == kDbt4Used) {
            std::uint64_t length = le32(head + 4);
            if (length < 8 || length - 8 > size_ - offset - 8) bad("runs past the end of the file");
            std::string out(static_cast<std::size_t>(length - 8), '\0');
            file_.readExact(offset + 8, out.data(), out.size(), "a memo");
            return out;
        }
        // A block without the header holds text as dBase III writes it.
    }
    std::string out;
    char buf[512];
    while (offset < size_) {
        std::size_t n = file_.readAt(offset, buf, sizeof buf);
        for (std::size_t i = 0; i < n; ++i) {
            if (buf[i] == '\x1A') return out;
            out += buf[i];
        }
        offset += n;
        if (n < sizeof buf) break;
    }
    return out;
}

}  // namespace xbase
