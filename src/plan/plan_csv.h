#pragma once

// The plan as a CSV file: a header row GRUP;NNUM;NGRUP;NNNUM, then a row per material, the
// values separated by ';'. Written in UTF-8; read in UTF-8 or Windows-1251.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plan/plan.h"

namespace plan {

struct CsvRow {
    std::size_t line;  // 1 is the header
    PlanRow row;       // ANSI text; no name
};

// A malformed line and why.
using CsvProblem = std::pair<std::size_t, std::string>;

// The rows of the file's bytes; malformed lines come back in `bad` with their reason.
std::vector<CsvRow> parsePlanCsv(std::string_view bytes, std::vector<CsvProblem>& bad);
// The same, read from `path` (std::runtime_error when it cannot be read).
std::vector<CsvRow> readPlanCsv(const std::string& path, std::vector<CsvProblem>& bad);

// The file's text for `rows` (ANSI), in UTF-8.
std::string planCsv(const std::vector<PlanRow>& rows);

// Whether `s` is well-formed UTF-8.
bool validUtf8(std::string_view s);

}  // namespace plan
