#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "engine_helpers.h"
#include "format_builder.h"
#include "temp_dir.h"
#include "xbase/codepage.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/expr.h"

using namespace xbase;

namespace {

class ExprTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testfmt::TableSpec s;
        s.tableFlags = 0;
        s.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}, {"NAME", 'C', 20}, {"CENA", 'N', 10, 2},
                    {"DATE", 'D', 8}, {"FLAG", 'L', 1},  {"QTY", 'I', 4}};
        std::string qty("\xFE\xFF\xFF\xFF", 4);  // -2
        // "Труба" in 1251
        s.records = {
            {"  7", "ab-12", "\xD2\xF0\xF3\xE1\xE0 steel", "   1234.50", "20240229", "T", qty}};
        testfmt::writeFile(dir.file("E.DBF"), testfmt::buildDbf(s));
        table = Table::open(dir.file("E.DBF"));
        rec = table->record(1);
    }
    Value eval(const std::string& text) {
        return Expression::compile(text, table.get(), TextMode::Raw).evaluate(rec, 1);
    }
    TempDir dir;
    std::unique_ptr<Table> table;
    const char* rec = nullptr;
};

}  // namespace

TEST_F(ExprTest, CharacterResults) {
    const std::pair<const char*, std::string> cases[] = {
        {"GRUP+NNUM", "  7  ab-12        "},
        {"grup + nnum", "  7  ab-12        "},
        {"e.GRUP", "  7  "},  // an alias names the table itself
        {"E->NNUM", "ab-12        "},
        {"GRUP-'x'", "  7x  "},
        {"UPPER(NNUM)", "AB-12        "},
        {"UPPER(NAME)", "\xD2\xD0\xD3\xC1\xC0 STEEL         "},
        {"LOWER('ABC')", "abc"},
        // Knuth's examples of the sound code.
        {"SOUNDEX('Robert')", "R163"},
        {"SOUNDEX('Rupert')", "R163"},
        {"SOUNDEX('Ashcraft')", "A261"},
        {"SOUNDEX('Tymczak')", "T522"},
        {"SOUNDEX('Pfister')", "P236"},
        {"SOUNDEX('Lee')", "L000"},
        {"ALLTRIM(GRUP)", "7"},
        {"LTRIM(GRUP)", "7  "},
        {"RTRIM(GRUP)", "  7"},
        {"TRIM(NNUM)+'|'", "ab-12|"},
        {"SUBSTR(NNUM,2,3)", "b-1"},
        {"SUBS(NNUM,4)", "12        "},
        {"SUBSTR('abc',9)", ""},
        {"LEFT(NNUM,2)", "ab"},
        {"RIGHT('abcdef',2)", "ef"},
        {"PADL('7',3,'0')", "007"},
        {"PADR('ab',4)", "ab  "},
        {"PADC('ab',6,'*')", "**ab**"},
        {"PADL('abcdef',3)", "abc"},
        {"STR(CENA,10,2)", "   1234.50"},
        {"STR(CENA)", "      1235"},
        {"STR(-2.5,5)", "   -3"},
        {"STR(1234.5,3)", "***"},
        {"STR(3.14159,6,4)", "3.1416"},
        {"STR(12.345,5,2)", "12.35"},
        {"STR(QTY,4)", "  -2"},
        {"DTOS(DATE)", "20240229"},
        {"DTOS(DATE+1)", "20240301"},
        {"DTOS(CTOD('12/31/2023'))", "20231231"},
        {"DTOC(DATE)", "02/29/2024"},
        {"IIF(FLAG,'y','n')", "y"},
        {"SPACE(3)", "   "},
        {"REPLICATE('ab',3)", "ababab"},
        {"STRTRAN('a-b-c','-','+')", "a+b+c"},
        {"STRTRAN('a-b-c','-')", "abc"},
        {"BINTOC(1)", std::string("\x80\x00\x00\x01", 4)},
        {"BINTOC(-1)", std::string("\x7F\xFF\xFF\xFF", 4)},
        {"MAX('a','c','b')", "c"},
        {"\"dq\"+[br]", "dqbr"},
        {"'O''Brien'", "O'Brien"},  // a doubled quote stands for itself
        {"\"say \"\"hi\"\"\"", "say \"hi\""},
    };
    for (const auto& [text, want] : cases) {
        Value v = eval(text);
        EXPECT_EQ(v.type, ValueType::Char) << text;
        EXPECT_EQ(v.str, want) << text;
    }
}

