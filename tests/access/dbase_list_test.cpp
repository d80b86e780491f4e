// The list of an installation's databases: every dBase variant, read whole and read-only.
#include <gtest/gtest.h>

#include "../common/test_text.h"
#include "../xbase/format_builder.h"
#include "../xbase/temp_dir.h"
#include "access/dbase_list.h"
#include "xbase/codepage.h"

namespace {

using testtext::ansi;
using testtext::errorText;

std::string inCodePage(int cp, const char* utf8) {
    return *xbase::CodePage::get(cp).fromUtf8(utf8);
}

struct Variant {
    const char* what;
    std::uint8_t version;
    std::uint8_t mark;
    const char* driverName;
    int codePage;  // the code page the names are stored in
};

class DBaseListVariants : public ::testing::TestWithParam<Variant> {};

// Four rows: a name with leading blanks, a deleted row, a row of blanks, a relative path.
TEST_P(DBaseListVariants, RowsInFileOrderWithoutDeletedOnesInAnsi) {
    const Variant& v = GetParam();
    testfmt::TableSpec spec;
    spec.version = v.version;
    spec.codePageByte = v.mark;
    spec.tableFlags = 0;
    spec.driverName = v.driverName;
    spec.fields = {{"LBL_NAME", 'C', 20}, {"LBL_NUM", 'N', 3}, {"LBL_PATH", 'C', 30}};
    spec.records = {{inCodePage(v.codePage, "  Склад №1"), "  1", "C:\\LORF\\DB1"},
                    {inCodePage(v.codePage, "Удалённая"), "  2", "DB2"},
                    {"", "", ""},
                    {inCodePage(v.codePage, "Цех"), " 14", inCodePage(v.codePage, "базы\\Цех")}};
    spec.deleted = {false, true};
    TempDir dir;
    testfmt::writeFile(dir.file("pro/label.Pro"), testfmt::buildDbf(spec));

    ads::TDBaseList list("label_pro");
    list.setDatabaseName(dir.path() + "/PRO");  // names in any case
    list.setTableName("LABEL.PRO");
    list.open();
    std::vector<std::vector<std::string>> rows;
    for (list.first(); !list.eof(); list.next())
        rows.push_back({list.fieldByName("LBL_NAME").asString(),
                        list.fieldByName("lbl_num").asString(),
                        list.fieldByName("LBL_PATH").asString()});
    std::vector<std::vector<std::string>> expected = {{ansi("  Склад №1"), "1", "C:\\LORF\\DB1"},
                                                      {"", "", ""},
                                                      {ansi("Цех"), "14", ansi("базы\\Цех")}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(list.recordCount(), 3);
    EXPECT_TRUE(list.readOnly());
    EXPECT_EQ(errorText([&] { list.edit(); }), "label_pro: Cannot modify a read-only dataset");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DBaseListVariants,
    ::testing::Values(Variant{"dBase III, ANSI", 0x03, 0x00, "", 1251},
                      Variant{"dBase IV, OEM 866", 0x8B, 0x26, "", 866},
                      Variant{"dBase IV SQL, OEM 866", 0x43, 0x65, "", 866},
                      Variant{"FoxPro, 1251", 0xF5, 0xC9, "", 1251},
                      Variant{"Visual FoxPro, 866", 0x30, 0x65, "", 866},
                      Variant{"dBase 7, driver DB866RU0", 0x04, 0x00, "DB866RU0", 866},
                      Variant{"dBase 7 with memo flag, DBWINRU0", 0x8C, 0x57, "DBWINRU0", 1251}),
    [](const ::testing::TestParamInfo<Variant>& param) {
        std::string name;
        for (char c : std::string(param.param.what))
            if (std::isalnum(static_cast<unsigned char>(c))) name += c;
        return name;
    });

// Bad files: a clear error naming the file, and the list stays closed.
TEST(DBaseList, DamagedOrForeignFilesAreClearErrors) {
    testfmt::TableSpec spec;
    spec.version = 0x03;
    spec.codePageByte = 0;
    spec.tableFlags = 0;
    spec.fields = {{"LBL_NAME", 'C', 20}, {"LBL_PATH", 'C', 30}};
    spec.records = {{"A", "DB1"}, {"B", "DB2"}};
    std::string good = testfmt::buildDbf(spec);
    struct Case {
        const char* what;
        std::string bytes;
        const char* expected;  // in the error text
    };
    const std::vector<Case> cases = {
        {"truncated records", good.substr(0, good.size() - 20), "records but the file holds"},
        {"truncated header", good.substr(0, 40), "the header length"},
        {"empty", "", "too short for a table header"},
        {"text", "LBL_NAME;LBL_PATH\nFirst database;DB1\nSecond one;DB2\n",
         "an unsupported table format"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        testfmt::writeFile(dir.file("label.pro"), c.bytes);
        ads::TDBaseList list("label_pro");
        list.setDatabaseName(dir.path());
        list.setTableName("label.pro");
        std::string error = errorText([&] { list.open(); });
        EXPECT_EQ(error.rfind("label_pro: " + dir.file("label.pro"), 0), 0u) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_FALSE(list.active());
    }
    TempDir empty;
    ads::TDBaseList missing("label_pro");
    missing.setDatabaseName(empty.path());
    missing.setTableName("label.pro");
    EXPECT_NE(errorText([&] { missing.open(); }).find("label.pro"), std::string::npos);
    EXPECT_FALSE(missing.active());
}

TEST(DBaseList, AListWithoutAPathFieldNamesTheField) {
    testfmt::TableSpec spec;
    spec.version = 0x03;
    spec.codePageByte = 0;
    spec.tableFlags = 0;
    spec.fields = {{"LBL_NAME", 'C', 20}};
    spec.records = {{"A"}};
    TempDir dir;
    testfmt::writeFile(dir.file("label.pro"), testfmt::buildDbf(spec));
    ads::TDBaseList list("label_pro");
    list.setDatabaseName(dir.path());
    list.setTableName("label.pro");
    list.open();
    EXPECT_EQ(errorText([&] { list.fieldByName("LBL_PATH"); }),
              "label_pro: Field 'LBL_PATH' not found");
}

}  // namespace
