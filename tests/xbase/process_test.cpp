// The engine under two processes: the opens exclude each other as two xBase programs' would,
// and a reader in another process never sees a pack half done.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "../common/child_process.h"
#include "engine_helpers.h"
#include "temp_dir.h"
#include "xbase/check.h"
#include "xbase/dbf.h"
#include "xbase/error.h"

using namespace xbase;

namespace {

TableDef smallTable() {
    TableDef d;
    d.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}, {"NOTE", 'M', 4, 0}};
    d.tags = {{"PAIR", "GRUP+NNUM", "", false, false}, {"NNUM", "NNUM", "", false, true}};
    return d;
}

OpenOptions opening(Share share) {
    OpenOptions o;
    o.share = share;
    o.readOnly = share == Share::Shared;
    return o;
}

}  // namespace

// What one process holds, what the other asks for, and whether it gets it.
TEST(Processes, OpensExcludeEachOtherAsXbaseProgramsDo) {
    struct Case {
        Share held, asked;
        bool granted;
    };
    const Case cases[] = {{Share::Shared, Share::Shared, true},
                          {Share::Shared, Share::Exclusive, false},
                          {Share::Exclusive, Share::Shared, false},
                          {Share::Exclusive, Share::Exclusive, false}};
    TempDir dir;
    const std::string path = dir.file("P.DBF");
    createTable(path, smallTable());
    for (const Case& c : cases) {
        testproc::Child holder([&](const testproc::Child::Turns& turns) {
            auto t = Table::open(path, opening(c.held));
            turns.reached();
            turns.awaitGo();
            return 0;
        });
        ASSERT_TRUE(holder.awaitReached());
        int code = 0;
        try {
            (void)Table::open(path, opening(c.asked));
        } catch (const Error& e) {
            code = e.code();
        }
        EXPECT_EQ(code, c.granted ? 0 : code::kFileInUse)
            << static_cast<int>(c.held) << " held, " << static_cast<int>(c.asked) << " asked";
        holder.go();
        EXPECT_EQ(holder.join(), 0);
    }
}

// While one process packs the table again and again (keeping the old files elsewhere or not),
// another opens it shared as often as it can: every open is refused as in use or finds a whole
// table, its records, memos and every tag as other engines need them.
TEST(Processes, AReaderNeverSeesAPackHalfDone) {
    TempDir dir;
    const std::string path = dir.file("P.DBF");
    createTable(path, smallTable());
    constexpr std::uint32_t kRecords = 400;
    {
        auto t = Table::open(path, opening(Share::Exclusive));
        for (std::uint32_t r = 1; r <= kRecords; ++r) {
            std::string rec = t->blankRecord();
            t->setText(rec, *t->field("GRUP"), std::to_string(r % 9));
            t->setText(rec, *t->field("NNUM"), "N" + std::to_string(r));
            const std::uint32_t block = t->writeMemo("memo " + std::to_string(r));
            std::memcpy(rec.data() + t->field("NOTE")->offset, &block, 4);
            t->append(rec);
        }
    }
    const std::string stop = dir.file("stop");
    testproc::Child reader([&](const testproc::Child::Turns& turns) {
        turns.reached();
        int whole = 0;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!fileExists(stop) || whole == 0) {
            if (std::chrono::steady_clock::now() > giveUp) return 4;
            // A pause between opens, as a user's would be: the packer gets its turns.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            try {
                auto t = Table::open(path, opening(Share::Shared));
                const CheckReport r = checkTable(*t);
                if (!r.problems.empty()) {
                    std::fprintf(stderr, "reader: %s\n", r.problems.front().c_str());
                    return 1;
                }
                for (std::uint32_t n = 1; n <= t->recordCount(); ++n)
                    if (t->memo(t->record(n), *t->field("NOTE")).rfind("memo ", 0) != 0) return 2;
                ++whole;
            } catch (const Error& e) {
                if (e.code() != code::kFileInUse) {
                    std::fprintf(stderr, "reader: %s\n", e.what());
                    return 3;
                }
            }
        }
        return 0;
    });
    ASSERT_TRUE(reader.awaitReached());
    std::mt19937 rng(11);
    int packs = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (packs < 6 || std::chrono::steady_clock::now() < until) {
        std::unique_ptr<Table> t;
        try {
            t = Table::open(path, opening(Share::Exclusive));
        } catch (const Error& e) {
            ASSERT_EQ(e.code(), code::kFileInUse) << e.what();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (t->recordCount() > 20) t->setDeleted(1 + static_cast<std::uint32_t>(rng() % 20), true);
        t->pack({}, packs % 2 ? dir.file("kept" + std::to_string(packs)) : std::string());
        ++packs;
    }
    std::ofstream(stop).put('x');
    EXPECT_EQ(reader.join(), 0);
    auto t = Table::open(path, opening(Share::Exclusive));
    EXPECT_TRUE(checkTable(*t).strict());
}
