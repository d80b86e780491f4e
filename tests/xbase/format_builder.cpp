#include "format_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

namespace testfmt {

namespace {

void le16(std::string& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void le32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void be32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
}

unsigned bitsFor(std::uint32_t v) {
    unsigned n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n;
}

constexpr std::uint32_t kPage = 512;

struct Builder {
    std::string file;
    std::uint32_t alloc(std::uint32_t pages = 1) {
        auto off = static_cast<std::uint32_t>(file.size());
        file.append(pages * kPage, '\0');
        return off;
    }
};

// Writes one compact leaf; returns false when the entries do not fit.
bool encodeLeaf(std::string& page, const std::vector<std::pair<std::string, std::uint32_t>>& e,
                std::size_t from, std::size_t to, std::uint16_t keyLength, char trail,
                std::uint32_t maxRecno, bool sharePad) {
    unsigned dupBits = bitsFor(keyLength), trailBits = bitsFor(keyLength);
    unsigned bytes = (bitsFor(std::max<std::uint32_t>(maxRecno, 1)) + dupBits + trailBits + 7) / 8;
    unsigned recBits = bytes * 8 - dupBits - trailBits;
    if (recBits > 32) recBits = 32;
    page.assign(kPage, '\0');
    le32(page, 14, recBits == 32 ? 0xFFFFFFFFu : (1u << recBits) - 1);
    page[18] = static_cast<char>((1u << dupBits) - 1);
    page[19] = static_cast<char>((1u << trailBits) - 1);
    page[20] = static_cast<char>(recBits);
    page[21] = static_cast<char>(dupBits);
    page[22] = static_cast<char>(trailBits);
    page[23] = static_cast<char>(bytes);
    std::size_t keyPos = kPage;
    std::size_t infoEnd = 24 + (to - from) * bytes;
    const std::string* prev = nullptr;
    std::size_t prevTrail = 0;
    for (std::size_t i = from; i < to; ++i) {
        const std::string& k = e[i].first;
        std::size_t trailCount = 0;
        while (trailCount < k.size() && k[k.size() - 1 - trailCount] == trail)
            ++trailCount;
        // The shared prefix stops where either key's trailing pad begins.
        std::size_t dup = 0;
        if (prev)
            while (dup < k.size() - (sharePad ? trailCount : std::max(trailCount, prevTrail)) &&
                   (*prev)[dup] == k[dup])
                ++dup;
        prevTrail = trailCount;
        std::size_t stored = k.size() - dup - trailCount;
        if (keyPos < infoEnd + stored) return false;
        keyPos -= stored;
        std::memcpy(page.data() + keyPos, k.data() + dup, stored);
        std::uint64_t v = e[i].second | (static_cast<std::uint64_t>(dup) << recBits) |
                          (static_cast<std::uint64_t>(trailCount) << (recBits + dupBits));
        for (unsigned b = 0; b < bytes; ++b)
            page[24 + (i - from) * bytes + b] = static_cast<char>((v >> (8 * b)) & 0xFF);
        prev = &k;
    }
    le16(page, 12, static_cast<std::uint32_t>(keyPos - infoEnd));
    return true;
}

// Builds the tree of one tag into the file; returns the root offset and the leaves.
std::uint32_t buildTree(Builder& b,
                        const std::vector<std::pair<std::string, std::uint32_t>>& entries,
                        std::uint16_t keyLength, char trail, std::size_t maxPerLeaf,
                        std::size_t maxPerInterior, std::vector<std::uint32_t>& leavesOut,
                        bool sharePad = false, std::uint8_t attributeMark = 0) {
    std::uint32_t maxRecno = 0;
    for (const auto& e : entries)
        maxRecno = std::max(maxRecno, e.second);
    struct Level {
        std::uint32_t offset;
        std::string lastKey;
        std::uint32_t lastRecno;
    };
    std::vector<Level> level;
    std::vector<std::string> pages;
    std::size_t i = 0;
    do {
        std::size_t to = std::min(entries.size(), i + maxPerLeaf);
        std::string page;
        while (!encodeLeaf(page, entries, i, to, keyLength, trail, maxRecno, sharePad))
            --to;
        if (to == i && !entries.empty()) throw std::runtime_error("a key does not fit a leaf");
        le16(page, 0, 2);
        le16(page, 2, static_cast<std::uint32_t>(to - i));
        std::uint32_t off = b.alloc();
        pages.push_back(page);
        level.push_back({off, to > i ? entries[to - 1].first : std::string(keyLength, trail),
                         to > i ? entries[to - 1].second : 0});
        i = to;
    } while (i < entries.size());
    auto link = [&](std::vector<Level>& lv, std::vector<std::string>& pg) {
        for (std::size_t k = 0; k < lv.size(); ++k) {
            le32(pg[k], 4, k == 0 ? 0xFFFFFFFFu : lv[k - 1].offset);
            le32(pg[k], 8, k + 1 == lv.size() ? 0xFFFFFFFFu : lv[k + 1].offset);
            pg[k][0] = static_cast<char>(pg[k][0] | attributeMark);
            std::memcpy(b.file.data() + lv[k].offset, pg[k].data(), kPage);
        }
    };
    for (const Level& l : level)
        leavesOut.push_back(l.offset);
    std::size_t perInterior =
        std::min<std::size_t>(maxPerInterior, (kPage - 12) / (keyLength + 8u));
    while (level.size() > 1) {
        link(level, pages);
        std::vector<Level> up;
        std::vector<std::string> upPages;
        for (std::size_t k = 0; k < level.size(); k += perInterior) {
            std::size_t to = std::min(level.size(), k + perInterior);
            std::string page(kPage, '\0');
            le16(page, 0, 0);
            le16(page, 2, static_cast<std::uint32_t>(to - k));
            for (std::size_t c = k; c < to; ++c) {
                std::size_t at = 12 + (c - k) * (keyLength + 8u);
                std::memcpy(page.data() + at, level[c].lastKey.data(), keyLength);
                be32(page, at + keyLength, level[c].lastRecno);
                be32(page, at + keyLength + 4, level[c].offset);
            }
            std::uint32_t off = b.alloc();
            upPages.push_back(page);
            up.push_back({off, level[to - 1].lastKey, level[to - 1].lastRecno});
        }
        level = std::move(up);
        pages = std::move(upPages);
    }
    // The root carries the root flag besides its kind.
    pages[0][0] = static_cast<char>(pages[0][0] | 1);
    link(level, pages);
    return level[0].offset;
}

void tagHeader(std::string& file, std::uint32_t at, std::uint32_t root, std::uint16_t keyLength,
               std::uint8_t options, bool descending, const std::string& keyExpr,
               const std::string& forExpr) {
    le32(file, at, root);
    le32(file, at + 4, 0);
    le16(file, at + 12, keyLength);
    file[at + 14] = static_cast<char>(options);
    file[at + 15] = 1;
    le16(file, at + 502, descending ? 1 : 0);
    std::uint32_t keyLen = static_cast<std::uint32_t>(keyExpr.size()) + 1;
    std::uint32_t forLen = static_cast<std::uint32_t>(forExpr.size()) + 1;
    le16(file, at + 504, keyLen);
    le16(file, at + 506, forLen);
    le16(file, at + 508, 0);
    le16(file, at + 510, keyLen);
    std::memcpy(file.data() + at + 512, keyExpr.data(), keyExpr.size());
    std::memcpy(file.data() + at + 512 + keyLen, forExpr.data(), forExpr.size());
}

}  // namespace

std::string buildDbf(const TableSpec& spec) {
    std::uint32_t recLen = 1;
    for (const auto& f : spec.fields)
        recLen += static_cast<std::uint32_t>(f.length);
    bool vfp = spec.version == 0x30 || spec.version == 0x31 || spec.version == 0x32;
    // dBase 7: 32 more bytes of language driver name and 4 reserved ones, 48-byte descriptors
    // (name 32, type, length, decimals, then reserved, MDX flag and autoincrement bytes).
    bool level7 = spec.version == 0x04 || spec.version == 0x8C;
    const std::size_t start = level7 ? 68 : 32, size = level7 ? 48 : 32;
    std::uint32_t headerLen =
        static_cast<std::uint32_t>(start + size * spec.fields.size()) + 1 + (vfp ? 263 : 0);
    std::string b(headerLen, '\0');
    b[0] = static_cast<char>(spec.version);
    b[1] = 124;
    b[2] = 12;
    b[3] = 10;
    le32(b, 4, static_cast<std::uint32_t>(spec.records.size()));
    le16(b, 8, headerLen);
    le16(b, 10, recLen);
    b[28] = static_cast<char>(spec.tableFlags);
    b[29] = static_cast<char>(spec.codePageByte);
    if (level7)
        std::memcpy(b.data() + 32, spec.driverName.data(),
                    std::min<std::size_t>(spec.driverName.size(), 32));
    std::uint32_t offset = 1;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const auto& f = spec.fields[i];
        std::size_t at = start + i * size;
        std::memcpy(b.data() + at, f.name.data(),
                    std::min<std::size_t>(f.name.size(), level7 ? 31 : 10));
        if (level7) {
            b[at + 32] = f.type;
            b[at + 33] = static_cast<char>(f.length & 0xFF);
            b[at + 34] = static_cast<char>(f.decimals);
        } else {
            b[at + 11] = f.type;
            le32(b, at + 12, vfp ? offset : 0);
            b[at + 16] = static_cast<char>(f.length & 0xFF);
            b[at + 17] = static_cast<char>(f.decimals);
            b[at + 18] = static_cast<char>(f.flags);
        }
        offset += static_cast<std::uint32_t>(f.length);
    }
    b[start + spec.fields.size() * size] = 0x0D;
    for (std::size_t r = 0; r < spec.records.size(); ++r) {
        std::string rec(recLen, ' ');
        if (r < spec.deleted.size() && spec.deleted[r]) rec[0] = '*';
        std::size_t at = 1;
        for (std::size_t i = 0; i < spec.fields.size(); ++i) {
            auto len = static_cast<std::size_t>(spec.fields[i].length);
            if (i < spec.records[r].size()) {
                const std::string& v = spec.records[r][i];
                std::memcpy(rec.data() + at, v.data(), std::min(v.size(), len));
            }
            at += len;
        }
        b += rec;
    }
    b += '\x1A';
    return b;
}

