#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

#include "engine_helpers.h"
#include "format_builder.h"
#include "sample_db.h"
#include "temp_dir.h"
#include "xbase/ascii.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/codepage.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/expr.h"
#include "xbase/file.h"
#include "xbase/pack_files.h"
#include "xbase/parallel.h"

using namespace xbase;
namespace fs = std::filesystem;

namespace {

using testhelp::errorCode;
using testhelp::exclusive;
using testhelp::expectStrictlyClean;
using testhelp::fileBytes;
using testhelp::tablesOf;
using testhelp::writableCopy;

// Every tag's entries in order, as "recno:hexkey" lines.
std::map<std::string, std::vector<std::string>> entriesOf(const Table& t) {
    std::map<std::string, std::vector<std::string>> out;
    for (const TagInfo& tag : t.index()->tags()) {
        TagCursor c(t, tag.name);
        c.setShowDeleted(true);
        auto& v = out[tag.name];
        for (bool on = c.first(); on; on = c.next()) {
            v.push_back(std::to_string(c.recno()) + ":" + ascii::hex(c.key()));
        }
    }
    return out;
}

// A table with tags of every kind that the writer must keep: long keys (many splits), equal
// keys, a numeric key, a descending tag, a FOR condition and UPPER().
TableDef propertyTable() {
    TableDef d;
    d.fields = {{"GRUP", 'C', 5, 0},  {"NNUM", 'C', 13, 0}, {"NAME", 'C', 60, 0},
                {"CENA", 'N', 12, 2}, {"DATE", 'D', 8, 0},  {"NOTES", 'M', 4, 0}};
    d.tags = {{"MLABEL", "GRUP+NNUM", "", false, false},
              {"NAMES", "UPPER(NAME)", "", false, false},
              {"CENA", "CENA", "", false, false},
              {"BYDATE", "DTOS(DATE)+GRUP", "", false, true},
              {"LIVE", "NNUM", ".NOT.DELETED()", false, false}};
    return d;
}

std::string randomName(std::mt19937& rng) {
    // Names that share long prefixes, grow and shrink.
    static const char* stems[] = {"AAAAAAAAAAAAAAAAAAAA", "AAAAAAAAAAAAAAAAAAAB", "Z", "", "M",
                                  "\xD2\xF0\xF3\xE1\xE0 \xF1\xF2\xE0\xEB\xFC\xED\xE0\xFF",
                                  // Ёлка, елка, ЕЛКА, Ґанок: equal or near keys under RUSSIAN
                                  "\xA8\xEB\xEA\xE0", "\xE5\xEB\xEA\xE0", "\xC5\xCB\xCA\xC0",
                                  "\xA5\xE0\xED\xEE\xEA"};
    std::string s = stems[rng() % std::size(stems)];
    s += std::string(rng() % 40, static_cast<char>('a' + rng() % 3));
    return s.substr(0, 60);
}

void randomize(const Table& t, std::string& rec, std::mt19937& rng) {
    const char* groups[] = {"  1", "  2", " 10", "", "99999"};
    t.setText(rec, *t.field("GRUP"), groups[rng() % 5]);
    // Some numbers are a prefix of others up to an inner blank ("A", "A 7"): the leaf
    // encoding must not let a key share the previous key's trailing pad.
    const std::string number = std::to_string(rng() % 60);
    t.setText(rec, *t.field("NNUM"),
              rng() % 4 ? number : (rng() % 2 ? "A" : "A " + number.substr(0, 1)));
    t.setText(rec, *t.field("NAME"), randomName(rng));
    t.setText(rec, *t.field("CENA"),
              std::to_string(static_cast<int>(rng() % 20000) - 10000) + ".25");
    t.setText(rec, *t.field("DATE"),
              rng() % 7 == 0 ? "" : "20" + std::to_string(10 + rng() % 20) + "0615");
}

// Appends `n` random records, one write each.
void appendRandom(Table& t, int n, std::mt19937& rng) {
    for (int i = 0; i < n; ++i) {
        std::string rec = t.blankRecord();
        randomize(t, rec, rng);
        t.append(rec);
    }
}

}  // namespace

// Thousands of random writes: after each stretch every tag equals its brute-force order, and a
// rebuild gives exactly the same entries. In the machine order and under RUSSIAN, whose keys
// are weights that ignore letter case (the leaf pad then is the zero byte).
class RandomWrites : public ::testing::TestWithParam<const char*> {};

