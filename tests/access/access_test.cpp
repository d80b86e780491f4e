#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "../common/test_text.h"
#include "../xbase/format_builder.h"
#include "../xbase/temp_dir.h"
#include "access/ads.h"
#include "sample_db.h"
#include "xbase/check.h"
#include "xbase/codepage.h"
#include "xbase/collation.h"

using namespace ads;
using db::Value;
namespace fs = std::filesystem;

namespace {

using testtext::ansi;
using testtext::errorText;

// The settings exist once per process, as in the program.
TAdsSettings& settings() {
    static TAdsSettings* s = [] {
        auto* p = new TAdsSettings();
        p->setDateFormat("dd.MM.yyyy");
        p->setShowDeleted(false);
        p->setAdsServerTypes(stADS_LOCAL);
        return p;
    }();
    return *s;
}

// A dataset as the program browses a table: read only, Visual FoxPro, in `index` order (none:
// the records' order).
void browsing(TAdsTable& t, TAdsConnection& con, const std::string& table,
              const std::string& index = {}) {
    t.setAdsConnection(&con);
    t.setTableType(TAdsTableType::ttAdsVFP);
    t.setReadOnlyOpen(true);
    t.setTableName(table);
    if (!index.empty()) t.setIndexName(index);
}

// A demo accounting database and the browsing datasets over it.
class AccessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settings();
        sample::DemoOptions o;
        o.materials = 600;
        o.groups = 20;
        sample::writeDemo(dir.path(), o);
        con.setConnectPath(dir.path() + "\\");
        browsing(mlabel, con, "zapas\\mlabel.dbf", "MLABEL");
        browsing(mlabelV, con, "zapas\\mlabel.dbf", "MLABEL");
        browsing(mgrup, con, "zapas\\mgrup.dbf", "DODOD");
        for (TAdsTable* t : {&mlabel, &mgrup, &mlabelV})
            t->setSequenced(true);
        mgrupSrc.setDataset(&mgrup);
        mlabel.setMasterSource(&mgrupSrc, "CODE");
    }
    // Every visible material of the table as (GRUP, NNUM), straight from the engine.
    std::multiset<std::pair<std::string, std::string>> materialsOf(const std::string& grup) {
        auto t = xbase::Table::open(dir.file("zapas/mlabel.dbf"));
        std::multiset<std::pair<std::string, std::string>> out;
        for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
            const char* rec = t->record(r);
            if (rec[0] == '*') continue;
            std::string g = t->text(rec, *t->field("GRUP"));
            if (g == grup) out.emplace(g, t->text(rec, *t->field("NNUM")));
        }
        return out;
    }
    TempDir dir;
    TAdsConnection con{"AdsCon"};
    TAdsTable mlabel{"mlabel"}, mgrup{"mgrup"}, mlabelV{"MlabelV"};
    db::DataSource mgrupSrc{"mgrupSrc"};
};

}  // namespace

TEST_F(AccessTest, TheGroupRangeShowsTheCurrentGroupsMaterials) {
    mlabel.open();
    mgrup.open();
    int groups = 0, withMaterials = 0;
    for (mgrup.first(); !mgrup.eof(); mgrup.next()) {
        std::string code = mgrup.fieldByName("CODE").asString();
        std::multiset<std::pair<std::string, std::string>> shown;
        std::string previous;
        for (mlabel.first(); !mlabel.eof(); mlabel.next()) {
            std::string nnum = mlabel.fieldByName("NNUM").asString();
            shown.emplace(mlabel.fieldByName("GRUP").asString(), nnum);
            EXPECT_LE(previous, nnum) << "item number order";
            previous = nnum;
        }
        EXPECT_EQ(shown, materialsOf(code)) << "group [" << code << "]";
        if (shown.empty()) {
            EXPECT_TRUE(mlabel.isEmpty());
            EXPECT_EQ(mlabel.recNo(), 0);
        } else {
            ++withMaterials;
        }
        ++groups;
    }
    EXPECT_EQ(groups, 20);
    EXPECT_LT(withMaterials, groups);  // the demo keeps empty groups
    EXPECT_GT(withMaterials, 10);
}

