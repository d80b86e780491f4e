#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "../common/test_text.h"
#include "../xbase/engine_helpers.h"
#include "../xbase/temp_dir.h"
#include "plan/backup.h"
#include "plan/transfer.h"
#include "plan/verify.h"
#include "sample_db.h"
#include "xbase/check.h"
#include "xbase/codepage.h"
#include "xbase/cursor.h"
#include "xbase/file.h"
#include "xbase/fs_path.h"

namespace fs = std::filesystem;
using db::Value;

namespace {

using testhelp::fileBytes;
using testtext::ansi;

// The screen, recorded; the clock stands still so that two runs write the same journal.
struct RecordingPort : plan::TransferPort {
    std::vector<std::string> journal, infos, asked;
    int progressMax = -1, advanced = 0, journalShown = 0;
    bool answer = true;  // to every yes-or-no question
    void info(const std::string& t) override { infos.push_back(t); }
    bool ask(const std::string& t) override {
        asked.push_back(t);
        return answer;
    }
    void progressOpen(int max) override { progressMax = max; }
    void progressUpper(const std::string&) override {}
    void progressLower(const std::string&) override {}
    void progressAdvance(int steps) override { advanced += steps; }
    void progressClose() override {}
    void processMessages() override {}
    std::string timeStamp() override { return "T"; }
    void journalAppend(const std::string& line) override { journal.push_back(line); }
    void journalReplaceLast(const std::string& line) override { journal.back() = line; }
    void showJournal() override { ++journalShown; }
    std::uint32_t ticks() override { return 1000; }
    char decimalSeparator() override { return ','; }
};

// Every record of a table (deleted ones too), and every tag's entries.
std::string contents(const std::string& path) {
    auto t = xbase::Table::open(path);
    std::ostringstream out;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r)
        out << std::string(t->record(r), t->recordLength()) << "\n";
    if (t->index())
        for (const auto& tag : t->index()->tags()) {
            xbase::TagCursor c(*t, tag.name);
            c.setShowDeleted(true);
            for (bool on = c.first(); on; on = c.next())
                out << tag.name << c.recno() << "|";
        }
    EXPECT_TRUE(xbase::checkTable(*t).strict()) << path;
    return out.str();
}

std::multiset<std::pair<std::string, std::string>> visiblePairs(const std::string& path) {
    auto t = xbase::Table::open(path);
    std::multiset<std::pair<std::string, std::string>> out;
    for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
        const char* rec = t->record(r);
        if (rec[0] != '*')
            out.emplace(t->text(rec, *t->field("GRUP")), t->text(rec, *t->field("NNUM")));
    }
    return out;
}

// The journal as UTF-8 text, a line each: what a failing expectation shows.
std::string journalText(const RecordingPort& port) {
    std::string text;
    for (const std::string& l : port.journal)
        text += testtext::utf8(l) + "\n";
    return text;
}

// Error lines name the database directory, which differs from copy to copy.
void withoutDir(std::vector<std::string>& lines, const std::string& dir) {
    // As written, and as the program names paths: with this system's separator alone.
    for (const std::string& d : {dir, xbase::nativeSeparators(dir)})
        for (std::string& l : lines)
            for (auto at = l.find(d); at != std::string::npos; at = l.find(d))
                l.replace(at, d.size(), "DB");
}

struct Database {
    TempDir dir;
    std::string root;  // the database's folder: the temporary one, or a folder in it
    std::unique_ptr<data::TData> d;
    Database(const std::string& source, const std::vector<std::string>& tables,
             const std::vector<plan::PlanRow>& rows, const std::string& folder = "")
        : root(folder.empty() ? dir.path() : dir.file(folder)) {
        testhelp::copyFolder(source, xbase::fsPath(root));
        store::createStore(root + "/kvd.abs");
        d = std::make_unique<data::TData>();
        d->openStore(root + "/kvd.abs");
        d->openAccounting(root + "/", true);
        for (const std::string& t : tables) {
            d->TABLES.append();
            d->TABLES.fieldByName("NAME").setAsString(t);
            d->TABLES.post();
        }
        for (const auto& r : rows)
            plan::appendPlanRow(*d, r);
    }
};

class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sample::DemoOptions o;
        o.materials = 300;
        o.groups = 8;
        sample::writeDemo(source.path(), o);
        // A listed table without GRUP, and an empty one with it.
        xbase::TableDef noGrup;
        noGrup.fields = {{"CODE", 'C', 5, 0}, {"NNUM", 'C', 13, 0}};
        xbase::createTable(source.file("zapas/nogrup.dbf"), noGrup);
        auto t = xbase::Table::open(source.file("zapas/nogrup.dbf"), writable());
        t->append(t->blankRecord());
        xbase::TableDef empty;
        empty.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}};
        xbase::createTable(source.file("zapas/empty.dbf"), empty);
        auto m = xbase::Table::open(source.file("zapas/mlabel.dbf"));
        for (std::uint32_t r = 1; r <= m->recordCount(); ++r) {
            const char* rec = m->record(r);
            pairs.emplace_back(m->text(rec, *m->field("GRUP")), m->text(rec, *m->field("NNUM")));
        }
    }
    static xbase::OpenOptions writable() {
        xbase::OpenOptions o;
        o.share = xbase::Share::Exclusive;
        o.readOnly = false;
        return o;
    }
    TempDir source;
    std::vector<std::pair<std::string, std::string>> pairs;
    const std::vector<std::string> tables = {"zapas\\mlabel.dbf", "zapas\\prihod.dbf",
                                             "zapas\\nosuch.dbf", "zapas\\nogrup.dbf",
                                             "zapas\\empty.dbf"};
};

}  // namespace

