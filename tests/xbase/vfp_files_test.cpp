// What Visual FoxPro writes into its files, each fact in a table built byte by byte from the
// published layouts: rewritten-node marks, tags over nullable values, candidate tags, binary
// indexes, and writes that change nothing when they cannot be done right.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine_helpers.h"
#include "format_builder.h"
#include "temp_dir.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
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
using testhelp::tagOrder;

std::string pad(std::string s, std::size_t n, char with = ' ') {
    s.resize(n, with);
    return s;
}

// A Visual FoxPro table of materials with a nullable CITY: ID C(2), CITY C(10) nullable, and
// the _NullFlags field that marks a null CITY.
struct VfpTable {
    TempDir dir;
    std::string dbf = dir.file("T.DBF"), cdx = dir.file("T.CDX");

    void write(const std::vector<std::pair<std::string, std::optional<std::string>>>& rows,
               const std::vector<testfmt::TagSpec>& tags) {
        testfmt::TableSpec s;
        s.version = 0x30;
        s.codePageByte = 0x03;
        s.fields = {{"ID", 'C', 2}, {"CITY", 'C', 10, 0, 0x02}, {"_NullFlags", '0', 1, 0, 0x05}};
        for (const auto& [id, city] : rows)
            s.records.push_back({id, city ? *city : "", city ? std::string(1, '\0') : "\x01"});
        testfmt::writeFile(dbf, testfmt::buildDbf(s));
        testfmt::writeFile(cdx, testfmt::buildCdx(tags).bytes);
    }
};

testfmt::TagSpec tagOf(const std::string& name, const std::string& key, std::uint16_t length,
                       std::vector<std::pair<std::string, std::uint32_t>> entries) {
    std::sort(entries.begin(), entries.end());
    testfmt::TagSpec t;
    t.name = name;
    t.keyExpression = key;
    t.keyLength = length;
    t.entries = std::move(entries);
    return t;
}

}  // namespace

// Nodes Visual FoxPro rewrote carry 0x04 in their attributes: they are the nodes they are. A
// node this engine writes carries the kind bits alone.
TEST(VfpFiles, NodesMarkedAsRewrittenReadAsTheirKind) {
    VfpTable t;
    std::vector<std::pair<std::string, std::optional<std::string>>> rows;
    std::vector<std::pair<std::string, std::uint32_t>> entries;
    for (std::uint32_t i = 1; i <= 60; ++i) {
        std::string id = std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i % 10);
        rows.emplace_back(id, "C" + std::to_string(i));
        entries.emplace_back(id, i);
    }
    auto tag = tagOf("ID", "ID", 2, entries);
    tag.maxPerLeaf = 8;
    tag.maxPerInterior = 3;
    tag.attributeMark = 0x04;
    t.write(rows, {tag});
    auto table = Table::open(t.dbf, exclusive());
    std::vector<std::uint32_t> expected;
    for (const auto& e : tag.entries)
        expected.push_back(e.second);
    EXPECT_EQ(tagOrder(*table, "ID"), expected);
    EXPECT_TRUE(checkTable(*table).strict());
    const TagInfo& info = *table->index()->tag("ID");
    EXPECT_EQ(table->index()->readNode(info, info.root).attributes, 1 | 4);

    // A write rewrites the nodes on its way, plain.
    std::string rec(table->record(1), table->recordLength());
    table->setText(rec, *table->field("ID"), "ZZ");
    table->update(1, rec);
    EXPECT_TRUE(checkTable(*table).strict());
    EXPECT_EQ(table->index()->readNode(info, info.root).attributes, 1);
}

