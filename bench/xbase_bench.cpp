// Engine benchmarks on a generated mlabel table (89 columns, 17 tags). Each reading benchmark
// stands beside a plain sequential read of the same file, each writing one beside a plain copy
// of the files, so that results are read as ratios from one run.
// The table's size and place: see bench_table.h.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "bench_table.h"
#include "xbase/cdx.h"
#include "xbase/codepage.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/file.h"
#include "xbase/key.h"

namespace fs = std::filesystem;

namespace {

using bench::benchRecords;
using bench::masterTable;
using bench::sibling;

// A scratch copy of the table (under `collation`, when given) for benchmarks that change it.
std::string scratchCopy(const std::string& collation = {}) {
    const std::string& src = masterTable(collation);
    fs::path dir = fs::path(src).parent_path() / "scratch";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* ext : {"dbf", "cdx", "fpt"})
        fs::copy_file(sibling(src, ext), dir / (std::string("mlabel.") + ext));
    return (dir / "mlabel.dbf").string();
}

std::uint64_t fileBytes(const std::string& p) {
    return fs::file_size(p);
}

void addCounters(benchmark::State& state, std::uint64_t bytes) {
    state.counters["records"] = benchRecords();
    state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(bytes),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

// Baseline: the table file read front to back in 1 MiB pieces, each record's first byte looked at.
void BM_PlainSequentialRead(benchmark::State& state) {
    const std::string& path = masterTable();
    auto t = xbase::Table::open(path);
    const std::uint64_t start = t->header().headerLength, len = t->recordLength();
    const std::uint64_t end = start + len * t->recordCount();
    t.reset();
    xbase::File f = xbase::File::open(path, xbase::Access::Read, xbase::Share::Shared);
    std::vector<char> buf(1 << 20);
    for (auto _ : state) {
        std::uint64_t deleted = 0;
        for (std::uint64_t at = start; at < end;) {
            std::size_t n =
                f.readAt(at, buf.data(), std::min<std::uint64_t>(buf.size() / len * len, end - at));
            for (std::size_t i = 0; i < n; i += len)
                deleted += buf[i] == '*';
            at += n;
        }
        benchmark::DoNotOptimize(deleted);
    }
    addCounters(state, end);
}
BENCHMARK(BM_PlainSequentialRead)->Unit(benchmark::kMillisecond);

void BM_OpenTable(benchmark::State& state) {
    const std::string& path = masterTable();
    for (auto _ : state) {
        auto t = xbase::Table::open(path);
        benchmark::DoNotOptimize(t->index()->tags().size());
    }
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_OpenTable)->Unit(benchmark::kMillisecond);

void BM_WalkTagMlabel(benchmark::State& state) {
    auto t = xbase::Table::open(masterTable());
    std::uint64_t seen = 0;
    for (auto _ : state) {
        xbase::TagCursor c(*t, "MLABEL");
        seen = 0;
        for (bool on = c.first(); on; on = c.next())
            ++seen;
        benchmark::DoNotOptimize(seen);
    }
    state.counters["visible"] = static_cast<double>(seen);
    addCounters(state, fileBytes(masterTable()));
}
BENCHMARK(BM_WalkTagMlabel)->Unit(benchmark::kMillisecond);

void BM_Seek10000(benchmark::State& state) {
    auto t = xbase::Table::open(masterTable());
    xbase::TagCursor c(*t, "MLABEL");
    std::vector<std::string> keys;
    std::mt19937 rng(7);
    xbase::KeyBuilder kb(*t, c.tag());
    for (int i = 0; i < 10000; ++i) {
        auto r = 1 + static_cast<std::uint32_t>(rng() % t->recordCount());
        keys.push_back(kb.key(t->record(r), r));
    }
    t->refresh();
    std::uint64_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (const auto& k : keys)
            found += c.seek(k) ? 1u : 0u;
        benchmark::DoNotOptimize(found);
    }
    state.counters["found"] = static_cast<double>(found);
    state.counters["seeks"] = 10000;
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_Seek10000)->Unit(benchmark::kMillisecond);

// Every record where `condition` holds, each search going on from the last match, as
// `lorf-dbf locate` and a repeated "continue" run it.
void searchEveryMatch(benchmark::State& state, const std::string& condition) {
    auto t = xbase::Table::open(masterTable());
    xbase::PhysicalSearch s(*t,
                            xbase::Expression::compile(condition, t.get(), xbase::TextMode::Ansi));
    std::uint64_t matches = 0;
    for (auto _ : state) {
        matches = 0;
        for (std::uint32_t r = s.find(1); r; r = s.find(r + 1))
            ++matches;
        benchmark::DoNotOptimize(matches);
    }
    state.counters["matches"] = static_cast<double>(matches);
    addCounters(state, fileBytes(masterTable()));
}

// The main window's search: AT() conditions over the whole table in physical order.
void BM_PhysicalSearchAt(benchmark::State& state) {
    searchEveryMatch(state, *xbase::CodePage::get(1251).fromUtf8(
                                "AT('Я',UPPER(NNUM))>0.AND.AT('7',UPPER(NNUM))>0"));
}
BENCHMARK(BM_PhysicalSearchAt)->Unit(benchmark::kMillisecond);