// The one-pass run gives exactly what the row-by-row run gives: tables, journal, boxes.
TEST_F(TransferTest, OnePassEqualsRowByRow) {
    std::mt19937 rng(4);
    for (int round = 0; round < 6; ++round) {
        std::vector<plan::PlanRow> rows;
        int n = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < n; ++i) {
            plan::PlanRow r;
            const auto& [g, k] = pairs[rng() % pairs.size()];
            r.grup = g;
            r.nnum = k;
            r.name = "row " + std::to_string(i);
            switch (rng() % 5) {
                case 0:  // chain on from an earlier row's target
                    if (!rows.empty()) {
                        r.grup = rows.back().ngrup;
                        r.nnum = rows.back().nnnum;
                    }
                    break;
                case 1:  // back again
                    if (!rows.empty()) {
                        r.grup = rows.back().ngrup;
                        r.nnum = rows.back().nnnum;
                        r.ngrup = rows.back().grup;
                        r.nnnum = rows.back().nnum;
                        rows.push_back(r);
                        continue;
                    }
                    break;
                case 2:
                    r.nnum += "x";
                    break;  // matches nothing
                default:
                    break;
            }
            r.ngrup = "  " + std::to_string(rng() % 9);
            r.nnnum = rng() % 3 ? ansi("Ж-") + std::to_string(rng() % 50) : std::string(20, '7');
            rows.push_back(r);
        }
        // One data module at a time: the engine's settings exist once per process.
        RecordingPort fastPort, slowPort;
        std::vector<std::string> fastFiles, slowFiles;
        auto files = [](const Database& db) {
            return std::vector<std::string>{contents(db.dir.file("zapas/mlabel.dbf")),
                                            contents(db.dir.file("zapas/prihod.dbf"))};
        };
        {
            Database fast(source.path(), tables, rows);
            plan::Transfer(*fast.d, fastPort, true).run();
            withoutDir(fastPort.journal, fast.dir.path());
            // The missing table fails every row: the plan keeps them all.
            EXPECT_EQ(static_cast<std::size_t>(fast.d->PLAN.recordCount()), rows.size());
            EXPECT_TRUE(fast.d->mlabel.active());
            fast.d.reset();
            fastFiles = files(fast);
        }
        {
            Database slow(source.path(), tables, rows);
            plan::Transfer(*slow.d, slowPort, true).runRowByRow();
            withoutDir(slowPort.journal, slow.dir.path());
            EXPECT_EQ(static_cast<std::size_t>(slow.d->PLAN.recordCount()), rows.size());
            slow.d.reset();
            slowFiles = files(slow);
        }
        EXPECT_EQ(fastPort.journal, slowPort.journal) << "round " << round;
        // The last box names the run's own backup folder: the same up to it.
        auto boxes = [](std::vector<std::string> infos) {
            const std::string folder = ansi("Журнал, план и копии таблиц: ");
            for (std::string& s : infos)
                if (const std::size_t at = s.find(folder); at != std::string::npos)
                    s.erase(at + folder.size());
            return infos;
        };
        EXPECT_EQ(boxes(fastPort.infos), boxes(slowPort.infos));
        EXPECT_EQ(fastPort.advanced, slowPort.advanced);
        EXPECT_TRUE(fastFiles == slowFiles) << "the tables differ in round " << round;
    }
}

TEST_F(TransferTest, JournalOfARun) {
    const auto& [g, k] = pairs.front();
    std::vector<plan::PlanRow> rows = {{g, k, "first", "  9", "NEW"},
                                       {"  9", "NEW", "second", g, k}};
    Database db(source.path(), tables, rows);
    RecordingPort port;
    plan::Transfer run(*db.d, port, true);
    run.run();
    ASSERT_GE(port.journal.size(), 9u);
    EXPECT_EQ(run.errorLines(), 4);  // both rows in the table without GRUP and the missing one
    EXPECT_EQ(port.journal.front(), "T" + ansi(": Запущен перенос ") + "2" + ansi(" позиций"));
    EXPECT_EQ(port.journal.back(), "T" + ansi(": Перенос завершен"));
    // Tables in name order; each line of a table ends with its time; a missing table and one
    // without GRUP give a line per plan row. A rewritten table's check runs beside the next
    // table and says its result when that table is done.
    std::vector<std::string> expected = {
        "T" + ansi(": Запущен перенос ") + "2" + ansi(" позиций"),
        "T" + ansi(":Обрабатывается ") + "zapas\\empty.dbf ;0" + ansi(" сек"),
        "T" + ansi(":Обрабатывается ") + "zapas\\mlabel.dbf ;0" + ansi(" сек"),
        "T" + ansi(":Обрабатывается ") + "zapas\\nogrup.dbf"};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(port.journal[i], expected[i]) << i;
    EXPECT_EQ(
        port.journal[4].rfind(
            "T" + ansi(":Grup:") + g + ",Nnum:" + k + " AdsTableR: Field 'grup' not found", 0),
        0u)
        << port.journal[4];
    EXPECT_NE(port.journal[5].find(ansi(" ;0 сек")), std::string::npos)
        << "the time goes on the last error line";
    EXPECT_EQ(port.journal[6], "T" + ansi(":Индексы проверены ") + "zapas\\mlabel.dbf");
    EXPECT_EQ(port.infos.size(), 2u);
    EXPECT_EQ(port.journalShown, 1);
    // A→B then B→A: every material back where it was (and the deleted ones packed away).
    db.d.reset();
    EXPECT_EQ(visiblePairs(db.dir.file("zapas/mlabel.dbf")),
              visiblePairs(source.file("zapas/mlabel.dbf")));
}