TEST_P(RandomWrites, KeepEveryTagRight) {
    TempDir dir;
    std::string path = dir.file("P.DBF");
    TableDef def = propertyTable();
    def.collation = GetParam();
    createTable(path, def);
    auto t = Table::open(path, exclusive());
    std::mt19937 rng(20261210);
    appendRandom(*t, 400, rng);
    expectStrictlyClean(*t, "after appends");
    for (int step = 1; step <= 4000; ++step) {
        std::uint32_t recno = 1 + static_cast<std::uint32_t>(rng() % t->recordCount());
        std::string rec(t->record(recno), t->recordLength());
        switch (rng() % 8) {
            case 0:
                t->setDeleted(recno, true);
                break;
            case 1:
                t->setDeleted(recno, false);
                break;
            case 2: {  // to the front or the end of the key orders
                t->setText(rec, *t->field("GRUP"), rng() % 2 ? "" : "zzzzz");
                t->setText(rec, *t->field("NAME"), rng() % 2 ? "" : std::string(60, '\xFF'));
                t->update(recno, rec);
                break;
            }
            case 3: {
                std::string fresh = t->blankRecord();
                randomize(*t, fresh, rng);
                t->append(fresh);
                break;
            }
            default:
                randomize(*t, rec, rng);
                t->update(recno, rec);
        }
        if (step % 500 == 0) {
            // A whole group moves, as a transfer moves it: whole leaves empty out and their
            // pages go to the free list, to be taken again by later splits.
            const char* groups[] = {"  1", "  2", " 10", "", "99999"};
            std::string from = groups[rng() % 5], to = groups[rng() % 5];
            for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
                std::string moved(t->record(r), t->recordLength());
                if (t->text(moved.data(), *t->field("GRUP")) != from) continue;
                t->setText(moved, *t->field("GRUP"), to);
                t->setText(moved, *t->field("NAME"), "moved " + to);
                t->update(r, moved);
            }
        }
        if (step % 1000 == 0) {
            expectStrictlyClean(*t, "after step " + std::to_string(step));
            if (step == 2000) {
                t->pack();
                expectStrictlyClean(*t, "after pack");
            }
        }
    }
    auto before = entriesOf(*t);
    t->reindex();
    EXPECT_EQ(entriesOf(*t), before);
    expectStrictlyClean(*t, "after reindex");
    for (const TagInfo& tag : t->index()->tags())
        EXPECT_EQ(tag.collation, tag.keyKind == 'C' && *GetParam() ? GetParam() : "MACHINE");
}

INSTANTIATE_TEST_SUITE_P(Write, RandomWrites, ::testing::Values("", "RUSSIAN"),
                         [](const auto& param) {
                             return std::string(*param.param ? param.param : "MACHINE");
                         });

TEST(Write, CharacterAssignmentPadsCutsAndConverts) {
    TempDir dir;
    TableDef d;
    d.codePage = 866;
    d.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}, {"CENA", 'N', 6, 2}};
    d.tags = {{"MLABEL", "UPPER(GRUP+NNUM)", "", false, false}};
    createTable(dir.file("A.DBF"), d);
    auto t = Table::open(dir.file("A.DBF"), exclusive());
    EXPECT_EQ(t->charType(), CharType::Oem);
    const Field& grup = *t->field("grup");
    const Field& nnum = *t->field("NNUM");
    std::string rec = t->blankRecord();
    t->setText(rec, grup, "ABC");
    t->setText(rec, nnum, "12345678901234567890");
    t->append(rec);
    EXPECT_EQ(t->raw(t->record(1), grup), "ABC  ");
    EXPECT_EQ(t->raw(t->record(1), nnum), "1234567890123");
    t->setText(rec, grup, "     ");
    t->setText(rec, nnum, *CodePage::get(1251).fromUtf8("ёлка"));
    t->update(1, rec);
    EXPECT_EQ(t->raw(t->record(1), grup), "     ");
    EXPECT_EQ(t->text(t->record(1), grup), "");
    // Stored in 866, read back as ANSI, keyed in upper case by the table's code page.
    EXPECT_EQ(t->raw(t->record(1), nnum).substr(0, 4), "\xF1\xAB\xAA\xA0");
    EXPECT_EQ(CodePage::get(1251).toUtf8(t->text(t->record(1), nnum)), "ёлка");
    TagCursor c(*t, "MLABEL");
    ASSERT_TRUE(c.first());
    EXPECT_EQ(c.key().substr(5, 4), "\xF0\x8B\x8A\x80");  // ЁЛКА in 866
    EXPECT_EQ(errorCode([&] { t->setText(rec, *t->field("CENA"), "12345.6"); }),
              code::kUnsupported);
    EXPECT_EQ(errorCode([&] { t->setText(rec, *t->field("CENA"), "abc"); }), code::kUnsupported);
    t->setText(rec, *t->field("CENA"), "-1.5");
    EXPECT_EQ(std::string(rec.data() + t->field("CENA")->offset, 6), " -1.50");
    expectStrictlyClean(*t, "after assignments");
}

TEST(Write, UniqueTagRefusesATakenKeyAndChangesNothing) {
    TempDir dir;
    TableDef d;
    d.fields = {{"CODE", 'C', 5, 0}, {"NAME", 'C', 10, 0}};
    d.tags = {{"NAME", "NAME", "", false, false}, {"CODE", "CODE", "", true, false}};
    createTable(dir.file("U.DBF"), d);
    auto t = Table::open(dir.file("U.DBF"), exclusive());
    for (const char* code : {"A", "B"}) {
        std::string rec = t->blankRecord();
        t->setText(rec, *t->field("CODE"), code);
        t->setText(rec, *t->field("NAME"), std::string("n") + code);
        t->append(rec);
    }
    // The files are read with the table closed: an exclusive open shares nothing on Windows.
    t.reset();
    std::string dbf = fileBytes(dir.file("U.DBF")), cdx = fileBytes(dir.file("U.cdx"));
    t = Table::open(dir.file("U.DBF"), exclusive());
    std::string rec(t->record(2), t->recordLength());
    t->setText(rec, *t->field("CODE"), "A");
    t->setText(rec, *t->field("NAME"), "changed");
    EXPECT_EQ(errorCode([&] { t->update(2, rec); }), code::kUniqueKeyViolation);
    std::string dup = t->blankRecord();
    t->setText(dup, *t->field("CODE"), "B");
    EXPECT_EQ(errorCode([&] { t->append(dup); }), code::kUniqueKeyViolation);
    t.reset();
    EXPECT_EQ(fileBytes(dir.file("U.DBF")), dbf);
    EXPECT_EQ(fileBytes(dir.file("U.cdx")), cdx);
    t = Table::open(dir.file("U.DBF"), exclusive());
    // A write that goes through stamps the header with today's date.
    {
        t.reset();
        std::string stale = fileBytes(dir.file("U.DBF"));
        stale[1] = 99;  // 1999-01-01
        stale[2] = 1;
        stale[3] = 1;
        std::ofstream(dir.file("U.DBF"), std::ios::binary) << stale;
        t = Table::open(dir.file("U.DBF"), exclusive());
    }
    // The record's own key again is no violation.
    std::string same(t->record(1), t->recordLength());
    t->setText(same, *t->field("NAME"), "renamed");
    t->update(1, same);
    const CivilDate day = today();
    t.reset();
    std::string stamped = fileBytes(dir.file("U.DBF"));
    t = Table::open(dir.file("U.DBF"), exclusive());
    EXPECT_EQ(static_cast<unsigned char>(stamped[1]), (day.year - 1900) % 256);
    EXPECT_EQ(static_cast<unsigned char>(stamped[2]), day.month);
    EXPECT_EQ(static_cast<unsigned char>(stamped[3]), day.day);
    expectStrictlyClean(*t, "after the refused writes");
}

