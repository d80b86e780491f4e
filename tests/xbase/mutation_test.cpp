// Damaged files of every kind: random bytes of a good table, memo and index changed, then the
// table opened, walked in every tag, searched and checked. Each step either works or fails
// with the engine's error; nothing may crash or read outside the files (the sanitizer build
// runs this too).
#include <gtest/gtest.h>

#include <random>

#include "format_builder.h"
#include "temp_dir.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/expr.h"

using namespace xbase;

namespace {

struct Files {
    std::string dbf, cdx, fpt;
};

Files goodFiles() {
    auto [fpt, blocks] = testfmt::buildFpt(64, {"first memo", std::string(300, 'm'), "third"});
    testfmt::TableSpec s;
    s.tableFlags = 0x03;
    s.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}, {"CENA", 'N', 10, 2}, {"NOTES", 'M', 4}};
    std::vector<std::pair<std::string, std::uint32_t>> byKey, byCena;
    std::mt19937 rng(1);
    for (std::uint32_t r = 1; r <= 300; ++r) {
        std::string grup = "  " + std::to_string(rng() % 9);
        std::string nnum = "N" + std::to_string(rng() % 150);
        double cena = static_cast<double>(rng() % 100000) / 100.0;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%10.2f", cena);
        std::uint32_t block = blocks[r % 3];
        s.records.push_back(
            {grup, nnum, buf, std::string(reinterpret_cast<const char*>(&block), 4)});
        s.deleted.push_back(r % 17 == 0);
        std::string key = grup;
        key.resize(5, ' ');
        std::string n = nnum;
        n.resize(13, ' ');
        byKey.emplace_back(key + n, r);
        byCena.emplace_back(testfmt::numberKey(cena), r);
    }
    std::sort(byKey.begin(), byKey.end());
    std::sort(byCena.begin(), byCena.end());
    testfmt::TagSpec a{"MLABEL", "GRUP+NNUM", "", 18, false, false, ' ', byKey, 12, 4};
    testfmt::TagSpec b{"CENA", "CENA", "", 8, false, false, '\0', byCena, 20, 4};
    return {testfmt::buildDbf(s), testfmt::buildCdx({a, b}).bytes, fpt};
}

// Everything a reader does with a table, each step allowed to fail with the engine's error.
void exercise(const std::string& path) {
    std::unique_ptr<Table> t;
    try {
        t = Table::open(path);
    } catch (const Error&) {
        return;
    }
    auto attempt = [](auto&& f) {
        try {
            f();
        } catch (const Error&) {
        }
    };
    attempt([&] {
        for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
            const char* rec = t->record(r);
            for (const Field& f : t->fields())
                t->display(rec, f);
        }
    });
    if (t->index()) {
        for (const TagInfo& tag : t->index()->tags()) {
            attempt([&] {
                TagCursor c(*t, tag.name);
                c.setShowDeleted(true);
                std::size_t n = 0;
                for (bool on = c.first(); on && n < 100000; on = c.next())
                    ++n;
                for (bool on = c.last(); on && n < 200000; on = c.prior())
                    ++n;
                c.seek("  3");
                c.setKeyPosition(c.keyCount() / 2);
                c.setScope(std::string("  2"), std::string("  4"));
                c.first();
                c.keyCount();
            });
        }
    }
    attempt([&] {
        PhysicalSearch s(*t, Expression::compile("AT('1',NNUM)>0", t.get(), TextMode::Ansi));
        for (std::uint32_t r = s.find(1); r; r = s.find(r + 1)) {
        }
    });
    attempt([&] { checkTable(*t); });
}

}  // namespace

TEST(Mutation, DamagedFilesNeverCrashTheReader) {
    const Files good = goodFiles();
    TempDir dir;
    std::mt19937 rng(20261210);
    for (int round = 0; round < 600; ++round) {
        Files f = good;
        std::string* target = round % 3 == 0 ? &f.dbf : round % 3 == 1 ? &f.cdx : &f.fpt;
        int changes = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < changes; ++k) {
            std::size_t at = rng() % target->size();
            switch (rng() % 4) {
                case 0:
                    (*target)[at] = static_cast<char>(rng());
                    break;  // any byte
                case 1:
                    (*target)[at] = static_cast<char>((*target)[at] ^ (1 << (rng() % 8)));
                    break;
                case 2:
                    (*target)[at] = static_cast<char>(rng() % 2 ? 0xFF : 0x00);
                    break;
                default:
                    target->resize(at);
                    break;  // cut short
            }
            if (target->empty()) break;
        }
        testfmt::writeFile(dir.file("T.DBF"), f.dbf);
        testfmt::writeFile(dir.file("T.CDX"), f.cdx);
        testfmt::writeFile(dir.file("T.FPT"), f.fpt);
        exercise(dir.file("T.DBF"));
    }
    // The good files themselves read clean.
    testfmt::writeFile(dir.file("T.DBF"), good.dbf);
    testfmt::writeFile(dir.file("T.CDX"), good.cdx);
    testfmt::writeFile(dir.file("T.FPT"), good.fpt);
    auto t = Table::open(dir.file("T.DBF"));
    EXPECT_TRUE(checkTable(*t).strict());
}