TEST_F(TransferTest, EmptyPlanAndEmptyList) {
    {
        // An empty plan asks for no room on the disk, though the disk has none.
        Database db(source.path(), tables, {});
        RecordingPort port;
        plan::Transfer run(*db.d, port, true);
        run.setFreeSpaceProbe([](const std::string&) { return std::uint64_t{0}; });
        run.run();
        EXPECT_TRUE(port.asked.empty());
        EXPECT_EQ(port.journal.size(), 2u + tables.size());
        EXPECT_EQ(port.journal[0], "T" + ansi(": Запущен перенос 0 позиций"));
        EXPECT_EQ(port.infos.size(), 2u);
    }
    {
        Database db(source.path(), {}, {{"  1", "1", "x", "  2", "2"}});
        RecordingPort port;
        plan::Transfer(*db.d, port, true).run();
        EXPECT_EQ(port.journal, (std::vector<std::string>{"T" + ansi(": Запущен перенос 1 позиций"),
                                                          "T" + ansi(": Перенос завершен")}));
        EXPECT_TRUE(db.d->PLAN.isEmpty());
    }
}

TEST(TransferSeconds, AsTheJournalWritesThem) {
    EXPECT_EQ(plan::Transfer::seconds(235, ','), "0,235");
    EXPECT_EQ(plan::Transfer::seconds(12500, ','), "12,5");
    EXPECT_EQ(plan::Transfer::seconds(2000, ','), "2");
    EXPECT_EQ(plan::Transfer::seconds(0, '.'), "0");
}

// On an OEM database the plan's ANSI numbers are matched and written in code page 866: a
// Cyrillic number moved there is found again by the next run.
TEST(TransferOem, CyrillicNumbersInTheTablesCodePage) {
    TempDir source;
    sample::DemoOptions o;
    o.materials = 120;
    o.groups = 4;
    o.oem = true;
    sample::writeDemo(source.path(), o);
    std::string grup, nnum;
    {
        auto m = xbase::Table::open(source.file("zapas/mlabel.dbf"));
        const char* rec = m->record(1);
        grup = m->text(rec, *m->field("GRUP"));
        nnum = m->text(rec, *m->field("NNUM"));
    }
    auto oemOf = [](const char* utf8) { return *xbase::CodePage::get(866).fromUtf8(utf8); };
    auto rawCount = [&](const std::string& g, const std::string& k) {
        auto m = xbase::Table::open(source.file("zapas/mlabel.dbf"));
        EXPECT_TRUE(xbase::checkTable(*m).strict());
        int n = 0;
        for (std::uint32_t r = 1; r <= m->recordCount(); ++r) {
            std::string rg(m->raw(m->record(r), *m->field("GRUP")));
            std::string rk(m->raw(m->record(r), *m->field("NNUM")));
            n += rg.substr(0, rg.find_last_not_of(' ') + 1) == g &&
                 rk.substr(0, rk.find_last_not_of(' ') + 1) == k;
        }
        return n;
    };
    const std::vector<std::string> tables = {"zapas\\mlabel.dbf"};
    RecordingPort port;
    {
        Database db(source.path(), tables, {{grup, nnum, "", "  9", ansi("Ж-1")}});
        plan::Transfer(*db.d, port, false).run();
        db.d.reset();
        fs::remove_all(source.file("zapas"));
        testhelp::copyFolder(db.dir.file("zapas"), source.file("zapas"));
    }
    const int moved = rawCount("  9", oemOf("Ж-1"));
    EXPECT_GT(moved, 0);
    EXPECT_EQ(rawCount(grup, nnum), 0);
    {
        Database db(source.path(), tables, {{"  9", ansi("Ж-1"), "", "  8", ansi("Щ-2")}});
        plan::Transfer(*db.d, port, false).run();
        db.d.reset();
        fs::remove_all(source.file("zapas"));
        testhelp::copyFolder(db.dir.file("zapas"), source.file("zapas"));
    }
    EXPECT_EQ(rawCount("  8", oemOf("Щ-2")), moved);
    EXPECT_EQ(rawCount("  9", oemOf("Ж-1")), 0);
}

