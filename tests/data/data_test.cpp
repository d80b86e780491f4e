#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#ifndef _WIN32
#include "../common/child_process.h"  // fork: the machines that have it
#endif
#include "../common/test_text.h"
#include "../xbase/temp_dir.h"
#include "data/data.h"
#include "sample_db.h"
#include "xbase/codepage.h"

using db::Value;
namespace fs = std::filesystem;

namespace {

using testtext::ansi;
using testtext::errorText;

class DataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sample::DemoOptions o;
        o.materials = 500;
        o.groups = 15;
        o.oem = GetParam();
        sample::writeDemo(dir.path(), o);
        store::createStore(dir.file("kvd.abs"));
    }
    bool GetParam() const { return oem; }
    void openAll(data::TData& d) {
        d.openStore(dir.file("kvd.abs"));
        d.openAccounting(dir.path() + "/", !oem);
    }
    void mark(data::TData& d, const std::string& grup, const std::string& nnum) {
        d.MLabelMem.append();
        d.MLabelMem.fieldByName("GRUP").setAsString(grup);
        d.MLabelMem.fieldByName("NNUM").setAsString(nnum);
        d.MLabelMem.post();
    }
    TempDir dir;
    bool oem = false;
};

class DataTestOem : public DataTest {
  protected:
    void SetUp() override {
        oem = true;
        DataTest::SetUp();
    }
};

}  // namespace

TEST_F(DataTest, OpensInOrderAndMarksShowAsChecked) {
    data::TData d;
    EXPECT_EQ(ads::TAdsSettings::shortDateFormat(), "dd.MM.yyyy");
    EXPECT_FALSE(d.mlabel.active());
    EXPECT_FALSE(d.KVD.connected());
    openAll(d);
    for (db::Dataset* t :
         std::initializer_list<db::Dataset*>{&d.TABLES, &d.PLAN, &d.MLabelMem, &d.mlabel,
                                             &d.MlabelV, &d.MlabelThrough, &d.mgrup, &d.NMgrup})
        EXPECT_TRUE(t->active()) << t->name();
    EXPECT_FALSE(d.AdsTableR.active());
    EXPECT_TRUE(d.MLabelMem.isEmpty());
    // The materials grid shows the first group's materials, none marked.
    d.mgrup.first();
    std::string group = d.mgrup.fieldByName("CODE").asString();
    ASSERT_FALSE(d.mlabel.isEmpty());
    std::vector<std::pair<std::string, std::string>> shown;
    for (d.mlabel.first(); !d.mlabel.eof(); d.mlabel.next()) {
        EXPECT_EQ(d.mlabel.fieldByName("GRUP").asString(), group);
        EXPECT_FALSE(d.mlabel.fieldByName("Checked").asBoolean());
        shown.emplace_back(d.mlabel.fieldByName("GRUP").asString(),
                           d.mlabel.fieldByName("NNUM").asString());
    }
    ASSERT_GE(shown.size(), 2u);
    mark(d, shown[0].first, shown[0].second);
    std::string other = shown[1].second;
    for (char& c : other)
        c = static_cast<char>(xbase::CodePage::get(1251).lower(static_cast<unsigned char>(c)));
    if (other == shown[1].second) other += "x";
    mark(d, shown[1].first, other);  // differs in letter case or more: not marked
    d.mlabel.refresh();
    int checked = 0;
    for (d.mlabel.first(); !d.mlabel.eof(); d.mlabel.next()) {
        bool is = d.mlabel.fieldByName("Checked").asBoolean();
        EXPECT_EQ(is, d.mlabel.fieldByName("NNUM").asString() == shown[0].second);
        checked += is;
    }
    EXPECT_EQ(checked, 1);
    EXPECT_EQ(d.mlabel.fieldByName("NNUM").displayLabel(), ansi("Н/номер"));
    // Every start empties the marks.
    d.openStore(dir.file("kvd.abs"));
    EXPECT_TRUE(d.MLabelMem.isEmpty());
}