TEST_F(ExprTest, NumericAndLogicalResults) {
    const std::pair<const char*, double> numbers[] = {
        {"CENA", 1234.5},
        {"CENA*2-1", 2468},
        {"-QTY", 2},
        {"AT('-',NNUM)", 3},
        {"AT('z',NNUM)", 0},
        {"AT('a','banana',2)", 4},
        {"RAT('a','banana')", 6},
        {"LEN(NNUM)", 13},
        {"VAL(' 12.5x')", 12.5},
        {"VAL('abc')", 0},
        {"INT(-7.9)", -7},
        {"ABS(-3)", 3},
        {"ROUND(2.675,2)", 2.68},
        {"ROUND(-1.5,0)", -2},
        {"MIN(4,2,9)", 2},
        {"7%3", 1},
        {"2^10", 1024},
        {"2**3", 8},
        {"RECNO()", 1},
        {"DATE-{^2024-02-01}", 28},
        {".5+1.", 1.5},
    };
    for (const auto& [text, want] : numbers) {
        Value v = eval(text);
        EXPECT_EQ(v.type, ValueType::Number) << text;
        EXPECT_NEAR(v.num, want, 1e-9) << text;
    }
    const std::pair<const char*, bool> logicals[] = {
        {"AT('B',UPPER(NNUM))>0.AND.AT('12',UPPER(NNUM))>0", true},
        {"AT('B',UPPER(NNUM))>0.AND.AT('13',UPPER(NNUM))>0", false},
        {"NNUM = 'ab'", true},  // compared over the right side's length
        {"NNUM == 'ab'", false},
        {"'ab' $ NNUM", true},
        {"NNUM <> 'ab'", false},
        {"NNUM # 'zz'", true},
        {"NNUM != 'zz'", true},
        {"GRUP < '  8'", true},
        {"CENA >= 1234.5 .and. CENA <= 1234.5", true},
        {".NOT. FLAG .OR. DELETED()", false},
        {"!DELETED()", true},
        {"EMPTY(SPACE(4))", true},
        {"EMPTY(GRUP)", false},
        {"EMPTY(CTOD(''))", true},
        {"EMPTY(CTOD('12/101111111111111111111/2020'))", true},  // a run of digits: no date
        {"DATE = {^2024-02-29}", true},
        {".T. .AND. (.F. .OR. .Y.)", true},
        {"IIF(CENA>1000, .T., .F.)", true},
    };
    for (const auto& [text, want] : logicals) {
        Expression e = Expression::compile(text, table.get(), TextMode::Raw);
        EXPECT_EQ(e.type(), ValueType::Logical) << text;
        EXPECT_EQ(e.test(rec, 1), want) << text;
    }
}

