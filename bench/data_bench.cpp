// The data module over a generated accounting database: 1,000,000 materials in 400 groups.
//
//   LORF_BENCH_RECORDS  materials (default 1000000)
//   LORF_BENCH_DIR      where the database is kept between runs (default: temp dir)
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "data/data.h"
#include "sample_db.h"
#include "xbase/codepage.h"

namespace fs = std::filesystem;

namespace {

std::uint32_t benchRecords() {
    const char* v = std::getenv("LORF_BENCH_RECORDS");
    return v ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)) : 1000000u;
}

constexpr std::uint32_t kGroups = 400;

// The accounting directory and a store with 100,000 marks, made once.
const fs::path& database() {
    static const fs::path dir = [] {
        std::uint32_t n = benchRecords();
        const char* env = std::getenv("LORF_BENCH_DIR");
        fs::path d = env ? fs::path(env) / "data"
                         : fs::temp_directory_path() / ("lorf-bench-data-" + std::to_string(n));
        if (!fs::exists(d / "complete")) {
            fs::remove_all(d);
            fs::create_directories(d / "zapas");
            std::fprintf(stderr, "generating %u materials in %s ...\n", n, d.string().c_str());
            sample::writeMlabel((d / "zapas" / "mlabel.dbf").string(), n, kGroups, 42);
            sample::writeMgrup((d / "zapas" / "mgrup.dbf").string(), kGroups);
            std::ofstream(d / "main.dbf") << "";
            std::ofstream(d / "complete") << n << "\n";
        }
        return d;
    }();
    return dir;
}

// A fresh store; `marks` rows in ML, taken from the materials (every tenth one).
std::string storeWithMarks(std::uint32_t marks) {
    fs::path kvd = database() / "kvd.abs";
    fs::remove(kvd);
    store::createStore(kvd.string());  // drops a log the old store left
    if (marks == 0) return kvd.string();
    auto t = xbase::Table::open((database() / "zapas" / "mlabel.dbf").string());
    sqlite3* h = nullptr;
    sqlite3_open(kvd.c_str(), &h);
    sqlite3_exec(h, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO ML (GRUP, NNUM) VALUES (?, ?)", -1, &ins, nullptr);
    const auto& cp = xbase::CodePage::get(1251);
    std::uint32_t step = std::max<std::uint32_t>(1, t->recordCount() / marks);
    for (std::uint32_t r = 1, added = 0; r <= t->recordCount() && added < marks;
         r += step, ++added) {
        const char* rec = t->record(r);
        std::string g = cp.toUtf8(t->text(rec, *t->field("GRUP"))),
                    n = cp.toUtf8(t->text(rec, *t->field("NNUM")));
        sqlite3_bind_text(ins, 1, g.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 2, n.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(h);
    return kvd.string();
}

// Opens the data module as start-up does, keeping the marks already in ML.
void openKeepingMarks(data::TData& d, const std::string& kvd) {
    d.KVD.setDatabaseFileName(kvd);
    d.KVD.open();
    d.TABLES.open();
    d.PLAN.open();
    d.MLabelMem.open();
    d.openAccounting(database().string() + "/", true);
}

// The next group becomes current and the first screenful (30 rows) of its materials is read,
// Checked with them, against 100,000 marks.
void BM_GroupSwitchFirstScreen(benchmark::State& state) {
    std::string kvd = storeWithMarks(100000);
    data::TData d;
    openKeepingMarks(d, kvd);
    std::uint64_t rows = 0, checked = 0;
    for (auto _ : state) {
        d.mgrup.next();
        if (d.mgrup.eof()) d.mgrup.first();
        int n = 0;
        for (d.mlabel.first(); !d.mlabel.eof() && n < 30; d.mlabel.next(), ++n) {
            benchmark::DoNotOptimize(d.mlabel.fieldByName("NAME").asString());
            checked += d.mlabel.fieldByName("Checked").asBoolean();
        }
        rows += static_cast<std::uint64_t>(n);
    }
    state.counters["rows"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kAvgIterations);
    state.counters["records"] = benchRecords();
    benchmark::DoNotOptimize(checked);
}
BENCHMARK(BM_GroupSwitchFirstScreen)->Unit(benchmark::kMillisecond);

// Checked for 10,000 material rows (whole groups) with 100,000 marks.
void BM_Checked10000Rows(benchmark::State& state) {
    std::string kvd = storeWithMarks(100000);
    data::TData d;
    openKeepingMarks(d, kvd);
    std::uint64_t checked = 0;
    for (auto _ : state) {
        std::uint64_t rows = 0;
        d.mgrup.first();
        while (rows < 10000) {
            for (d.mlabel.first(); !d.mlabel.eof() && rows < 10000; d.mlabel.next(), ++rows)
                checked += d.mlabel.fieldByName("Checked").asBoolean();
            d.mgrup.next();
            if (d.mgrup.eof()) d.mgrup.first();
        }
    }
    state.counters["marked_seen"] =
        benchmark::Counter(static_cast<double>(checked), benchmark::Counter::kAvgIterations);
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_Checked10000Rows)->Unit(benchmark::kMillisecond);

// Locate of a GRUP;NNUM pair on the whole material table (as plan building checks pairs).
void BM_LocatePair(benchmark::State& state) {
    std::string kvd = storeWithMarks(0);
    data::TData d;
    openKeepingMarks(d, kvd);
    auto t = xbase::Table::open((database() / "zapas" / "mlabel.dbf").string());
    std::vector<std::pair<std::string, std::string>> pairs;
    std::mt19937 rng(5);
    while (pairs.size() < 1000) {
        auto r = 1 + static_cast<std::uint32_t>(rng() % t->recordCount());
        const char* rec = t->record(r);
        if (rec[0] == '*') continue;
        pairs.emplace_back(t->text(rec, *t->field("GRUP")), t->text(rec, *t->field("NNUM")));
    }
    std::size_t i = 0, found = 0;
    for (auto _ : state) {
        const auto& [g, n] = pairs[i++ % pairs.size()];
        found += d.MlabelV.locate("GRUP;NNUM", {db::Value(g), db::Value(n)});
    }
    state.counters["found"] = static_cast<double>(found);
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_LocatePair)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