// A tag the engine cannot reproduce stops a write that would change it before any byte is
// written; a write that leaves its key alone goes through.
TEST(Write, IrreproducibleTagsStopWritesFirst) {
    TempDir dir;
    testfmt::TableSpec s;
    s.fields = {{"GRUP", 'C', 5}, {"NAME", 'C', 8}};
    s.records = {{"1", "b"}, {"2", "a"}};
    testfmt::TagSpec good{"GRUP", "GRUP", "", 5, false, false, ' ', {{"1    ", 1}, {"2    ", 2}}};
    testfmt::TagSpec odd{
        "ODD", "METAPHONE(NAME)", "", 8, false, false, ' ', {{"a       ", 2}, {"b       ", 1}}};
    testfmt::TagSpec general{"GEN", "NAME", "",  8,
                             false, false,  ' ', {{"a       ", 2}, {"b       ", 1}}};
    general.collation = "GENERAL";  // which code page 1251 does not have
    auto image = testfmt::buildCdx({good, general});
    testfmt::writeFile(dir.file("G.DBF"), testfmt::buildDbf(s));
    testfmt::writeFile(dir.file("G.CDX"), image.bytes);
    {
        auto t = Table::open(dir.file("G.DBF"), exclusive());
        EXPECT_EQ(t->index()->tag("GEN")->collation, "GENERAL");
        std::string before = fileBytes(dir.file("G.DBF")) + fileBytes(dir.file("G.CDX"));
        std::string rec(t->record(1), t->recordLength());
        t->setText(rec, *t->field("NAME"), "c");
        try {
            t->update(1, rec);
            ADD_FAILURE() << "a GENERAL tag was rewritten";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::kUnsupported);
            EXPECT_NE(std::string(e.what()).find("G.DBF"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("GEN"), std::string::npos) << e.what();
        }
        EXPECT_EQ(errorCode([&] { t->pack(); }), code::kUnsupported);
        EXPECT_EQ(fileBytes(dir.file("G.DBF")) + fileBytes(dir.file("G.CDX")), before);
        std::string other(t->record(1), t->recordLength());
        t->setText(other, *t->field("GRUP"), "3");  // GEN's key stays: allowed
        t->update(1, other);
        TagCursor c(*t, "GRUP");
        ASSERT_TRUE(c.last());
        EXPECT_EQ(c.recno(), 1u);
    }
    image = testfmt::buildCdx({good, odd});
    testfmt::writeFile(dir.file("G.CDX"), image.bytes);
    testfmt::writeFile(dir.file("G.DBF"), testfmt::buildDbf(s));
    auto t = Table::open(dir.file("G.DBF"), exclusive());
    std::string rec(t->record(1), t->recordLength());
    t->setText(rec, *t->field("GRUP"), "9");
    try {
        t->update(1, rec);
        ADD_FAILURE() << "a tag with an unknown function was rewritten";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::kUnsupported);
        EXPECT_NE(std::string(e.what()).find("ODD"), std::string::npos) << e.what();
    }
    EXPECT_EQ(t->text(t->record(1), *t->field("GRUP")), "1");
}

TEST(Write, PackKeepsMemosAndRenumbers) {
    TempDir dir;
    std::string path = dir.file("M.DBF");
    createTable(path, propertyTable());
    auto t = Table::open(path, exclusive());
    std::mt19937 rng(5);
    std::map<std::string, std::string> memoOf;  // NNUM -> memo text
    for (int i = 0; i < 300; ++i) {
        std::string rec = t->blankRecord();
        randomize(*t, rec, rng);
        t->setText(rec, *t->field("NNUM"), "N" + std::to_string(i));
        std::string text =
            "memo of " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 150), 'x');
        std::uint32_t block = t->writeMemo(text);
        std::memcpy(rec.data() + t->field("NOTES")->offset, &block, 4);
        memoOf["N" + std::to_string(i)] = text;
        t->append(rec);
    }
    for (std::uint32_t r = 1; r <= 300; r += 3)
        t->setDeleted(r, true);
    t->pack();
    EXPECT_EQ(t->recordCount(), 200u);
    expectStrictlyClean(*t, "after pack");
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
        const char* rec = t->record(r);
        EXPECT_NE(rec[0], '*');
        std::string nnum = t->text(rec, *t->field("NNUM"));
        EXPECT_EQ(t->memo(rec, *t->field("NOTES")), memoOf[nnum]) << nnum;
    }
    t.reset();
    // Only the table's own files remain, and they open again.
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 3u);
    auto again = Table::open(path);
    EXPECT_EQ(again->recordCount(), 200u);
}

