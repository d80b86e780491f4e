#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>

#ifndef _WIN32
#include "../common/child_process.h"  // fork: the machines that have it
#endif
#include "../common/test_text.h"
#include "../xbase/temp_dir.h"
#include "db/dataset.h"
#include "store/store.h"
#include "xbase/codepage.h"

using namespace store;
using db::Value;
namespace fs = std::filesystem;

namespace {

using testtext::ansi;
using testtext::errorText;

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("kvd.abs");
        createStore(path);
        kvd.setDatabaseFileName(path);
        kvd.open();
        plan.setTableName("PLAN");
        ml.setTableName("ML");
        ml.setIndexName("ID");
        tables.setTableName("TABLES");
        tables.setIndexName("NAME");
    }
    void addPlan(const std::string& grup, const std::string& nnum, const std::string& nnnum = "") {
        plan.append();
        plan.fieldByName("GRUP").setAsString(grup);
        plan.fieldByName("NNUM").setAsString(nnum);
        plan.fieldByName("NGRUP").setAsString(grup);
        plan.fieldByName("NNNUM").setAsString(nnnum.empty() ? nnum : nnnum);
        plan.post();
    }
    TempDir dir;
    std::string path;
    TABSDatabase kvd{"KVD"};
    TABSTable plan{"PLAN", kvd};
    TABSTable ml{"MLabelMem", kvd};
    TABSTable tables{"TABLES", kvd};
};

}  // namespace

TEST(StoreOpen, AMissingFileIsNeverCreated) {
    TempDir dir;
    TABSDatabase kvd("KVD");
    std::string missing = dir.file("kvd.abs");
    kvd.setDatabaseFileName(missing);
    EXPECT_EQ(errorText([&] { kvd.open(); }),
              "KVD: Database file '" + missing + "' does not exist");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(kvd.connected());
    // A file that is no store.
    std::ofstream(missing) << "not a database at all, just text";
    std::string err = errorText([&] { kvd.open(); });
    EXPECT_EQ(err.rfind("KVD: ", 0), 0u) << err;
    EXPECT_NE(err.find(" - Native error: "), std::string::npos) << err;
}

TEST(StoreOpen, KvdInitRefusesAnExistingFile) {
    TempDir dir;
    createStore(dir.file("kvd.abs"));
    EXPECT_THROW(createStore(dir.file("kvd.abs")), std::runtime_error);
    TABSDatabase kvd;
    kvd.setDatabaseFileName(dir.file("kvd.abs"));
    kvd.open();
    kvd.open();  // no effect the second time
    EXPECT_TRUE(kvd.connected());
    kvd.setDatabaseFileName(dir.file("kvd.abs"));  // the same name: stays open
    EXPECT_TRUE(kvd.connected());
    kvd.setDatabaseFileName(dir.file("other.abs"));
    EXPECT_FALSE(kvd.connected());
}

TEST_F(StoreTest, AppendEditDeleteAreWrittenAtOnce) {
    plan.open();
    EXPECT_TRUE(plan.isEmpty());
    addPlan("  1", "  00012", "12345678901234567890");
    addPlan("  2", ansi("Ж-7"));
    EXPECT_EQ(plan.recordCount(), 2);
    plan.first();
    EXPECT_EQ(plan.fieldByName("nnum").asString(), "  00012");         // leading blanks kept
    EXPECT_EQ(plan.fieldByName("NNNUM").asString(), "1234567890123");  // cut at 13
    EXPECT_EQ(plan.fieldByName("ID").asInteger(), 1);
    plan.edit();
    plan.fieldByName("NNNUM").setAsString("X");
    plan.post();

    // Another connection sees every change at once: nothing waits for the program to end.
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &h), SQLITE_OK);
    auto scalar = [&](const char* sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h, sql, -1, &st, nullptr);
        std::string out;
        if (sqlite3_step(st) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return out;
    };
    EXPECT_EQ(scalar("SELECT NNNUM FROM PLAN WHERE ID = 1"), "X");
    EXPECT_EQ(scalar("SELECT NNUM FROM PLAN WHERE ID = 2"), "Ж-7");  // UTF-8 in the file
    plan.last();
    plan.remove();
    EXPECT_EQ(scalar("SELECT count(*) FROM PLAN"), "1");
    sqlite3_close(h);
    EXPECT_EQ(plan.recordCount(), 1);
    EXPECT_EQ(plan.fieldByName("GRUP").asString(), "  1");  // the previous row became current
    plan.remove();
    EXPECT_TRUE(plan.eof());
    EXPECT_TRUE(plan.isEmpty());
    EXPECT_EQ(errorText([&] { plan.remove(); }),
              "PLAN: Cannot perform this operation on an empty dataset");
}

