// Tables whose tags are built under a collation: writes on copies of another engine's
// databases keep every tag exact, and a file whose stored keys are not the ones the engine
// computes is read but never written, nor answered from on a guess.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine_helpers.h"
#include "format_builder.h"
#include "temp_dir.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/collation.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/file.h"
#include "xbase/key.h"

using namespace xbase;
namespace fs = std::filesystem;

namespace {

using testhelp::errorCode;
using testhelp::exclusive;
using testhelp::fileBytes;

const fs::path kRoot = LORF_FIXTURES_DIR;

using testhelp::expectStrictlyClean;

using TagShape = std::tuple<std::string, std::uint16_t, std::uint8_t, std::uint8_t, std::string>;
std::vector<TagShape> shapes(const Table& t) {
    std::vector<TagShape> out;
    for (const TagInfo& tag : t.index()->tags())
        out.emplace_back(tag.name, tag.keyLength, tag.options, tag.signature, tag.collation);
    return out;
}

// The key a record's field gives under tag `tag`, as an exact seek looks for it.
std::uint32_t seekRecord(const Table& t, const std::string& tag, const char* rec, const Field& f) {
    TagCursor c(t, tag);
    c.setShowDeleted(true);
    std::string value(t.raw(rec, f));
    std::string key;
    Collation::find(c.tag().collation, t.codePage())->keyInto(value, c.tag().keyLength, key);
    return c.seek(key) ? c.recno() : 0;
}

}  // namespace

// On copies of the other engine's RUSSIAN (1251 and 866) and GENERAL (1252) databases: a
// rewrite of fields under tags, an append, a deletion, a pack and a reindex each leave every
// tag strictly clean, every stored key the computed one, and every tag's collation, key
// length, options and signature as they were.
TEST(CollatedTables, WritesOnCopiesOfAnotherEnginesDatabasesStayExact) {
    if (!fs::is_directory(kRoot)) GTEST_SKIP() << "no fixtures at " << kRoot;
    // Per database: the bytes written into GRUP and NAME, in the table's own code page (Ґ and
    // Ё under RUSSIAN 1251, letters 866 has, a letter GENERAL expands).
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"russian-ansi", "\xA5\xB8", "\xA8\xEB\xEA\xE0 \xB4\xE0\xED\xEE\xEA"},
        {"russian-oem", "\xF0\xA0", "\xF0\xAB\xAA\xA0 \x85\x8B\x8A\x80"},
        {"general-1252",
         "\xC6"
         "a",
         "Stra\xDF"
         "e \xD8re"},
    };
    for (const auto& [db, grup, name] : cases) {
        SCOPED_TRACE(db);
        TempDir dir;
        testhelp::writableCopy(kRoot / db, dir.path());
        const std::string path = (fs::path(dir.path()) / "zapas" / "mlabel.dbf").string();
        auto t = Table::open(path, exclusive());
        const auto before = shapes(*t);
        std::string rec(t->record(5), t->recordLength());
        const Field& g = *t->field("GRUP");
        const Field& n = *t->field("NAME");
        std::memcpy(rec.data() + g.offset, grup.data(), grup.size());
        std::memcpy(rec.data() + n.offset, name.data(), name.size());
        t->update(5, rec);
        expectStrictlyClean(*t, "after the rewrite");
        EXPECT_EQ(seekRecord(*t, "MLAB_ST", t->record(5), n), 5u);
        rec[g.offset + 2] = 'x';
        const std::uint32_t added = t->append(rec);
        t->setDeleted(7, true);
        expectStrictlyClean(*t, "after the append and the deletion");
        EXPECT_EQ(seekRecord(*t, "MLABEL_T", t->record(added), *t->field("NNUM")), 5u);
        t->pack();
        expectStrictlyClean(*t, "after the pack");
        t->reindex();
        expectStrictlyClean(*t, "after the reindex");
        EXPECT_EQ(shapes(*t), before);
        // What was written reads back through the tags after all that, and the collation's
        // name stands where Visual FoxPro reads it.
        const std::string cdxPath = t->index()->path();
        t.reset();
        auto again = Table::open(path);
        expectStrictlyClean(*again, "opened again");
        const std::string cdx = fileBytes(cdxPath);
        for (const TagInfo& tag : again->index()->tags()) {
            std::string stored = tag.collation == "MACHINE" ? "" : tag.collation;
            stored.resize(8, '\0');
            ASSERT_GE(cdx.size(), tag.headerOffset + 0x1EEu + 8);
            EXPECT_EQ(cdx.substr(tag.headerOffset + 0x1EE, 8), stored) << tag.name;
        }
    }
}