// A pack that rewrites records as it copies them: the tags come out as a rebuild from the
// records would make them, whether the old index could be taken over (sound), or not: stale
// because another program changed a record behind its back, with a tag's root page
// overwritten, or holding a unique tag.
TEST(Write, PackRewritesRecordsAndBuildsEveryTagRight) {
    enum class Old { Sound, Stale, Damaged, Unique };
    for (Old kind : {Old::Sound, Old::Stale, Old::Damaged, Old::Unique}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TempDir dir;
        std::string path = dir.file("R.DBF");
        TableDef def = propertyTable();
        if (kind == Old::Unique) def.tags.push_back({"PAIR", "GRUP+NNUM", "", true, false});
        createTable(path, def);
        auto t = Table::open(path, exclusive());
        std::mt19937 rng(11);
        for (int i = 0; i < 2000; ++i) {
            std::string rec = t->blankRecord();
            randomize(*t, rec, rng);
            if (kind == Old::Unique) t->setText(rec, *t->field("NNUM"), std::to_string(i));
            t->append(rec);
        }
        for (std::uint32_t r = 1; r <= 2000; r += 7)
            t->setDeleted(r, true);
        if (kind == Old::Stale) {
            // Names changed in the file alone: the index still has the old keys.
            t.reset();
            File f = File::open(path, Access::ReadWrite, Share::Shared);
            auto probe = Table::open(path);
            const Field& name = *probe->field("NAME");
            for (std::uint32_t r = 5; r <= 2000; r += 97)
                f.writeAt(probe->header().headerLength +
                              static_cast<std::uint64_t>(r - 1) * probe->recordLength() +
                              name.offset,
                          "ZZ-STALE", 8);
            probe.reset();
            f.close();
            t = Table::open(path, exclusive());
        }
        if (kind == Old::Damaged) {
            const std::uint32_t root = t->index()->tag("NAMES")->root;
            const std::string cdx = t->index()->path();
            t.reset();
            File f = File::open(cdx, Access::ReadWrite, Share::Shared);
            const std::string garbage(kNodeSize, '\xEE');
            f.writeAt(root, garbage.data(), garbage.size());
            f.close();
            t = Table::open(path, exclusive());
        }
        // Group "  1" moves to "77"; every other record stays as it is.
        const Field& grup = *t->field("GRUP");
        std::size_t moved = 0;
        t->pack([&](const char* rec, std::string& changed) {
            if (t->text(rec, grup) != "  1") return false;
            changed.assign(rec, t->recordLength());
            t->setText(changed, grup, "77");
            ++moved;
            return true;
        });
        EXPECT_GT(moved, 100u);
        EXPECT_EQ(t->recordCount(), 2000u - 286u);
        expectStrictlyClean(*t, "after the rewriting pack");
        std::size_t now77 = 0;
        for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
            EXPECT_NE(t->text(t->record(r), grup), "  1");
            now77 += t->text(t->record(r), grup) == "77";
        }
        EXPECT_GE(now77, moved);
        auto packed = entriesOf(*t);
        t->reindex();
        EXPECT_EQ(entriesOf(*t), packed);
        t.reset();
        auto again = Table::open(path);
        expectStrictlyClean(*again, "reopened");
    }
}

TEST(Write, ModesAreEnforced) {
    TempDir dir;
    std::string path = dir.file("S.DBF");
    createTable(path, propertyTable());
    auto shared = Table::open(path);
    EXPECT_EQ(errorCode([&] { shared->pack(); }), code::kReadOnly);
    OpenOptions rwShared;
    rwShared.readOnly = false;
    shared.reset();
    auto rw = Table::open(path, rwShared);
    EXPECT_EQ(errorCode([&] { rw->pack(); }), code::kTableNotExclusive);
    EXPECT_EQ(errorCode([&] { rw->append(rw->blankRecord()); }), code::kTableNotExclusive);
}

// A crash at any write of an update leaves a table that opens and a check that reports
// what is off instead of failing.
TEST(Write, CrashDuringUpdatesLeavesReadableFiles) {
    struct Crash {};
    for (int crashAt = 1; crashAt < 60; ++crashAt) {
        TempDir dir;
        std::string path = dir.file("C.DBF");
        createTable(path, propertyTable());
        {
            auto t = Table::open(path, exclusive());
            std::mt19937 rng(1);
            appendRandom(*t, 60, rng);
            int writes = 0;
            setWriteHook([&](const std::string&, std::uint64_t) {
                if (++writes == crashAt) throw Crash{};
            });
            try {
                for (int i = 0; i < 20; ++i) {
                    std::uint32_t recno = 1 + static_cast<std::uint32_t>(rng() % 60);
                    std::string rec(t->record(recno), t->recordLength());
                    randomize(*t, rec, rng);
                    t->update(recno, rec);
                }
            } catch (const Crash&) {
            }
            setWriteHook(nullptr);
        }
        auto t = Table::open(path);
        CheckReport r = checkTable(*t);  // may report damage; must not throw
        (void)r;
        for (const TagInfo& tag : t->index()->tags()) {
            TagCursor c(*t, tag.name);
            for (bool on = c.first(); on; on = c.next()) {
            }
        }
    }
}

