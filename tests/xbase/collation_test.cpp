// Keys of tags built under a Visual FoxPro collation: the weights against Visual FoxPro's own
// tables (kept outside the project as reference data), and keys Visual FoxPro wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine_helpers.h"
#include "xbase/ascii.h"
#include "xbase/collation.h"
#include "xbase/error.h"

using namespace xbase;
namespace fs = std::filesystem;

namespace {

const fs::path kReference = fs::path(LORF_FIXTURES_DIR) / ".." / "collations";

std::string key(const Collation& c, std::string_view value, std::size_t length) {
    std::string out;
    c.keyInto(value, length, out);
    return out;
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b)
        s += static_cast<char>(v);
    return s;
}

}  // namespace

// Every byte of every table weighs as the runtime's table says: its primary weight, its tail
// where it has one, and for an expansion the two characters it stands for.
TEST(Collation, WeightsAreVisualFoxProsOwn) {
    const std::pair<const char*, int> tables[] = {
        {"RUSSIAN", 1251}, {"RUSSIAN", 866}, {"GENERAL", 1252}, {"GENERAL", 437}, {"GENERAL", 850}};
    if (!fs::is_directory(kReference)) GTEST_SKIP() << "no reference tables at " << kReference;
    for (const auto& [name, cp] : tables) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(cp));
        const std::string bin = testhelp::fileBytes(
            (kReference / (std::string(name) + "_" + std::to_string(cp) + ".bin")).string());
        ASSERT_EQ(bin.size(), 256u * 8);
        const Collation* c = Collation::find(name, cp);
        ASSERT_NE(c, nullptr);
        auto at = [&](std::size_t b, std::size_t i) {
            return static_cast<unsigned char>(bin[b * 8 + i]);
        };
        for (std::size_t b = 0; b < 256; ++b) {
            SCOPED_TRACE(b);
            std::string want;
            if (at(b, 4) == 1) {
                // Expands into two characters: their weights, and as many tails as byte 5 says.
                want = key(*c, bytes({at(b, 6), at(b, 7)}), 4);
                EXPECT_EQ(want[0], static_cast<char>(at(b, 1)));
                EXPECT_EQ(want[1], static_cast<char>(at(b, 2)));
                // Followed by a character whose tail is not zero, that tail lands after the
                // expansion's own tails.
                std::size_t marker = 0;
                while (marker < 256 && !(at(marker, 3) && at(marker, 2) && !at(marker, 4)))
                    ++marker;
                ASSERT_LT(marker, 256u);
                const std::string k =
                    key(*c, bytes({at(b, 6), at(b, 7), static_cast<int>(marker)}), 8);
                const std::size_t tails = k.find(static_cast<char>(at(marker, 2)), 3) - 3;
                EXPECT_EQ(tails, at(b, 5));
            } else {
                want = bytes({at(b, 1), at(b, 3) ? at(b, 2) : 0, 0, 0});
            }
            if (b == ' ') {
                // A blank alone is trailing and gives nothing: it weighs before a digit.
                EXPECT_EQ(key(*c, " 1", 4)[0], static_cast<char>(at(b, 1)));
                continue;
            }
            EXPECT_EQ(ascii::hex(key(*c, bytes({static_cast<int>(b)}), 4)), ascii::hex(want));
        }
    }
}

// Keys as Visual FoxPro stores them (its GENERAL tags in the samples of another project), and
// what follows from the rule.
TEST(Collation, KeysAreAssembledAsVisualFoxProStoresThem) {
    struct Case {
        const char* collation;
        int codePage;
        std::string value;
        std::size_t length;
        std::string hex;
    };
    const Case cases[] = {
        // fb2p_free.CARACTER "lalal.áéíóúÜÑ": 13 primaries, the tails of a a á é í ó ú Ü Ñ.
        {"GENERAL", 1252, "lalal.\xE1\xE9\xED\xF3\xFA\xDC\xD1", 60,
         "6D606D606D1F60666A72787870"
         "000001010101010405" +
             std::string(76, '0')},
        // fb2p_depto.DESCRIP "la descrip" with its trailing blanks.
        {"GENERAL", 1252, "la descrip          ", 20,
         "6D601164667662756A73"
         "00"
         "000000000000000000"},
        // Only Ґ ґ (tail 01) and Г г (tail 00) have tails under RUSSIAN 1251.
        {"RUSSIAN", 1251, "\xC3\xA5", 6,
         "7A7A0001"
         "0000"},
        // A key longer than its room is cut: primaries first.
        {"RUSSIAN", 1251, "\xE0\xE1\xE2", 2, "7778"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const Collation* coll = Collation::find(c.collation, c.codePage);
        ASSERT_NE(coll, nullptr);
        EXPECT_EQ(ascii::hex(key(*coll, c.value, c.length)), c.hex);
    }
    // Letter case is ignored; an expansion weighs as its two letters.
    const Collation& general = *Collation::find("general", 1252);
    EXPECT_EQ(key(general,
                  "Stra\xDF"
                  "e",
                  16),
              key(general, "STRASSE", 16));
    const Collation& russian = *Collation::find("RUSSIAN", 1251);
    // "аб" and "АБ" share a key; Ё weighs after Е and before Ж.
    EXPECT_EQ(key(russian, "\xE0\xE1", 4), key(russian, "\xC0\xC1", 4));
    EXPECT_LT(key(russian, "\xC5\xFF", 4), key(russian, "\xA8\xE0", 4));
    EXPECT_LT(key(russian, "\xA8\xFF", 4), key(russian, "\xC6\xE0", 4));
    const Collation& oem = *Collation::find("RUSSIAN", 866);
    EXPECT_EQ(key(oem, "\xA0\xA1", 4), key(oem, "\x80\x81", 4));
}

// The common start of the keys of every value that begins with a prefix: its primaries without
// its trailing blanks, since a value with nothing after the prefix is trimmed there.
TEST(Collation, PrefixesAreTheirPrimariesWithoutTrailingBlanks) {
    const Collation& russian = *Collation::find("RUSSIAN", 1251);
    std::string prefix;
    russian.prefixInto(" \xC3 ", 10, prefix);
    for (const char* value : {" \xC3", " \xC3  12", " \xE3\xE0"}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(key(russian, value, 10).substr(0, prefix.size()), prefix);
    }
    EXPECT_EQ(prefix.size(), 2u);
}

TEST(Collation, CollationsTheEngineLacksAreUnsupportedByName) {
    EXPECT_EQ(Collation::find("", 1251), nullptr);
    EXPECT_EQ(Collation::find("MACHINE", 866), nullptr);
    for (const auto& [name, cp] :
         {std::pair<const char*, int>{"GENERAL", 1251}, {"DUTCH", 1252}, {"RUSSIAN", 1252}}) {
        try {
            Collation::find(name, cp);
            ADD_FAILURE() << name << " " << cp << " was found";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code::kUnsupported);
            EXPECT_EQ(std::string(e.what()).rfind("unsupported: collation " + std::string(name), 0),
                      0u)
                << e.what();
        }
    }
}