// A whole-table locate. Argument 0: a condition no record meets; 1: about one record in ten
// (SORT holds 0 to 49).
void BM_LocateEveryMatch(benchmark::State& state) {
    searchEveryMatch(state, state.range(0) ? "VAL(SORT)<5" : "VAL(SORT)<0");
}
BENCHMARK(BM_LocateEveryMatch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// `lorf-dbf demo` of benchRecords() materials, beside a plain copy of the files it wrote.
void BM_DemoDatabase(benchmark::State& state) {
    const fs::path dir = fs::path(masterTable()).parent_path() / "demo";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(dir);
        state.ResumeTiming();
        sample::DemoOptions o;
        o.materials = benchRecords();
        sample::writeDemo(dir.string(), o);
    }
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_DemoDatabase)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PlainCopyOfDemoFiles(benchmark::State& state) {
    const fs::path dir = fs::path(masterTable()).parent_path() / "demo";
    if (!fs::exists(dir / "zapas")) {
        sample::DemoOptions o;
        o.materials = benchRecords();
        sample::writeDemo(dir.string(), o);
    }
    const fs::path copy = dir.string() + "-copy";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(copy);
        state.ResumeTiming();
        fs::copy(dir, copy, fs::copy_options::recursive);
    }
    fs::remove_all(copy);
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_PlainCopyOfDemoFiles)->Unit(benchmark::kMillisecond)->Iterations(1);

// Baseline for the writes: the three files copied; with argument 1 also made durable, as a
// pack makes its files before they replace the old ones.
void BM_PlainCopyOfFiles(benchmark::State& state) {
    const std::string& src = masterTable();
    const bool durable = state.range(0) != 0;
    fs::path dir = fs::path(src).parent_path() / "copy";
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        bytes = 0;
        for (const char* ext : {"dbf", "cdx", "fpt"}) {
            fs::copy_file(sibling(src, ext), dir / ext);
            if (durable)
                xbase::File::open((dir / ext).string(), xbase::Access::ReadWrite,
                                  xbase::Share::Shared)
                    .sync();
            bytes += fileBytes(sibling(src, ext));
        }
    }
    fs::remove_all(dir);
    addCounters(state, bytes);
}
BENCHMARK(BM_PlainCopyOfFiles)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// 10,000 records scattered over the table get a new group and item number, all 17 tags kept.
void BM_Rewrite10000(benchmark::State& state) {
    std::string path = scratchCopy();
    xbase::OpenOptions o;
    o.share = xbase::Share::Exclusive;
    o.readOnly = false;
    auto t = xbase::Table::open(path, o);
    std::mt19937 rng(11);
    const xbase::Field& grup = *t->field("GRUP");
    const xbase::Field& nnum = *t->field("NNUM");
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::uint32_t> recnos;
        for (int i = 0; i < 10000; ++i)
            recnos.push_back(1 + static_cast<std::uint32_t>(rng() % t->recordCount()));
        ++round;
        state.ResumeTiming();
        for (std::uint32_t r : recnos) {
            std::string rec(t->record(r), t->recordLength());
            t->setText(rec, grup, std::to_string(round % 97));
            t->setText(rec, nnum, "R" + std::to_string(r));
            t->update(r, rec);
        }
    }
    state.counters["rewrites"] = 10000;
    // Time per rewrite: the iteration time divided by 10,000.
    state.counters["rewrites_per_s"] =
        benchmark::Counter(10000, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_Rewrite10000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Pack1PercentDeleted(benchmark::State& state) {
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string path = scratchCopy();
        bytes = fileBytes(path) + fileBytes(sibling(path, "cdx")) + fileBytes(sibling(path, "fpt"));
        xbase::OpenOptions o;
        o.share = xbase::Share::Exclusive;
        o.readOnly = false;
        auto t = xbase::Table::open(path, o);
        state.ResumeTiming();
        t->pack();
        benchmark::DoNotOptimize(t->recordCount());
    }
    addCounters(state, bytes);
}
BENCHMARK(BM_Pack1PercentDeleted)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Reindex(benchmark::State& state) {
    std::string path = scratchCopy();
    xbase::OpenOptions o;
    o.share = xbase::Share::Exclusive;
    o.readOnly = false;
    auto t = xbase::Table::open(path, o);
    for (auto _ : state)
        t->reindex();
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_Reindex)->Unit(benchmark::kMillisecond)->Iterations(2);

// The same table in the machine order (argument 0) and with its 16 character tags under
// RUSSIAN (argument 1), whose keys are weights twice as long: what the collation costs.
const char* collationOf(const benchmark::State& state) {
    return state.range(0) ? "RUSSIAN" : "";
}

xbase::OpenOptions writable() {
    xbase::OpenOptions o;
    o.share = xbase::Share::Exclusive;
    o.readOnly = false;
    return o;
}

void BM_ReindexUnderCollation(benchmark::State& state) {
    auto t = xbase::Table::open(scratchCopy(collationOf(state)), writable());
    for (auto _ : state)
        t->reindex();
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_ReindexUnderCollation)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

// A pack of a freshly opened table: under RUSSIAN it first proves the stored keys.
void BM_PackUnderCollation(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto t = xbase::Table::open(scratchCopy(collationOf(state)), writable());
        state.ResumeTiming();
        t->pack();
        benchmark::DoNotOptimize(t->recordCount());
    }
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_PackUnderCollation)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

// The proof alone: every stored key of the 16 RUSSIAN tags against the key computed from its
// record, once per open (in the machine order there is nothing to prove).
void BM_ProveCollatedKeys(benchmark::State& state) {
    const std::string& path = masterTable(collationOf(state));
    bool trusted = true;
    for (auto _ : state) {
        state.PauseTiming();
        auto t = xbase::Table::open(path);
        state.ResumeTiming();
        for (std::size_t i = 0; i < t->index()->tags().size(); ++i)
            trusted = t->keysTrusted(i) && trusted;
    }
    if (!trusted) state.SkipWithError("a tag did not prove");
    state.counters["records"] = benchRecords();
}
BENCHMARK(BM_ProveCollatedKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
