#pragma once

// Sample accounting databases with the accounting system's layouts: the demo database that
// the program starts on, and the large tables the benchmarks use.

#include <cstdint>
#include <string>

#include "xbase/dbf.h"

namespace sample {

// The material card table zapas\mlabel.dbf (89 columns) with its 17 tags.
xbase::TableDef mlabelDef(int codePage);
// The material group table zapas\mgrup.dbf (24 columns) with tags DODOD and MGRUP_T.
xbase::TableDef mgrupDef(int codePage);

struct DemoOptions {
    std::uint32_t groups = 40;
    std::uint32_t materials = 1200;
    std::uint32_t seed = 1;
    bool oem = false;  // code page 866 and no lorf5.dbc
    // The collation every character tag is built under (empty: the machine order). Under one,
    // the database also holds groups whose codes differ only in letter case or in Е and Ё.
    std::string collation;
};

// Writes a demo accounting database into `dir` (created when missing): main.dbf, lorf5.dbc
// (ANSI only), zapas\mgrup.dbf, zapas\mlabel.dbf with its memo file, and zapas\prihod.dbf,
// which refers to materials by GRUP and NNUM. Returns a line per table for the user.
std::string writeDemo(const std::string& dir, const DemoOptions& options);

// Writes an mlabel-like table of `records` materials in `groups` groups (about 1% deleted),
// loading the records in bulk and building the index once at the end.
// Item numbers are drawn from `numbers` values (by default half the record count, so that
// numbers repeat across groups).
// With `collation`, the character tags are built under it.
void writeMlabel(const std::string& path, std::uint32_t records, std::uint32_t groups,
                 std::uint32_t seed, bool oem = false, std::uint32_t numbers = 0,
                 const std::string& collation = {});

// Writes an mgrup-like table with the group codes writeMlabel uses.
void writeMgrup(const std::string& path, std::uint32_t groups, bool oem = false,
                const std::string& collation = {});

}  // namespace sample
