#include "plan/numbers.h"

#include <gtest/gtest.h>

#include "../xbase/temp_dir.h"
#include "store/store.h"

namespace {

const std::string sp8(8, ' ');

struct AlignCase {
    std::string before, left, right;
};

TEST(Numbers, Alignment) {
    const AlignCase cases[] = {
        {"ABCDE", "ABCDE" + sp8, sp8 + "ABCDE"},
        {"AB CD", "AB CD" + sp8, sp8 + "AB CD"},  // inner blanks stay
        {"", std::string(13, ' '), std::string(13, ' ')},
        {"   ", std::string(13, ' '), std::string(13, ' ')},
        {"ABCDEFGHIJKLM", "ABCDEFGHIJKLM", "ABCDEFGHIJKLM"},
        {"\tABC\r\n", "ABC" + std::string(10, ' '), std::string(10, ' ') + "ABC"},
        {sp8 + "ABCDE", "ABCDE" + sp8, sp8 + "ABCDE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plan::alignLeft(c.before), c.left) << c.before;
        EXPECT_EQ(plan::alignRight(c.before), c.right) << c.before;
        EXPECT_EQ(plan::alignRight(plan::alignLeft(c.before)), c.right);
        EXPECT_EQ(plan::alignLeft(plan::alignRight(c.before)), c.left);
    }
}

TEST(Numbers, Replacement) {
    struct Case {
        std::string value, what, with, after;
    } cases[] = {
        {sp8 + "ABCDE", " ", "0", "00000000ABCDE"},
        {"ABCDE" + sp8, " ", "0", "ABCDE00000000"},
        {"aaa", "aa", "b", "ba"},  // no overlap, the inserted text not searched again
        {"ABC", "", "X", "ABC"},
        {"AAAAAAA", "A", "AA", "AAAAAAAAAAAAA"},  // 14 cut to 13
        {"aA", "A", "B", "aB"},
        {"A-B-C", "-", "", "ABC"},
        {"", "A", "B", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(plan::replaceAll(c.value, c.what, c.with), c.after) << c.value;
}

TEST(Numbers, Insertion) {
    struct Case {
        long long p;
        std::string text, before, right, leftOfRight;
    } cases[] = {
        {2, "0", "ABCDEFG", "AB0CDEFG", "AB0CDEFG"},
        {2, "00", "ABCDEFGHIJKLM", "AB00CDEFGHIJK", "AB00EFGHIJKLM"},
        {0, "X", "ABCDEFGHIJKLM", "XABCDEFGHIJKL", "XBCDEFGHIJKLM"},
        {5, "XY", "ABC", "ABCXY", "ABCXY"},
        {10, "VWXYZ", "ABCDEFGHIJKLM", "ABCDEFGHIJVWX", "ABCDEFGHIJVWX"},
        {13, "X", "ABCDEFGHIJKLM", "ABCDEFGHIJKLM", "ABCDEFGHIJKLM"},
        {-4, "X", "ABC", "XABC", "XABC"},
        {2, "", "ABC", "ABC", "ABC"},
        {3, "X", "", "X", "X"},
        {1, "0123456789ABCDEF", "QRS", "Q0123456789AB", "Q0123456789AB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plan::insertAt(c.before, c.p, c.text, plan::InsertCut::Right), c.right)
            << c.p << " " << c.before;
        EXPECT_EQ(plan::insertAt(c.before, c.p, c.text, plan::InsertCut::LeftOfRight),
                  c.leftOfRight)
            << c.p << " " << c.before;
    }
}

TEST(Numbers, Position) {
    const std::pair<std::string, std::optional<int>> cases[] = {
        {"2", 2},
        {"  -7", -7},
        {"+3", 3},
        {"$1F", 31},
        {"0x10", 16},
        {"-$10", -16},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"", std::nullopt},
        {"2 ", std::nullopt},
        {"two", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(plan::parseInteger(text), value) << text;
    EXPECT_EQ(plan::notAnInteger("2 "), "'2 ' is not a valid integer value");
}

// The pass writes every row in order and leaves the first row current.
TEST(Numbers, PassOverThePlan) {
    TempDir dir;
    store::createStore(dir.file("kvd.abs"));
    data::TData d;
    d.openStore(dir.file("kvd.abs"));
    for (const char* n : {"ABCDE", " AB", "ABCDEFGHIJKLM"}) {
        d.PLAN.append();
        d.PLAN.fieldByName("GRUP").setAsString("1");
        d.PLAN.fieldByName("NNUM").setAsString("N");
        d.PLAN.fieldByName("NNNUM").setAsString(n);
        d.PLAN.post();
    }
    plan::reworkNumbers(d, [](const std::string& v) { return plan::alignRight(v); });
    plan::reworkNumbers(d, [](const std::string& v) { return plan::replaceAll(v, " ", "0"); });
    std::vector<std::string> got;
    for (d.PLAN.first(); !d.PLAN.eof(); d.PLAN.next())
        got.push_back(d.PLAN.fieldByName("NNNUM").asString());
    EXPECT_EQ(got, (std::vector<std::string>{"00000000ABCDE", "00000000000AB", "ABCDEFGHIJKLM"}));
    d.PLAN.first();
    plan::reworkNumbers(d, [](const std::string& v) { return v; });
    EXPECT_EQ(d.PLAN.fieldByName("NNNUM").asString(), "00000000ABCDE");  // back on the first row

    // A failing rework stops at its row; the rows before keep their new values.
    int calls = 0;
    EXPECT_THROW(plan::reworkNumbers(d,
                                     [&](const std::string& v) -> std::string {
                                         if (++calls == 2) throw std::runtime_error("stop");
                                         return "X" + v.substr(1);
                                     }),
                 std::runtime_error);
    got.clear();
    for (d.PLAN.first(); !d.PLAN.eof(); d.PLAN.next())
        got.push_back(d.PLAN.fieldByName("NNNUM").asString());
    EXPECT_EQ(got, (std::vector<std::string>{"X0000000ABCDE", "00000000000AB", "ABCDEFGHIJKLM"}));
}

}  // namespace