TEST_F(ExprTest, ErrorsNameTheExpression) {
    const char* bad[] = {
        "",         "   ",        "NOPE",         "UPPER(NNUM",    "NNUM+",         "'open",
        "GRUP+1",   "AT(1,NNUM)", "SUBSTR(NNUM)", "CENA.AND.FLAG", "{^2024-13-01}", "1 2",
        "NNUM = 5", "@",          "SPACE()",      "(NNUM",         ".NOT. NNUM",    "_NullFlags",
    };
    for (const char* text : bad) {
        try {
            Expression::compile(text, table.get(), TextMode::Raw);
            ADD_FAILURE() << "compiled: " << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::kExpression) << text;
            std::string msg = e.what();
            if (*text && std::string(text).find_first_not_of(' ') != std::string::npos)
                EXPECT_NE(msg.find(text), std::string::npos) << msg;
            else
                EXPECT_NE(msg.find("empty"), std::string::npos) << msg;
        }
    }
    // A function the engine does not evaluate is unsupported, by name; the comparisons FoxPro
    // also writes "=>" and "=<" are not.
    try {
        Expression::compile("FOO(NNUM)", table.get(), TextMode::Raw);
        ADD_FAILURE() << "compiled FOO()";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), code::kUnsupported);
        EXPECT_NE(std::string(e.what()).find("the function FOO() is unsupported"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(Expression::compile("GRUP=>'  7'.AND.GRUP=<'  7'", table.get(), TextMode::Raw)
                    .test(rec, 1));
    // Errors that only evaluation finds.
    EXPECT_THROW(eval("CENA/0"), Error);
    EXPECT_THROW(Expression::compile("NNUM", table.get(), TextMode::Raw).test(rec, 1), Error);
}

// Numbers far out of any sensible range as widths, sizes and counts (found by fuzzing): each
// gives a value or an expression error, never a conversion the language leaves undefined or a
// loop that runs away.
TEST_F(ExprTest, ExtremeArgumentsGiveValuesOrErrors) {
    struct Case {
        const char* text;
        const char* value;  // nullptr: an error
    };
    const Case cases[] = {
        {"STR(1, -10000000000000000000000000000000000000000, 2)", ""},
        {"LEN(STR(1, 10000000000000000000000000000000000000000))", "       255"},
        {"STR(1.5, 5, -10000000000000000000000000000000000000000)", "    2"},
        {"LEN(REPLICATE('', 1000000000000000000))", "         0"},
        {"REPLICATE('ab', 10000000000000000000)", nullptr},
        {"LEN(SPACE(10000000000000000000000000000000000000000))", "  16777216"},
        {"SUBSTR('abc', 10000000000000000000000000000000000000000)", ""},
        {"LEFT('abc', -10000000000000000000000000000000000000000)", ""},
        {"RIGHT('abc', 10000000000000000000000000000000000000000)", "abc"},
        {"BINTOC(10000000000000000000000000000000000000000)", nullptr},
        {"BINTOC(1, 10000000000000000000000000000000000000000)", nullptr},
        {"BINTOC(-10000000000000000000, 4)", nullptr},
        {"DTOS(CTOD('01/01/1000') + 538976288)", "        "},
        {"DTOS(CTOD('01/01/1000') + 10000000000000000000000)", "        "},
    };
    // Nesting deep enough to overflow the stack is an error, not a crash.
    for (const char* unit : {"(", "-", "ABS("}) {
        std::string deep;
        for (int i = 0; i < 100000; ++i)
            deep += unit;
        EXPECT_EQ(testhelp::errorCode(
                      [&] { Expression::compile(deep + "1", table.get(), TextMode::Raw); }),
                  code::kExpression)
            << unit;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Expression e = Expression::compile(c.text, table.get(), TextMode::Raw);
        try {
            Value v = e.evaluate(rec, 1);
            ASSERT_NE(c.value, nullptr) << "no error";
            EXPECT_EQ(v.type == ValueType::Number ? formatNumber(v.num, 10, 0) : v.str, c.value);
        } catch (const Error& err) {
            EXPECT_EQ(c.value, nullptr) << err.what();
            EXPECT_EQ(err.code(), code::kExpression);
        }
    }
}

// Stored numbers are read by a short path; it must give the very double strtod gives, and
// STR() of a stored number must give what formatting the number gives.
TEST(ExprFormat, ShortPathsAgreeWithTheGeneralOnes) {
    std::mt19937_64 rng(99);
    TempDir dir;
    testfmt::TableSpec s;
    s.tableFlags = 0;
    s.fields = {{"N", 'N', 16, 2}};
    std::vector<std::string> texts = {"            0.00", "           -0.00", "  000012.50     ",
                                      "         007.00",  "            .50",  "   1e5",
                                      "-5.5  ",           "  99999999999.99", " -9999999999999.9"};
    for (int i = 0; i < 20000; ++i) {
        int dec = static_cast<int>(rng() % 4);
        double v = static_cast<double>(static_cast<std::int64_t>(rng() % 2000000000000LL) -
                                       1000000000000LL) /
                   std::pow(10.0, static_cast<double>(rng() % 6));
        char buf[64];
        std::snprintf(buf, sizeof buf, "%16.*f", dec, v);
        texts.push_back(buf);
    }
    for (const std::string& t : texts) {
        double general = std::strtod(t.c_str(), nullptr);
        double mine = parseNumber(t);
        EXPECT_EQ(std::memcmp(&general, &mine, sizeof general), 0) << "[" << t << "]";
        if (t.size() <= 16) s.records.push_back({t});
    }
    testfmt::writeFile(dir.file("S.DBF"), testfmt::buildDbf(s));
    auto table = Table::open(dir.file("S.DBF"));
    Expression fast = Expression::compile("STR(N,18,2)", table.get(), TextMode::Raw);
    Expression slow = Expression::compile("STR(N+0,18,2)", table.get(), TextMode::Raw);
    for (std::uint32_t r = 1; r <= table->recordCount(); ++r) {
        const char* rec = table->record(r);
        std::string viaKey;
        ASSERT_TRUE(fast.appendChars(rec, r, viaKey));
        EXPECT_EQ(fast.evaluate(rec, r).str, slow.evaluate(rec, r).str)
            << table->display(rec, table->fields()[0]);
        EXPECT_EQ(viaKey, slow.evaluate(rec, r).str);
    }
}

TEST(ExprFormat, NumbersAndDates) {
    EXPECT_EQ(formatNumber(0.005, 5, 2), " 0.01");
    EXPECT_EQ(formatNumber(-0.001, 5, 2), " 0.00");
    EXPECT_EQ(formatNumber(99999, 5, 0), "99999");
    EXPECT_EQ(formatNumber(100000, 5, 0), "*****");
    EXPECT_EQ(formatNumber(123.456, 5, 2), "123.5");  // decimals give way before asterisks
    setDateFormat("dd.MM.yyyy");
    Value v = Expression::compile("DTOC(CTOD('31.12.2023'))", nullptr, TextMode::Ansi)
                  .evaluate(nullptr, 0);
    EXPECT_EQ(v.str, "31.12.2023");
    setDateFormat("MM/dd/yyyy");
}

// The program's searches are ANSI text: on an OEM table they find exactly what they find on
// an ANSI copy of the same table.
TEST(ExprSearch, OemAndAnsiCopiesAnswerAlike) {
    const std::vector<std::string> namesUtf8 = {"Труба стальная", "ТРУБКА", "лист",      "Ёлка",
                                                "ёлка",           "шуруп",  "Шуруп-ёрш", "труба"};
    TempDir dir;
    for (int oem = 0; oem < 2; ++oem) {
        testfmt::TableSpec s;
        s.codePageByte = oem ? 0x65 : 0xC9;
        s.tableFlags = 0;
        s.fields = {{"NAME", 'C', 20}};
        for (const auto& n : namesUtf8)
            s.records.push_back({*CodePage::get(oem ? 866 : 1251).fromUtf8(n)});
        s.deleted = {false, false, false, false, false, false, true, false};
        testfmt::writeFile(dir.file(oem ? "OEM.DBF" : "ANSI.DBF"), testfmt::buildDbf(s));
    }
    auto ansi = Table::open(dir.file("ANSI.DBF"));
    auto oem = Table::open(dir.file("OEM.DBF"));
    const char* searches[] = {"AT('ТРУБ',UPPER(NAME))>0", "AT('ЁЛК',UPPER(NAME))>0",
                              "AT('Ш',UPPER(NAME))>0.AND.AT('УР',UPPER(NAME))>0",
                              "'ёлка' $ LOWER(NAME)", "NAME = 'лист'"};
    for (const char* utf8 : searches) {
        std::string text = *CodePage::get(1251).fromUtf8(utf8);
        auto found = [&](const Table& t) {
            PhysicalSearch s(t, Expression::compile(text, &t, TextMode::Ansi));
            std::vector<std::uint32_t> out;
            for (std::uint32_t r = s.find(1); r; r = s.find(r + 1))
                out.push_back(r);
            return out;
        };
        auto a = found(*ansi);
        EXPECT_FALSE(a.empty()) << utf8;
        EXPECT_EQ(found(*oem), a) << utf8;
    }
    // Deleted records are not found: record 7 is the only "Шуруп-ёрш".
    PhysicalSearch s(*ansi, Expression::compile(*CodePage::get(1251).fromUtf8("AT('ёрш',NAME)>0"),
                                                ansi.get(), TextMode::Ansi));
    EXPECT_EQ(s.find(1), 0u);
}
