// Writing tables: records, appends, reindexing and packing, with the structural index kept
// right by every write.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>

#include "xbase/ascii.h"
#include "xbase/bytes.h"
#include "xbase/cdx.h"
#include "xbase/cdx_build.h"
#include "xbase/codepage.h"
#include "xbase/collation.h"
#include "xbase/dbf.h"
#include "xbase/dbf_format.h"
#include "xbase/error.h"
#include "xbase/key.h"
#include "xbase/memo_format.h"
#include "xbase/pack_files.h"
#include "xbase/parallel.h"

namespace xbase {

namespace {

bool binaryField(const Field& f) {
    switch (f.type) {
        case 'I':
        case 'B':
        case 'Y':
        case 'T':
        case '0':
            return true;
        case 'M':
        case 'G':
        case 'W':
            return f.length == 4;
        default:
            return false;
    }
}

// A number already written the way a field of that width and decimals stores it, but for the
// padding: an optional minus, an integer part without leading zeros, at most `decimals`
// decimals, at most 15 digits in all with the decimals filled up (so that it is exactly the
// value formatNumber would print). Its field image, or nullopt for any other text, which takes
// the general way.
std::optional<std::string> plainDecimal(std::string_view t, std::size_t width,
                                        std::size_t decimals) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = t.size() > 0 && t[0] == '-' ? 1 : 0;
    const std::size_t intStart = i;
    while (i < t.size() && digit(t[i]))
        ++i;
    const std::size_t intLen = i - intStart;
    if (intLen == 0 || (intLen > 1 && t[intStart] == '0')) return std::nullopt;
    std::size_t fracLen = 0;
    if (i < t.size()) {
        if (t[i] != '.') return std::nullopt;
        const std::size_t fracStart = ++i;
        while (i < t.size() && digit(t[i]))
            ++i;
        fracLen = i - fracStart;
        if (i != t.size() || fracLen == 0) return std::nullopt;
    }
    if (fracLen > decimals || intLen + decimals > 15) return std::nullopt;
    if (intStart == 1 && t.find_first_not_of("0.", 1) == std::string_view::npos)
        return std::nullopt;  // a negative zero prints as 0: the general way
    std::string s(t);         // the whole text has that shape
    if (decimals > 0) {
        if (fracLen == 0) s += '.';
        s.append(decimals - fracLen, '0');
    }
    if (s.size() > width) return std::nullopt;
    return std::string(width - s.size(), ' ') + s;
}

}  // namespace

void Table::requireWritable(const char* what) const {
    if (format_ == TableFormat::DBase7)
        fail(code::kUnsupported, file_.path() + ": cannot " + what + " a dBase 7 table");
    if (options_.readOnly)
        fail(code::kReadOnly, file_.path() + ": cannot " + what + " a table opened read-only");
    if (options_.share != Share::Exclusive)
        fail(code::kTableNotExclusive,
             file_.path() + ": cannot " + what + " a table that is not open exclusively");
}

const KeyBuilder* Table::keyBuilder(std::size_t tag) const {
    if (!index_) return nullptr;
    if (keyBuilders_.size() != index_->tags().size()) {
        keyBuilders_.clear();
        keyErrors_.clear();
        for (const TagInfo& t : index_->tags()) {
            try {
                keyBuilders_.push_back(std::make_unique<KeyBuilder>(*this, t));
                keyErrors_.emplace_back();
            } catch (const Error& e) {
                keyBuilders_.push_back(nullptr);
                keyErrors_.emplace_back(e.what());
            }
        }
    }
    return keyBuilders_[tag].get();
}

bool Table::keyValueKept(std::size_t i, const char* before, const char* after,
                         std::uint32_t recno) const {
    // Keys in the machine order stand for the values: equal values, equal keys under any
    // collation. An expression the engine cannot evaluate tells nothing.
    if (valueKeys_.size() != index_->tags().size()) {
        valueKeys_.clear();
        valueKeys_.resize(index_->tags().size());
    }
    auto& kb = valueKeys_[i];
    if (!kb) {
        TagInfo machine = index_->tags()[i];
        machine.collation = "MACHINE";
        try {
            kb = std::make_unique<KeyBuilder>(*this, machine);
        } catch (const Error&) {
            return false;
        }
    }
    const bool was = kb->included(before, recno), is = kb->included(after, recno);
    return was == is && (!was || kb->key(before, recno) == kb->key(after, recno));
}

bool Table::proofDeferrable(std::size_t i) const {
    const KeyBuilder* kb = keyBuilder(i);
    const TagInfo& tag = index_->tags()[i];
    return kb && kb->collation() && !tag.binary() && !tag.unique && !unindexed_ &&
           (proof_.size() != index_->tags().size() || proof_[i] == kUnproven);
}

void Table::requireRebuildable(std::size_t i) const {
    if (!proofDeferrable(i)) requireReproducible(i);
}

void Table::refuseUnproven(const std::vector<std::size_t>& failed) const {
    if (failed.empty()) return;
    if (proof_.size() != index_->tags().size()) {
        proof_.assign(index_->tags().size(), kUnproven);
        proofFailures_.assign(index_->tags().size(), std::string());
    }
    for (std::size_t t : failed) {
        proof_[t] = kProofFailed;
        proofFailures_[t] = proofFailure(t);
    }
    fail(code::kUnsupported, proofFailures_[failed.front()]);
}

void Table::requireReproducible(std::size_t i) const {
    const TagInfo& tag = index_->tags()[i];
    if (tag.binary())
        fail(code::kUnsupported, file_.path() + ": tag " + tag.name +
                                     " is a binary index (signature 5), which this engine "
                                     "cannot keep right: unsupported");
    if (!keyBuilder(i))
        fail(code::kUnsupported,
             file_.path() + ": tag " + tag.name + " cannot be kept right: " + keyErrors_[i]);
    // A collated tag is written only once its stored keys proved to be the engine's; after a
    // bulk load the index is rebuilt from the records anyway.
    if (!unindexed_ && !keysTrusted(i, true)) fail(code::kUnsupported, untrustedReason(i));
}

std::string Table::blankRecord() const {
    std::string r(header_.recordLength, ' ');
    for (const Field& f : fields_)
        if (binaryField(f)) std::memset(r.data() + f.offset, 0, f.length);
    return r;
}

