#pragma once

// The backups a transfer leaves in the database's lorf-backup folder, and putting one back.

#include <cstdint>
#include <string>
#include <vector>

#include "plan/plan.h"

namespace plan {

// The folder inside the database that holds the transfers' backups, one folder a run.
inline constexpr const char* kBackupFolder = "lorf-backup";

// The plan rows a transfer could not apply everywhere, in the plan's CSV form.
inline constexpr const char* kFailedRowsFile = "failed.csv";

// What a backup folder holds, from its records.
struct BackupInfo {
    std::string folder;  // full path
    std::string name;    // the folder's name: the start of its run
    std::vector<std::string> tables;
    std::size_t planRows = 0;
    std::size_t errorLines = 0;  // lines of its journal that report an error
    std::size_t failedRows = 0;  // plan rows the run could not apply everywhere
    // The lines of the restores that put it back (time-stamped, program text); empty while
    // it has not been put back.
    std::vector<std::string> restores;
};

// The plan rows a backup's run could not apply everywhere (names left empty).
std::vector<PlanRow> failedRows(const BackupInfo& backup);
// Where the run recorded the tables that did not take its failed rows.
inline constexpr const char* kFailedTablesFile = "failed-tables.tsv";

// The rows a backup's run could not apply everywhere, put back into the plan (those not
// planned already): how many went back, and a line per row saying which tables did not take
// it, or why it did not go back (program text).
struct ReplanReport {
    std::size_t added = 0;
    std::vector<std::string> lines;
};
ReplanReport replan(data::TData& data, Port& port, const BackupInfo& backup);

// Where a backup keeps the old files of a table of the list: the table's own folder inside it
// (zapas\mlabel.dbf keeps its old files in <backup>/zapas).
std::string keptFolder(const std::string& backupFolder, const std::string& table);

// The backups of the database in `dbDir`, oldest first.
std::vector<BackupInfo> listBackups(const std::string& dbDir);

// The form of a listed table's name that every spelling of it shares (letter case, separators).
std::string sameTable(const std::string& table);

// What the transfer recorded of a table it rewrote: its files as the run left them, so that
// a restore can tell whether anybody changed the table since.
void recordTableState(const std::string& backupFolder, const std::string& dbDir,
                      const std::string& table);

// What a restore did: a line per table (program text, ANSI), and how many it left alone.
struct RestoreReport {
    std::vector<std::string> lines;
    std::size_t failed = 0;
};

// The tables of a backup changed since its transfer (or gone), which a restore leaves alone
// unless forced.
std::vector<std::string> changedSince(const std::string& dbDir, const BackupInfo& backup);

// Puts the tables of a backup back, table by table, each in one step (a crash leaves the
// table as it was or restored, the next open finishing the step). A table changed since the
// transfer is left as it is unless `force`; one this backup put back already, and nobody
// changed since, is said to be so. Each restore's lines go into the backup's records, with
// the time `stamp` (the front end's journal form).
RestoreReport restoreBackup(const std::string& dbDir, const BackupInfo& backup, bool force,
                            const std::string& stamp = {});

// The bytes a backup's files take.
std::uint64_t backupBytes(const BackupInfo& backup);

// Removes a backup folder with everything in it.
void deleteBackup(const BackupInfo& backup);

}  // namespace plan
