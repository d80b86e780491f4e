#include "xbase/dbf.h"

#include <algorithm>
#include <cstring>

#include "xbase/ascii.h"
#include "xbase/bytes.h"
#include "xbase/cdx.h"
#include "xbase/codepage.h"
#include "xbase/dbf_format.h"
#include "xbase/error.h"
#include "xbase/expr.h"
#include "xbase/key.h"
#include "xbase/pack_files.h"

namespace xbase {

namespace {

constexpr std::size_t kCacheSlots = 1024;
constexpr std::size_t kCacheBlockBytes = 8192;

bool validType(char t, TableFormat format) {
    if (format == TableFormat::DBase7 && (t == '@' || t == 'O' || t == '+')) return true;
    return std::string_view("CNFDLMIBYTGVQW0P").find(t) != std::string_view::npos;
}

}  // namespace

std::int32_t julianDay(int y, int m, int d) {
    int a = (14 - m) / 12;
    int yy = y + 4800 - a;
    int mm = m + 12 * a - 3;
    return d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045;
}

void civilFromJulian(std::int32_t jd, int& year, int& month, int& day) {
    // In 64 bits: any stored day number, however far off (a field of blanks, say), converts.
    const std::int64_t a = std::int64_t{jd} + 32044;
    const std::int64_t b = (4 * a + 3) / 146097;
    const std::int64_t c = a - 146097 * b / 4;
    const std::int64_t d = (4 * c + 3) / 1461;
    const std::int64_t e = c - 1461 * d / 4;
    const std::int64_t m = (5 * e + 2) / 153;
    day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
    month = static_cast<int>(m + 3 - 12 * (m / 10));
    year = static_cast<int>(100 * b + d - 4800 + m / 10);
}

std::int32_t julianFromDtos(std::string_view s) {
    if (s.size() < 8) return 0;
    int v[8];
    for (int i = 0; i < 8; ++i) {
        char c = s[static_cast<std::size_t>(i)];
        if (c < '0' || c > '9') return 0;
        v[i] = c - '0';
    }
    int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    int m = v[4] * 10 + v[5];
    int d = v[6] * 10 + v[7];
    if (m < 1 || m > 12 || d < 1 || d > 31) return 0;
    return julianDay(y, m, d);
}

Table::~Table() = default;

namespace {

std::string lowerExtension(const std::string& path) {
    std::size_t slash = path.find_last_of('/'), dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return ascii::lower(path.substr(dot + 1));
}

}  // namespace

std::string memoExtension(const std::string& tablePath) {
    // A database container keeps its memos in .dct; the other Visual FoxPro files that are
    // tables (forms .scx, class libraries .vcx, reports .frx, labels .lbx, menus .mnx,
    // projects .pjx) change their last letter to 't'.
    const std::string ext = lowerExtension(tablePath);
    if (ext == "dbc") return "dct";
    if (ext == "scx" || ext == "vcx" || ext == "frx" || ext == "lbx" || ext == "mnx" ||
        ext == "pjx")
        return ext.substr(0, 2) + "t";
    return "fpt";
}

std::string indexExtension(const std::string& tablePath) {
    return lowerExtension(tablePath) == "dbc" ? "dcx" : "cdx";
}

namespace {

// Finishes a pack that was interrupted after its commit point, or drops the new files of one
// that was not. Called with the table locked, so no pack is running.
bool recoverPack(const std::string& dbfPath, bool exclusive) {
    std::vector<std::string> targets{dbfPath};
    for (const std::string& ext :
         {memoExtension(dbfPath), std::string("dbt"), indexExtension(dbfPath)}) {
        std::string p = siblingPath(dbfPath, ext);
        if (p.empty()) {
            // The old file may be gone already (kept elsewhere): its new one names it.
            const std::string fresh = siblingPath(dbfPath, packNew(ext));
            if (!fresh.empty()) p = fresh.substr(0, fresh.size() - packNew("").size());
        }
        if (!p.empty()) targets.push_back(p);
    }
    if (fileExists(packMarker(dbfPath))) {
        for (const std::string& t : targets) {
            if (!fileExists(packNew(t))) continue;
            try {
                atomicReplace(packNew(t), t);
            } catch (const Error&) {
                // Another shared open finishing the same pack took it first.
                if (fileExists(packNew(t))) throw;
            }
        }
        removeFile(packMarker(dbfPath));
        return true;
    }
    if (exclusive)
        for (const std::string& t : targets)
            if (fileExists(packNew(t))) removeFile(packNew(t));
    return false;
}

}  // namespace

std::unique_ptr<Table> Table::open(std::string_view path, const OpenOptions& options) {
    std::unique_ptr<Table> t(new Table());
    t->options_ = options;
    Access access = options.readOnly ? Access::Read : Access::ReadWrite;
    // A pack in another process that keeps the old files elsewhere moves the table away for a
    // moment: a name that is missing or goes between its look-up and its open is tried again.
    constexpr int kAttempts = 4;
    std::string resolved;
    for (int attempt = 1;; ++attempt) {
        resolved = resolvePath(path);
        if (resolved.empty()) {
            // A pack that kept the old table elsewhere and stopped before the new one took its
            // place: the marker says so, and the renames are finished first.
            const std::string marker = resolvePath(packMarker(std::string(path)));
            if (!marker.empty()) {
                const std::string dbf = marker.substr(0, marker.size() - packMarker("").size());
                // A pack still running holds its new table locked until it has the table's
                // name: the open is refused (in use) rather than racing it for the renames.
                // Without the new table where the pack left it, the pack has just given it the
                // table's name: the next attempt finds it there.
                File running;
                bool held = false;
                try {
                    running = File::open(packNew(dbf), Access::ReadWrite, Share::Exclusive);
                    held = true;
                } catch (const Error& e) {
                    if (e.code() == code::kFileInUse) throw;
                }
                if (held) {
                    recoverPack(dbf, options.share == Share::Exclusive);
                    running.close();
                    resolved = resolvePath(path);
                }
            }
        }
        try {
            if (resolved.empty()) fail(code::kFileNotFound, "File not found: " + std::string(path));
            t->file_ = File::open(resolved, access, options.share);
            break;
        } catch (const Error& e) {
            if (e.code() != code::kFileNotFound || attempt == kAttempts) throw;
        }
    }
    if (recoverPack(resolved, options.share == Share::Exclusive)) {
        t->file_.close();
        t->file_ = File::open(resolved, access, options.share);
    }
    t->parseHeader();

    // The code page the character bytes are in: the header's, unless an OEM open of a table
    // that declares an ANSI code page says the bytes are OEM text after all.
    int cp = codePageFromDriverName(t->header_.driverName);
    if (cp == 0) cp = codePageFromByte(t->header_.codePageByte);
    if (cp == 0) cp = kAnsiCodePage;
    bool oemPage = CodePage::get(cp).isOem();
    t->charType_ = options.charType.value_or(oemPage ? CharType::Oem : CharType::Ansi);
    if (t->charType_ == CharType::Oem) {
        if (!oemPage) cp = kOemCodePage;
        t->toAnsi_ = &Translation::between(cp, kAnsiCodePage);
        t->fromAnsi_ = &Translation::between(kAnsiCodePage, cp);
    }
    t->codePage_ = cp;
    t->openCompanions();
    // A write that failed part-way may have left the index behind the records.
    const std::string stale = staleIndexMarker(resolved);
    if (fileExists(stale)) {
        bool rebuilt = false;
        if (options.share == Share::Exclusive && !options.readOnly && t->index_) {
            try {
                // The marker is left only by a write that had passed every check, collated
                // tags proven included: the engine's own keys are rebuilt, no proof needed.
                t->unindexed_ = true;
                t->reindex();
                removeFile(stale);
                rebuilt = true;
            } catch (const Error& e) {
                t->unindexed_ = false;
                t->warnings_.push_back(resolved +
                                       ": the index could not be rebuilt after a "
                                       "write that failed part-way: " +
                                       e.what());
            }
        }
        if (!rebuilt && t->index_)
            t->warnings_.push_back(resolved +
                                   ": a write that failed part-way may have left the index out "
                                   "of date; an exclusive open rebuilds it");
    }
    return t;
}

void Table::openCompanions() {
    const std::string& resolved = file_.path();
    Access access = options_.readOnly ? Access::Read : Access::ReadWrite;
    memo_.reset();
    index_.reset();
    warnings_.clear();
    keyBuilders_.clear();
    keyErrors_.clear();
    readContainerNames();
    bool hasMemoField = std::any_of(fields_.begin(), fields_.end(), [](const Field& f) {
        return f.type == 'M' || f.type == 'G' || f.type == 'W';
    });
    if (hasMemoField) {
        const std::uint8_t v = header_.version;
        bool dbt = v == 0x83 || v == 0x8B || v == 0x7B || v == 0xCB || v == 0x8C || v == 0x04;
        const std::string ext = dbt ? std::string("dbt") : memoExtension(resolved);
        std::string memoPath = siblingPath(resolved, ext);
        if (memoPath.empty())
            fail(code::kFileNotFound, resolved + ": the memo file ." + ext + " is missing");
        const MemoFile::Kind kind =
            !dbt ? MemoFile::Kind::Fpt : (v == 0x83 ? MemoFile::Kind::Dbt : MemoFile::Kind::Dbt4);
        memo_ = std::make_unique<MemoFile>(MemoFile::open(memoPath, kind, access, options_.share));
    }

    if (options_.openIndex) {
        std::string cdxPath = siblingPath(resolved, indexExtension(resolved));
        bool flagged = (header_.tableFlags & 0x01) != 0;
        if (!cdxPath.empty()) {
            if (!flagged)
                warnings_.push_back(resolved +
                                    ": the structural index exists but the table header does "
                                    "not flag it");
            openIndex(cdxPath);
        } else if (flagged) {
            warnings_.push_back(resolved +
                                ": the table header flags a structural index that is missing");
        }
    }

    recordsPerBlock_ =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kCacheBlockBytes) /
                                       std::max<std::uint32_t>(1, header_.recordLength));
    slots_.clear();
    slots_.resize(kCacheSlots);
    deletedMap_.clear();
    deletedLookups_ = 0;
}