void Table::setText(std::string& rec, const Field& f, std::string_view text) const {
    if (rec.size() != header_.recordLength)
        fail(code::kInvalidRecordNumber, file_.path() + ": a record image of the wrong length");
    char* p = rec.data() + f.offset;
    auto refuse = [&](const std::string& why) {
        fail(code::kUnsupported, file_.path() + ": field " + f.name + " cannot hold '" +
                                     std::string(text) + "': " + why);
    };
    if (f.nullBit >= 0 && nullFlags_) {
        auto* bits = reinterpret_cast<unsigned char*>(rec.data() + nullFlags_->offset);
        bits[f.nullBit / 8] =
            static_cast<unsigned char>(bits[f.nullBit / 8] & ~(1u << (f.nullBit % 8)));
    }
    switch (f.type) {
        case 'C':
        case 'V': {
            std::string v(text.substr(0, f.length));
            if (fromAnsi_) fromAnsi_->apply(v.data(), v.size());
            std::memset(p, ' ', f.length);
            std::memcpy(p, v.data(), v.size());
            if (f.varLengthBit >= 0 && nullFlags_) {
                auto* bits = reinterpret_cast<unsigned char*>(rec.data() + nullFlags_->offset);
                auto mask = static_cast<unsigned char>(1u << (f.varLengthBit % 8));
                if (v.size() < f.length) {
                    p[f.length - 1] = static_cast<char>(v.size());
                    bits[f.varLengthBit / 8] |= mask;
                } else {
                    bits[f.varLengthBit / 8] =
                        static_cast<unsigned char>(bits[f.varLengthBit / 8] & ~mask);
                }
            }
            return;
        }
        case 'N':
        case 'F': {
            std::string t(ascii::trimBlanks(text));
            if (t.empty()) {
                std::memset(p, ' ', f.length);
                return;
            }
            if (auto plain = plainDecimal(t, f.length, f.decimals)) {
                std::memcpy(p, plain->data(), f.length);
                return;
            }
            char* end = nullptr;
            double v = std::strtod(t.c_str(), &end);
            if (!end || *end != '\0' || !std::isfinite(v)) refuse("not a number");
            std::string s = formatNumber(v, static_cast<int>(f.length), f.decimals);
            // STR() gives up decimals to fit; a field must not: the value would change.
            bool whole =
                f.decimals == 0 || (f.length > f.decimals && s[f.length - f.decimals - 1u] == '.');
            if (s.find('*') != std::string::npos || !whole) refuse("too large for the field");
            std::memcpy(p, s.data(), f.length);
            return;
        }
        case 'D': {
            std::string t(ascii::trimBlanks(text));
            if (t.empty()) {
                std::memset(p, ' ', 8);
                return;
            }
            if (julianFromDtos(t) == 0 || t.size() != 8) refuse("not a date YYYYMMDD");
            std::memcpy(p, t.data(), 8);
            return;
        }
        case 'L': {
            std::string t(ascii::trimBlanks(text));
            if (t.empty())
                *p = ' ';
            else if (std::string_view("TtYy").find(t[0]) != std::string_view::npos)
                *p = 'T';
            else if (std::string_view("FfNn").find(t[0]) != std::string_view::npos)
                *p = 'F';
            else
                refuse("not a logical value");
            return;
        }
        case 'I': {
            std::string t(ascii::trimBlanks(text));
            char* end = nullptr;
            long long v = std::strtoll(t.c_str(), &end, 10);
            if (t.empty() || !end || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
                refuse("not a 32-bit integer");
            putLe32(reinterpret_cast<unsigned char*>(p),
                    static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
            return;
        }
        default:
            refuse("fields of type " + std::string(1, f.type) + " are not set from text");
    }
}

void Table::writeRecord(std::uint32_t recno, std::string_view rec) {
    ++changes_;
    file_.writeAt(recordOffset(recno), rec.data(), rec.size());
    if (!deletedMap_.empty() && recno <= deletedMap_.size()) deletedMap_[recno - 1] = rec[0] == '*';
    std::uint32_t block = (recno - 1) / recordsPerBlock_;
    std::size_t slot = block % slots_.size();
    if (slots_[slot].block == block)
        std::memcpy(
            slots_[slot].bytes.get() +
                static_cast<std::size_t>((recno - 1) % recordsPerBlock_) * header_.recordLength,
            rec.data(), rec.size());
}

void Table::writeHeaderCount() {
    unsigned char b[4];
    putLe32(b, header_.recordCount);
    file_.writeAt(dbffmt::header::kRecordCount, b, 4);
}

void Table::stampDate() {
    if (dateStamped_) return;
    const CivilDate now = today();
    unsigned char d[3];
    dbffmt::encodeDate(now.year, now.month, now.day, d);
    file_.writeAt(dbffmt::header::kDate, d, 3);
    // A structural index the header does not flag is flagged by the first write.
    if (index_ && !(header_.tableFlags & dbffmt::flag::kStructuralIndex)) {
        header_.tableFlags |= dbffmt::flag::kStructuralIndex;
        file_.writeAt(dbffmt::header::kTableFlags, &header_.tableFlags, 1);
    }
    header_.year = now.year;
    header_.month = now.month;
    header_.day = now.day;
    dateStamped_ = true;
}

void Table::update(std::uint32_t recno, std::string_view rec) {
    requireWritable("rewrite");
    if (rec.size() != header_.recordLength)
        fail(code::kInvalidRecordNumber, file_.path() + ": a record image of the wrong length");
    std::string old(record(recno), header_.recordLength);
    struct Change {
        const TagInfo* tag;
        bool inOld, inNew;
        std::string oldKey, newKey;
    };
    std::vector<Change> changes;
    if (index_) {
        const auto& tags = index_->tags();
        for (std::size_t i = 0; i < tags.size(); ++i) {
            const TagInfo& tag = tags[i];
            const KeyBuilder* kb = keyBuilder(i);
            if (!kb) {
                // A tag whose keys the engine cannot compute is left alone by a write that
                // keeps the value its key is made of.
                if (keyValueKept(i, old.data(), rec.data(), recno)) continue;
                requireReproducible(i);
            }
            Change c{
                &tag, kb->included(old.data(), recno), kb->included(rec.data(), recno), {}, {}};
            if (c.inOld) c.oldKey = kb->key(old.data(), recno);
            if (c.inNew) c.newKey = kb->key(rec.data(), recno);
            if (c.inOld == c.inNew && (!c.inOld || c.oldKey == c.newKey)) continue;
            requireReproducible(i);
            // A tag that does not hold the record's present key is out of date: moving the
            // entry would leave the stale one behind.
            if (c.inOld && !index_->contains(tag, c.oldKey, recno))
                fail(code::kCorruptIndex, file_.path() + ": tag " + tag.name +
                                              " does not hold record " + std::to_string(recno) +
                                              " under its key: the index is out of date, "
                                              "reindex the table first");
            if ((tag.unique || tag.candidate()) && c.inNew && (!c.inOld || c.oldKey != c.newKey) &&
                index_->containsOther(tag, c.newKey, recno))
                fail(code::kUniqueKeyViolation, file_.path() + ": tag " + tag.name +
                                                    " already holds the key of record " +
                                                    std::to_string(recno));
            changes.push_back(std::move(c));
        }
    }
    // The record first, then its entries: a crash in between leaves keys that the check
    // reports and a reindex mends.
    writing([&] {
        stampDate();
        writeRecord(recno, rec);
        for (const Change& c : changes) {
            if (c.inOld) index_->remove(*c.tag, c.oldKey, recno);
            if (c.inNew) index_->insert(*c.tag, c.newKey, recno);
        }
    });
}

void Table::writing(const std::function<void()>& write) {
    try {
        write();
    } catch (...) {
        // Every check passed before the first byte; what failed now (the disk, the system)
        // may have left the index behind the records. The marker has the next exclusive open
        // rebuild it; if even the marker cannot be written, the check still finds the damage.
        try {
            File::create(staleIndexMarker(file_.path())).sync();
        } catch (const Error&) {
        }
        throw;
    }
}

void Table::setDeleted(std::uint32_t recno, bool deleted) {
    std::string rec(record(recno), header_.recordLength);
    rec[0] = deleted ? '*' : ' ';
    update(recno, rec);
}

std::uint32_t Table::append(std::string_view rec) {
    requireWritable("append to");
    if (rec.size() != header_.recordLength)
        fail(code::kInvalidRecordNumber, file_.path() + ": a record image of the wrong length");
    const std::uint32_t recno = header_.recordCount + 1;
    std::vector<std::pair<const TagInfo*, std::string>> keys;
    if (index_) {
        const auto& tags = index_->tags();
        for (std::size_t i = 0; i < tags.size(); ++i) {
            requireReproducible(i);
            const KeyBuilder* kb = keyBuilder(i);
            if (!kb->included(rec.data(), recno)) continue;
            std::string k = kb->key(rec.data(), recno);
            if ((tags[i].unique || tags[i].candidate()) && index_->containsOther(tags[i], k, recno))
                fail(code::kUniqueKeyViolation,
                     file_.path() + ": tag " + tags[i].name + " already holds the key");
            keys.emplace_back(&tags[i], std::move(k));
        }
    }
    writing([&] {
        stampDate();
        ++changes_;
        std::string bytes(rec);
        bytes += dbffmt::kEndOfFile;
        file_.writeAt(recordOffset(recno), bytes.data(), bytes.size());
        header_.recordCount = recno;
        writeHeaderCount();
        if (!deletedMap_.empty()) deletedMap_.push_back(rec[0] == dbffmt::kDeleted);
        std::uint32_t block = (recno - 1) / recordsPerBlock_;
        slots_[block % slots_.size()].block = 0xFFFFFFFFu;
        for (const auto& [tag, key] : keys)
            index_->insert(*tag, key, recno);
    });
    return recno;
}

void Table::appendUnindexed(std::string_view records) {
    requireWritable("append to");
    if (records.size() % header_.recordLength != 0)
        fail(code::kInvalidRecordNumber, file_.path() + ": record images of the wrong length");
    auto n = static_cast<std::uint32_t>(records.size() / header_.recordLength);
    if (n == 0) return;
    stampDate();
    std::uint32_t first = header_.recordCount + 1;
    file_.writeAt(recordOffset(first), records.data(), records.size());
    const char eof = '\x1A';
    file_.writeAt(recordOffset(first) + records.size(), &eof, 1);
    header_.recordCount += n;
    writeHeaderCount();
    refresh();
    unindexed_ = true;
}

std::uint32_t Table::writeMemo(std::string_view text) {
    requireWritable("write a memo of");
    if (!memo_ || memo_->kind() != MemoFile::Kind::Fpt)
        fail(code::kUnsupported, file_.path() + ": the table has no FoxPro memo file");
    File& f = memo_->file();
    unsigned char head[4];
    f.readExact(0, head, 4, "the memo header");
    std::uint32_t bs = memo_->blockSize();
    std::uint32_t block = memofmt::decodeNextFree(head, true);
    std::uint64_t end = (f.size() + bs - 1) / bs;
    if (block < end) block = static_cast<std::uint32_t>(end);  // never overwrite a used block
    std::string bytes(memofmt::kBlockHeaderSize, '\0');
    memofmt::encodeFptBlock({memofmt::fpt::kText, static_cast<std::uint32_t>(text.size())},
                            reinterpret_cast<unsigned char*>(bytes.data()));
    std::string body(text);
    if (fromAnsi_) fromAnsi_->apply(body.data(), body.size());
    bytes += body;
    bytes.resize((bytes.size() + bs - 1) / bs * bs, '\0');
    f.writeAt(static_cast<std::uint64_t>(block) * bs, bytes.data(), bytes.size());
    unsigned char next[4];
    memofmt::encodeNextFree(block + static_cast<std::uint32_t>(bytes.size() / bs), next, true);
    f.writeAt(memofmt::kNextFree, next, 4);
    memo_->grew(f.size());
    return block;
}

template <class Visit>
void Table::scanKeys(const std::vector<std::size_t>& tags, Visit visit) const {
    if (tags.empty()) return;
    std::vector<char> buf;
    std::string key;
    scan(1, buf, [&](const char* rec, std::uint32_t recno) {
        for (std::size_t t : tags) {
            const KeyBuilder* kb = keyBuilders_[t].get();
            if (!kb->included(rec, recno)) continue;
            kb->keyInto(rec, recno, key);
            visit(t, std::string_view(key), recno);
        }
        return true;
    });
}

// One tag of a reindex. The records were read once for all the tags of a worker, and each
// record's key noted as a keyed hash: the old tree is taken over, streamed leaf by leaf, when
// its entries are exactly those keys (strictly ordered, each record once, none missing);
// otherwise the keys are computed again and sorted.
struct Table::ReindexTag {
    std::vector<std::uint64_t> hash;  // by record number
    std::vector<bool> included;       // by record number
    std::uint64_t count = 0;
    std::uint32_t maxRecno = 0;
};

bool Table::streamFromIndex(const TagInfo& tag, ReindexTag& r, std::uint64_t seed,
                            TagTreeWriter& tree) const {
    std::string prevKey;
    std::uint32_t prevRecno = 0;
    std::uint64_t seen = 0;
    try {
        // Uncached reads: other threads rebuild other tags meanwhile.
        const bool whole = index_->walkLeaves(tag, [&](const Node& n) {
            // The leaf's records lie anywhere in the table: fetch their hashes ahead.
            for (std::uint32_t rec : n.recnos)
                if (rec <= r.maxRecno) __builtin_prefetch(&r.hash[rec]);
            for (std::size_t i = 0; i < n.count; ++i) {
                const std::string_view k = n.key(i);
                const std::uint32_t rec = n.recnos[i];
                if (rec == 0 || rec > r.maxRecno || !r.included[rec]) return false;
                if (entryHash(seed, k, rec) != r.hash[rec]) return false;
                if (seen && compareEntry(prevKey, prevRecno, k, rec) >= 0) return false;
                r.included[rec] = false;  // each record once
                prevKey.assign(k.data(), k.size());
                prevRecno = rec;
                ++seen;
                tree.add(k, rec);
            }
            return true;
        });
        if (!whole) return false;
    } catch (const Error& e) {
        // A damaged old tree is built anew; a failing write (a full disk) fails the reindex.
        if (e.code() != code::kCorruptIndex && e.code() != code::kCorruptTable) throw;
        return false;
    }
    return seen == r.count;
}

std::uint32_t Table::rebuildFromRecords(std::size_t t, IndexFileWriter& out) const {
    const TagInfo& tag = index_->tags()[t];
    TagEntries e;
    e.keyLength = tag.keyLength;
    std::uint32_t maxRecno = 0;  // the tree's record bits fit the largest
    scanKeys({t}, [&](std::size_t, std::string_view key, std::uint32_t recno) {
        e.add(key, recno);
        maxRecno = recno;
    });
    e.sort(tag.unique);
    TagTreeWriter tree(out, tag, maxRecno);
    addEntries(tree, e);
    return tree.finish();
}

void Table::reindex() {
    requireWritable("reindex");
    if (!index_) return;
    const auto& tags = index_->tags();
    // A collated tag not yet proven is proven by the rebuild itself: it is taken over from the
    // index only where every stored entry is the key computed from its record.
    std::vector<bool> deferred(tags.size(), false);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        keyBuilder(i);  // compiled before the threads
        if (proofDeferrable(i))
            deferred[i] = true;
        else
            requireReproducible(i);
    }
    const std::uint64_t seed =
        (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    const std::uint32_t count = header_.recordCount;
    std::string cdxPath = index_->path();
    std::string temp = cdxPath + ".reindex-new";
    try {
        std::vector<std::size_t> failed;
        {
            IndexFileWriter out(temp, tags.size());
            std::vector<TagInfo> built = tags;
            std::vector<bool> unproven(tags.size(), false);
            const std::size_t workers = workerCount(tags.size());
            runWorkers(workers, [&](std::size_t w) {
                std::vector<std::size_t> mine;
                for (std::size_t t = w; t < tags.size(); t += workers)
                    mine.push_back(t);
                // A unique tag keeps one record of each key: it is always built anew.
                std::vector<ReindexTag> notes(tags.size());
                std::vector<std::size_t> streamed;
                for (std::size_t t : mine) {
                    if (tags[t].unique) continue;
                    streamed.push_back(t);
                    notes[t].hash.assign(static_cast<std::size_t>(count) + 1, 0);
                    notes[t].included.assign(static_cast<std::size_t>(count) + 1, false);
                }
                scanKeys(streamed, [&](std::size_t t, std::string_view key, std::uint32_t recno) {
                    ReindexTag& r = notes[t];
                    r.hash[recno] = entryHash(seed, key, recno);
                    r.included[recno] = true;
                    r.maxRecno = recno;
                    ++r.count;
                });
                for (std::size_t t : mine) {
                    if (!tags[t].unique) {
                        TagTreeWriter tree(out, tags[t], notes[t].maxRecno);
                        const bool taken = streamFromIndex(tags[t], notes[t], seed, tree);
                        notes[t] = ReindexTag();  // its memory back before the next tag
                        if (taken) {
                            built[t].root = tree.finish();
                            continue;
                        }
                        tree.abandon();
                        if (deferred[t]) {
                            unproven[t] = true;  // not the engine's keys: nothing is built
                            continue;
                        }
                    }
                    built[t].root = rebuildFromRecords(t, out);
                }
            });
            for (std::size_t t = 0; t < tags.size(); ++t)
                if (unproven[t]) failed.push_back(t);
            if (failed.empty()) out.finish(std::move(built));
        }
        refuseUnproven(failed);
        if (kReplaceNeedsClosedTarget) index_.reset();  // opened again below
        atomicReplace(temp, cdxPath);
    } catch (...) {
        if (!index_) openIndex(cdxPath);
        removeFile(temp);  // a disk that filled up gets its space back
        throw;
    }
    syncDirectoryOf(cdxPath);
    if (!(header_.tableFlags & 0x01)) {
        header_.tableFlags |= dbffmt::flag::kStructuralIndex;
        file_.writeAt(dbffmt::header::kTableFlags, &header_.tableFlags, 1);
    }
    openIndex(cdxPath);
    markKeysProven();  // every key was computed here, or proven equal to one that was
    unindexed_ = false;
    warnings_.clear();
}

namespace {

// The new numbers of the records a pack keeps, from the deleted flags as bits and the count
// of kept records before each word of them: a few bits a record instead of a number.
class Renumbering {
  public:
    explicit Renumbering(std::uint32_t count)
        : count_(count), removed_(static_cast<std::size_t>(count) / 64 + 1, 0) {
        removed_[0] |= 1;  // there is no record 0
    }
    void remove(std::uint32_t recno) { removed_[recno / 64] |= std::uint64_t{1} << (recno % 64); }
    // After the last remove().
    void seal() {
        for (std::uint64_t r = std::uint64_t{count_} + 1; r % 64 != 0; ++r)
            removed_[r / 64] |= std::uint64_t{1} << (r % 64);
        before_.resize(removed_.size());
        std::uint32_t kept = 0;
        for (std::size_t w = 0; w < removed_.size(); ++w) {
            before_[w] = kept;
            kept += static_cast<std::uint32_t>(std::popcount(~removed_[w]));
        }
        kept_ = kept;
    }
    std::uint32_t kept() const { return kept_; }
    // The new number of an old record, 0 when the pack removes it.
    std::uint32_t operator()(std::uint32_t recno) const {
        if (recno == 0 || recno > count_) return 0;
        const std::uint64_t word = removed_[recno / 64];
        const unsigned bit = recno % 64;
        if ((word >> bit) & 1) return 0;
        const std::uint64_t below = ~word & ((std::uint64_t{1} << bit) - 1);
        return before_[recno / 64] + static_cast<std::uint32_t>(std::popcount(below)) + 1;
    }

  private:
    std::uint32_t count_;
    std::vector<std::uint64_t> removed_;
    std::vector<std::uint32_t> before_;
    std::uint32_t kept_ = 0;
};

// Whether an expression reads what a pack changes: the record number or the deleted flag.
bool readsRecordPlace(const std::string& expression);

// Whether a pack may carry a tag over from the old index: its entries do not depend on where a
// record stands, and it keeps every record (not one of each key).
bool carriable(const TagInfo& tag) {
    return !tag.unique && !readsRecordPlace(tag.keyExpression) &&
           !readsRecordPlace(tag.forExpression);
}

bool readsRecordPlace(const std::string& expression) {
    const std::string upper = ascii::upper(expression);
    return upper.find("RECNO") != std::string::npos || upper.find("DELETED") != std::string::npos;
}

}  // namespace

// One pack of a table, step by step: the records and their memos copied into new files beside
// the old ones (while other threads sum up the keys of the old records), each tag streamed
// into a new index (carried over from the old one where that proves right), and the commit
// that puts the new files in place. A crash before the commit leaves the old files; after it,
// the next open finishes the renames.
class Table::Pack {
  public:
    Pack(Table& table, const RecordRewrite& rewrite, std::string keepOldIn);
    void copyRecords();
    void writeIndex();
    void commit();
    // After a failure before the commit point: the new files go again (the space they took is
    // given back); the table stays as it was.
    void abandon() noexcept;
    // Past the commit point, the renames still to come and the table on its new files: run
    // again after a failure there (a second failure leaves them to the next open).
    bool committed() const;
    void finishRenames();

  private:
    void startMemoCopy();
    // Moves the memo a kept record's field refers to into the new memo file and points the
    // field at its new block.
    void copyMemo(char* rec, const Field& f);
    // The kept records go to the new table, rewritten where asked; the keys of rewritten
    // records are noted for the new index. All the new files are durable at the end.
    void copyTable();
    void writeHeader(std::uint32_t records);
    // The proof for carrying a tag over: a keyed hash of every (record, key) pair of the
    // records, summed per tag, for the tags of one summing thread.
    void sumKeys(std::size_t summer);
    // Streams a tag from the old index: its leaves in order, renumbered, without removed and
    // rewritten records, with the rewritten ones' new entries merged in. False when the old
    // entries are not strictly ordered, or not the records' keys by their count and sum.
    bool carryOver(std::size_t t, TagTreeWriter& w);
    void buildFromRecords(std::size_t t, TagTreeWriter& w);

    // Puts a new file in place of the old one, keeping the old one where asked.
    void replace(const std::string& fresh, const std::string& target);

    Table& table_;
    const RecordRewrite& rewrite_;
    const std::string keepOldIn_;
    const std::string dbfPath_;
    const std::uint32_t len_;
    const std::uint32_t oldCount_;
    Renumbering newOf_;  // learnt as the records are copied
    const std::string newDbf_;
    const std::string indexPath_;  // the structural index's, or empty
    File out_;                     // the new table, locked before it gets the old one's name
    // The memo copy.
    std::string memoPath_;
    std::unique_ptr<File> newMemo_;
    std::uint64_t memoEnd_ = 0;
    std::vector<const Field*> memoFields_;
    // What the new index needs besides the new numbers: which records the rewrite changed,
    // and their new entries per tag.
    const std::vector<TagInfo>& tags_;
    const std::size_t tagCount_;
    std::vector<bool> changedOld_;
    std::vector<std::unique_ptr<KeyBuilder>> copyKeys_;
    std::vector<TagEntries> changedEntries_;
    // The carry-over proof; for a collated tag not yet proven (deferred) it is also the proof
    // of its stored keys, and a tag that fails it stops the pack (failed).
    std::vector<bool> carried_, deferred_, failed_;
    const std::uint64_t seed_;
    std::vector<std::uint64_t> sums_, counts_;
    std::size_t summers_ = 0;
};

namespace {
const std::vector<TagInfo> kNoTags;
}  // namespace

Table::Pack::Pack(Table& table, const RecordRewrite& rewrite, std::string keepOldIn)
    : table_(table),
      rewrite_(rewrite),
      keepOldIn_(std::move(keepOldIn)),
      dbfPath_(table.file_.path()),
      len_(table.header_.recordLength),
      oldCount_(table.header_.recordCount),
      newOf_(oldCount_),
      newDbf_(packNew(dbfPath_)),
      indexPath_(table.index_ ? table.index_->path() : std::string()),
      tags_(table.index_ ? table.index_->tags() : kNoTags),
      tagCount_(tags_.size()),
      changedOld_(static_cast<std::size_t>(oldCount_) + 1, false),
      changedEntries_(tagCount_),
      carried_(tagCount_),
      deferred_(tagCount_),
      failed_(tagCount_),
      seed_((static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}()),
      sums_(tagCount_, 0),
      counts_(tagCount_, 0) {
    File::create(newDbf_).close();
    out_ = File::open(newDbf_, Access::ReadWrite, Share::Exclusive);
    startMemoCopy();
    for (std::size_t t = 0; t < tagCount_; ++t) {
        table_.keyBuilder(t);  // compiled before the threads
        changedEntries_[t].keyLength = tags_[t].keyLength;
        carried_[t] = carriable(tags_[t]);
        deferred_[t] = table_.proofDeferrable(t);
    }
    // The copying thread keys the rewritten records with key builders of its own: an
    // expression keeps its intermediate values in itself, so one builder serves one thread.
    if (rewrite_)
        for (std::size_t t = 0; t < tagCount_; ++t)
            copyKeys_.push_back(std::make_unique<KeyBuilder>(table_, tags_[t]));
    summers_ = tagCount_ ? std::max<std::size_t>(1, workerCount(tagCount_) - 1) : 0;
}

void Table::Pack::startMemoCopy() {
    for (const Field& f : table_.fields_)
        if (f.type == 'M' || f.type == 'G' || f.type == 'W') memoFields_.push_back(&f);
    if (!table_.memo_) return;
    MemoFile& memo = *table_.memo_;
    memoPath_ = memo.path();
    newMemo_ = std::make_unique<File>(File::create(packNew(memoPath_)));
    std::vector<unsigned char> head(memofmt::kHeaderSize, 0);
    memo.file().readExact(0, head.data(), head.size(), "the memo header");
    newMemo_->writeAt(0, head.data(), head.size());
    const std::uint64_t bs = memo.blockSize();
    memoEnd_ = (std::max<std::uint64_t>(memofmt::kHeaderSize, bs) + bs - 1) / bs * bs;
}

void Table::Pack::copyMemo(char* rec, const Field& f) {
    MemoFile& memo = *table_.memo_;
    std::uint32_t block = 0;
    if (f.length == 4) {
        block = le32(ucp(rec + f.offset));
    } else {
        for (std::uint32_t i = 0; i < f.length; ++i)
            if (rec[f.offset + i] >= '0' && rec[f.offset + i] <= '9')
                block = block * 10 + static_cast<std::uint32_t>(rec[f.offset + i] - '0');
    }
    if (block == 0) return;
    std::string bytes;
    // Each memo keeps its own form: a FoxPro memo its type, a dBase IV memo its header.
    unsigned char h[memofmt::kBlockHeaderSize];
    if (memo.kind() == MemoFile::Kind::Fpt) {
        memo.file().readExact(static_cast<std::uint64_t>(block) * memo.blockSize(), h, sizeof h,
                              "a memo");
        std::string text = memo.read(block);  // checks the chain against the file
        memofmt::encodeFptBlock(
            {memofmt::decodeFptBlock(h).type, static_cast<std::uint32_t>(text.size())}, h);
        bytes.assign(reinterpret_cast<const char*>(h), sizeof h);
        bytes += text;
    } else if (memo.kind() == MemoFile::Kind::Dbt4) {
        std::string text = memo.read(block);
        memofmt::encodeDbt4Block(static_cast<std::uint32_t>(text.size()), h);
        bytes.assign(reinterpret_cast<const char*>(h), sizeof h);
        bytes += text;
    } else {
        bytes = memo.read(block) + std::string(2, memofmt::dbt::kEnd);
    }
    const std::uint32_t bs = memo.blockSize();
    bytes.resize((bytes.size() + bs - 1) / bs * bs, '\0');
    const auto newBlock = static_cast<std::uint32_t>(memoEnd_ / bs);
    newMemo_->writeAt(memoEnd_, bytes.data(), bytes.size());
    memoEnd_ += bytes.size();
    if (f.length == 4) {
        putLe32(reinterpret_cast<unsigned char*>(rec + f.offset), newBlock);
    } else {
        std::string digits = std::to_string(newBlock);
        std::memset(rec + f.offset, ' ', f.length);
        std::memcpy(rec + f.offset + f.length - digits.size(), digits.data(), digits.size());
    }
}

void Table::Pack::writeHeader(std::uint32_t records) {
    // The new table's header goes last, when the number of records is known.
    std::vector<unsigned char> head(table_.header_.headerLength);
    table_.file_.readExact(0, head.data(), head.size(), "the table header");
    putLe32(head.data() + dbffmt::header::kRecordCount, records);
    if (table_.index_) head[dbffmt::header::kTableFlags] |= dbffmt::flag::kStructuralIndex;
    const CivilDate now = today();
    dbffmt::encodeDate(now.year, now.month, now.day, head.data() + dbffmt::header::kDate);
    out_.writeAt(0, head.data(), head.size());
}

void Table::Pack::copyTable() {
    const std::size_t chunk = table_.recordsPerRead();
    std::vector<char> in, buf;
    buf.reserve(chunk * len_ + 1);
    std::uint64_t at = table_.header_.headerLength;
    std::string changed, key;
    std::uint32_t kept = 0;
    table_.scan(1, in, [&](const char* rec, std::uint32_t oldRecno) {
        if (rec[0] == dbffmt::kDeleted) {
            newOf_.remove(oldRecno);
            return true;
        }
        ++kept;
        std::size_t pos = buf.size();
        buf.resize(pos + len_);
        bool rewritten = rewrite_ && rewrite_(rec, changed);
        if (rewritten && (changed.size() != len_ || changed[0] != rec[0]))
            fail(code::kUnsupported, dbfPath_ + ": a rewritten record lost its shape");
        std::memcpy(buf.data() + pos, rewritten ? changed.data() : rec, len_);
        if (newMemo_)
            for (const Field* f : memoFields_)
                copyMemo(buf.data() + pos, *f);
        if (rewritten) {
            changedOld_[oldRecno] = true;
            const std::uint32_t recno = kept;
            for (std::size_t t = 0; t < tagCount_; ++t) {
                const KeyBuilder* kb = copyKeys_[t].get();
                if (!kb->included(buf.data() + pos, recno)) continue;
                kb->keyInto(buf.data() + pos, recno, key);
                changedEntries_[t].add(key, recno);
            }
        }
        if (buf.size() >= chunk * len_) {
            out_.writeAt(at, buf.data(), buf.size());
            at += buf.size();
            buf.clear();
        }
        return true;
    });
    buf.push_back(dbffmt::kEndOfFile);
    out_.writeAt(at, buf.data(), buf.size());
    writeHeader(kept);
    if (newMemo_) {
        unsigned char next[4];
        memofmt::encodeNextFree(static_cast<std::uint32_t>(memoEnd_ / table_.memo_->blockSize()),
                                next, table_.memo_->kind() == MemoFile::Kind::Fpt);
        newMemo_->writeAt(memofmt::kNextFree, next, 4);
        newMemo_->sync();
    }
    out_.sync();
}

void Table::Pack::sumKeys(std::size_t summer) {
    std::vector<std::size_t> mine;
    for (std::size_t t = summer; t < tagCount_; t += summers_)
        if (carried_[t]) mine.push_back(t);
    table_.scanKeys(mine, [&](std::size_t t, std::string_view key, std::uint32_t recno) {
        sums_[t] += entryHash(seed_, key, recno);
        ++counts_[t];
    });
}

void Table::Pack::copyRecords() {
    runWorkers(1 + summers_, [&](std::size_t w) { w == 0 ? copyTable() : sumKeys(w - 1); });
    newOf_.seal();
}

bool Table::Pack::carryOver(std::size_t t, TagTreeWriter& w) {
    const TagEntries& fresh = changedEntries_[t];
    std::size_t next = 0;
    std::uint64_t sum = 0, count = 0;
    std::string prevKey;
    std::uint32_t prevRecno = 0;
    try {
        bool whole = table_.index_->walkLeaves(tags_[t], [&](const Node& n) {
            for (std::size_t i = 0; i < n.count; ++i) {
                std::string_view k = n.key(i);
                const std::uint32_t r = n.recnos[i];
                if (count && compareEntry(prevKey, prevRecno, k, r) >= 0) return false;
                if (r == 0 || r > oldCount_) return false;
                prevKey.assign(k.data(), k.size());
                prevRecno = r;
                sum += entryHash(seed_, k, r);
                ++count;
                const std::uint32_t now = newOf_(r);
                if (now == 0 || changedOld_[r]) continue;
                for (; next < fresh.size() &&
                       compareEntry(fresh.key(next), fresh.recno(next), k, now) < 0;
                     ++next)
                    w.add(fresh.key(next), fresh.recno(next));
                w.add(k, now);
            }
            return true;
        });
        if (!whole) return false;
    } catch (const Error& e) {
        // A damaged old tree is built anew; a failing write (a full disk) fails the pack.
        if (e.code() != code::kCorruptIndex && e.code() != code::kCorruptTable) throw;
        return false;
    }
    for (; next < fresh.size(); ++next)
        w.add(fresh.key(next), fresh.recno(next));
    return sum == sums_[t] && count == counts_[t];
}

void Table::Pack::buildFromRecords(std::size_t t, TagTreeWriter& w) {
    TagEntries e;
    e.keyLength = tags_[t].keyLength;
    const KeyBuilder* kb = table_.keyBuilders_[t].get();
    std::vector<char> buf;
    std::string key;
    table_.scan(1, buf, [&](const char* rec, std::uint32_t oldRecno) {
        const std::uint32_t recno = newOf_(oldRecno);
        if (recno == 0 || changedOld_[oldRecno]) return true;
        if (!kb->included(rec, recno)) return true;
        kb->keyInto(rec, recno, key);
        e.add(key, recno);
        return true;
    });
    const TagEntries& fresh = changedEntries_[t];
    for (std::size_t i = 0; i < fresh.size(); ++i)
        e.add(fresh.key(i), fresh.recno(i));
    e.sort(tags_[t].unique);
    addEntries(w, e);
}

void Table::Pack::writeIndex() {
    if (!table_.index_) return;
    IndexFileWriter cdx(packNew(table_.index_->path()), tagCount_);
    std::vector<TagInfo> built = tags_;
    const std::uint32_t maxRecno = newOf_.kept();
    const std::size_t workers = workerCount(tagCount_);
    runWorkers(workers, [&](std::size_t w) {
        for (std::size_t t = w; t < tagCount_; t += workers) {
            changedEntries_[t].sort(false);
            if (carried_[t]) {
                TagTreeWriter tree(cdx, tags_[t], maxRecno);
                if (carryOver(t, tree)) {
                    built[t].root = tree.finish();
                    std::vector<char>().swap(changedEntries_[t].keys);
                    continue;
                }
                tree.abandon();
                if (deferred_[t]) {
                    failed_[t] = true;  // not the engine's keys: nothing is built from them
                    continue;
                }
            }
            TagTreeWriter tree(cdx, tags_[t], maxRecno);
            buildFromRecords(t, tree);
            built[t].root = tree.finish();
            std::vector<char>().swap(changedEntries_[t].keys);
        }
    });
    std::vector<std::size_t> failed;
    for (std::size_t t = 0; t < tagCount_; ++t)
        if (failed_[t]) failed.push_back(t);
    table_.refuseUnproven(failed);
    cdx.finish(std::move(built));
}

void Table::Pack::replace(const std::string& fresh, const std::string& target) {
    if (!keepOldIn_.empty()) {
        // A crash after the old file went and before the new one came leaves the marker and
        // the new file: the next open puts the new one in place.
        const std::size_t slash = target.find_last_of('/');
        const std::string kept = keepOldIn_ + "/" + target.substr(slash + 1);
        if (!fileExists(kept)) {
            keepFile(target, kept);
            syncDirectoryOf(kept);
        }
    }
    atomicReplace(fresh, target);
}

void Table::Pack::commit() {
    // The commit point: once the marker exists, opening the table finishes the renames.
    const std::string marker = packMarker(dbfPath_);
    {
        File m = File::create(marker + ".tmp");
        m.writeAt(0, "pack\n", 5);
        m.sync();
    }
    syncDirectoryOf(dbfPath_);
    atomicReplace(marker + ".tmp", marker);
    syncDirectoryOf(dbfPath_);
    finishRenames();
}

bool Table::Pack::committed() const {
    return fileExists(packMarker(dbfPath_));
}

void Table::Pack::finishRenames() {
    const std::string& indexPath = indexPath_;
    if (kReplaceNeedsClosedTarget) {
        // The old files let go of first; the new table stays locked, and holds the others off.
        table_.memo_.reset();
        table_.index_.reset();
        table_.file_.close();
    }
    // Each new file whose rename is still to come (all of them, or the rest after a failure).
    if (fileExists(newDbf_)) replace(newDbf_, dbfPath_);
    const bool newMemo = newMemo_ != nullptr;
    newMemo_.reset();  // durable already; the table opens it again as its memo
    if (newMemo && fileExists(packNew(memoPath_))) replace(packNew(memoPath_), memoPath_);
    if (!indexPath.empty() && fileExists(packNew(indexPath)))
        replace(packNew(indexPath), indexPath);
    syncDirectoryOf(dbfPath_);
    removeFile(packMarker(dbfPath_));

    // The table goes on with the new files; the new table was locked all along.
    out_.renamed(dbfPath_);
    table_.file_ = std::move(out_);
    table_.fields_.clear();
    table_.nullFlags_ = nullptr;
    table_.parseHeader();
    table_.dateStamped_ = true;
    table_.openCompanions();
    table_.markKeysProven();  // every tag was built from, or proven against, computed keys
    table_.refresh();
}

void Table::Pack::abandon() noexcept {
    if (fileExists(packMarker(dbfPath_))) return;  // past the commit point: the next open ends it
    out_.close();
    newMemo_.reset();
    removeFile(newDbf_);
    if (!memoPath_.empty()) removeFile(packNew(memoPath_));
    if (!indexPath_.empty()) removeFile(packNew(indexPath_));
    removeFile(packMarker(dbfPath_) + ".tmp");
}

void Table::pack(const RecordRewrite& rewrite, const std::string& keepOldIn) {
    requireWritable("pack");
    // A collated tag not yet proven is proven by the pack itself, which carries a tag over
    // only when its entries are the keys computed from the old records.
    if (index_)
        for (std::size_t i = 0; i < index_->tags().size(); ++i) {
            const TagInfo& tag = index_->tags()[i];
            if (carriable(tag))
                requireRebuildable(i);
            else
                requireReproducible(i);
        }
    std::optional<Pack> job;
    try {
        job.emplace(*this, rewrite, keepOldIn);
        job->copyRecords();
        job->writeIndex();
        job->commit();
    } catch (...) {
        if (job && job->committed()) {
            job->finishRenames();
            return;
        }
        if (job) {
            job->abandon();
        } else {
            // The new files the start made before it failed.
            removeFile(packNew(file_.path()));
            if (memo_) removeFile(packNew(memo_->path()));
        }
        throw;
    }
}

void createTable(const std::string& path, const TableDef& def) {
    if (def.fields.empty()) fail(code::kUnsupported, path + ": a table needs at least one field");
    if (!CodePage::find(def.codePage))
        fail(code::kUnsupported,
             path + ": code page " + std::to_string(def.codePage) + " is not supported");
    std::string dbfPath = path;
    for (char& c : dbfPath)
        if (c == '\\') c = '/';
    std::size_t dot = dbfPath.find_last_of('.');
    std::size_t slash = dbfPath.find_last_of('/');
    std::string stem = (dot == std::string::npos || (slash != std::string::npos && dot < slash))
                           ? dbfPath
                           : dbfPath.substr(0, dot);
    bool upper = dbfPath.size() > stem.size() && dbfPath[stem.size() + 1] >= 'A' &&
                 dbfPath[stem.size() + 1] <= 'Z';
    auto sibling = [&](const char* ext) {
        std::string e = ext;
        if (upper)
            for (char& c : e)
                c = static_cast<char>(c - 32);
        return stem + "." + e;
    };
    if (fileExists(dbfPath)) fail(code::kUnsupported, dbfPath + " exists already");

    bool memo = false;
    const std::size_t descriptorsEnd =
        dbffmt::header::kSize + dbffmt::field::kSize * def.fields.size();
    std::vector<unsigned char> head(descriptorsEnd + 1 + dbffmt::kBacklinkSize, 0);
    std::uint32_t offset = 1;
    for (std::size_t i = 0; i < def.fields.size(); ++i) {
        const FieldDef& f = def.fields[i];
        std::uint32_t len = f.length;
        switch (f.type) {
            case 'D':
            case 'B':
            case 'Y':
            case 'T':
                len = 8;
                break;
            case 'L':
                len = 1;
                break;
            case 'I':
            case 'M':
            case 'G':
            case 'W':
                len = 4;
                break;
            case 'C':
            case 'N':
            case 'F':
            case 'V':
            case 'Q':
                break;
            default:
                fail(code::kUnsupported, dbfPath + ": field " + f.name + " has an unknown type");
        }
        if (f.type == 'M' || f.type == 'G' || f.type == 'W') memo = true;
        dbffmt::FieldDescriptor d;
        d.name = ascii::upper(f.name);
        d.type = f.type;
        d.offset = offset;
        d.length = static_cast<std::uint8_t>(len);
        d.decimals = f.decimals;
        if (f.type == 'M' || f.type == 'G' || f.type == 'W' || f.type == 'Q')
            d.flags = dbffmt::fieldflag::kBinary;
        if (len == 0 || len > 254 || ((f.type == 'N' || f.type == 'F') && len > 20) ||
            !dbffmt::encodeField(d, head.data() + dbffmt::header::kSize + i * dbffmt::field::kSize))
            fail(code::kUnsupported, dbfPath + ": field " + f.name + " has a bad name or length");
        offset += len;
    }
    head[descriptorsEnd] = dbffmt::kDescriptorsEnd;
    if (offset > 65500) fail(code::kUnsupported, dbfPath + ": the record is too long");
    dbffmt::Header h;
    h.version = 0x30;
    const CivilDate now = today();
    unsigned char date[3];
    dbffmt::encodeDate(now.year, now.month, now.day, date);
    h.year = date[0];
    h.month = date[1];
    h.day = date[2];
    h.headerLength = static_cast<std::uint16_t>(head.size());
    h.recordLength = static_cast<std::uint16_t>(offset);
    h.tableFlags = static_cast<std::uint8_t>(
        (def.tags.empty() ? 0 : dbffmt::flag::kStructuralIndex) | (memo ? dbffmt::flag::kMemo : 0));
    h.codePage = codePageByte(def.codePage);
    dbffmt::encodeHeader(h, head.data());
    {
        File f = File::create(dbfPath);
        f.writeAt(0, head.data(), head.size());
        f.writeAt(head.size(), &dbffmt::kEndOfFile, 1);
        f.sync();
    }
    if (memo) {
        std::vector<unsigned char> m(memofmt::kHeaderSize, 0);
        std::uint16_t bs = def.memoBlockSize ? def.memoBlockSize : 64;
        memofmt::encodeNextFree(static_cast<std::uint32_t>((memofmt::kHeaderSize + bs - 1) / bs),
                                m.data(), true);
        putBe16(m.data() + memofmt::fpt::kBlockSize, bs);
        File f = File::create(sibling("fpt"));
        f.writeAt(0, m.data(), m.size());
        f.sync();
    }
    if (!def.tags.empty()) {
        OpenOptions opt;
        opt.openIndex = false;
        auto t = Table::open(dbfPath, opt);
        std::vector<TagInfo> tags;
        for (const TagDef& d : def.tags) {
            TagInfo info;
            info.name = ascii::upper(d.name);
            if (info.name.empty() || info.name.size() > 10)
                fail(code::kUnsupported,
                     dbfPath + ": the tag name '" + d.name + "' is empty or too long");
            info.keyExpression = d.key;
            info.forExpression = d.forCondition;
            info.unique = d.unique;
            info.descending = d.descending;
            Expression key = Expression::compile(d.key, t.get(), TextMode::Raw);
            info.keyKind = keyKind(key.type());
            // A collation orders character keys; Visual FoxPro marks such a tag with
            // signature 2.
            if (!Collation::isMachine(def.collation) && info.keyKind == 'C') {
                info.collation = Collation::find(def.collation, def.codePage)->name();
                info.signature = 2;
            }
            info.keyLength = 8;  // provisional, for the natural length
            KeyBuilder kb(*t, info);
            std::size_t natural = kb.naturalLength();
            if (natural == 0 || natural > 240)
                fail(code::kUnsupported, dbfPath + ": the key of tag " + info.name + " is " +
                                             std::to_string(natural) +
                                             " bytes long (1 to 240 allowed)");
            info.keyLength = static_cast<std::uint16_t>(natural);
            tags.push_back(info);
        }
        std::vector<TagEntries> empty(tags.size());
        for (std::size_t i = 0; i < tags.size(); ++i)
            empty[i].keyLength = tags[i].keyLength;
        writeCompoundIndex(sibling("cdx"), tags, empty);
    }
}

}  // namespace xbase