TEST_F(AccessTest, CountsPositionsAndIndexChanges) {
    mlabel.open();
    EXPECT_GT(mlabel.recordCount(), 500);  // whole table until the master opens
    mgrup.open();
    ASSERT_TRUE(mgrup.locate("CODE", {Value(std::string("  2"))}));
    std::int64_t whole = mlabel.recordCount();
    auto group = materialsOf("  2");
    ASSERT_GT(group.size(), 3u);
    EXPECT_EQ(mlabel.recordCount(), whole);  // the range does not narrow the count
    mlabel.setScopeOptions(TAdsScopeOptions::RESPECT_SCOPES_WHEN_COUNTING);
    EXPECT_EQ(mlabel.recordCount(), static_cast<std::int64_t>(group.size()));

    // A record number saved and set again after a pass over the group finds the same record.
    mlabel.first();
    mlabel.next();
    mlabel.next();
    std::string nnum = mlabel.fieldByName("NNUM").asString();
    std::int64_t n = mlabel.recNo();
    for (mlabel.first(); !mlabel.eof(); mlabel.next()) {
    }
    mlabel.setRecNo(n);
    EXPECT_EQ(mlabel.fieldByName("NNUM").asString(), nnum);

    // The groups by name: the same group stays current and the materials keep theirs.
    mgrup.setIndexName("MGRUP_T");
    EXPECT_EQ(mgrup.fieldByName("CODE").asString(), "  2");
    EXPECT_EQ(mlabel.fieldByName("NNUM").asString(), nnum);
    // Setting the materials' index again goes to the group's first material.
    mlabel.setIndexName("MLABEL");
    mlabel.prior();
    EXPECT_TRUE(mlabel.bof());
    EXPECT_EQ(errorText([&] { mgrup.setIndexName("NOSUCH"); }).rfind("mgrup: ", 0), 0u);
    EXPECT_EQ(mgrup.indexName(), "MGRUP_T");
}

TEST_F(AccessTest, LocateAndLookUp) {
    mlabel.open();
    mgrup.open();
    mlabelV.open();
    auto group = materialsOf("  3");
    ASSERT_FALSE(group.empty());
    const auto& [g, n] = *group.begin();
    // MlabelV has no range: the pair is found whatever group mgrup shows.
    EXPECT_TRUE(mlabelV.locate("GRUP;NNUM", {Value(g), Value(n)}));
    EXPECT_EQ(mlabelV.fieldByName("nnum").asString(), n);
    EXPECT_EQ(mlabelV.lookup("GRUP;NNUM",
                             {Value(std::string("  3")), Value(std::string("no such"))}, "Name"),
              Value{});
    Value name = mlabelV.lookup("grup;nnum", {Value(g), Value(n)}, "Name");
    EXPECT_FALSE(std::holds_alternative<std::monostate>(name));
    EXPECT_TRUE(mgrup.locate("CODE", {Value(g)}));
    EXPECT_TRUE(mlabel.locate("GRUP;NNUM", {Value(g), Value(n)}));
    EXPECT_EQ(mlabel.fieldByName("NNUM").asString(), n);
    // Locate without a fitting index steps through the records.
    EXPECT_TRUE(mlabelV.locate("NAME", {mlabelV.fieldByName("NAME").value()}));
    EXPECT_EQ(errorText([&] { mlabelV.locate("NOSUCH", {Value(std::string("x"))}); }),
              "MlabelV: Field 'NOSUCH' not found");
}

TEST_F(AccessTest, ExpressionSearchGoesInFileOrder) {
    TAdsTable through("MlabelThrough");
    browsing(through, con, "zapas\\mlabel.dbf", "MLABEL");
    through.open();
    auto t = xbase::Table::open(dir.file("zapas/mlabel.dbf"));
    std::string word = ansi("ТРУБА");
    std::vector<std::uint32_t> expected;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
        const char* rec = t->record(r);
        if (rec[0] == '*') continue;
        std::string name = t->text(rec, *t->field("NAME"));
        for (char& c : name)
            c = static_cast<char>(xbase::CodePage::get(1251).upper(static_cast<unsigned char>(c)));
        if (name.find(word) != std::string::npos) expected.push_back(r);
    }
    ASSERT_GE(expected.size(), 2u);
    std::vector<std::uint32_t> found;
    for (bool ok = LocateExpression(through, "AT('" + word + "',UPPER(NAME))>0"); ok;
         ok = ContinueExpression(through))
        found.push_back(through.currentRecno());
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(through.eof());  // nothing more: on the last record
    EXPECT_FALSE(LocateExpression(through, "AT('zzz',NAME)>0"));
    EXPECT_FALSE(ContinueExpression(through));
    std::string err = errorText([&] { LocateExpression(through, "AT('x',"); });
    EXPECT_EQ(err.rfind("MlabelThrough: ", 0), 0u) << err;
}