void Table::readContainerNames() {
    const std::string& path = file_.path();
    containerUnknown_ = false;
    if (format_ != TableFormat::VisualFoxPro || lowerExtension(path) == "dbc" ||
        header_.headerLength < dbffmt::header::kSize + dbffmt::kBacklinkSize)
        return;
    // The backlink: the container's path, relative to the table's folder, in the last bytes
    // of the header.
    char link[dbffmt::kBacklinkSize];
    file_.readExact(header_.headerLength - dbffmt::kBacklinkSize, link, sizeof link,
                    "the database container's name");
    std::string name(link, std::find(link, link + sizeof link, '\0'));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    if (name.empty() || name.find('\x0D') != std::string::npos) return;
    const std::size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const bool absolute = name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':');
    const std::string dbcPath = resolvePath(absolute ? name : folder + name);
    auto unknown = [&](const std::string& why) {
        containerUnknown_ = true;
        warnings_.push_back(path + ": " + why + "; the long field names are not known");
    };
    if (dbcPath.empty()) return unknown("the database container " + name + " is missing");
    try {
        OpenOptions o;
        o.openIndex = false;
        auto dbc = Table::open(dbcPath, o);
        const Field* id = dbc->field("OBJECTID");
        const Field* parent = dbc->field("PARENTID");
        const Field* type = dbc->field("OBJECTTYPE");
        const Field* objectName = dbc->field("OBJECTNAME");
        if (!id || !parent || !type || !objectName)
            return unknown(dbcPath + " is no database container");
        // The table's own object is named like its file; its fields follow in their order.
        std::string stem = path.substr(slash == std::string::npos ? 0 : slash + 1);
        stem = stem.substr(0, stem.find_last_of('.'));
        // The table's object: named like the file, or under a long name of its own with the
        // file's name among its properties.
        const Field* property = dbc->field("PROPERTY");
        const std::string fileName =
            ascii::lower(path.substr(slash == std::string::npos ? 0 : slash + 1));
        std::string tableId;
        for (int pass = 0; pass < 2 && tableId.empty(); ++pass) {
            for (std::uint32_t r = 1; r <= dbc->recordCount() && tableId.empty(); ++r) {
                const char* rec = dbc->record(r);
                if (rec[0] == dbffmt::kDeleted || dbc->text(rec, *type) != "Table") continue;
                const bool named =
                    pass == 0
                        ? ascii::equalNoCase(dbc->text(rec, *objectName), stem)
                        : property && ascii::lower(dbc->memo(rec, *property)).find(fileName) !=
                                          std::string::npos;
                if (named) tableId = dbc->display(rec, *id);
            }
        }
        std::vector<std::string> names;
        for (std::uint32_t r = 1; r <= dbc->recordCount() && !tableId.empty(); ++r) {
            const char* rec = dbc->record(r);
            if (rec[0] != dbffmt::kDeleted && dbc->text(rec, *type) == "Field" &&
                dbc->display(rec, *parent) == tableId)
                names.push_back(dbc->text(rec, *objectName));
        }
        if (tableId.empty()) return unknown(dbcPath + " holds no table " + stem);
        std::vector<Field*> own;
        for (Field& f : fields_)
            if (!f.isSystem()) own.push_back(&f);
        if (names.size() != own.size())
            return unknown(dbcPath + " names " + std::to_string(names.size()) +
                           " fields of the table, which has " + std::to_string(own.size()));
        for (std::size_t i = 0; i < own.size(); ++i) {
            own[i]->longName = names[i];
            fieldsByName_.emplace(ascii::upper(names[i]),
                                  static_cast<int>(own[i] - fields_.data()));  // short names first
        }
    } catch (const Error& e) {
        unknown(std::string("the database container cannot be read: ") + e.what());
    }
}

