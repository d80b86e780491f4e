#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xbase/file.h"
#include "xbase/memo.h"

namespace xbase {

class CdxFile;
class IndexFileWriter;
class KeyBuilder;
class TagTreeWriter;
class Translation;
struct TagEntries;
struct TagInfo;

// dBase III (and FoxBASE+), dBase IV, dBase 7 (a longer header and 48-byte field
// descriptors), FoxPro 2, Visual FoxPro.
enum class TableFormat { DBase3, DBase4, DBase7, FoxPro2, VisualFoxPro };

// How the character fields of a table are taken: ANSI reads the bytes as they are, OEM
// converts them from the table's OEM code page to the ANSI code page.
enum class CharType { Ansi, Oem };

struct Field {
    std::string name;          // as stored, normally upper case
    char type = 'C';           // C N F D L M I B Y T G V Q W 0, dBase 7 also @ O +
    std::uint32_t offset = 0;  // in the record; the deleted flag is byte 0
    std::uint32_t length = 0;
    std::uint8_t decimals = 0;
    std::uint8_t flags = 0;  // VFP field flags: 0x01 system, 0x02 nullable, 0x04 binary
    int nullBit = -1;        // bit of _NullFlags that marks the value null
    int varLengthBit = -1;   // bit of _NullFlags that marks a V/Q value shorter than the field
    // The field's long name in the database container the table belongs to; empty when there
    // is none. Expressions and look-ups find the field by either name.
    std::string longName;

    bool isSystem() const { return (flags & 0x01) != 0; }
    bool isCharacter() const { return type == 'C' || type == 'V'; }
};

struct TableHeader {
    std::uint8_t version = 0;
    int year = 0, month = 0, day = 0;  // last update
    std::uint32_t recordCount = 0;
    std::uint32_t headerLength = 0;
    std::uint32_t recordLength = 0;
    std::uint8_t tableFlags = 0;  // 0x01 structural CDX, 0x02 memo, 0x04 database container
    std::uint8_t codePageByte = 0;
    std::string driverName;  // dBase 7: the language driver's name ("DB866RU0", ...)
};

struct OpenOptions {
    Share share = Share::Shared;
    bool readOnly = true;
    // Character type; when unset it follows the code-page byte (OEM code pages give OEM).
    std::optional<CharType> charType;
    // Open the structural CDX when there is one.
    bool openIndex = true;
};

class Table {
  public:
    // Opens `path` (any case, '\' or '/'). Errors: code::kFileNotFound, code::kFileInUse,
    // code::kCorruptTable / kCorruptIndex with a text naming the file.
    static std::unique_ptr<Table> open(std::string_view path, const OpenOptions& options = {});
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const std::string& path() const { return file_.path(); }
    const TableHeader& header() const { return header_; }
    TableFormat format() const { return format_; }
    bool exclusive() const { return options_.share == Share::Exclusive; }
    bool readOnly() const { return options_.readOnly; }
    // The table's own code page (from the header byte; the ANSI code page when unknown).
    int codePage() const { return codePage_; }
    CharType charType() const { return charType_; }
    // The translation of character data from the table's code page to the program's
    // (ANSI) text, or nullptr when the bytes are taken as they are.
    const Translation* toAnsi() const { return toAnsi_; }
    const Translation* fromAnsi() const { return fromAnsi_; }

    const std::vector<Field>& fields() const { return fields_; }
    // The field of that name in any letter case, or nullptr.
    const Field* field(std::string_view name) const;
    int fieldIndex(std::string_view name) const;
    std::uint32_t recordCount() const { return header_.recordCount; }
    std::uint32_t recordLength() const { return header_.recordLength; }