TEST_F(AccessTest, RewritingAndPackingAListedTable) {
    TAdsTable r("AdsTableR");
    r.setAdsConnection(&con);
    r.setTableType(TAdsTableType::ttAdsCDX);
    r.setExclusive(true);
    r.setIndexCollationMismatch(TIndexCollationMismatch::icmIgnore);
    EXPECT_EQ(errorText([&] { r.open(); }), "AdsTableR: Missing TableName property");
    r.setTableName("zapas\\nosuch.dbf");
    EXPECT_EQ(errorText([&] { r.open(); }).rfind("AdsTableR: ", 0), 0u);
    try {
        r.open();
    } catch (const EADSDatabaseError& e) {
        EXPECT_EQ(e.code(), xbase::code::kFileNotFound);
        EXPECT_EQ(e.componentName(), "AdsTableR");
        EXPECT_EQ(e.tableName, "zapas\\nosuch.dbf");
    }
    r.setTableName("zapas\\prihod.dbf");
    mlabel.setTableName("zapas\\prihod.dbf");
    mlabel.setIndexName("PRIH");
    mlabel.setMasterSource(nullptr, "");
    mlabel.open();  // held shared by another dataset
    EXPECT_EQ(errorText([&] { r.open(); }).rfind("AdsTableR: ", 0), 0u);
    mlabel.close();
    r.open();
    EXPECT_EQ(errorText([&] { r.fieldByName("grup").setAsString("x"); }),
              "AdsTableR: Dataset not in edit mode");
    EXPECT_EQ(errorText([&] { r.fieldByName("NOPE"); }), "AdsTableR: Field 'NOPE' not found");
    int moved = 0;
    for (r.first(); !r.eof(); r.next()) {
        if (r.fieldByName("GRUP").asString() != "  1") continue;
        r.edit();
        r.fieldByName("grup").setAsString("Z9");
        r.fieldByName("NNUM").setAsString(ansi("Ж") + std::string(20, '7'));  // cut to 13
        r.post();
        ++moved;
    }
    EXPECT_GT(moved, 0);
    r.PackTable();
    // The pack reads the table's fields anew; the dataset's columns follow.
    r.first();
    const std::string firstAfterPack =
        r.fieldByName("GRUP").asString() + "/" + r.fieldByName("NNUM").asString();
    r.close();
    r.PackTable();  // closed: nothing happens
    auto t = xbase::Table::open(dir.file("zapas/prihod.dbf"));
    EXPECT_TRUE(xbase::checkTable(*t).strict());
    EXPECT_EQ(firstAfterPack, t->text(t->record(1), *t->field("GRUP")) + "/" +
                                  t->text(t->record(1), *t->field("NNUM")));
    int nine = 0;
    for (std::uint32_t i = 1; i <= t->recordCount(); ++i) {
        const char* rec = t->record(i);
        if (t->text(rec, *t->field("GRUP")) == "Z9") {
            EXPECT_EQ(t->text(rec, *t->field("NNUM")), ansi("Ж") + std::string(12, '7'));
            ++nine;
        }
    }
    EXPECT_EQ(nine, moved);

    // A shared table is not packed; a read-only one is not edited.
    mlabel.open();
    EXPECT_EQ(errorText([&] { mlabel.edit(); }), "mlabel: Cannot modify a read-only dataset");
    EXPECT_EQ(errorText([&] { mlabel.PackTable(); }).rfind("mlabel: ", 0), 0u);
}