// The plan checked before a transfer: what each row changes per listed table, every pair two
// materials would share (a pair another material keeps, two rows ending on one pair, a swap
// that chains back), rows without a new group or number, and the tables that hold pairs but
// are not listed.
TEST_F(TransferTest, ThePlanCheckFindsMergesBlanksAndUnlistedTables) {
    std::vector<std::pair<std::string, std::string>> visible;
    {
        auto m = xbase::Table::open(source.file("zapas/mlabel.dbf"));
        for (std::uint32_t r = 1; r <= m->recordCount() && visible.size() < 7; ++r) {
            const char* rec = m->record(r);
            if (rec[0] != '*')
                visible.emplace_back(m->text(rec, *m->field("GRUP")),
                                     m->text(rec, *m->field("NNUM")));
        }
    }
    ASSERT_EQ(visible.size(), 7u);
    auto row = [&](std::size_t from, const std::string& g, const std::string& n) {
        return plan::PlanRow{visible[from].first, visible[from].second, "", g, n};
    };
    const auto& [bg, bn] = visible[1];
    const auto& [eg, en] = visible[4];
    const auto& [fg, fn] = visible[5];
    const std::vector<plan::PlanRow> rows = {
        row(0, bg, bn),     // onto a pair another material keeps
        row(2, "Z", "X1"),  // two rows ending on one pair
        row(3, "Z", "X1"),
        row(4, fg, fn),    // a swap: the first row's new pair is the second row's source,
        row(5, eg, en),    // so both end on the first pair
        row(6, "", "N1"),  // no new group
    };
    {
        Database db(source.path(), {"zapas\\mlabel.dbf", "zapas\\nosuch.dbf"}, rows);
        const plan::PlanCheck c = plan::checkPlan(*db.d, db.dir.path() + "/", true);
        ASSERT_EQ(c.tables.size(), 2u);
        EXPECT_TRUE(c.tables[0].error.empty()) << c.tables[0].error;
        EXPECT_EQ(c.tables[0].moved, (std::vector<std::uint64_t>{1, 1, 1, 1, 2, 1}));
        EXPECT_FALSE(c.tables[1].error.empty());
        EXPECT_EQ(c.blankRows, (std::vector<std::size_t>{5}));
        std::map<std::string, bool> merges;  // "GRUP/NNUM": one of them keeps its pair
        for (const auto& m : c.merges) {
            EXPECT_EQ(m.materials.size(), 2u) << m.grup << "/" << m.nnum;
            merges[m.grup + "/" + m.nnum] = m.withUnmoved;
        }
        EXPECT_EQ(merges, (std::map<std::string, bool>{
                              {bg + "/" + bn, true}, {"Z/X1", false}, {eg + "/" + en, false}}));
        EXPECT_EQ(c.unlisted, (std::vector<std::string>{"zapas\\empty.dbf", "zapas\\prihod.dbf"}));
        EXPECT_TRUE(c.needsConfirmation());
        const auto report = plan::planReport(c);
        auto count = [&](const std::string& start) {
            return std::count_if(report.begin(), report.end(),
                                 [&](const std::string& l) { return l.rfind(start, 0) == 0; });
        };
        EXPECT_EQ(count(ansi("Слияние: ")), 3);
        EXPECT_EQ(count(ansi("Пустая новая группа или номер: ")), 1);
        EXPECT_EQ(count(ansi("Не в списке таблиц")), 2);
    }

    // A plan that moves materials onto free pairs asks nothing.
    {
        Database clean(source.path(), {"zapas\\mlabel.dbf", "zapas\\prihod.dbf"},
                       {row(0, "Q", "Q1"), row(2, "Q", "Q2")});
        const plan::PlanCheck ok = plan::checkPlan(*clean.d, clean.dir.path() + "/", true);
        EXPECT_TRUE(ok.merges.empty());
        EXPECT_FALSE(ok.needsConfirmation());
    }

    // A row whose new pair is its old one changes nothing and is said to; a table that cannot
    // be read is a remark too: neither report ends with "no remarks".
    for (const bool unreadable : {false, true}) {
        SCOPED_TRACE(unreadable ? "an unreadable table" : "a row onto itself");
        std::vector<std::string> listed = {"zapas\\mlabel.dbf", "zapas\\prihod.dbf"};
        if (unreadable) listed.push_back("zapas\\nosuch.dbf");
        Database db(source.path(), listed,
                    {row(0, "Q", "Q1"),
                     unreadable ? row(2, "Q", "Q2") : row(2, visible[2].first, visible[2].second)});
        const plan::PlanCheck c = plan::checkPlan(*db.d, db.dir.path() + "/", true);
        const auto report = plan::planReport(c);
        EXPECT_TRUE(c.hasRemarks());
        EXPECT_NE(report.back(), ansi("Замечаний нет"));
        EXPECT_EQ(c.tables[0].moved[1], unreadable ? 1u : 0u);
        const bool said = std::any_of(report.begin(), report.end(), [](const std::string& l) {
            return l.find(ansi(": новая пара совпадает со старой")) != std::string::npos;
        });
        EXPECT_EQ(said, !unreadable);
    }
}