// A crash at any step of a pack leaves either the old files or the new ones, whole.
TEST(Write, CrashDuringPackLeavesOldOrNewFiles) {
    struct Crash {};
    int completedWrites = 0;
    // Without and with a folder that keeps the old files: whatever it holds is the old table.
    for (const bool keepOld : {false, true})
        for (int crashAt = 1;; ++crashAt) {
            SCOPED_TRACE(keepOld ? "keeping the old files" : "dropping the old files");
            TempDir dir;
            std::string path = dir.file("K.DBF");
            createTable(path, propertyTable());
            std::map<std::string, std::vector<std::string>> oldEntries, newEntries;
            {
                auto t = Table::open(path, exclusive());
                std::mt19937 rng(3);
                for (int i = 0; i < 80; ++i) {
                    std::string rec = t->blankRecord();
                    randomize(*t, rec, rng);
                    std::uint32_t block = t->writeMemo("memo " + std::to_string(i));
                    std::memcpy(rec.data() + t->field("NOTES")->offset, &block, 4);
                    t->append(rec);
                }
                for (std::uint32_t r = 2; r <= 80; r += 4)
                    t->setDeleted(r, true);
                oldEntries = entriesOf(*t);
            }
            const std::string oldBytes = fileBytes(path);
            const std::string kept = dir.file("kept");
            bool crashed = false;
            {
                auto t = Table::open(path, exclusive());
                std::atomic<int> writes = 0;  // packs write from several threads
                setWriteHook([&](const std::string&, std::uint64_t) {
                    if (++writes == crashAt) throw Crash{};
                });
                try {
                    t->pack({}, keepOld ? kept : std::string());
                } catch (const Crash&) {
                    crashed = true;
                }
                setWriteHook(nullptr);
                if (!crashed) {
                    completedWrites = writes;
                    newEntries = entriesOf(*t);
                }
            }
            auto t = Table::open(path, exclusive());  // finishes or drops the interrupted pack
            expectStrictlyClean(*t, "after a crash at write " + std::to_string(crashAt));
            EXPECT_TRUE(t->recordCount() == 80u || t->recordCount() == 60u) << t->recordCount();
            auto now = entriesOf(*t);
            if (t->recordCount() == 80u) {
                EXPECT_EQ(now, oldEntries) << crashAt;
            }
            for (std::uint32_t r = 1; r <= t->recordCount(); ++r)
                EXPECT_EQ(t->memo(t->record(r), *t->field("NOTES")).rfind("memo ", 0), 0u);
            if (fileExists(kept + "/K.DBF")) {
                EXPECT_EQ(fileBytes(kept + "/K.DBF"), oldBytes) << crashAt;
            }
            if (!crashed) {
                if (keepOld) {
                    EXPECT_TRUE(fileExists(kept + "/K.DBF"));
                }
                break;
            }
        }
    EXPECT_GT(completedWrites, 5);
}

// A disk that fills up at any write of a pack, a reindex or a run of updates: the operation
// fails saying so, the files it was writing are gone again (the space given back), and the
// table is the old one, whole (a pack past its commit point is finished by the next open).
// The program goes on with the same table object.
TEST(Write, AFullDiskLeavesTheTableWhole) {
    const std::string full = "No space left on device";
    enum class Op { Pack, KeepingPack, Reindex, Updates };
    for (const Op op : {Op::Pack, Op::KeepingPack, Op::Reindex, Op::Updates}) {
        int completed = 0;
        for (int failAt = 1;; ++failAt) {
            SCOPED_TRACE("operation " + std::to_string(static_cast<int>(op)) + ", full at write " +
                         std::to_string(failAt));
            TempDir dir;
            const std::string path = dir.file("F.DBF");
            createTable(path, propertyTable());
            std::map<std::string, std::vector<std::string>> oldEntries;
            std::vector<std::string> oldRecords, newRecords;
            {
                auto t = Table::open(path, exclusive());
                std::mt19937 rng(5);
                appendRandom(*t, 70, rng);
                for (std::uint32_t r = 3; r <= 70; r += 5)
                    t->setDeleted(r, true);
                oldEntries = entriesOf(*t);
                for (std::uint32_t r = 1; r <= 70; ++r)
                    oldRecords.emplace_back(t->record(r), t->recordLength());
                newRecords = oldRecords;
                for (std::uint32_t r = 1; r <= 70; r += 3)
                    randomize(*t, newRecords[r - 1], rng);
            }
            std::map<std::string, std::string> oldFiles;
            for (const char* f : {"F.DBF", "F.CDX", "F.FPT"})
                oldFiles[f] = fileBytes(dir.file(f));
            bool failed = false;
            auto t = Table::open(path, exclusive());
            int writes = 0;
            setWriteHook([&](const std::string& file, std::uint64_t) {
                if (++writes == failAt) fail(code::kIoError, "Cannot write " + file + ": " + full);
            });
            try {
                switch (op) {
                    case Op::Pack:
                        t->pack();
                        break;
                    case Op::KeepingPack:
                        t->pack({}, dir.file("kept"));
                        break;
                    case Op::Reindex:
                        t->reindex();
                        break;
                    case Op::Updates:
                        for (std::uint32_t r = 1; r <= 70; r += 3)
                            t->update(r, newRecords[r - 1]);
                        break;
                }
            } catch (const Error& e) {
                failed = true;
                EXPECT_NE(std::string(e.what()).find(full), std::string::npos) << e.what();
            }
            setWriteHook(nullptr);
            if (!failed) {
                completed = writes;
                break;
            }
            const bool packPastCommit = fileExists(packMarker(path));
            // Nothing half written stays behind to hold the space.
            for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
                if (!packPastCommit) {
                    EXPECT_EQ(e.path().string().find("-new"), std::string::npos) << e.path();
                }
            }
            const bool untouched = op != Op::Updates && !packPastCommit;
            if (untouched) {
                // The old table, in the object that goes on and in the files.
                EXPECT_EQ(t->recordCount(), 70u);
                EXPECT_EQ(entriesOf(*t), oldEntries);
            }
            t.reset();
            if (untouched) {
                for (const auto& [f, bytes] : oldFiles)
                    EXPECT_EQ(fileBytes(dir.file(f)), bytes) << f;
            }
            auto again = Table::open(path, exclusive());  // finishes a pack, mends an index
            expectStrictlyClean(*again, "after the disk filled up");
            if (op == Op::Updates) {
                for (std::uint32_t r = 1; r <= 70; ++r) {
                    const std::string now(again->record(r), again->recordLength());
                    EXPECT_TRUE(now == oldRecords[r - 1] || now == newRecords[r - 1]) << r;
                }
            }
        }
        EXPECT_GT(completed, 3);
    }
}