    // The raw bytes of record `recno` (1-based); valid until the next read of this table.
    // An out-of-range number is code::kInvalidRecordNumber.
    const char* record(std::uint32_t recno) const;
    // Whether record `recno` is marked deleted. After many scattered look-ups (a walk through a
    // whole tag) the flags of all records are read in one sequential pass and kept.
    bool isDeleted(std::uint32_t recno) const;
    // Reads `count` consecutive records from `first` into `out` (count * recordLength bytes).
    void readRecords(std::uint32_t first, std::uint32_t count, char* out) const;
    // How many records a sequential pass reads at a time (about 1 MB).
    std::uint32_t recordsPerRead() const {
        return std::max<std::uint32_t>(1, (1u << 20) / header_.recordLength);
    }
    // Calls visit(record, recno) for the records from `from` to the last, in physical order,
    // reading them in large pieces into `buffer`; stops when visit returns false.
    template <class Visit>
    void scan(std::uint32_t from, std::vector<char>& buffer, Visit visit) const {
        const std::uint32_t len = header_.recordLength;
        const std::uint32_t chunk = recordsPerRead();
        buffer.resize(static_cast<std::size_t>(chunk) * len);
        for (std::uint32_t first = std::max<std::uint32_t>(from, 1);
             first <= header_.recordCount;) {
            std::uint32_t n = std::min(chunk, header_.recordCount - first + 1);
            readRecords(first, n, buffer.data());
            for (std::uint32_t i = 0; i < n; ++i)
                if (!visit(buffer.data() + static_cast<std::size_t>(i) * len, first + i)) return;
            first += n;
        }
    }
    // Drops every cached record, so the next read sees the file as it is now.
    void refresh();
    // Counts the writes and refreshes of this table: readers that keep records of their own
    // read again when it has moved.
    std::uint64_t changes() const { return changes_; }

    // Field access on a raw record.
    std::string_view raw(const char* rec, const Field& f) const {
        return {rec + f.offset, f.length};
    }
    bool isNull(const char* rec, const Field& f) const;
    // The bytes of a character field (V fields cut to their stored length), in the table's
    // code page.
    std::string_view charBytes(const char* rec, const Field& f) const;
    // A character field as program text: converted to ANSI for OEM tables, trailing blanks
    // removed, leading blanks kept.
    std::string text(const char* rec, const Field& f) const;
    // The contents of a memo field; empty when it refers to no block.
    std::string memo(const char* rec, const Field& f) const;
    // A field shown as text (numbers as stored, dates YYYYMMDD, logicals T/F), for tools.
    std::string display(const char* rec, const Field& f) const;

    // ---- writing: the table must be open exclusively and not read-only ----------------------
    // Every write keeps every tag of the structural index right. A tag the engine cannot
    // reproduce exactly (an expression it cannot evaluate, a collation other than the machine
    // order) makes a write that would change it fail before any byte changes, naming the
    // table and the tag; so does a key a unique tag already holds for another record.

    // A blank record: blanks, binary fields zero, not deleted.
    std::string blankRecord() const;
    // Sets a field of a record image from program text (ANSI, converted for OEM tables):
    // character fields padded with blanks and cut at the width, numbers formatted to the
    // field's width and decimals, dates as YYYYMMDD, logicals T/F. A value the field cannot
    // hold is code::kUnsupported.
    void setText(std::string& record, const Field& f, std::string_view text) const;
    // Rewrites record `recno` with `record` (recordLength bytes, deleted flag first).
    void update(std::uint32_t recno, std::string_view record);
    void setDeleted(std::uint32_t recno, bool deleted);
    // Appends a record; returns its number.
    std::uint32_t append(std::string_view record);
    // Appends records (recordLength bytes each) without touching the index: for bulk loads,
    // which must call reindex() before anything else.
    void appendUnindexed(std::string_view records);
    // Stores a memo (program text, converted for OEM tables) and returns its block number, to
    // be put into a memo field of a record.
    std::uint32_t writeMemo(std::string_view text);
    // Rebuilds every tag from the records and replaces the index file in one step.
    void reindex();
    // A change a pack makes to the records it keeps: given a kept record (raw bytes in the
    // table's code page), puts its new image into `changed` and returns true, or returns
    // false to keep it as it is. It must not change the deleted flag or the memo fields.
    using RecordRewrite = std::function<bool(const char* record, std::string& changed)>;
    // Removes the records marked deleted, rewrites the kept ones `rewrite` changes, builds
    // every tag for the result and keeps the memos of the kept records. New files replace the
    // old ones so that a crash leaves either all old or all new files. The tags are carried
    // over from the old index, in its order, once the old index proves to hold exactly the
    // keys of the old records; a tag that does not (or is unique, or whose expressions read
    // the record number or the deleted flag) is built anew from the records.
    // With `keepOldIn`, a folder, the old files are not dropped: each is moved there (copied
    // where the folder is on another file system) unless a file of its name is there already.
    void pack(const RecordRewrite& rewrite = {}, const std::string& keepOldIn = {});