CdxImage buildCdx(const std::vector<TagSpec>& tags) {
    Builder b;
    CdxImage img;
    b.alloc(2);  // the directory's header
    std::vector<std::uint32_t> headers;
    for (const TagSpec& t : tags) {
        std::uint32_t h = b.alloc(2);
        headers.push_back(h);
        std::vector<std::uint32_t> leaves;
        std::uint32_t root = buildTree(b, t.entries, t.keyLength, t.trail, t.maxPerLeaf,
                                       t.maxPerInterior, leaves, t.sharePad, t.attributeMark);
        auto options = static_cast<std::uint8_t>(0x60 | t.options);
        if (t.unique) options |= 0x01;
        if (!t.forExpression.empty()) options |= 0x08;
        tagHeader(b.file, h, root, t.keyLength, options, t.descending, t.keyExpression,
                  t.forExpression);
        b.file[h + 15] = static_cast<char>(t.signature);
        for (std::size_t i = 0; i < t.collation.size() && i < 8; ++i)
            b.file[h + 0x1EE + i] = t.collation[i];
        img.tagHeaders.push_back(h);
        img.leaves.push_back(leaves);
        img.roots.push_back(root);
    }
    // The directory: a tag whose keys are the tag names and whose "records" are the headers.
    std::vector<std::pair<std::string, std::uint32_t>> dir;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        std::string name = tags[i].name;
        name.resize(10, ' ');
        dir.emplace_back(name, headers[i]);
    }
    std::sort(dir.begin(), dir.end());
    std::vector<std::uint32_t> dirLeaves;
    std::uint32_t dirRoot = buildTree(b, dir, 10, ' ', 1000, 1000, dirLeaves);
    tagHeader(b.file, 0, dirRoot, 10, 0xE0, false, "", "");
    img.bytes = b.file;
    return img;
}