TEST_F(AccessTest, ConnectionRules) {
    mlabel.open();
    mgrup.open();
    EXPECT_EQ(errorText([&] { con.setConnectPath("elsewhere\\"); }),
              "The TAdsConnection.ConnectPath may not be changed when IsConnected is TRUE");
    con.disconnect();
    EXPECT_FALSE(mlabel.active());
    EXPECT_FALSE(mgrup.active());
    con.setConnectPath("");
    EXPECT_EQ(errorText([&] { con.connect(); }),
              "Must specify connection string before getting a server connection.");
    EXPECT_EQ(errorText([&] { mlabel.setCharType(TAdsCharType::OEM); }), "(no error)");
    con.setConnectPath(dir.path() + "/");
    mlabel.open();
    EXPECT_EQ(errorText([&] { mlabel.setCharType(TAdsCharType::ANSI); }),
              "mlabel: Table must not be Active.");
    EXPECT_EQ(errorText([&] { mlabel.setTableName("x"); }),
              "mlabel: Cannot perform this operation on an open dataset");
}

TEST(AccessSettings, OnePerProcessAndTheDateFormat) {
    settings();
    EXPECT_EQ(errorText([] { TAdsSettings second; }),
              "Only one AdsSettings component is allowed per application");
    EXPECT_EQ(TAdsSettings::shortDateFormat(), "dd.MM.yyyy");
    EXPECT_EQ(TAdsSettings::dateSeparator(), '.');
    EXPECT_EQ(errorText([] { settings().setAdsServerTypes(0); }),
              "At least one server type must be selected.");
    EXPECT_EQ(settings().adsServerTypes(), static_cast<unsigned>(stADS_LOCAL));
    EXPECT_EQ(errorText([] { settings().setNumCachedCursors(-1); }),
              "NumCachedCursors value must be greater than zero.");
}

// The independent engine's databases, OEM ones read with the OEM character type: each group
// shows exactly the materials whose group code is the group's, letter case included, whether
// the order's keys are UPPER() of the fields or the weights of a collation that ignores case.
TEST(AccessFixtures, EveryGroupShowsItsOwnMaterials) {
    const std::tuple<const char*, TAdsCharType, const char*, const char*> databases[] = {
        {"oem-upper", TAdsCharType::OEM, "CODE", "DODOD"},
        {"russian-ansi", TAdsCharType::ANSI, "GRUP", "MGRUP_T"},
        {"russian-oem", TAdsCharType::OEM, "GRUP", "MGRUP_T"},
        {"general-1252", TAdsCharType::ANSI, "GRUP", "MGRUP_T"}};
    for (const auto& [db, charType, codeField, groupOrder] : databases) {
        SCOPED_TRACE(db);
        const fs::path root = fs::path(LORF_FIXTURES_DIR) / db;
        if (!fs::is_directory(root)) GTEST_SKIP() << "no fixtures";
        settings();
        TAdsConnection con;
        con.setConnectPath(root.string() + "/");
        TAdsTable mlabel("mlabel"), mgrup("mgrup");
        db::DataSource src;
        browsing(mlabel, con, "zapas\\mlabel.dbf", "MLABEL");
        browsing(mgrup, con, "zapas\\mgrup.dbf", groupOrder);
        for (TAdsTable* t : {&mlabel, &mgrup})
            t->setCharType(charType);
        src.setDataset(&mgrup);
        mlabel.setMasterSource(&src, codeField);
        mlabel.open();
        mgrup.open();
        xbase::OpenOptions o;
        o.charType = charType == TAdsCharType::OEM ? xbase::CharType::Oem : xbase::CharType::Ansi;
        auto engine = xbase::Table::open((root / "zapas/mlabel.dbf").string(), o);
        std::map<std::string, std::size_t> materials;
        for (std::uint32_t r = 1; r <= engine->recordCount(); ++r) {
            const char* rec = engine->record(r);
            if (rec[0] != '*') ++materials[engine->text(rec, *engine->field("GRUP"))];
        }
        std::size_t total = 0, groups = 0;
        for (mgrup.first(); !mgrup.eof(); mgrup.next()) {
            const std::string code = mgrup.fieldByName(codeField).asString();
            std::size_t shown = 0;
            for (mlabel.first(); !mlabel.eof(); mlabel.next()) {
                EXPECT_EQ(mlabel.fieldByName("GRUP").asString(), code);
                ++shown;
            }
            EXPECT_EQ(shown, materials[code]) << "group [" << code << "]";
            EXPECT_EQ(mlabel.rangeCount(), static_cast<std::int64_t>(shown));
            total += shown;
            ++groups;
        }
        EXPECT_GT(total, 100u);
        EXPECT_GT(groups, 10u);
    }
}