    // The structural index, or nullptr when the table has none.
    CdxFile* index() const { return index_.get(); }
    // Whether the engine computes the keys of tag `tag` (its place in index()->tags()) as they
    // are stored: its expressions evaluate and, for a tag under a collation, its stored keys
    // proved equal to the keys computed from the records (once per open: for a write every
    // collated tag at once, in parallel; for a look-up the tag it uses). Where this is false a
    // look-up through the tag must not trust a key it computes: it scans, or refuses, and every
    // write that would change the tag is refused before any byte changes.
    bool keysTrusted(std::size_t tag, bool writing = false) const;
    bool keysTrusted(const TagInfo& tag) const { return keysTrusted(tagNumber(tag)); }
    // Why keysTrusted(tag) is false (the tag, and for a failed proof the first record whose
    // stored key differs, with both keys); empty when it is true.
    std::string untrustedReason(std::size_t tag) const;
    std::string untrustedReason(const TagInfo& tag) const {
        return untrustedReason(tagNumber(tag));
    }
    // Whether keysTrusted(tag) is known to be false without a proof being run: the tag's keys
    // cannot be computed, or its proof has failed.
    bool keysDistrusted(const TagInfo& tag) const;
    // The place of a tag of this table's index in index()->tags().
    std::size_t tagNumber(const TagInfo& tag) const;

    // Problems found while opening that do not stop reading (for example a CDX file that
    // the header does not flag).
    const std::vector<std::string>& warnings() const { return warnings_; }

  private:
    class Pack;  // one pack, step by step (dbf_write.cpp)
    Table() = default;
    void parseHeader();
    void openCompanions();
    // Reads the long field names from the database container the header's backlink names.
    void readContainerNames();
    void openIndex(const std::string& cdxPath);
    void requireWritable(const char* what) const;
    // The key builders of the tags, compiled on first use (nullptr where a tag cannot be).
    const KeyBuilder* keyBuilder(std::size_t tag) const;
    void requireReproducible(std::size_t tag) const;
    // Whether a rewrite keeps the value (and the FOR condition) a tag's key is made of, for a
    // tag whose keys the engine cannot compute.
    bool keyValueKept(std::size_t tag, const char* before, const char* after,
                      std::uint32_t recno) const;
    // Proves the stored keys of every collated tag not yet proven (key_proof.cpp), or of tag
    // `only` alone (a look-up needs no more).
    void proveCollatedKeys(std::optional<std::size_t> only = std::nullopt) const;
    // The first entry of a tag whose proof failed that differs from its record, as a text.
    std::string firstKeyDifference(std::size_t tag) const;
    // The whole text of a failed proof of tag `tag`.
    std::string proofFailure(std::size_t tag) const;
    // Whether a rebuild (pack, reindex) can prove tag `tag` itself instead of a proof first: a
    // collated tag not yet proven that the rebuild takes over from the index only when every
    // entry is the key computed from its record.
    bool proofDeferrable(std::size_t tag) const;
    // requireReproducible, but for a tag whose proof a rebuild makes itself.
    void requireRebuildable(std::size_t tag) const;
    // After a rebuild: the deferred proofs of `failed` did not hold; refuses, naming the first.
    void refuseUnproven(const std::vector<std::size_t>& failed) const;
    // After a rebuild every tag holds the keys the engine computed.
    void markKeysProven() const;
    void writeRecord(std::uint32_t recno, std::string_view record);
    // Runs the writing part of a record write, once every check has passed; a failure there
    // leaves the marker that has the next exclusive open rebuild the index.
    void writing(const std::function<void()>& write);
    void writeHeaderCount();
    void stampDate();
    // Reads every record once and hands the key of each record that belongs in each of `tags`
    // to visit(tag, key, recno), with the table's own key builders: a tag must be keyed by one
    // thread at a time. Defined where the writers use it.
    template <class Visit>
    void scanKeys(const std::vector<std::size_t>& tags, Visit visit) const;
    // A reindex, tag by tag (dbf_write.cpp): a tag taken over from the old tree where its
    // entries prove to be the records' keys, else built from the records.
    struct ReindexTag;
    bool streamFromIndex(const TagInfo& tag, ReindexTag& noted, std::uint64_t seed,
                         TagTreeWriter& tree) const;
    std::uint32_t rebuildFromRecords(std::size_t tag, IndexFileWriter& out) const;
    std::uint64_t recordOffset(std::uint32_t recno) const {
        return header_.headerLength + static_cast<std::uint64_t>(recno - 1) * header_.recordLength;
    }