// A table's check runs beside the next table; the same table listed twice (spelled
// otherwise) waits for its check before it is opened exclusively again.
TEST_F(TransferTest, ATableListedTwiceWaitsForItsCheck) {
    const auto& [g, k] = pairs.front();
    Database db(source.path(), {"zapas\\mlabel.dbf", "ZAPAS\\MLABEL.DBF"},
                {{g, k, "first", "  9", "NEW-1"}});
    RecordingPort port;
    plan::Transfer run(*db.d, port, true);
    run.run();
    const std::string journal = journalText(port);
    EXPECT_EQ(run.errorLines(), 0) << journal;
    EXPECT_EQ(std::count_if(port.journal.begin(), port.journal.end(),
                            [](const std::string& l) {
                                return l.find(ansi(":Индексы проверены ")) != std::string::npos;
                            }),
              2)
        << journal;
    EXPECT_EQ(db.d->PLAN.recordCount(), 0);
    // One change log of both passes (the first, in the list's order, moved the material, the
    // second nothing), the journal as the run wrote it, and one verdict per table when the
    // backup puts the table back as it was before the run.
    const std::vector<plan::BackupInfo> backups = plan::listBackups(db.dir.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].tables, std::vector<std::string>{"ZAPAS\\MLABEL.DBF"});
    std::size_t moved = 0;
    for (const auto& [g2, k2] : pairs)
        moved += g2 == g && k2 == k;
    std::ifstream log(backups[0].folder + "/changes-ZAPAS-MLABEL.DBF.csv");
    std::vector<std::string> lines;
    for (std::string l; std::getline(log, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 1 + moved);
    EXPECT_NE(lines[1].find(";  9;NEW-1"), std::string::npos) << lines[1];
    std::string recorded = fileBytes(backups[0].folder + "/journal.txt");
    EXPECT_EQ(recorded, journal);
    db.d.reset();
    const plan::RestoreReport report = plan::restoreBackup(db.dir.path(), backups[0], false);
    EXPECT_EQ(report.lines,
              std::vector<std::string>{"ZAPAS\\MLABEL.DBF" + ansi(": восстановлена")});
    EXPECT_EQ(report.failed, 0);
    EXPECT_TRUE(fileBytes(db.root + "/zapas/mlabel.dbf") ==
                fileBytes(source.file("zapas/mlabel.dbf")));
}

// A run keeps the old files of every table it rewrites, byte for byte, in one folder of its
// own inside the database, with its journal, the plan as it was and a change log per table;
// the rows that failed (a missing table) stay in the plan, and the backup keeps them to be put
// back into the plan later, even though the material table already took them.
TEST_F(TransferTest, ARunKeepsTheOldFilesAndWhatHappened) {
    const auto& [g, k] = pairs.front();
    Database db(source.path(), {"zapas\\mlabel.dbf", "zapas\\nosuch.dbf"},
                {{g, k, "first", "  9", "NEW-1"}});
    RecordingPort port;
    plan::Transfer run(*db.d, port, true);
    run.run();
    const fs::path backup = run.backupFolder();
    ASSERT_FALSE(backup.empty());
    EXPECT_EQ(backup.parent_path(), fs::path(db.dir.path()) / "lorf-backup");
    for (const char* f : {"mlabel.dbf", "mlabel.cdx", "mlabel.fpt"})
        EXPECT_EQ(fileBytes(backup / "zapas" / f), fileBytes(fs::path(source.path()) / "zapas" / f))
            << f;
    const std::string journal = fileBytes(backup / "journal.txt");
    EXPECT_NE(journal.find("Запущен перенос 1 позиций"), std::string::npos) << journal;
    EXPECT_NE(journal.find(":Grup:"), std::string::npos) << journal;
    EXPECT_EQ(fileBytes(backup / "plan.csv"),
              "GRUP;NNUM;NGRUP;NNNUM\n" + testtext::utf8(g + ";" + k + ";  9;NEW-1") + "\n");
    const std::string log = fileBytes(backup / "changes-zapas-mlabel.dbf.csv");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find(testtext::utf8(";" + g + ";" + k + ";  9;NEW-1")), std::string::npos) << log;
    EXPECT_EQ(db.d->PLAN.recordCount(), 1);  // the missing table failed the row
    EXPECT_EQ(fileBytes(backup / "failed.csv"), fileBytes(backup / "plan.csv"));

    const std::vector<plan::BackupInfo> backups = plan::listBackups(db.dir.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].failedRows, 1u);
    plan::SilentPort screen;
    plan::PlanBuilder builder(*db.d, screen);
    EXPECT_EQ(builder.returnRows(plan::failedRows(backups[0])), 0u);  // still planned
    db.d->PLAN.close();
    db.d->PLAN.emptyTable();
    db.d->PLAN.open();
    auto trimmed = [](const std::string& v) { return v.substr(0, v.find_last_not_of(' ') + 1); };
    EXPECT_EQ(builder.returnRows(plan::failedRows(backups[0])), 1u);
    const std::vector<plan::PlanRow> back = plan::planRows(*db.d);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(trimmed(back[0].grup), trimmed(g));
    EXPECT_EQ(trimmed(back[0].nnum), trimmed(k));
    EXPECT_EQ(trimmed(back[0].ngrup), "  9");
    EXPECT_EQ(trimmed(back[0].nnnum), "NEW-1");
    EXPECT_FALSE(trimmed(back[0].name).empty());  // found under the pair the material took

    // The backup's copies are not tables of the database the list lacks; the ones that are
    // go into the list in one step.
    const std::vector<std::string> unlisted = {"zapas\\empty.dbf", "zapas\\prihod.dbf"};
    EXPECT_EQ(plan::checkPlan(*db.d, db.dir.path() + "/", true).unlisted, unlisted);
    plan::addTables(*db.d, unlisted);
    EXPECT_TRUE(plan::checkPlan(*db.d, db.dir.path() + "/", true).unlisted.empty());
    EXPECT_EQ(db.d->TABLES.recordCount(), 4);
}