void Table::openIndex(const std::string& cdxPath) {
    Access access = options_.readOnly ? Access::Read : Access::ReadWrite;
    index_ = std::make_unique<CdxFile>(CdxFile::open(cdxPath, access, options_.share));
    // The kind of each tag's key follows from its expression; a tag whose expression does not
    // compile stays readable as character keys and says why.
    for (TagInfo& tag : index_->tags()) {
        try {
            tag.keyKind =
                keyKind(Expression::compile(tag.keyExpression, this, TextMode::Raw).type());
        } catch (const Error& e) {
            tag.expressionError = e.what();
            tag.expressionUnsupported = e.code() == code::kUnsupported || containerUnknown_;
        }
    }
    keyBuilders_.clear();
    keyErrors_.clear();
    valueKeys_.clear();
    proof_.clear();
    proofFailures_.clear();
}

void Table::parseHeader() {
    const std::string& p = file_.path();
    std::uint64_t fileSize = file_.size();
    auto corrupt = [&](const std::string& what) { fail(code::kCorruptTable, p + ": " + what); };
    if (fileSize < dbffmt::header::kSize) corrupt("the file is too short for a table header");
    unsigned char h[dbffmt::header::kSize];
    file_.readExact(0, h, sizeof h, "the table header");
    const dbffmt::Header stored = dbffmt::decodeHeader(h);
    header_.version = stored.version;
    switch (stored.version) {
        case 0x03:  // dBase III and dBase IV without memo
        case 0x07:  // the same, as CA-Visual Objects writes it
        case 0x83:
            format_ = TableFormat::DBase3;
            break;
        case 0x7B:  // dBase IV with memo, and its SQL tables
        case 0x8B:
        case 0x43:
        case 0x63:
        case 0xCB:
            format_ = TableFormat::DBase4;
            break;
        case 0x04:  // dBase 7 without and with memo
        case 0x8C:
            format_ = TableFormat::DBase7;
            break;
        case 0xF5:
        case 0xFB:
            format_ = TableFormat::FoxPro2;
            break;
        case 0x30:
        case 0x31:
        case 0x32:
            format_ = TableFormat::VisualFoxPro;
            break;
        default:
            fail(code::kUnsupported, p + ": an unsupported table format (version byte " +
                                         std::to_string(stored.version) + ")");
    }
    header_.year = 1900 + stored.year;
    if (header_.year < 1980) header_.year += 100;
    header_.month = stored.month;
    header_.day = stored.day;
    header_.recordCount = stored.recordCount;
    header_.headerLength = stored.headerLength;
    header_.recordLength = stored.recordLength;
    header_.tableFlags = stored.tableFlags;
    header_.codePageByte = stored.codePage;
    // dBase 7: the language driver's name follows the first 32 bytes, and the field
    // descriptors start after 36 more bytes and take 48 bytes each.
    const bool level7 = format_ == TableFormat::DBase7;
    const std::size_t descStart = level7 ? dbffmt::header::kDescriptors7 : dbffmt::header::kSize;
    const std::size_t descSize = level7 ? dbffmt::field::kSize7 : dbffmt::field::kSize;

    if (header_.headerLength < descStart + 1 || header_.headerLength > fileSize)
        corrupt("the header length " + std::to_string(header_.headerLength) +
                " does not fit the file");
    if (header_.recordLength < 1) corrupt("the record length is 0");
    if (level7) {
        char name[dbffmt::header::kDriverNameSize];
        file_.readExact(dbffmt::header::kDriverName, name, sizeof name, "the language driver name");
        header_.driverName.assign(name, std::find(name, name + sizeof name, '\0'));
    }

    std::vector<unsigned char> desc(header_.headerLength - descStart);
    file_.readExact(descStart, desc.data(), desc.size(), "the field descriptors");
    std::uint32_t offset = 1;
    int nullBits = 0;
    std::size_t pos = 0;
    while (true) {
        if (pos >= desc.size()) corrupt("the field descriptors have no terminator");
        if (desc[pos] == dbffmt::kDescriptorsEnd) break;
        if (pos + descSize > desc.size()) corrupt("a field descriptor runs past the header");
        const dbffmt::FieldDescriptor d = dbffmt::decodeField(desc.data() + pos, level7);
        Field f;
        f.name = d.name;
        while (!f.name.empty() && f.name.back() == ' ')
            f.name.pop_back();
        if (f.name.empty()) corrupt("field " + std::to_string(fields_.size() + 1) + " has no name");
        f.type = d.type;
        f.type = ascii::upper(f.type);
        if (!validType(f.type, format_))
            corrupt("field " + f.name + " has the unknown type '" + std::string(1, f.type) + "'");
        f.length = d.length;
        f.decimals = d.decimals;
        if (format_ == TableFormat::VisualFoxPro) f.flags = d.flags;
        if (f.type == 'C' && format_ != TableFormat::VisualFoxPro && !level7)
            f.length = static_cast<std::uint32_t>(d.length | (d.decimals << 8));  // long fields
        if (f.type == 'C' && format_ != TableFormat::VisualFoxPro) f.decimals = 0;
        if (f.length == 0) corrupt("field " + f.name + " has length 0");
        auto expect = [&](std::initializer_list<std::uint32_t> allowed) {
            for (auto a : allowed)
                if (f.length == a) return;
            corrupt("field " + f.name + " of type " + std::string(1, f.type) +
                    " has the impossible length " + std::to_string(f.length));
        };
        switch (f.type) {
            case 'D':
                expect({8});
                break;
            case 'L':
                expect({1});
                break;
            case 'I':
            case '+':
                expect({4});
                break;
            case 'B':  // a double in Visual FoxPro, a binary memo in the dBase formats
                if (format_ == TableFormat::VisualFoxPro)
                    expect({8});
                else
                    expect({10});
                break;
            case 'Y':
            case 'T':
            case 'O':
            case '@':
                expect({8});
                break;
            case 'M':
            case 'G':
            case 'W':
                expect({4, 10});
                break;
            case 'N':
            case 'F':
                if (f.length > 20) expect({});
                break;
            default:
                break;
        }
        f.offset = offset;
        offset += f.length;
        if (format_ == TableFormat::VisualFoxPro) {
            if (f.flags & 0x02) f.nullBit = nullBits++;
            if (f.type == 'V' || f.type == 'Q') f.varLengthBit = nullBits++;
        }
        fields_.push_back(std::move(f));
        pos += descSize;
    }
    if (fields_.empty()) corrupt("the table has no fields");
    if (offset != header_.recordLength)
        corrupt("the record length " + std::to_string(header_.recordLength) +
                " does not match its fields (" + std::to_string(offset) + ")");
    fieldsByName_.clear();
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        fieldsByName_.emplace(ascii::upper(fields_[i].name),
                              static_cast<int>(i));  // the first of a name
        if (fields_[i].type == '0') nullFlags_ = &fields_[i];
    }
    if (nullBits > 0 && (!nullFlags_ || nullFlags_->length * 8u < static_cast<unsigned>(nullBits)))
        corrupt("the _NullFlags field is missing or too short");
    std::uint64_t need = header_.headerLength +
                         static_cast<std::uint64_t>(header_.recordCount) * header_.recordLength;
    if (need > fileSize)
        corrupt("the header counts " + std::to_string(header_.recordCount) +
                " records but the file holds only " +
                std::to_string((fileSize - header_.headerLength) / header_.recordLength));
}