TEST_F(StoreTest, EmptyTableRestartsTheCounter) {
    ml.open();
    for (const char* n : {"1", "2", "3"}) {
        ml.append();
        ml.fieldByName("GRUP").setAsString("  1");
        ml.fieldByName("NNUM").setAsString(n);
        ml.post();
    }
    EXPECT_EQ(errorText([&] { ml.emptyTable(); }),
              "MLabelMem: Cannot perform this operation on an open dataset");
    ml.close();
    TABSTable other("Other", kvd);
    other.setTableName("ML");
    other.open();
    EXPECT_NE(errorText([&] { ml.emptyTable(); }), "(no error)");  // held by another dataset
    other.close();
    ml.emptyTable();
    ml.emptyTable();  // already empty: stays empty
    ml.open();
    EXPECT_TRUE(ml.isEmpty());
    ml.append();
    ml.fieldByName("GRUP").setAsString("  2");
    ml.post();
    EXPECT_EQ(ml.fieldByName("ID").asInteger(), 1);
}

TEST_F(StoreTest, LocateIsExactAndCaseSensitive) {
    EXPECT_EQ(errorText([&] {
                  plan.locate("grup;nnum", {Value(std::string("1")), Value(std::string("a"))});
              }),
              "PLAN: Cannot perform LOCATE on a closed dataset");
    plan.open();
    addPlan("  1", "abc");
    addPlan("  1", "ABC");
    addPlan("  1", "abc ");
    plan.first();
    EXPECT_TRUE(plan.locate("grup;nnum", {Value(std::string("  1")), Value(std::string("ABC"))}));
    EXPECT_EQ(plan.recNo(), 2);
    EXPECT_FALSE(plan.locate("GRUP;NNUM", {Value(std::string("  1")), Value(std::string("Abc"))}));
    EXPECT_EQ(plan.recNo(), 2);  // not found: the current row stays
    EXPECT_FALSE(plan.locate("GRUP;NNUM", {Value(std::string("1")), Value(std::string("abc"))}));
    EXPECT_EQ(errorText([&] { plan.locate("GRUP;NNUM", {Value(std::string("1"))}); }),
              "PLAN: Count of FieldNames (2) not equal counts of KeyValues (1)");
    EXPECT_EQ(errorText([&] { plan.locate("GRUPA", {Value(std::string("1"))}); }),
              "PLAN: Field 'GRUPA' not found");
    EXPECT_EQ(
        plan.lookup("grup;nnum", {Value(std::string("  1")), Value(std::string("abc "))}, "Id"),
        Value(std::int64_t{3}));
    EXPECT_EQ(
        plan.lookup("grup;nnum", {Value(std::string("  9")), Value(std::string("abc"))}, "ID"),
        Value{});
    EXPECT_EQ(plan.recNo(), 2);  // look-ups leave the position alone
}

TEST_F(StoreTest, NameOrderFollowsRenames) {
    tables.open();
    for (const char* n : {"zapas\\prihod.dbf", "zapas\\mlabel.dbf", "arhiv\\old.dbf"}) {
        tables.append();
        tables.fieldByName("NAME").setAsString(n);
        tables.post();
    }
    auto names = [&] {
        std::vector<std::string> out;
        for (tables.first(); !tables.eof(); tables.next())
            out.push_back(tables.fieldByName("NAME").asString());
        return out;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"arhiv\\old.dbf", "zapas\\mlabel.dbf",
                                                 "zapas\\prihod.dbf"}));
    tables.first();
    tables.edit();
    tables.fieldByName("NAME").setAsString("zz\\last.dbf");
    tables.post();
    EXPECT_EQ(tables.fieldByName("NAME").asString(), "zz\\last.dbf");
    EXPECT_EQ(tables.recNo(), 3);  // moved to its place and still current
    EXPECT_EQ(names().front(), "zapas\\mlabel.dbf");
}

TEST_F(StoreTest, PersistentFieldsAreCheckedAtOpen) {
    TABSTable t("PLAN", kvd);
    t.setTableName("PLAN");
    t.addField({"GRUP", db::FieldType::String, 5, "Группа"});
    t.addField({"NOSUCH", db::FieldType::String, 5, ""});
    EXPECT_EQ(errorText([&] { t.open(); }), "PLAN: Field 'NOSUCH' not found");
    EXPECT_FALSE(t.active());

    TABSTable u("PLAN", kvd);
    u.setTableName("PLAN");
    u.addField({"NNUM", db::FieldType::Float, 0, ""});
    EXPECT_EQ(errorText([&] { u.open(); }),
              "PLAN: Type mismatch for field 'NNUM', expecting: Float actual: String");

    TABSTable v("PLAN", kvd);
    v.setTableName("PLAN");
    v.addField({"GRUPPA", db::FieldType::String, 5, ansi("Группа")});
    EXPECT_EQ(errorText([&] { v.open(); }), "PLAN: Field '" + ansi("Группа") + "' not found");
}

