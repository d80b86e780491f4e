// Marks and plan building on a group of 10,000 materials.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "plan/plan.h"
#include "sample_db.h"

namespace fs = std::filesystem;

namespace {

// Marking a group asks nothing; "В план" needs the chooser's "Добавить".
struct QuietPort : plan::SilentPort {
    bool chooseGroup() override { return true; }
};

// One group of 10,000 materials.
const fs::path& database() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / "lorf-bench-plan-10000";
        if (!fs::exists(d / "complete")) {
            fs::remove_all(d);
            fs::create_directories(d / "zapas");
            sample::writeMlabel((d / "zapas" / "mlabel.dbf").string(), 10000, 1, 3, false,
                                2000000000u);
            sample::writeMgrup((d / "zapas" / "mgrup.dbf").string(), 1);
            std::ofstream(d / "main.dbf") << "";
            std::ofstream(d / "complete") << "1\n";
        }
        return d;
    }();
    return dir;
}

// The data module on the database with an empty store.
void openFresh(data::TData& d) {
    fs::path kvd = database() / "kvd.abs";
    for (const char* f : {"kvd.abs", "kvd.abs-wal", "kvd.abs-shm"})
        fs::remove(database() / f);
    store::createStore(kvd.string());
    d.openStore(kvd.string());
    d.openAccounting(database().string() + "/", true);
}

void BM_MarkGroupOf10000(benchmark::State& state) {
    data::TData d;
    openFresh(d);
    QuietPort port;
    plan::Marks marks(d, port);
    for (auto _ : state) {
        state.PauseTiming();
        marks.clearAll();
        state.ResumeTiming();
        marks.markGroup();
    }
    state.counters["marks"] = static_cast<double>(d.MLabelMem.recordCount());
}
BENCHMARK(BM_MarkGroupOf10000)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_PlanFrom10000Marks(benchmark::State& state) {
    data::TData d;
    openFresh(d);
    QuietPort port;
    plan::Marks marks(d, port);
    plan::PlanBuilder builder(d, port);
    for (auto _ : state) {
        state.PauseTiming();
        builder.clear();
        marks.markGroup();
        state.ResumeTiming();
        builder.toPlan();
    }
    state.counters["rows"] = static_cast<double>(d.PLAN.recordCount());
}
BENCHMARK(BM_PlanFrom10000Marks)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