const Field* Table::field(std::string_view name) const {
    int i = fieldIndex(name);
    return i < 0 ? nullptr : &fields_[static_cast<std::size_t>(i)];
}

int Table::fieldIndex(std::string_view name) const {
    auto it = fieldsByName_.find(ascii::upper(name));
    return it == fieldsByName_.end() ? -1 : it->second;
}

const char* Table::record(std::uint32_t recno) const {
    if (recno < 1 || recno > header_.recordCount)
        fail(code::kInvalidRecordNumber,
             file_.path() + ": record " + std::to_string(recno) + " does not exist");
    std::uint32_t block = (recno - 1) / recordsPerBlock_;
    std::size_t slot = block % slots_.size();
    CacheSlot& s = slots_[slot];
    if (!s.bytes)
        s.bytes.reset(new char[static_cast<std::size_t>(recordsPerBlock_) * header_.recordLength]);
    char* base = s.bytes.get();
    if (s.block != block) {
        std::uint32_t first = block * recordsPerBlock_ + 1;
        std::uint32_t count = std::min(recordsPerBlock_, header_.recordCount - first + 1);
        s.block = 0xFFFFFFFFu;
        readRecords(first, count, base);
        s.block = block;
    }
    return base + static_cast<std::size_t>((recno - 1) % recordsPerBlock_) * header_.recordLength;
}