TEST(Write, CreatedTablesDeclareTheirTags) {
    TempDir dir;
    TableDef d;
    d.codePage = 866;
    d.fields = {
        {"CODE", 'C', 5, 0}, {"NAME", 'C', 34, 0}, {"SUM", 'N', 10, 2}, {"WHEN", 'D', 8, 0}};
    d.tags = {{"dodod", "CODE", "", false, false},
              {"MGRUP_T", "UPPER(NAME)", "", false, false},
              {"SUMS", "SUM", "SUM>0", false, true},
              {"WHEN", "DTOS(WHEN)", "", true, false}};
    createTable(dir.file("mgrup.dbf"), d);
    EXPECT_TRUE(fs::exists(dir.file("mgrup.cdx")));
    EXPECT_EQ(errorCode([&] { createTable(dir.file("mgrup.dbf"), d); }), code::kUnsupported);
    auto t = Table::open(dir.file("MGRUP.DBF"));
    EXPECT_EQ(t->codePage(), 866);
    const auto& tags = t->index()->tags();
    ASSERT_EQ(tags.size(), 4u);
    EXPECT_EQ(t->index()->tag("DODOD")->keyLength, 5);
    EXPECT_EQ(t->index()->tag("MGRUP_T")->keyLength, 34);
    EXPECT_EQ(t->index()->tag("SUMS")->keyLength, 8);
    EXPECT_EQ(t->index()->tag("SUMS")->forExpression, "SUM>0");
    EXPECT_TRUE(t->index()->tag("SUMS")->descending);
    EXPECT_TRUE(t->index()->tag("WHEN")->unique);
    expectStrictlyClean(*t, "new table");
    TableDef bad = d;
    bad.tags = {{"X", "NOSUCH", "", false, false}};
    EXPECT_EQ(errorCode([&] { createTable(dir.file("b.dbf"), bad); }), code::kExpression);
}

// Rewrites of the databases of the independent engine keep its indexes clean.
TEST(Write, RewritesOfForeignDatabasesStayClean) {
    const fs::path root = LORF_FIXTURES_DIR;
    if (!fs::is_directory(root)) GTEST_SKIP() << "no fixtures at " << root;
    for (const char* db : {"ansi", "oem-upper"}) {
        TempDir dir;
        writableCopy(root / db, dir.path());
        std::string path = dir.path() + "/zapas/mlabel.dbf";
        auto t = Table::open(path, exclusive());
        std::mt19937 rng(9);
        for (int i = 0; i < 400; ++i) {
            std::uint32_t r = 1 + static_cast<std::uint32_t>(rng() % t->recordCount());
            std::string rec(t->record(r), t->recordLength());
            std::uint32_t other = 1 + static_cast<std::uint32_t>(rng() % t->recordCount());
            // Move the material to another material's group and number, as a transfer does.
            std::string grup = t->text(t->record(other), *t->field("GRUP"));
            std::string nnum = t->text(t->record(other), *t->field("NNUM")) + std::to_string(i % 3);
            t->setText(rec, *t->field("GRUP"), grup);
            t->setText(rec, *t->field("NNUM"), nnum);
            t->update(r, rec);
        }
        expectStrictlyClean(*t, std::string(db) + " after rewrites");
        t->pack();
        expectStrictlyClean(*t, std::string(db) + " after pack");
    }
}