// A tag over a nullable column stores a leading byte, 0x80 before a value and 0x00 for null
// (the value part then all pad bytes), and its key is one byte longer than the value.
TEST(VfpFiles, TagsOverNullableValuesKeepTheirLeadingByte) {
    VfpTable t;
    auto city = tagOf("CITY", "CITY", 11,
                      {{"\x80" + pad("Berlin", 10), 1},
                       {std::string(1, '\0') + pad("", 10), 2},
                       {"\x80" + pad("Anchorage", 10), 3}});
    city.options = 0x02;
    t.write({{"a", "Berlin"}, {"b", std::nullopt}, {"c", "Anchorage"}}, {city});
    {
        auto table = Table::open(t.dbf);
        EXPECT_EQ(tagOrder(*table, "CITY"), (std::vector<std::uint32_t>{2, 3, 1}));
        EXPECT_TRUE(checkTable(*table).strict());
        TagCursor c(*table, "CITY");
        auto key = keyFromText(*table, c.tag(), "Berlin");
        ASSERT_TRUE(key.has_value());
        ASSERT_TRUE(c.seek(*key));
        EXPECT_EQ(c.recno(), 1u);
    }
    // Writes keep one entry per record: a value becomes null, null becomes a value.
    auto table = Table::open(t.dbf, exclusive());
    std::string rec(table->record(2), table->recordLength());
    table->setText(rec, *table->field("CITY"), "Zurich");
    table->update(2, rec);
    std::string third(table->record(3), table->recordLength());
    third[table->field("_NullFlags")->offset] = '\x01';
    table->update(3, third);
    EXPECT_EQ(tagOrder(*table, "CITY"), (std::vector<std::uint32_t>{3, 1, 2}));
    EXPECT_TRUE(checkTable(*table).strict());
    table->pack();
    EXPECT_TRUE(table->index()->tag("CITY")->nullable());
    EXPECT_EQ(table->index()->tag("CITY")->keyLength, 11);
    EXPECT_TRUE(checkTable(*table).strict());
}

// A candidate tag holds every record and refuses a second record with a key it holds; a pack
// keeps it a candidate tag.
TEST(VfpFiles, CandidateTagsRefuseDuplicatesAndStayCandidates) {
    VfpTable t;
    auto id = tagOf("ID", "ID", 2, {{"a ", 1}, {"b ", 2}});
    id.options = 0x04;
    t.write({{"a", "X"}, {"b", "Y"}}, {id});
    auto table = Table::open(t.dbf, exclusive());
    EXPECT_TRUE(table->index()->tag("ID")->candidate());
    const std::string dbfBefore = fileBytes(t.dbf), cdxBefore = fileBytes(t.cdx);
    std::string rec(table->record(1), table->recordLength());
    EXPECT_EQ(errorCode([&] { table->append(rec); }), code::kUniqueKeyViolation);
    EXPECT_EQ(errorCode([&] {
                  std::string second(table->record(2), table->recordLength());
                  table->setText(second, *table->field("ID"), "a");
                  table->update(2, second);
              }),
              code::kUniqueKeyViolation);
    EXPECT_EQ(fileBytes(t.dbf), dbfBefore);
    EXPECT_EQ(fileBytes(t.cdx), cdxBefore);
    table->setDeleted(2, true);
    table->pack();
    EXPECT_TRUE(table->index()->tag("ID")->candidate());
    EXPECT_TRUE(checkTable(*table).strict());
}