bool Table::isDeleted(std::uint32_t recno) const {
    if (!deletedMap_.empty() && recno >= 1 && recno <= deletedMap_.size())
        return deletedMap_[recno - 1];
    if (++deletedLookups_ > std::max<std::uint64_t>(20000, header_.recordCount / 16)) {
        loadDeletedMap();
        if (recno >= 1 && recno <= deletedMap_.size()) return deletedMap_[recno - 1];
    }
    return record(recno)[0] == '*';
}

void Table::loadDeletedMap() const {
    std::vector<bool> map(header_.recordCount);
    std::vector<char> buf;
    scan(1, buf, [&](const char* rec, std::uint32_t recno) {
        map[recno - 1] = rec[0] == '*';
        return true;
    });
    deletedMap_ = std::move(map);
}

void Table::readRecords(std::uint32_t first, std::uint32_t count, char* out) const {
    if (count == 0) return;
    if (first < 1 || first - 1 + static_cast<std::uint64_t>(count) > header_.recordCount)
        fail(code::kInvalidRecordNumber, file_.path() + ": records out of range");
    file_.readExact(recordOffset(first), out,
                    static_cast<std::size_t>(count) * header_.recordLength, "a record");
}

void Table::refresh() {
    ++changes_;
    for (auto& s : slots_)
        s.block = 0xFFFFFFFFu;
}

