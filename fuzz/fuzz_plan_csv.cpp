// The plan's CSV as `plan import` reads it: every row and every refusal, and the text it
// would write back for the rows. Input: the file's bytes.
#include <cstdint>
#include <exception>

#include "fuzz_common.h"
#include "plan/plan_csv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<plan::CsvProblem> bad;
    const auto rows =
        plan::parsePlanCsv(std::string_view(reinterpret_cast<const char*>(data), size), bad);
    std::vector<plan::PlanRow> plain;
    for (const auto& r : rows)
        plain.push_back(r.row);
    // What is written reads back as the same rows.
    std::vector<plan::CsvProblem> again;
    const auto back = plan::parsePlanCsv(plan::planCsv(plain), again);
    bool same = back.size() == rows.size();
    for (std::size_t i = 0; same && i < rows.size(); ++i)
        same = back[i].row.grup == rows[i].row.grup && back[i].row.nnum == rows[i].row.nnum &&
               back[i].row.ngrup == rows[i].row.ngrup && back[i].row.nnnum == rows[i].row.nnnum;
    // Cells holding ';' or a line break cannot come back as they were; anything else must.
    if (!same) {
        bool plainCells = true;
        for (const auto& r : plain)
            for (const std::string* c : {&r.grup, &r.nnum, &r.ngrup, &r.nnnum})
                plainCells &= c->find_first_of(";\r\n") == std::string::npos;
        if (plainCells) __builtin_trap();
    }
    return 0;
}