// Leaves that lose all their entries leave the tree and wait on the free list; later splits
// take them again instead of growing the file.
TEST(Write, EmptiedLeavesAreReused) {
    TempDir dir;
    TableDef d;
    d.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}};
    d.tags = {{"MLABEL", "GRUP+NNUM", "", false, false}, {"BYNUM", "NNUM", "", false, true}};
    createTable(dir.file("F.DBF"), d);
    auto t = Table::open(dir.file("F.DBF"), exclusive());
    for (int i = 0; i < 600; ++i) {
        std::string rec = t->blankRecord();
        t->setText(rec, *t->field("GRUP"), i < 300 ? "1" : "2");
        t->setText(rec, *t->field("NNUM"), std::to_string(100000 + i * 7919 % 600));
        t->append(rec);
    }
    const TagInfo& tag = *t->index()->tag("MLABEL");
    const std::size_t leavesBefore = t->index()->leaves(tag).offsets.size();
    ASSERT_GT(leavesBefore, 4u);
    auto move = [&](const char* from, const char* to) {
        for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
            std::string rec(t->record(r), t->recordLength());
            if (t->text(rec.data(), *t->field("GRUP")) != from) continue;
            t->setText(rec, *t->field("GRUP"), to);
            t->update(r, rec);
        }
    };
    // The group's old keys go one by one, in no key order, so its leaves empty out
    // towards the end.
    for (std::uint32_t r = 1; r <= 300; ++r) {
        std::string rec(t->record(r), t->recordLength());
        t->setText(rec, *t->field("GRUP"), "9");
        t->update(r, rec);
        if (r == 150) expectStrictlyClean(*t, "half moved");
    }
    EXPECT_NE(t->index()->directory().freeList, 0u) << "no leaf was freed";
    expectStrictlyClean(*t, "after the move");
    const std::uint64_t size = t->index()->size();
    move("9", "1");
    move("2", "3");
    expectStrictlyClean(*t, "after moving back");
    EXPECT_LE(t->index()->size(), size + 4 * kNodeSize);  // freed pages served the splits
    // Emptying a tag entirely leaves an empty root leaf.
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r)
        t->setDeleted(r, true);
    t->pack();
    EXPECT_EQ(t->recordCount(), 0u);
    TagCursor c(*t, "MLABEL");
    EXPECT_FALSE(c.first());
    expectStrictlyClean(*t, "after packing everything away");
}

// The demo databases, ANSI and OEM, read back clean through every tag.
TEST(Write, DemoDatabasesCheckClean) {
    for (bool oem : {false, true}) {
        TempDir dir;
        sample::DemoOptions o;
        o.oem = oem;
        o.materials = 500;
        sample::writeDemo(dir.path(), o);
        EXPECT_EQ(fs::exists(dir.file("lorf5.dbc")), !oem);
        for (const char* t :
             {"main.dbf", "zapas/mgrup.dbf", "zapas/mlabel.dbf", "zapas/prihod.dbf"}) {
            auto table = Table::open(dir.file(t));
            EXPECT_EQ(table->codePage(), oem ? 866 : 1251) << t;
            expectStrictlyClean(*table, t);
        }
        auto mlabel = Table::open(dir.file("zapas/mlabel.dbf"));
        EXPECT_EQ(mlabel->fields().size(), 89u);
        EXPECT_EQ(mlabel->index()->tags().size(), 17u);
        std::size_t deleted = 0;
        for (std::uint32_t r = 1; r <= mlabel->recordCount(); ++r)
            deleted += mlabel->isDeleted(r);
        EXPECT_GT(deleted, 0u);
    }
}

// A search that goes on from a match finds every match in physical order, as one pass over the
// table would, and sees what was written to the table between two steps.
TEST(Write, SearchGoesOnFromEachMatchAndSeesWrites) {
    TempDir dir;
    std::string path = dir.file("S.DBF");
    createTable(path, propertyTable());
    auto t = Table::open(path, exclusive());
    std::mt19937 rng(7);
    std::string batch;
    for (int i = 0; i < 3000; ++i) {
        std::string rec = t->blankRecord();
        randomize(*t, rec, rng);
        batch += rec;
    }
    t->appendUnindexed(batch);
    t->reindex();
    PhysicalSearch s(*t, Expression::compile("GRUP='  1'", t.get(), TextMode::Ansi));
    std::vector<std::uint32_t> expected;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r)
        if (t->text(t->record(r), *t->field("GRUP")) == "  1") expected.push_back(r);
    ASSERT_GT(expected.size(), 300u);
    std::vector<std::uint32_t> found;
    for (std::uint32_t r = s.find(1); r; r = s.find(r + 1))
        found.push_back(r);
    EXPECT_EQ(found, expected);

    // A record after the first match is moved into the group between two steps.
    const std::uint32_t first = s.find(1);
    std::uint32_t other = first + 1;
    while (t->text(t->record(other), *t->field("GRUP")) == "  1")
        ++other;
    std::string rec(t->record(other), t->recordLength());
    t->setText(rec, *t->field("GRUP"), "  1");
    t->update(other, rec);
    EXPECT_EQ(s.find(first + 1), other);
}

// A worker thread that cannot be started is an error of the engine, after the threads already
// running are waited for, never an end of the program.
TEST(Write, AWorkerThatCannotStartIsAnError) {
    std::atomic<int> ran{0};
    int started = 0;
    ThreadStarter failSecond = [&](std::function<void()> task) {
        if (++started == 2) throw std::system_error(EAGAIN, std::generic_category(), "no thread");
        return std::thread(std::move(task));
    };
    EXPECT_EQ(errorCode([&] {
                  runWorkers(
                      3, [&](std::size_t) { ++ran; }, failSecond);
              }),
              code::kIoError);
    EXPECT_EQ(ran.load(), 1);  // the first worker finished and was joined
}