Container buildContainer(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& tables) {
    auto i32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    Container c;
    std::vector<std::uint32_t> blocks;
    std::tie(c.dct, blocks) = buildFpt(64, {"properties"});
    TableSpec s;
    s.version = 0x30;
    s.tableFlags = 0x07;
    s.fields = {{"OBJECTID", 'I', 4},
                {"PARENTID", 'I', 4},
                {"OBJECTTYPE", 'C', 10},
                {"OBJECTNAME", 'C', 128},
                {"PROPERTY", 'M', 4, 0, 0x04}};
    std::uint32_t id = 1;
    s.records.push_back({i32(id), i32(1), "Database", "Database", i32(0)});
    for (const auto& [table, fields] : tables) {
        const std::uint32_t tableId = ++id;
        s.records.push_back({i32(tableId), i32(1), "Table", table, i32(blocks[0])});
        for (const std::string& f : fields)
            s.records.push_back({i32(++id), i32(tableId), "Field", f, i32(0)});
    }
    c.dbc = buildDbf(s);
    return c;
}

void setBacklink(std::string& dbf, const std::string& container) {
    const std::size_t headerLength = std::size_t{static_cast<unsigned char>(dbf[8])} |
                                     (std::size_t{static_cast<unsigned char>(dbf[9])} << 8);
    std::memcpy(dbf.data() + headerLength - 263, container.data(), container.size());
}

std::pair<std::string, std::vector<std::uint32_t>> buildFpt(std::uint16_t blockSize,
                                                            const std::vector<std::string>& memos) {
    std::string f(512, '\0');
    f[6] = static_cast<char>(blockSize >> 8);
    f[7] = static_cast<char>(blockSize & 0xFF);
    std::vector<std::uint32_t> blocks;
    for (const std::string& m : memos) {
        std::size_t at = f.size();
        blocks.push_back(static_cast<std::uint32_t>(at / blockSize));
        std::string block(8 + m.size(), '\0');
        be32(block, 0, 1);
        be32(block, 4, static_cast<std::uint32_t>(m.size()));
        std::memcpy(block.data() + 8, m.data(), m.size());
        block.resize((block.size() + blockSize - 1) / blockSize * blockSize, '\0');
        f += block;
    }
    be32(f, 0, static_cast<std::uint32_t>(f.size() / blockSize));
    return {f, blocks};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string numberKey(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    if (bits >> 63)
        bits = ~bits;
    else
        bits |= std::uint64_t{1} << 63;
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
    return out;
}

}  // namespace testfmt