TEST_F(DataTest, DeletedRecordsAreInvisibleEverywhere) {
    data::TData d;
    openAll(d);
    auto t = xbase::Table::open(dir.file("zapas/mlabel.dbf"));
    std::set<std::pair<std::string, std::string>> live, gone;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
        const char* rec = t->record(r);
        auto pair =
            std::make_pair(t->text(rec, *t->field("GRUP")), t->text(rec, *t->field("NNUM")));
        (rec[0] == '*' ? gone : live).insert(pair);
    }
    int checkedGone = 0;
    for (const auto& [g, n] : gone) {
        if (live.count({g, n})) continue;
        EXPECT_FALSE(d.MlabelV.locate("GRUP;NNUM", {Value(g), Value(n)})) << g << "/" << n;
        ++checkedGone;
    }
    EXPECT_GT(checkedGone, 0);
    std::size_t seen = 0;
    for (d.MlabelV.first(); !d.MlabelV.eof(); d.MlabelV.next())
        ++seen;
    std::size_t visible = 0;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r)
        visible += !t->isDeleted(r);
    EXPECT_EQ(seen, visible);
    EXPECT_EQ(d.MlabelV.recordCount(),
              static_cast<std::int64_t>(t->recordCount()));  // the whole table
}

TEST_F(DataTest, TheTransferOrdersKeepTheLink) {
    data::TData d;
    openAll(d);
    d.mgrup.last();
    d.closeBrowsing();
    for (ads::TAdsTable* t : {&d.mlabel, &d.mgrup, &d.MlabelV, &d.NMgrup, &d.MlabelThrough})
        EXPECT_FALSE(t->active());
    d.AdsTableR.setTableName("zapas\\mlabel.dbf");
    d.AdsTableR.open();  // nobody else holds the table now
    d.AdsTableR.close();
    d.reopenBrowsing();
    std::string group = d.mgrup.fieldByName("CODE").asString();
    for (d.mlabel.first(); !d.mlabel.eof(); d.mlabel.next())
        EXPECT_EQ(d.mlabel.fieldByName("GRUP").asString(), group);
    d.AdsTableR.setTableName("zapas\\mlabel.dbf");
    EXPECT_EQ(errorText([&] { d.AdsTableR.open(); }).rfind("AdsTableR: ", 0),
              0u);  // browsing holds it
}

TEST_F(DataTest, PersistentFieldsMustExistWithTheirTypes) {
    // A group table without PRIM, and a material table whose NAME is a number.
    fs::remove(dir.file("zapas/mgrup.dbf"));
    fs::remove(dir.file("zapas/mgrup.cdx"));
    xbase::TableDef g;
    g.fields = {{"CODE", 'C', 5, 0}, {"NAME", 'C', 34, 0}};
    g.tags = {{"DODOD", "CODE", "", false, false}, {"MGRUP_T", "NAME", "", false, false}};
    xbase::createTable(dir.file("zapas/mgrup.dbf"), g);
    {
        data::TData d;
        d.openStore(dir.file("kvd.abs"));
        EXPECT_EQ(errorText([&] { d.openAccounting(dir.path() + "/", true); }),
                  "NMgrup: Field 'PRIM' not found");
        EXPECT_TRUE(d.mgrup.active());  // the ones before it opened
    }

    fs::remove_all(dir.file("zapas"));
    xbase::TableDef m;
    m.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}, {"NAME", 'N', 10, 0}, {"ED", 'C', 5, 0}};
    m.tags = {{"MLABEL", "GRUP+NNUM", "", false, false}};
    fs::create_directories(dir.file("zapas"));
    xbase::createTable(dir.file("zapas/mlabel.dbf"), m);
    data::TData e;
    e.openStore(dir.file("kvd.abs"));
    EXPECT_EQ(errorText([&] { e.openAccounting(dir.path() + "/", true); }),
              "mlabel: Type mismatch for field '" + ansi("Название") +
                  "', expecting: String actual: Float");
}