// A Visual FoxPro 9 binary index is not read: the check says so as unsupported, not as damage,
// and a write that would change it is refused before any byte changes.
TEST(VfpFiles, BinaryIndexesAreUnsupportedNotDamaged) {
    VfpTable t;
    auto live = tagOf("LIVE", ".NOT.DELETED()", 1, {{"T", 1}, {"T", 2}});
    live.signature = 5;
    t.write({{"a", "X"}, {"b", "Y"}}, {tagOf("ID", "ID", 2, {{"a ", 1}, {"b ", 2}}), live});
    auto table = Table::open(t.dbf, exclusive());
    CheckReport r = checkTable(*table);
    EXPECT_TRUE(r.ok());
    // Its pages, not read, count as wasted space besides.
    EXPECT_TRUE(std::any_of(r.warnings.begin(), r.warnings.end(), [](const std::string& w) {
        return w.find("tag LIVE: a binary index (signature 5), not read: unsupported") !=
               std::string::npos;
    }));
    const std::string dbfBefore = fileBytes(t.dbf), cdxBefore = fileBytes(t.cdx);
    for (const auto& write :
         std::vector<std::function<void()>>{[&] { table->setDeleted(1, true); },
                                            [&] { table->pack(); }, [&] { table->reindex(); }}) {
        try {
            write();
            ADD_FAILURE() << "a write that changes the binary index was done";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::kUnsupported);
            EXPECT_NE(std::string(e.what()).find("binary index"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(fileBytes(t.dbf), dbfBefore);
    EXPECT_EQ(fileBytes(t.cdx), cdxBefore);
    EXPECT_EQ(errorCode([&] { TagCursor(*table, "LIVE").first(); }), code::kUnsupported);
}

// A tag that does not hold a record under its present key is out of date: rewriting the record
// is refused before any byte changes. A write that fails part-way (the disk) leaves a marker,
// and the next exclusive open rebuilds the index.
TEST(VfpFiles, AFailingWriteChangesNothingOrIsRepairedAtTheNextOpen) {
    VfpTable t;
    // Record 2's key in the tag is stale: the table says "b", the tag "q".
    t.write({{"a", "X"}, {"b", "Y"}, {"c", "Z"}},
            {tagOf("ID", "ID", 2, {{"a ", 1}, {"q ", 2}, {"c ", 3}})});
    {
        auto table = Table::open(t.dbf, exclusive());
        const std::string dbfBefore = fileBytes(t.dbf), cdxBefore = fileBytes(t.cdx);
        std::string rec(table->record(2), table->recordLength());
        table->setText(rec, *table->field("ID"), "d");
        EXPECT_EQ(errorCode([&] { table->update(2, rec); }), code::kCorruptIndex);
        EXPECT_EQ(fileBytes(t.dbf), dbfBefore);
        EXPECT_EQ(fileBytes(t.cdx), cdxBefore);
        table->reindex();
    }
    {
        auto table = Table::open(t.dbf, exclusive());
        std::string rec(table->record(3), table->recordLength());
        table->setText(rec, *table->field("ID"), "0");
        setWriteHook([](const std::string& path, std::uint64_t) {
            if (path.size() > 4 && path.substr(path.size() - 4) == ".CDX")
                throw Error(code::kIoError, path + ": no space left on the device");
        });
        EXPECT_EQ(errorCode([&] { table->update(3, rec); }), code::kIoError);
        setWriteHook(nullptr);
    }
    EXPECT_TRUE(fileExists(t.dbf + ".index-stale"));
    {
        auto shared = Table::open(t.dbf);
        ASSERT_FALSE(shared->warnings().empty());
        EXPECT_NE(shared->warnings()[0].find("out of date"), std::string::npos);
    }
    auto table = Table::open(t.dbf, exclusive());
    EXPECT_FALSE(fileExists(t.dbf + ".index-stale"));
    EXPECT_TRUE(checkTable(*table).strict());
    EXPECT_EQ(tagOrder(*table, "ID"), (std::vector<std::uint32_t>{3, 1, 2}));
}

// A key whose length follows the data (TRIM() and its kin) says nothing of its length on an
// empty table.
TEST(VfpFiles, TrimmedKeysOnAnEmptyTableAreNoError) {
    VfpTable t;
    t.write({}, {tagOf("CITYT", "ALLTRIM(UPPER(CITY))", 10, {})});
    auto table = Table::open(t.dbf);
    CheckReport r = checkTable(*table);
    EXPECT_TRUE(r.strict()) << (r.problems.empty() ? "" : r.problems[0]);
}

// A table bound to a database container names it in the last 263 bytes of its header; the
// container's Field records, in order, give the long names of the table's fields, which key
// expressions and look-ups may use.
TEST(VfpFiles, LongFieldNamesComeFromTheDatabaseContainer) {
    TempDir dir;
    const testfmt::Container c = testfmt::buildContainer(
        {{"materials", {"groupcodelong", "itemnumberofmaterial"}}, {"other", {"unrelated"}}});
    testfmt::writeFile(dir.file("SHOP.DBC"), c.dbc);
    testfmt::writeFile(dir.file("SHOP.DCT"), c.dct);
    testfmt::TableSpec s;
    s.version = 0x30;
    s.fields = {{"GROUPCODEL", 'C', 5}, {"ITEMNUMBER", 'C', 13}};
    s.records = {{"  2", "B"}, {"  1", "A"}};
    std::string bytes = testfmt::buildDbf(s);
    testfmt::setBacklink(bytes, "shop.dbc");
    testfmt::writeFile(dir.file("MATERIALS.DBF"), bytes);
    auto tag = tagOf("BYPAIR", "groupcodelong+itemnumberofmaterial", 18,
                     {{pad("  2", 5) + pad("B", 13), 1}, {pad("  1", 5) + pad("A", 13), 2}});
    testfmt::writeFile(dir.file("MATERIALS.CDX"), testfmt::buildCdx({tag}).bytes);

    auto t = Table::open(dir.file("MATERIALS.DBF"), exclusive());
    EXPECT_TRUE(t->warnings().empty()) << t->warnings()[0];
    ASSERT_NE(t->field("itemnumberofmaterial"), nullptr);
    EXPECT_EQ(t->field("ItemNumberOfMaterial"), t->field("ITEMNUMBER"));
    EXPECT_EQ(t->field("GROUPCODEL")->longName, "groupcodelong");
    EXPECT_EQ(tagOrder(*t, "BYPAIR"), (std::vector<std::uint32_t>{2, 1}));
    EXPECT_TRUE(checkTable(*t).strict());
    std::string rec(t->record(1), t->recordLength());
    t->setText(rec, *t->field("groupcodelong"), "  0");
    t->update(1, rec);
    t->pack();
    EXPECT_EQ(tagOrder(*t, "BYPAIR"), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(checkTable(*t).strict());

    // Without its container the table still opens; the names it cannot know are said so, and
    // the tag that needs them is beyond the engine, not damaged.
    t.reset();
    fs::remove(dir.file("SHOP.DBC"));
    auto alone = Table::open(dir.file("MATERIALS.DBF"));
    ASSERT_FALSE(alone->warnings().empty());
    EXPECT_NE(alone->warnings()[0].find("the long field names are not known"), std::string::npos);
    CheckReport r = checkTable(*alone);
    EXPECT_TRUE(r.ok());
}

// A structural index beside a table whose header does not flag it is read and reported as a
// warning; the first write flags it, as every table the engine writes or packs is flagged.
TEST(VfpFiles, AnUnflaggedIndexIsReadAndFlaggedByTheFirstWrite) {
    TempDir dir;
    testfmt::TableSpec s;
    s.version = 0x30;
    s.tableFlags = 0;
    s.fields = {{"ID", 'C', 2}};
    s.records = {{"a"}, {"b"}};
    testfmt::writeFile(dir.file("U.DBF"), testfmt::buildDbf(s));
    testfmt::writeFile(dir.file("U.CDX"),
                       testfmt::buildCdx({tagOf("ID", "ID", 2, {{"a ", 1}, {"b ", 2}})}).bytes);
    {
        auto t = Table::open(dir.file("U.DBF"), exclusive());
        CheckReport r = checkTable(*t);
        EXPECT_TRUE(r.ok());
        ASSERT_EQ(r.warnings.size(), 1u);
        EXPECT_NE(r.warnings[0].find("does not flag it"), std::string::npos);
        t->setDeleted(2, true);
    }
    auto t = Table::open(dir.file("U.DBF"), exclusive());
    EXPECT_EQ(t->header().tableFlags & 0x01, 0x01);
    EXPECT_TRUE(checkTable(*t).strict());
}