// A locate compares the field itself: a tag on UPPER(NAME) only narrows the records to look at,
// it does not make "abc" equal "ABC".
TEST(AccessLocate, AnUpperTagDoesNotIgnoreLetterCase) {
    settings();
    TempDir dir;
    xbase::TableDef d;
    d.fields = {{"NAME", 'C', 10, 0}, {"N", 'N', 4, 0}};
    d.tags = {{"NAMES", "UPPER(NAME)", "", false, false}};
    xbase::createTable(dir.file("names.dbf"), d);
    {
        xbase::OpenOptions o;
        o.share = xbase::Share::Exclusive;
        o.readOnly = false;
        auto t = xbase::Table::open(dir.file("names.dbf"), o);
        for (const char* name : {"ABC", "Abc", "abc", "abd"}) {
            std::string rec = t->blankRecord();
            t->setText(rec, *t->field("NAME"), name);
            t->append(rec);
        }
    }
    TAdsConnection con;
    con.setConnectPath(dir.path() + "/");
    TAdsTable names("Names");
    browsing(names, con, "names.dbf", "NAMES");
    names.open();
    for (const char* want : {"abc", "Abc", "ABC"}) {
        SCOPED_TRACE(want);
        ASSERT_TRUE(names.locate("NAME", {Value(std::string(want))}));
        EXPECT_EQ(names.fieldByName("NAME").asString(), want);
    }
    EXPECT_FALSE(names.locate("NAME", {Value(std::string("aBC"))}));
}

// A table bound to a database container: the dataset's fields answer to their long names too.
TEST(AccessLocate, LongFieldNamesOfADatabaseContainer) {
    settings();
    TempDir dir;
    const testfmt::Container c =
        testfmt::buildContainer({{"materials", {"groupcodelong", "itemnumberofmaterial"}}});
    testfmt::writeFile(dir.file("shop.dbc"), c.dbc);
    testfmt::writeFile(dir.file("shop.dct"), c.dct);
    testfmt::TableSpec s;
    s.version = 0x30;
    s.tableFlags = 0;
    s.fields = {{"GROUPCODEL", 'C', 5}, {"ITEMNUMBER", 'C', 13}};
    s.records = {{"  2", "B"}, {"  1", "A"}};
    std::string bytes = testfmt::buildDbf(s);
    testfmt::setBacklink(bytes, "shop.dbc");
    testfmt::writeFile(dir.file("materials.dbf"), bytes);
    TAdsConnection con;
    con.setConnectPath(dir.path() + "/");
    TAdsTable m("Materials");
    browsing(m, con, "materials.dbf");
    m.open();
    ASSERT_TRUE(m.locate("GroupCodeLong;ItemNumberOfMaterial",
                         {Value(std::string("  1")), Value(std::string("A"))}));
    EXPECT_EQ(m.fieldByName("itemnumberofmaterial").asString(), "A");
    EXPECT_EQ(m.fieldByName("ITEMNUMBER").asString(), "A");
}