// A database in a folder named in Cyrillic (as a Russian office names its folders): the run, its
// backup, the look for unlisted tables and the restore all find their files.
TEST_F(TransferTest, AFolderNamedInCyrillicKeepsAndRestoresItsBackup) {
    const auto& [g, k] = pairs.front();
    Database db(source.path(), {"zapas\\mlabel.dbf"}, {{g, k, "first", "  9", "NEW-1"}},
                "Склад №1");
    EXPECT_EQ(plan::checkPlan(*db.d, db.root + "/", true).unlisted,
              (std::vector<std::string>{"zapas\\empty.dbf", "zapas\\prihod.dbf"}));
    RecordingPort port;
    plan::Transfer run(*db.d, port, true);
    run.run();
    EXPECT_EQ(run.errorLines(), 0);
    db.d->closeBrowsing();
    const std::vector<plan::BackupInfo> backups = plan::listBackups(db.root);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].tables, std::vector<std::string>{"zapas\\mlabel.dbf"});
    EXPECT_EQ(backups[0].planRows, 1u);
    const plan::RestoreReport report = plan::restoreBackup(db.root, backups[0], false);
    EXPECT_EQ(report.failed, 0u);
    for (const char* f : {"mlabel.dbf", "mlabel.cdx", "mlabel.fpt"})
        EXPECT_EQ(fileBytes(xbase::fsPath(db.root + "/zapas/" + f)),
                  fileBytes(fs::path(source.path()) / "zapas" / f))
            << f;
}

// A backup puts the tables back as they were before the run, byte for byte; a table changed
// since the run is left alone unless forced.
TEST_F(TransferTest, ABackupPutsTheTablesBack) {
    const auto& [g, k] = pairs.front();
    Database db(source.path(), {"zapas\\mlabel.dbf"}, {{g, k, "first", "  9", "NEW-1"}});
    RecordingPort port;
    plan::Transfer run(*db.d, port, true);
    run.run();
    db.d->closeBrowsing();
    const std::vector<plan::BackupInfo> backups = plan::listBackups(db.dir.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].tables, std::vector<std::string>{"zapas\\mlabel.dbf"});
    EXPECT_EQ(backups[0].planRows, 1u);
    EXPECT_EQ(backups[0].errorLines, 0u);
    const char* files[] = {"mlabel.dbf", "mlabel.cdx", "mlabel.fpt"};
    const auto restored = [&] {
        for (const char* f : files)
            if (fileBytes(db.dir.file(std::string("zapas/") + f)) !=
                fileBytes(fs::path(source.path()) / "zapas" / f))
                return false;
        return true;
    };
    ASSERT_FALSE(restored());

    // Somebody works in the table after the run: the restore would lose that work.
    const std::string afterRun = fileBytes(db.dir.file("zapas/mlabel.dbf"));
    {
        xbase::OpenOptions o;
        o.readOnly = false;
        o.share = xbase::Share::Exclusive;
        xbase::Table::open(db.dir.file("zapas/mlabel.dbf"), o)->setDeleted(1, true);
    }
    ASSERT_NE(fileBytes(db.dir.file("zapas/mlabel.dbf")), afterRun);
    plan::RestoreReport report = plan::restoreBackup(db.dir.path(), backups[0], false, "T ");
    EXPECT_EQ(report.lines,
              std::vector<std::string>{"zapas\\mlabel.dbf" +
                                       ansi(": изменена после переноса, не восстановлена")});
    EXPECT_EQ(report.failed, 1u);
    EXPECT_FALSE(restored());

    report = plan::restoreBackup(db.dir.path(), backups[0], true, "T ");
    EXPECT_EQ(report.lines,
              std::vector<std::string>{"zapas\\mlabel.dbf" + ansi(": восстановлена")});
    EXPECT_EQ(report.failed, 0u);
    EXPECT_TRUE(restored());
    EXPECT_FALSE(fs::exists(db.dir.file("zapas/mlabel.dbf") + ".pack"));

    // Put back once, the backup says so when asked again, and keeps the restores' lines.
    EXPECT_TRUE(plan::changedSince(db.dir.path(), backups[0]).empty());
    report = plan::restoreBackup(db.dir.path(), backups[0], false, "T ");
    EXPECT_EQ(report.lines, std::vector<std::string>{"zapas\\mlabel.dbf" +
                                                     ansi(": уже восстановлена из этой копии")});
    EXPECT_EQ(report.failed, 0u);
    EXPECT_TRUE(restored());
    EXPECT_EQ(plan::listBackups(db.dir.path())[0].restores,
              (std::vector<std::string>{
                  "T zapas\\mlabel.dbf" + ansi(": изменена после переноса, не восстановлена"),
                  "T zapas\\mlabel.dbf" + ansi(": восстановлена"),
                  "T zapas\\mlabel.dbf" + ansi(": уже восстановлена из этой копии")}));

    plan::deleteBackup(backups[0]);
    EXPECT_TRUE(plan::listBackups(db.dir.path()).empty());
}

