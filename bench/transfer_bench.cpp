// The transfer over three listed tables (copies of the generated mlabel table, 1% deleted,
// 17 tags) with plans of 1, 100 and 10,000 rows, beside a plain read and rewrite of the same
// files, the same transfer without its safeguards (backup, change log, post-write check), and
// the row-by-row run at 1 and 10 rows for scale. Results are read as ratios from
// one run; "peak_rss_MiB" is the process's peak resident size after the case.
// The table's size and place: see bench_table.h.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "bench_table.h"
#include "plan/transfer.h"
#include "xbase/dbf.h"
#include "xbase/file.h"

namespace fs = std::filesystem;

namespace {

constexpr int kTables = 3;

struct QuietPort : plan::TransferPort {
    int lines = 0;
    std::string last;
    void info(const std::string&) override {}
    void progressOpen(int) override {}
    void progressUpper(const std::string&) override {}
    void progressLower(const std::string&) override {}
    void progressAdvance(int) override {}
    void progressClose() override {}
    void processMessages() override {}
    std::string timeStamp() override { return ""; }
    void journalAppend(const std::string& line) override {
        ++lines;
        last = line;
    }
    void journalReplaceLast(const std::string& line) override { last = line; }
    void showJournal() override {}
    std::uint32_t ticks() override { return 0; }
    char decimalSeparator() override { return '.'; }
};

fs::path databaseDir() {
    return fs::path(bench::masterTable()).parent_path() / "transfer";
}

// A database whose listed tables are fresh copies of the generated table (under
// `collation`, when given).
void freshDatabase(const std::string& collation = {}) {
    fs::path d = databaseDir();
    fs::remove_all(d / "lorf-backup");  // the previous run's old files
    fs::create_directories(d / "zapas");
    if (!fs::exists(d / "zapas" / "mgrup.dbf")) {
        sample::writeMlabel((d / "zapas" / "mlabel.dbf").string(), 1000, 10, 1);
        sample::writeMgrup((d / "zapas" / "mgrup.dbf").string(), 10);
        std::ofstream(d / "main.dbf") << "";
    }
    const std::string& src = bench::masterTable(collation);
    for (int t = 1; t <= kTables; ++t)
        for (const char* ext : {"dbf", "cdx", "fpt"}) {
            fs::path to = d / "zapas" / ("t" + std::to_string(t) + "." + ext);
            fs::remove(to);
            fs::copy_file(bench::sibling(src, ext), to);
            // On disk before the timed part, as a database's tables are: otherwise the copies'
            // write-back runs during the transfer, and only where the old files are kept.
            xbase::File::open(to.string(), xbase::Access::ReadWrite, xbase::Share::Shared).sync();
        }
    ::sync();  // the removed backups' blocks freed, too
}

// The first `n` distinct pairs of the generated table, each given a new item number.
std::vector<plan::PlanRow> planOf(std::size_t n) {
    auto t = xbase::Table::open(bench::masterTable());
    const xbase::Field* g = t->field("GRUP");
    const xbase::Field* k = t->field("NNUM");
    auto trimmed = [](std::string_view v) {
        return std::string(v.substr(0, v.find_last_not_of(' ') + 1));
    };
    std::set<std::pair<std::string, std::string>> seen;
    std::vector<plan::PlanRow> rows;
    for (std::uint32_t r = 1; r <= t->recordCount() && rows.size() < n; ++r) {
        if (t->isDeleted(r)) continue;
        const char* rec = t->record(r);
        plan::PlanRow row;
        row.grup = trimmed(t->raw(rec, *g));
        row.nnum = trimmed(t->raw(rec, *k));
        if (!seen.insert({row.grup, row.nnum}).second) continue;
        row.name = "bench";
        row.ngrup = row.grup;
        row.nnnum = "B" + std::to_string(rows.size());
        rows.push_back(row);
    }
    return rows;
}

// The data module on the database, the three tables listed and the plan stored.
std::unique_ptr<data::TData> openWith(const std::vector<plan::PlanRow>& rows) {
    fs::path d = databaseDir();
    for (const char* f : {"kvd.abs", "kvd.abs-wal", "kvd.abs-shm"})
        fs::remove(d / f);
    store::createStore((d / "kvd.abs").string());
    auto data = std::make_unique<data::TData>();
    data->openStore((d / "kvd.abs").string());
    data->openAccounting(d.string() + "/", true);
    for (int t = 1; t <= kTables; ++t) {
        data->TABLES.append();
        data->TABLES.fieldByName("NAME").setAsString("zapas\\t" + std::to_string(t) + ".dbf");
        data->TABLES.post();
    }
    for (const auto& r : rows)
        plan::appendPlanRow(*data, r);
    return data;
}

void addCounters(benchmark::State& state) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    state.counters["records"] = static_cast<double>(bench::benchRecords()) * kTables;
    state.counters["peak_rss_MiB"] = static_cast<double>(u.ru_maxrss) / 1024.0;
}

// Baseline: every file of the three tables read and written anew, made durable.
void BM_PlainReadAndRewrite(benchmark::State& state) {
    fs::path d = databaseDir() / "zapas";
    for (auto _ : state) {
        state.PauseTiming();
        freshDatabase();
        state.ResumeTiming();
        for (int t = 1; t <= kTables; ++t)
            for (const char* ext : {"dbf", "cdx", "fpt"}) {
                fs::path from = d / ("t" + std::to_string(t) + "." + ext);
                fs::path to = d / ("t" + std::to_string(t) + ".new");
                fs::copy_file(from, to, fs::copy_options::overwrite_existing);
                xbase::File::open(to.string(), xbase::Access::ReadWrite, xbase::Share::Shared)
                    .sync();
                fs::rename(to, from);
            }
    }
    addCounters(state);
}
BENCHMARK(BM_PlainReadAndRewrite)->Unit(benchmark::kMillisecond)->Iterations(2);

void transfer(benchmark::State& state, bool rowByRow, bool guarded = true,
              const std::string& collation = {}) {
    const auto rows = planOf(static_cast<std::size_t>(state.range(0)));
    int errors = 0;
    bool ran = true;
    for (auto _ : state) {
        state.PauseTiming();
        freshDatabase(collation);
        auto data = openWith(rows);
        QuietPort port;
        state.ResumeTiming();
        plan::Transfer run(*data, port, true);
        if (!guarded) run.setSafeguards({false, false, false});
        rowByRow ? run.runRowByRow() : run.run();
        errors = run.errorLines();
        ran = ran && port.lines > 0;  // a refused run (no disk space, say) writes no journal
    }
    if (!ran) state.SkipWithError("the transfer did not run");
    state.counters["plan_rows"] = static_cast<double>(rows.size());
    state.counters["error_lines"] = errors;
    addCounters(state);
}

void BM_Transfer(benchmark::State& state) {
    transfer(state, false);
}
BENCHMARK(BM_Transfer)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The same transfer without its backup, change log and post-write check: what they cost.
void BM_TransferUnguarded(benchmark::State& state) {
    transfer(state, false, false);
}
BENCHMARK(BM_TransferUnguarded)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The transfer of 10,000 rows with every safeguard over the same tables in the machine order
// (second argument 0) and with their character tags under RUSSIAN (1), each table's keys
// proven before its pack.
void BM_TransferUnderCollation(benchmark::State& state) {
    transfer(state, false, true, state.range(1) ? "RUSSIAN" : "");
}
BENCHMARK(BM_TransferUnderCollation)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void BM_TransferRowByRow(benchmark::State& state) {
    transfer(state, true);
}
BENCHMARK(BM_TransferRowByRow)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