// A RUSSIAN tag whose writer weighed Ё as Е: sound and in order, but not the keys the engine
// computes. The check names the entry; every write that would change the tag is refused before
// any byte changes, naming the tag, the record and both keys; a write that keeps the tag's key
// goes through; the table stays readable and says its keys are not to be trusted.
TEST(CollatedTables, AFileWeighedOtherwiseIsReadButNotWritten) {
    TempDir dir;
    const Collation& russian = *Collation::find("RUSSIAN", 1251);
    auto key = [&](const std::string& v) {
        std::string k;
        russian.keyInto(v, 6, k);
        return k;
    };
    testfmt::TableSpec s;
    s.codePageByte = 0xC9;
    s.fields = {{"GRUP", 'C', 3}, {"NOTE", 'C', 4}};
    // Е1, Ё1 and Ж1: the file's writer gave Ё1 the key of Е1.
    s.records = {{"\xC5\x31", "a"}, {"\xA8\x31", "b"}, {"\xC6\x31", "c"}};
    testfmt::TagSpec tag{
        "G",   "GRUP", "",   6,
        false, false,  '\0', {{key("\xC5\x31"), 1}, {key("\xC5\x31"), 2}, {key("\xC6\x31"), 3}}};
    tag.collation = "RUSSIAN";
    tag.signature = 2;
    testfmt::writeFile(dir.file("R.DBF"), testfmt::buildDbf(s));
    testfmt::writeFile(dir.file("R.CDX"), testfmt::buildCdx({tag}).bytes);
    const auto files = [&] { return fileBytes(dir.file("R.DBF")) + fileBytes(dir.file("R.CDX")); };
    const std::string original = files();
    const std::string originalIndex = fileBytes(dir.file("R.CDX"));

    auto t = Table::open(dir.file("R.DBF"), exclusive());
    CheckReport r = checkTable(*t);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(t->keysTrusted(0));
    const std::string why = t->untrustedReason(0);
    for (const std::string& part :
         {std::string("tag G"), std::string("RUSSIAN"), std::string("record 2"),
          ascii::hex(key("\xC5\x31")), ascii::hex(key("\xA8\x31"))})
        EXPECT_NE(why.find(part), std::string::npos) << why;

    std::string rec(t->record(3), t->recordLength());
    t->setText(rec, *t->field("GRUP"), "\xC0");
    // Each on a table just opened, its keys not yet proven: a record write proves them first,
    // a pack or a reindex by rebuilding.
    const std::vector<std::pair<const char*, std::function<void(Table&)>>> writes = {
        {"update", [&](Table& w) { w.update(3, rec); }},
        {"append", [&](Table& w) { w.append(rec); }},
        {"pack", [&](Table& w) { w.pack(); }},
        {"reindex", [&](Table& w) { w.reindex(); }},
    };
    t.reset();
    for (const auto& [what, write] : writes) {
        SCOPED_TRACE(what);
        auto fresh = Table::open(dir.file("R.DBF"), exclusive());
        try {
            write(*fresh);
            ADD_FAILURE() << "written";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::kUnsupported);
            EXPECT_NE(std::string(e.what()).find("record 2"), std::string::npos) << e.what();
        }
        fresh.reset();  // an exclusive open shares nothing, not even reading, on Windows
        EXPECT_TRUE(files() == original) << "a refused write changed the files";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
            << "a refused write left files behind";
    }
    t = Table::open(dir.file("R.DBF"), exclusive());
    // NOTE is under no tag, and a deletion changes no key: such writes leave G alone.
    std::string note(t->record(2), t->recordLength());
    t->setText(note, *t->field("NOTE"), "z");
    t->update(2, note);
    t->setDeleted(1, true);
    EXPECT_EQ(t->text(t->record(2), *t->field("NOTE")), "z");
    // Reading in the stored order still works.
    EXPECT_EQ(testhelp::tagOrder(*t, "G"), (std::vector<std::uint32_t>{1, 2, 3}));
    t.reset();
    EXPECT_TRUE(fileBytes(dir.file("R.CDX")) == originalIndex);
}