// Numbers typed the way a field stores them take a short way into the record; every field image
// must be the one the general formatting gives, and what does not fit is still refused.
TEST(Write, NumbersAreStoredAsTheGeneralFormattingGivesThem) {
    TempDir dir;
    TableDef d;
    d.fields = {{"A", 'N', 12, 2}, {"B", 'N', 6, 0}, {"C", 'N', 20, 5}, {"D", 'N', 4, 2}};
    createTable(dir.file("N.DBF"), d);
    auto t = Table::open(dir.file("N.DBF"), exclusive());
    std::mt19937 rng(11);
    std::vector<std::string> texts = {"0",      "-0", "-0.00", "007", "5.",   ".5",    "1e3",
                                      "12.345", "-1", "0.5",   "99",  "9.99", "-9.99", "100"};
    for (int i = 0; i < 20000; ++i) {
        std::string s = rng() % 3 == 0 ? "-" : "";
        s += std::to_string(rng() % (rng() % 2 ? 100 : 100000000));
        if (rng() % 2) s += "." + std::to_string(rng() % 1000);
        texts.push_back(s);
    }
    for (const std::string& text : texts) {
        for (const Field& f : t->fields()) {
            std::string rec = t->blankRecord();
            const std::string expected = formatNumber(std::strtod(text.c_str(), nullptr),
                                                      static_cast<int>(f.length), f.decimals);
            const bool fits = expected.find('*') == std::string::npos &&
                              (f.decimals == 0 || expected[f.length - f.decimals - 1u] == '.');
            int err = errorCode([&] { t->setText(rec, f, text); });
            if (!fits) {
                EXPECT_EQ(err, code::kUnsupported) << text << " into " << f.name;
                continue;
            }
            ASSERT_EQ(err, 0) << text << " into " << f.name;
            EXPECT_EQ(std::string(t->raw(rec.data(), f)), expected) << text << " into " << f.name;
        }
    }
}

// Every indexed table the independent engine wrote: a reindex gives the very entries it wrote,
// and reindex, deletes, recalls, appends and a pack all leave files stored exactly as other
// engines store them.
TEST(Write, EveryForeignTableStaysStrictlyCleanThroughReindexWritesAndPack) {
    const fs::path root = LORF_FIXTURES_DIR;
    if (!fs::is_directory(root)) GTEST_SKIP() << "no fixtures at " << root;
    std::size_t tables = 0;
    for (const char* db : {"ansi", "oem-upper", "codebase-examples"}) {
        TempDir dir;
        writableCopy(root / db, dir.path());
        for (const fs::path& table : tablesOf(dir.path())) {
            const std::string path = table.string();
            SCOPED_TRACE(path);
            auto t = Table::open(path, exclusive());
            if (!t->index() || t->recordCount() == 0) continue;
            ++tables;
            const auto written = entriesOf(*t);
            t->reindex();
            EXPECT_EQ(entriesOf(*t), written);
            expectStrictlyClean(*t, "after reindex");
            std::mt19937 rng(static_cast<unsigned>(tables));
            for (int i = 0; i < 200; ++i) {
                const std::uint32_t r = 1 + static_cast<std::uint32_t>(rng() % t->recordCount());
                if (rng() % 3 == 0) {
                    // A copy of a record: unique tags may refuse it, and then nothing changes.
                    std::string copy(t->record(r), t->recordLength());
                    copy[0] = ' ';
                    const int err = errorCode([&] { t->append(copy); });
                    EXPECT_TRUE(err == 0 || err == code::kUniqueKeyViolation) << err;
                } else {
                    t->setDeleted(r, rng() % 2 == 0);
                }
            }
            expectStrictlyClean(*t, "after writes");
            t->pack();
            expectStrictlyClean(*t, "after pack");
        }
    }
    EXPECT_GT(tables, 25u);
}

// A reindex takes a tag over from the old tree only where its entries are exactly the records'
// keys, and builds it from the records otherwise: an entry under a stale key, one missing, one
// too many or two out of order, in a plain tag and in a unique one.
TEST(Write, ReindexRebuildsWhatTheOldTreeGotWrong) {
    const std::vector<std::pair<std::string, std::uint32_t>> right = {
        {"a", 1}, {"b", 2}, {"b", 3}, {"c", 4}};
    auto pad = [](std::vector<std::pair<std::string, std::uint32_t>> e) {
        for (auto& [k, r] : e)
            k.resize(4, ' ');
        return e;
    };
    const std::vector<std::pair<const char*, std::vector<std::pair<std::string, std::uint32_t>>>>
        cases = {
            {"right", right},
            {"stale", {{"a", 1}, {"b", 2}, {"b", 3}, {"d", 4}}},
            {"missing", {{"a", 1}, {"b", 3}, {"c", 4}}},
            {"extra", {{"a", 1}, {"b", 2}, {"b", 3}, {"b", 4}, {"c", 4}}},
            {"disordered", {{"a", 1}, {"b", 3}, {"b", 2}, {"c", 4}}},
        };
    for (const auto& [what, entries] : cases) {
        SCOPED_TRACE(what);
        TempDir dir;
        testfmt::TableSpec s;
        s.fields = {{"NAME", 'C', 4}};
        s.records = {{"a"}, {"b"}, {"b"}, {"c"}};
        testfmt::TagSpec plain{"NAME", "NAME", "", 4, false, false, ' ', pad(entries)};
        testfmt::TagSpec unique{"ONE", "NAME", "", 4, true, false, ' ', pad(entries)};
        testfmt::writeFile(dir.file("R.DBF"), testfmt::buildDbf(s));
        testfmt::writeFile(dir.file("R.CDX"), testfmt::buildCdx({plain, unique}).bytes);
        auto t = Table::open(dir.file("R.DBF"), exclusive());
        t->reindex();
        expectStrictlyClean(*t, "after the reindex");
        EXPECT_EQ(testhelp::tagOrder(*t, "NAME"), (std::vector<std::uint32_t>{1, 2, 3, 4}));
        EXPECT_EQ(testhelp::tagOrder(*t, "ONE"), (std::vector<std::uint32_t>{1, 2, 4}));
    }
}