bool Table::isNull(const char* rec, const Field& f) const {
    if (f.nullBit < 0 || !nullFlags_) return false;
    auto bits = ucp(rec + nullFlags_->offset);
    return (bits[f.nullBit / 8] >> (f.nullBit % 8)) & 1;
}

std::string_view Table::charBytes(const char* rec, const Field& f) const {
    std::string_view v(rec + f.offset, f.length);
    if (f.varLengthBit >= 0 && nullFlags_) {
        auto bits = ucp(rec + nullFlags_->offset);
        if ((bits[f.varLengthBit / 8] >> (f.varLengthBit % 8)) & 1) {
            std::size_t n = static_cast<unsigned char>(v.back());
            v = v.substr(0, std::min<std::size_t>(n, f.length - 1));
        }
    }
    return v;
}

std::string Table::text(const char* rec, const Field& f) const {
    std::string_view v = charBytes(rec, f);
    std::size_t end = v.size();
    while (end > 0 && (v[end - 1] == ' ' || v[end - 1] == '\0'))
        --end;
    std::string out(v.substr(0, end));
    if (toAnsi_) toAnsi_->apply(out.data(), out.size());
    return out;
}

std::string Table::memo(const char* rec, const Field& f) const {
    if (!memo_) return {};
    std::uint32_t block = 0;
    if (f.length == 4) {
        block = le32(ucp(rec + f.offset));
    } else {
        for (std::uint32_t i = 0; i < f.length; ++i) {
            char c = rec[f.offset + i];
            if (c >= '0' && c <= '9') block = block * 10 + static_cast<std::uint32_t>(c - '0');
        }
    }
    std::string out = memo_->read(block);
    if (toAnsi_ && f.type == 'M') toAnsi_->apply(out.data(), out.size());
    return out;
}