// What a transfer does to each listed table, on copies of the collated databases: a pack that
// gives some materials new pairs. Both tables stay strictly clean, their tags under their
// collations, and the materials are found under the new pairs through the tags.
TEST(CollatedTables, APackThatMovesMaterialsKeepsEveryTagExact) {
    if (!fs::is_directory(kRoot)) GTEST_SKIP() << "no fixtures at " << kRoot;
    for (const char* db : {"russian-ansi", "russian-oem", "general-1252"}) {
        SCOPED_TRACE(db);
        TempDir dir;
        testhelp::writableCopy(kRoot / db, dir.path());
        // Every twentieth material of mlabel, by its raw pair.
        std::set<std::string> moving;
        {
            auto m = Table::open((fs::path(dir.path()) / "zapas" / "mlabel.dbf").string());
            const Field& g = *m->field("GRUP");
            const Field& n = *m->field("NNUM");
            for (std::uint32_t r = 1; r <= m->recordCount(); r += 20)
                moving.insert(std::string(m->raw(m->record(r), g)) +
                              std::string(m->raw(m->record(r), n)));
        }
        for (const char* table : {"mlabel", "prihod"}) {
            SCOPED_TRACE(table);
            const std::string path = (fs::path(dir.path()) / "zapas" / table).string() + ".dbf";
            auto t = Table::open(path, exclusive());
            const auto before = shapes(*t);
            const Field& g = *t->field("GRUP");
            const Field& n = *t->field("NNUM");
            std::size_t moved = 0;
            t->pack([&](const char* rec, std::string& changed) {
                const std::string pair = std::string(t->raw(rec, g)) + std::string(t->raw(rec, n));
                if (!moving.count(pair)) return false;
                changed.assign(rec, t->recordLength());
                const std::string number = "MV-" + std::to_string(moved++);
                std::memset(changed.data() + n.offset, ' ', n.length);
                std::memcpy(changed.data() + n.offset, number.data(), number.size());
                return true;
            });
            EXPECT_GT(moved, 0u);
            expectStrictlyClean(*t, "after the moving pack");
            EXPECT_EQ(shapes(*t), before);
            // Each moved material is found under its new pair through the collated tag: an
            // exact seek for the weights of its own GRUP+NNUM (prihod) or NNUM (mlabel).
            const bool pairTag = std::string(table) == "prihod";
            TagCursor c(*t, pairTag ? "PRIH" : "MLABEL_T");
            c.setShowDeleted(true);
            const Collation& coll = *Collation::find(c.tag().collation, t->codePage());
            std::size_t found = 0;
            for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
                const char* rec = t->record(r);
                if (t->raw(rec, n).substr(0, 3) != "MV-") continue;
                const std::string value =
                    pairTag ? std::string(t->raw(rec, g)) + std::string(t->raw(rec, n))
                            : std::string(t->raw(rec, n));
                std::string key;
                coll.keyInto(value, c.tag().keyLength, key);
                ASSERT_TRUE(c.seek(key)) << r;
                bool here = false;
                for (bool on = true; on && c.key() == key; on = c.next())
                    here = here || c.recno() == r;
                EXPECT_TRUE(here) << r;
                ++found;
            }
            EXPECT_EQ(found, moved);
        }
    }
}