    File file_;
    OpenOptions options_;
    TableHeader header_;
    TableFormat format_ = TableFormat::DBase3;
    int codePage_ = 0;
    CharType charType_ = CharType::Ansi;
    const Translation* toAnsi_ = nullptr;
    const Translation* fromAnsi_ = nullptr;
    std::vector<Field> fields_;
    std::unordered_map<std::string, int> fieldsByName_;  // upper-case name: index
    const Field* nullFlags_ = nullptr;
    std::unique_ptr<MemoFile> memo_;
    std::unique_ptr<CdxFile> index_;
    std::vector<std::string> warnings_;
    mutable std::vector<std::unique_ptr<KeyBuilder>> keyBuilders_;
    mutable std::vector<std::string> keyErrors_;
    mutable std::vector<std::unique_ptr<KeyBuilder>> valueKeys_;  // for keyValueKept
    // Per tag: whether its stored keys proved to be the engine's (a tag in the machine order
    // is proven by nature).
    enum ProofState : signed char { kUnproven, kProven, kProofFailed };
    mutable std::vector<ProofState> proof_;
    mutable std::vector<std::string> proofFailures_;
    bool dateStamped_ = false;
    bool unindexed_ = false;  // records were appended without their keys (appendUnindexed)
    std::uint64_t changes_ = 1;
    bool containerUnknown_ = false;  // the table names a database container it cannot read

    // Direct-mapped cache of record blocks. A slot's bytes are allocated when it is first
    // used, so a small table (or one read in a few places) costs only what it reads.
    struct CacheSlot {
        std::uint32_t block = 0xFFFFFFFFu;
        std::unique_ptr<char[]> bytes;
    };
    std::uint32_t recordsPerBlock_ = 1;
    mutable std::vector<bool> deletedMap_;  // empty until loaded
    mutable std::uint64_t deletedLookups_ = 0;
    void loadDeletedMap() const;
    mutable std::vector<CacheSlot> slots_;
};

// What createTable makes: a Visual FoxPro table (DBF, FPT when it has memo fields, and a
// structural CDX with the given tags).
struct FieldDef {
    std::string name;
    char type = 'C';
    std::uint32_t length = 0;  // ignored for types of fixed length
    std::uint8_t decimals = 0;
};
struct TagDef {
    std::string name;
    std::string key;  // in the table's code page
    std::string forCondition;
    bool unique = false;
    bool descending = false;
};
struct TableDef {
    std::vector<FieldDef> fields;
    std::vector<TagDef> tags;
    int codePage = 1251;
    std::uint16_t memoBlockSize = 64;
    // The collation the character tags are built under, as SET COLLATE TO gives it to
    // Visual FoxPro: empty or MACHINE for the byte order, else one that collation.h knows for
    // the code page (RUSSIAN, GENERAL).
    std::string collation;
};
// Creates the files of an empty table (replacing none: an existing file is an error).
void createTable(const std::string& path, const TableDef& def);

// The extensions of a table file's memo file and structural index: "fpt" and "cdx" for a
// table, "dct" and "dcx" for a database container (and the memo files of the other Visual
// FoxPro files that are tables).
std::string memoExtension(const std::string& tablePath);
std::string indexExtension(const std::string& tablePath);

// Julian day numbers, as xBase stores dates in keys and T fields.
std::int32_t julianDay(int year, int month, int day);
void civilFromJulian(std::int32_t jd, int& year, int& month, int& day);
// "YYYYMMDD" to a Julian day number; 0 for a blank or invalid date.
std::int32_t julianFromDtos(std::string_view s);

}  // namespace xbase