#ifndef _WIN32
// The window and other programs on one store, in two processes. The window's marks survive a
// command that reads; a write another program commits while the window has read the store
// does not fail the window's next write; a second window, or a command that writes, is
// refused while the window holds the store, and welcome once it is gone.
TEST_F(DataTest, TheWindowSharesTheStoreWithOtherPrograms) {
    const std::string kvd = dir.file("kvd.abs");
    testproc::Child window([&](const testproc::Child::Turns& turns) {
        data::TData d;
        openAll(d);
        mark(d, "1", "A");
        mark(d, "1", "B");
        // The grid's calculated field looks the marks up: a read of the store.
        if (!d.MLabelMem.locate("GRUP;NNUM", {Value("1"), Value("A")})) return 1;
        turns.reached();
        turns.awaitGo();  // meanwhile another program reads, and commits a write
        mark(d, "1", "C");
        if (d.MLabelMem.recordCount() != 3) return 2;
        turns.reached();
        turns.awaitGo();
        return 0;
    });
    ASSERT_TRUE(window.awaitReached());
    {
        data::TData reader;
        reader.openStore(kvd, data::TData::StoreUse::Read);
        EXPECT_EQ(reader.MLabelMem.recordCount(), 2);  // the window's marks, untouched
    }
    for (auto use : {data::TData::StoreUse::Window, data::TData::StoreUse::Write}) {
        data::TData other;
        const std::string refused = errorText([&] { other.openStore(kvd, use); });
        EXPECT_NE(refused.find("хранилище " + kvd + " занято другим окном"), std::string::npos)
            << refused;
        EXPECT_FALSE(other.PLAN.active());
    }
    {
        // Another program's committed write (the store's own API; no lock).
        store::TABSDatabase db;
        db.setDatabaseFileName(kvd);
        store::TABSTable plan("PLAN", db);
        plan.setTableName("PLAN");
        plan.open();
        plan.append();
        plan.fieldByName("GRUP").setAsString("2");
        plan.post();
    }
    window.go();
    ASSERT_TRUE(window.awaitReached()) << "the window's write after the other's failed";
    window.go();
    EXPECT_EQ(window.join(), 0);
    data::TData next;
    next.openStore(kvd);
    EXPECT_EQ(next.MLabelMem.recordCount(), 0);  // a new window's marks start empty
    EXPECT_EQ(next.PLAN.recordCount(), 1);
}
#endif

TEST_F(DataTestOem, OemDatabasesReadAsAnsi) {
    data::TData d;
    openAll(d);
    // Names come as ANSI text: the search for a Russian word finds materials.
    std::string word = ansi("ТРУБА");
    EXPECT_TRUE(ads::LocateExpression(d.MlabelThrough, "AT('" + word + "',UPPER(NAME))>0"));
    std::string name = d.MlabelThrough.fieldByName("NAME").asString();
    for (char& c : name)
        c = static_cast<char>(xbase::CodePage::get(1251).upper(static_cast<unsigned char>(c)));
    EXPECT_NE(name.find(word), std::string::npos);
    // And a material found by its pair carries its ANSI name.
    std::string grup = d.MlabelThrough.fieldByName("GRUP").asString();
    std::string nnum = d.MlabelThrough.fieldByName("NNUM").asString();
    EXPECT_EQ(d.MlabelV.lookup("GRUP;NNUM", {Value(grup), Value(nnum)}, "Name"),
              d.MlabelThrough.fieldByName("NAME").value());
}

// Whether a directory is an accounting database, and its character type: both files are found
// the same way, in any letter case and however the directory is written.
TEST(DatabaseDirectory, ValidityAndCharacterTypeAreFoundAlike) {
    TempDir root;
    fs::create_directories(root.file("Base/Db1"));
    fs::create_directories(root.file("Base/Db2/lorf5.dbc"));  // a folder is no file
    fs::create_directories(root.file("Base/Db3"));
    std::ofstream(root.file("Base/Db1/MAIN.DBF")) << "x";
    std::ofstream(root.file("Base/Db1/LORF5.DBC")) << "x";
    std::ofstream(root.file("Base/Db2/main.dbf")) << "x";
    std::ofstream(root.file("Base/Db3/Main.Dbf")) << "x";
    std::ofstream(root.file("Base/Db3/lorf5.dbc")) << "x";
    struct Case {
        std::string dir;
        bool valid, ansi;
    };
    const std::string r = root.path();
    const Case cases[] = {
        {r + "/Base/Db1/", true, true},
        {r + "/base/db1/", true, true},     // the path's letter case differs from the disk's
        {r + "\\Base\\Db1\\", true, true},  // written as on Windows
        {r + "/Base/Db1", true, true},      // no trailing delimiter
        {r + "/BASE\\DB1", true, true},
        {r + "/Base/Db2/", true, false},  // lorf5.dbc is a folder: OEM
        {r + "/Base/Db3/", true, true},
        {r + "/Base/", false, false},
        {r + "/Base/NoSuch/", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        EXPECT_EQ(data::isAccountingDatabase(c.dir), c.valid);
        EXPECT_EQ(data::isAnsiDatabase(c.dir), c.ansi);
    }
}
