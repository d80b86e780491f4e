#pragma once
// The generated mlabel table the benchmarks share, made once and kept for later runs.
//
//   LORF_BENCH_RECORDS  table size (default 1000000)
//   LORF_BENCH_DIR      where the generated table is kept between runs (default: temp dir)
// The same records under a collation are kept in a folder of their own inside it.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "sample_db.h"

namespace bench {

inline std::uint32_t benchRecords() {
    const char* v = std::getenv("LORF_BENCH_RECORDS");
    return v ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)) : 1000000u;
}

// The generated table; with `collation`, the same records with the character tags built under
// that collation (its own folder).
inline const std::string& masterTable(const std::string& collation = {}) {
    namespace fs = std::filesystem;
    static std::map<std::string, std::string> made;
    auto found = made.find(collation);
    if (found != made.end()) return found->second;
    std::uint32_t n = benchRecords();
    const char* env = std::getenv("LORF_BENCH_DIR");
    fs::path dir =
        env ? fs::path(env) : fs::temp_directory_path() / ("lorf-bench-" + std::to_string(n));
    if (!collation.empty()) dir /= "collate-" + collation;
    fs::path table = dir / "mlabel.dbf";
    if (!fs::exists(dir / "complete")) {
        // The folders of other collations live inside the plain one: keep them.
        for (const char* ext : {"dbf", "cdx", "fpt"})
            fs::remove(dir / (std::string("mlabel.") + ext));
        fs::create_directories(dir);
        auto start = std::chrono::steady_clock::now();
        std::fprintf(stderr, "generating %u materials%s%s in %s ...\n", n,
                     collation.empty() ? "" : " under ", collation.c_str(), dir.string().c_str());
        sample::writeMlabel(table.string(), n, 400, 42, false, 0, collation);
        std::ofstream(dir / "complete") << n << "\n";
        std::fprintf(
            stderr, "generated in %.1f s\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return made.emplace(collation, table.string()).first->second;
}

// The file beside a table with the same name and another extension.
inline std::string sibling(const std::string& dbf, const char* ext) {
    return dbf.substr(0, dbf.size() - 3) + ext;
}

}  // namespace bench