// Without room for a copy of the listed tables the run changes nothing and says why, unless
// removing old backups (oldest first, only as many as it takes) makes the room and the user
// agrees; each removal has its journal line.
TEST_F(TransferTest, NoRoomChangesNothingUnlessOldBackupsMakeIt) {
    const auto& [g, k] = pairs.front();
    struct Case {
        const char* what;
        std::vector<std::uintmax_t> oldBackups;  // sizes, oldest first; 0 means "as needed"
        bool answer;
        bool asked, runs;
        std::size_t removed;
    };
    const Case cases[] = {
        {"no backups", {}, true, false, false, 0},
        {"backups too small", {10, 10}, true, false, false, 0},
        {"the user says no", {0, 10}, false, true, false, 0},
        {"the oldest makes the room", {0, 10}, true, true, true, 1},
        {"two make the room", {10, 0, 10}, true, true, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Database db(source.path(), {"zapas\\mlabel.dbf"}, {{g, k, "first", "  9", "NEW-1"}});
        std::uintmax_t needed = 0;
        for (const char* f : {"zapas/mlabel.dbf", "zapas/mlabel.cdx", "zapas/mlabel.fpt"})
            needed += fs::file_size(db.dir.file(f));
        std::vector<std::string> names;
        for (std::size_t i = 0; i < c.oldBackups.size(); ++i) {
            names.push_back("2000-01-0" + std::to_string(i + 1) + "_00-00-00");
            const fs::path folder = fs::path(db.dir.path()) / "lorf-backup" / names.back();
            fs::create_directories(folder / "zapas");
            std::ofstream(folder / "zapas" / "mlabel.dbf").put('x');
            fs::resize_file(folder / "zapas" / "mlabel.dbf",
                            c.oldBackups[i] ? c.oldBackups[i] : needed);
        }
        const std::string before = fileBytes(db.dir.file("zapas/mlabel.dbf"));
        RecordingPort port;
        port.answer = c.answer;
        plan::Transfer run(*db.d, port, true);
        run.setFreeSpaceProbe([](const std::string&) { return std::uint64_t{1000}; });
        run.run();
        EXPECT_EQ(port.asked.size(), c.asked ? 1u : 0u);
        EXPECT_EQ(run.started(), c.runs);
        EXPECT_EQ(fileBytes(db.dir.file("zapas/mlabel.dbf")) == before, !c.runs);
        EXPECT_EQ(db.d->PLAN.recordCount(), c.runs ? 0 : 1);
        if (!c.runs && !c.asked) {
            ASSERT_EQ(port.infos.size(), 1u);
            EXPECT_EQ(port.infos[0].rfind(ansi("Недостаточно места на диске для переноса"), 0), 0u);
            EXPECT_TRUE(port.journal.empty());
        }
        std::vector<std::string> left;
        for (const plan::BackupInfo& b : plan::listBackups(db.dir.path()))
            left.push_back(b.name);
        std::vector<std::string> kept(names.begin() + static_cast<std::ptrdiff_t>(c.removed),
                                      names.end());
        if (c.runs) kept.push_back(fs::path(run.backupFolder()).filename().string());
        EXPECT_EQ(left, kept);
        for (std::size_t i = 0; i < c.removed; ++i)
            EXPECT_EQ(port.journal.at(i), "T" + ansi(":Удалена копия таблиц ") + names[i] +
                                              ansi(": не хватало места на диске"));
    }
}

// A disk that fills up part-way through a run: the run goes on to its end, every table it
// could not rewrite has an error line saying so and is the old table byte for byte, every
// other table is rewritten and whole, the rows of a table that failed stay planned, and no
// half-written file stays behind.
TEST_F(TransferTest, AFullDiskPartWayLeavesEachTableOldOrNew) {
    const auto& [g, k] = pairs.front();
    const std::vector<std::string> listed = {"zapas\\mlabel.dbf", "zapas\\prihod.dbf"};
    const char* files[] = {"zapas/mlabel.dbf", "zapas/mlabel.cdx", "zapas/mlabel.fpt",
                           "zapas/prihod.dbf", "zapas/prihod.cdx"};
    int total = 0;
    {
        Database db(source.path(), listed, {{g, k, "first", "  9", "NEW-1"}});
        RecordingPort port;
        xbase::setWriteHook([&](const std::string&, std::uint64_t) { ++total; });
        plan::Transfer(*db.d, port, true).run();
        xbase::setWriteHook(nullptr);
    }
    ASSERT_GT(total, 10);
    for (const int failAt : {1, 2, 3, total / 4, total / 2, total - 3, total - 1}) {
        SCOPED_TRACE("full at write " + std::to_string(failAt) + " of " + std::to_string(total));
        Database db(source.path(), listed, {{g, k, "first", "  9", "NEW-1"}});
        std::map<std::string, std::string> before;
        for (const char* f : files)
            before[f] = fileBytes(db.dir.file(f));
        RecordingPort port;
        std::atomic<int> writes = 0;
        xbase::setWriteHook([&](const std::string& file, std::uint64_t) {
            if (++writes == failAt)
                xbase::fail(xbase::code::kIoError,
                            "Cannot write " + file + ": No space left on device");
        });
        plan::Transfer run(*db.d, port, true);
        run.run();
        xbase::setWriteHook(nullptr);
        db.d->closeBrowsing();
        int full = 0;
        for (const std::string& l : port.journal)
            full += l.find("No space left on device") != std::string::npos;
        // Every error line is the full disk's (a failed rename past a pack's commit point is
        // tried again, and then none is written).
        EXPECT_EQ(run.errorLines(), full) << journalText(port);
        bool anyOld = false;
        for (const char* table : {"zapas/mlabel", "zapas/prihod"}) {
            const std::string dbf = db.dir.file(std::string(table) + ".dbf");
            bool old = true;
            for (const char* f : files)
                if (std::string(f).rfind(table, 0) == 0)
                    old &= fileBytes(db.dir.file(f)) == before[f];
            anyOld |= old;
            {
                auto t = xbase::Table::open(dbf, writable());  // finishes a pack past its commit
                const xbase::CheckReport report = xbase::checkTable(*t);
                EXPECT_TRUE(report.strict())
                    << table << ": "
                    << (report.problems.empty() ? std::string() : report.problems.front())
                    << (report.warnings.empty() ? std::string() : report.warnings.front());
            }
            if (!old) {
                // Rewritten: the material moved, none left behind.
                const auto now = visiblePairs(dbf);
                EXPECT_EQ(now.count({g, k}), 0u) << table;
            }
        }
        // A row that failed in some table stays planned.
        EXPECT_EQ(db.d->PLAN.recordCount(), anyOld ? 1 : 0);
        for (const auto& e : fs::recursive_directory_iterator(db.dir.path()))
            EXPECT_EQ(e.path().string().find("-new"), std::string::npos) << e.path();
    }
}

// A failure beyond a single row (here the screen failing as the second table begins, and then
// as the list moves on) leaves every row in the plan and in the backup's rows to put back, and
// the last box says the plan was kept whole: the tables that did not take the rows still hold
// the old pairs.
TEST_F(TransferTest, AFailureBeyondARowKeepsThePlanWhole) {
    struct FailingPort : RecordingPort {
        std::string failOn;      // the table whose start fails
        bool failAfter = false;  // the list fails once the first table is done
        void progressUpper(const std::string& table) override {
            if (table == failOn) throw std::runtime_error("the screen failed");
        }
        void processMessages() override {
            if (failAfter && !journal.empty() &&
                journal.back().find(ansi(" сек")) != std::string::npos)
                throw std::runtime_error("the screen failed");
        }
    };
    // A material that prihod holds receipts of.
    const auto receipts = visiblePairs(source.file("zapas/prihod.dbf"));
    const auto held = std::find_if(pairs.begin(), pairs.end(),
                                   [&](const auto& p) { return receipts.count(p) > 0; });
    ASSERT_NE(held, pairs.end());
    const auto [g, k] = *held;
    for (bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "the list" : "a table");
        Database db(source.path(), {"zapas\\mlabel.dbf", "zapas\\prihod.dbf"},
                    {{g, k, "first", "  9", "NEW-1"}});
        FailingPort port;
        port.failAfter = loop;
        if (!loop) port.failOn = "zapas\\prihod.dbf";
        plan::Transfer run(*db.d, port, true);
        run.run();
        EXPECT_GE(run.errorLines(), 1) << journalText(port);
        EXPECT_EQ(db.d->PLAN.recordCount(), 1);
        ASSERT_EQ(port.infos.size(), 2u);
        EXPECT_NE(port.infos[1].find(ansi("план оставлен целиком")), std::string::npos)
            << testtext::utf8(port.infos[1]);
        const std::vector<plan::BackupInfo> backups = plan::listBackups(db.root);
        ASSERT_EQ(backups.size(), 1u);
        ASSERT_EQ(plan::failedRows(backups[0]).size(), 1u);
        EXPECT_EQ(plan::failedRows(backups[0])[0].nnnum, "NEW-1");
        db.d.reset();
        // mlabel took the row, prihod did not: it still holds the old pair.
        EXPECT_EQ(visiblePairs(db.root + "/zapas/mlabel.dbf").count({g, k}), 0u);
        EXPECT_GT(visiblePairs(db.root + "/zapas/prihod.dbf").count({g, k}), 0u);
    }
}
