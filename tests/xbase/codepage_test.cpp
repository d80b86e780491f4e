#include <gtest/gtest.h>

#include "xbase/codepage.h"

using namespace xbase;

TEST(CodePage, OemToAnsiMapsRussianLettersByteForByte) {
    const Translation& toAnsi = Translation::between(866, 1251);
    struct Case {
        unsigned char oem, ansi;
        const char* letter;
    };
    const Case cases[] = {
        {0x80, 0xC0, "А"}, {0x9F, 0xDF, "Я"}, {0xA0, 0xE0, "а"}, {0xAF, 0xEF, "п"},
        {0xE0, 0xF0, "р"}, {0xEF, 0xFF, "я"}, {0xF0, 0xA8, "Ё"}, {0xF1, 0xB8, "ё"},
        {0xFC, 0xB9, "№"}, {0x41, 0x41, "A"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toAnsi(c.oem), c.ansi) << c.letter;
        EXPECT_EQ(CodePage::get(1251).toUtf8(std::string(1, static_cast<char>(c.ansi))), c.letter);
    }
}

// Box-drawing characters have no ANSI twin; the translation still never merges two bytes,
// so an OEM value written back after a round trip through ANSI is unchanged.
TEST(CodePage, TranslationsArePermutations) {
    for (auto [from, to] : {std::pair{866, 1251}, std::pair{437, 1251}, std::pair{850, 1252}}) {
        const Translation& there = Translation::between(from, to);
        const Translation& back = Translation::between(to, from);
        for (int b = 0; b < 256; ++b) {
            auto c = static_cast<unsigned char>(b);
            EXPECT_EQ(back(there(c)), c) << from << "->" << to << " byte " << b;
        }
    }
}

TEST(CodePage, CaseFollowsEachCodePage) {
    const CodePage& oem = CodePage::get(866);
    const CodePage& ansi = CodePage::get(1251);
    const CodePage& west = CodePage::get(1252);
    EXPECT_EQ(oem.upper(0xA0), 0x80);   // а -> А
    EXPECT_EQ(oem.upper(0xE0), 0x90);   // р -> Р
    EXPECT_EQ(oem.upper(0xF1), 0xF0);   // ё -> Ё
    EXPECT_EQ(oem.lower(0x9F), 0xEF);   // Я -> я
    EXPECT_EQ(ansi.upper(0xFF), 0xDF);  // я -> Я
    EXPECT_EQ(ansi.upper(0xB8), 0xA8);  // ё -> Ё
    EXPECT_EQ(west.upper(0xFF), 0x9F);  // ÿ -> Ÿ: the same byte means another letter in 1252
    EXPECT_EQ(ansi.upper('q'), 'Q');
    EXPECT_EQ(ansi.upper(0xB9), 0xB9);  // № has no case
}

TEST(CodePage, Utf8EdgesRefuseWhatThePageCannotHold) {
    const CodePage& ansi = CodePage::get(1251);
    EXPECT_EQ(ansi.fromUtf8("Труба №5"), std::optional<std::string>("\xD2\xF0\xF3\xE1\xE0 \xB9"
                                                                    "5"));
    EXPECT_EQ(ansi.fromUtf8("日本"), std::nullopt);
    EXPECT_EQ(ansi.fromUtf8("\xC3"), std::nullopt);  // cut UTF-8
    EXPECT_EQ(CodePage::get(866).fromUtf8("ЩЁ"), std::optional<std::string>("\x99\xF0"));
    for (int b = 0; b < 256; ++b) {
        std::string one(1, static_cast<char>(b));
        EXPECT_EQ(ansi.fromUtf8(ansi.toUtf8(one)), one) << b;
    }
}

TEST(CodePage, HeaderBytes) {
    EXPECT_EQ(codePageFromByte(0x00), kAnsiCodePage);
    EXPECT_EQ(codePageFromByte(0x65), 866);
    EXPECT_EQ(codePageFromByte(0x26), 866);
    EXPECT_EQ(codePageFromByte(0xC9), 1251);
    EXPECT_EQ(codePageFromByte(0x03), 1252);
    EXPECT_EQ(codePageFromByte(0x01), 437);
    EXPECT_EQ(codePageFromByte(0x02), 850);
    EXPECT_EQ(codePageFromByte(0x7B), 0);
    EXPECT_EQ(codePageFromByte(codePageByte(866)), 866);
    EXPECT_EQ(CodePage::find(932), nullptr);
}

TEST(CodePage, DBase7DriverNames) {
    const std::pair<const char*, int> names[] = {
        {"DB866RU0", 866},  {"DB437US0", 437},  {"DB850UK0", 850},
        {"DBWINUS0", 1252}, {"DBWINWE0", 1252}, {"DBWINRU0", 1251},
        {"DB932JP0", 0},    {"ANCYRR", 0},      {"", 0},
        {"DB8", 0}};
    for (auto [name, cp] : names)
        EXPECT_EQ(codePageFromDriverName(name), cp) << name;
}
