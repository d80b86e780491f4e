#pragma once
// The generated mlabel table the benchmarks share, made once and kept for later runs.
//
//   LORF_BENCH_RECORDS  table size (default 1000000)
//   LORF_BENCH_DIR      where the generated table is kept between runs (default: temp dir)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sample_db.h"

namespace bench {

inline std::uint32_t benchRecords() {
    const char* v = std::getenv("LORF_BENCH_RECORDS");
    return v ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)) : 1000000u;
}

inline const std::string& masterTable() {
    namespace fs = std::filesystem;
    static const std::string path = [] {
        std::uint32_t n = benchRecords();
        const char* env = std::getenv("LORF_BENCH_DIR");
        fs::path dir =
            env ? fs::path(env) : fs::temp_directory_path() / ("lorf-bench-" + std::to_string(n));
        fs::path table = dir / "mlabel.dbf";
        if (!fs::exists(dir / "complete")) {
            fs::remove_all(dir);
            fs::create_directories(dir);
            auto start = std::chrono::steady_clock::now();
            std::fprintf(stderr, "generating %u materials in %s ...\n", n, dir.string().c_str());
            sample::writeMlabel(table.string(), n, 400, 42);
            std::ofstream(dir / "complete") << n << "\n";
            std::fprintf(
                stderr, "generated in %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        return table.string();
    }();
    return path;
}

// The file beside a table with the same name and another extension.
inline std::string sibling(const std::string& dbf, const char* ext) {
    return dbf.substr(0, dbf.size() - 3) + ext;
}

}  // namespace bench