std::string Table::display(const char* rec, const Field& f) const {
    if (isNull(rec, f)) return ".NULL.";
    std::string_view r = raw(rec, f);
    auto trim = [](std::string_view s) { return std::string(ascii::trimBlanks(s)); };
    switch (f.type) {
        case 'C':
        case 'V':
            return text(rec, f);
        case 'N':
        case 'F':
        case 'D':
        case 'L':
            return trim(r);
        case 'I':
        case '+':
            // dBase 7 stores integers big-endian with the sign bit flipped, so that their
            // bytes sort as the numbers do.
            if (format_ == TableFormat::DBase7)
                return std::to_string(static_cast<std::int32_t>(be32(ucp(r.data())) ^ 0x80000000u));
            return std::to_string(static_cast<std::int32_t>(le32(ucp(r.data()))));
        case 'O': {
            // Big-endian; positive numbers have the sign bit set, negative ones all bits flipped.
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i)
                bits = (bits << 8) | static_cast<unsigned char>(r[static_cast<std::size_t>(i)]);
            bits = (bits >> 63) ? bits ^ (1ull << 63) : ~bits;
            double d;
            std::memcpy(&d, &bits, 8);
            return std::to_string(d);
        }
        case '@':
            return ascii::hex(r);
        case 'B': {
            if (format_ != TableFormat::VisualFoxPro) return trim(r);  // a binary memo's block
            double d;
            std::memcpy(&d, r.data(), 8);
            return std::to_string(d);
        }
        case 'Y': {
            std::int64_t v;
            std::memcpy(&v, r.data(), 8);
            return std::to_string(static_cast<double>(v) / 10000.0);
        }
        case 'T': {
            auto jd = static_cast<std::int32_t>(le32(ucp(r.data())));
            if (jd == 0) return "";
            int y, m, d;
            civilFromJulian(jd, y, m, d);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
            return buf;
        }
        case 'M':
            return memo(rec, f);
        default:
            return "";
    }
}

}  // namespace xbase