// Under a collation that ignores letter case, groups "АБ" and "аб" (or "Е1" and "Ё1") are
// still groups of their own: the tag narrows the records, their codes decide.
TEST(AccessCollated, GroupsThatLetterCaseAloneTellsApart) {
    settings();
    TempDir dir;
    sample::DemoOptions o;
    o.materials = 800;
    o.groups = 16;
    o.collation = "RUSSIAN";
    sample::writeDemo(dir.path(), o);
    TAdsConnection con;
    con.setConnectPath(dir.path() + "\\");
    TAdsTable mlabel("mlabel"), mgrup("mgrup");
    browsing(mlabel, con, "zapas\\mlabel.dbf", "MLABEL");
    browsing(mgrup, con, "zapas\\mgrup.dbf", "DODOD");
    db::DataSource src;
    src.setDataset(&mgrup);
    mlabel.setMasterSource(&src, "CODE");
    mgrup.open();
    mlabel.open();
    auto engine = xbase::Table::open(dir.file("zapas/mlabel.dbf"));
    std::map<std::string, std::size_t> materials;
    for (std::uint32_t r = 1; r <= engine->recordCount(); ++r) {
        const char* rec = engine->record(r);
        if (rec[0] != '*') ++materials[engine->text(rec, *engine->field("GRUP"))];
    }
    for (const char* code : {"АБ", "аб", "Е1", "Ё1", "ЖЁ", "Же"}) {
        SCOPED_TRACE(code);
        ASSERT_TRUE(mgrup.locate("CODE", {Value(ansi(code))}));
        ASSERT_GT(materials[ansi(code)], 0u);
        std::size_t shown = 0;
        std::string nnum;
        for (mlabel.first(); !mlabel.eof(); mlabel.next()) {
            EXPECT_EQ(mlabel.fieldByName("GRUP").asString(), ansi(code));
            nnum = mlabel.fieldByName("NNUM").asString();
            ++shown;
        }
        EXPECT_EQ(shown, materials[ansi(code)]);
        // A material of the group is found by its pair, in its own group.
        ASSERT_TRUE(mlabel.locate("GRUP;NNUM", {Value(ansi(code)), Value(nnum)}));
        EXPECT_EQ(mlabel.fieldByName("GRUP").asString(), ansi(code));
    }
}

// A RUSSIAN tag whose writer weighed Ё as Е: the group "Ё1" is found all the same, by looking
// at every entry once the tag's keys prove not to be the engine's; no group is shown empty on a
// guess, and a locate finds what the records hold.
TEST(AccessCollated, ATagWeighedOtherwiseIsReadAround) {
    settings();
    TempDir dir;
    const xbase::Collation& russian = *xbase::Collation::find("RUSSIAN", 1251);
    auto key = [&](const std::string& v) {
        std::string k;
        russian.keyInto(v, 6, k);
        return k;
    };
    const std::string e1 = ansi("Е1"), yo1 = ansi("Ё1"), zh1 = ansi("Ж1");
    testfmt::TableSpec detail;
    detail.fields = {{"GRUP", 'C', 3}, {"NOTE", 'C', 4}};
    detail.records = {{e1, "a"}, {yo1, "b"}, {zh1, "c"}};
    testfmt::TagSpec tag{"G",   "GRUP", "",   6,
                         false, false,  '\0', {{key(e1), 1}, {key(e1), 2}, {key(zh1), 3}}};
    tag.collation = "RUSSIAN";
    testfmt::writeFile(dir.file("r.dbf"), testfmt::buildDbf(detail));
    testfmt::writeFile(dir.file("r.cdx"), testfmt::buildCdx({tag}).bytes);
    testfmt::TableSpec master;
    master.tableFlags = 0;
    master.fields = {{"CODE", 'C', 3}};
    master.records = {{e1}, {yo1}, {zh1}, {ansi("Я")}};
    testfmt::writeFile(dir.file("m.dbf"), testfmt::buildDbf(master));

    TAdsConnection con;
    con.setConnectPath(dir.path() + "/");
    TAdsTable r("R"), m("M");
    browsing(r, con, "r.dbf", "G");
    browsing(m, con, "m.dbf");
    db::DataSource src;
    src.setDataset(&m);
    r.setMasterSource(&src, "CODE");
    m.open();
    r.open();
    const std::map<std::string, std::vector<std::string>> expected = {
        {e1, {"a"}}, {yo1, {"b"}}, {zh1, {"c"}}, {ansi("Я"), {}}};
    for (m.first(); !m.eof(); m.next()) {
        const std::string code = m.fieldByName("CODE").asString();
        SCOPED_TRACE(code);
        std::vector<std::string> notes;
        for (r.first(); !r.eof(); r.next())
            notes.push_back(r.fieldByName("NOTE").asString());
        EXPECT_EQ(notes, expected.at(code));
    }
    EXPECT_FALSE(r.table()->keysTrusted(0));
    TAdsTable all("All");
    browsing(all, con, "r.dbf", "G");
    all.open();
    ASSERT_TRUE(all.locate("GRUP", {Value(yo1)}));
    EXPECT_EQ(all.fieldByName("NOTE").asString(), "b");
}
