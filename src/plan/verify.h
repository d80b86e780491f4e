#pragma once

// The plan checked before a transfer (and on demand): what each row would change in each
// listed table, every pair the plan would give two materials, rows without a new group or
// number, and tables of the database that hold materials but are not listed.

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/data.h"
#include "plan/plan.h"

namespace plan {

// The plan rows by the pair they move. A record follows the rows in plan order: each row that
// matches its pair moves it, and the row's new pair is the pair later rows look for. This is
// what a row-by-row run does, and what the one-pass transfer and the check compute.
class PlanChains {
  public:
    explicit PlanChains(const std::vector<PlanRow>& rows);
    // Follows a record from (grup, nnum): step(i) is called for each row that moves it, in
    // order, and returns the pair the record then has as the table stores it (cut to the
    // fields' widths). Returns whether any row moved it.
    template <class Step>
    bool follow(const std::string& grup, const std::string& nnum, Step step) const {
        bool moved = false;
        std::string pair = key(grup, nnum);
        for (std::size_t next = 0;;) {
            auto found = bySource_.find(pair);
            if (found == bySource_.end()) return moved;
            const std::vector<std::size_t>& list = found->second;
            auto at = std::lower_bound(list.begin(), list.end(), next);
            if (at == list.end()) return moved;
            const std::size_t i = *at;
            next = i + 1;
            moved = true;
            const auto [g, n] = step(i);
            pair = key(g, n);
        }
    }

  private:
    static std::string key(const std::string& grup, const std::string& nnum);
    std::unordered_map<std::string, std::vector<std::size_t>> bySource_;
};

struct PlanCheck {
    // Per listed table: the records each plan row would move (by row), or why it cannot be
    // read.
    struct Table {
        std::string name;
        std::string error;                   // empty when the table was read
        std::vector<std::uint64_t> moved;    // records whose pair the row changes
        std::vector<std::uint64_t> matched;  // records the row finds (its new pair may be theirs)
    };
    // Materials that would share one pair: where the pair comes from.
    struct Merge {
        std::string grup, nnum;
        std::vector<std::string> materials;  // "GRUP/NNUM name" of each, as they are now
        bool withUnmoved = false;            // one of them keeps its pair
    };
    std::vector<PlanRow> rows;
    std::vector<Table> tables;
    std::vector<Merge> merges;
    std::vector<std::size_t> blankRows;  // a new group or number that is empty
    std::vector<std::string> unlisted;   // tables with GRUP and NNUM that the list lacks
    bool emptyList = false;

    // Whether the transfer asks before it goes on.
    bool needsConfirmation() const { return !merges.empty() || !blankRows.empty(); }
    // Whether the report has anything to say beyond the counts: a table it could not read, a
    // row that changes nothing, a merge, a blank, an unlisted table, an empty list.
    bool hasRemarks() const;
};

// Checks the plan of `data` against the accounting database in `dbPath` (ending in its
// delimiter), reading its tables with the character type of the browsing datasets.
PlanCheck checkPlan(data::TData& data, const std::string& dbPath, bool isAnsi);

// Adds tables to the list (as the check names them: relative, with backslashes).
void addTables(data::TData& data, const std::vector<std::string>& names);

// The check as a report for the user (program text, ANSI), line by line.
std::vector<std::string> planReport(const PlanCheck& check);

}  // namespace plan