TEST_F(StoreTest, CalculatedFieldsAndNotifications) {
    struct Recorder : db::DataLink {
        std::vector<db::DataEvent> events;
        void dataEvent(db::DataEvent e) override { events.push_back(e); }
    } view;
    db::DataSource src("PLANSrc");
    src.setDataset(&plan);
    src.addLink(&view);
    plan.addField({"GRUP", db::FieldType::String, 5, ""});
    plan.addField({"NNUM", db::FieldType::String, 13, ""});
    plan.addField({"NGRUP", db::FieldType::String, 5, ""});
    plan.addField({"NNNUM", db::FieldType::String, 13, ""});
    plan.addField({"Moved", db::FieldType::Boolean, 0, "", true});
    int calls = 0;
    plan.onCalcFields = [&](db::Dataset& d) {
        ++calls;
        d.fieldByName("Moved").setValue(
            Value(d.fieldByName("GRUP").asString() != d.fieldByName("NGRUP").asString()));
    };
    plan.open();
    addPlan("  1", "a");
    plan.edit();
    plan.fieldByName("NGRUP").setAsString("  2");
    EXPECT_EQ(errorText([&] { plan.fieldByName("Moved").setValue(Value(false)); }),
              "PLAN: Dataset not in edit mode");
    plan.post();
    EXPECT_TRUE(plan.fieldByName("Moved").asBoolean());
    EXPECT_GT(calls, 0);
    EXPECT_EQ(errorText([&] { plan.fieldByName("GRUP").setAsString("x"); }),
              "PLAN: Dataset not in edit mode");

    view.events.clear();
    plan.disableControls();
    plan.disableControls();
    addPlan("  3", "b");
    plan.first();
    plan.enableControls();
    EXPECT_TRUE(view.events.empty());  // still disabled once
    plan.enableControls();
    EXPECT_EQ(view.events, (std::vector<db::DataEvent>{db::DataEvent::DataSetChange}));
    plan.next();
    EXPECT_EQ(view.events.back(), db::DataEvent::Scroll);
    plan.close();
    EXPECT_EQ(errorText([&] { plan.first(); }),
              "PLAN: Cannot perform this operation on a closed dataset");
}

TEST_F(StoreTest, ReadOnlyDatasetsRefuseChanges) {
    plan.setReadOnly(true);
    plan.open();
    EXPECT_EQ(errorText([&] { plan.append(); }), "PLAN: Cannot modify a read-only dataset");
    EXPECT_EQ(errorText([&] { plan.setReadOnly(false); }),
              "PLAN: Cannot perform this operation on an open dataset");
    TABSTable nameless("X", kvd);
    EXPECT_EQ(errorText([&] { nameless.open(); }), "X: Missing TableName property");
    TABSTable missing("Y", kvd);
    missing.setTableName("NOPE");
    EXPECT_NE(errorText([&] { missing.open(); }).find("Y: "), std::string::npos);
}

#ifndef _WIN32
// Another process writing the store makes a post wait, visibly, not fail: the notice says when
// the wait starts and ends, and the post lands once the other commits.
TEST_F(StoreTest, APostWaitsForAnotherProgramsWrite) {
    testproc::Child writer([&](const testproc::Child::Turns& turns) {
        sqlite3* h = nullptr;
        if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            return 1;
        if (sqlite3_exec(h, "BEGIN IMMEDIATE; INSERT INTO PLAN (GRUP) VALUES ('W');", nullptr,
                         nullptr, nullptr) != SQLITE_OK)
            return 2;
        turns.reached();
        sqlite3_sleep(600);
        const int rc = sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(h);
        return rc == SQLITE_OK ? 0 : 3;
    });
    ASSERT_TRUE(writer.awaitReached());
    std::vector<bool> notices;
    kvd.setBusyNotice([&](bool waiting) { notices.push_back(waiting); });
    plan.open();
    addPlan("1", "A");
    EXPECT_EQ(writer.join(), 0);
    EXPECT_EQ(notices, (std::vector<bool>{true, false}));
    plan.refresh();
    EXPECT_EQ(plan.recordCount(), 2);
}
#endif
