#include "plan/backup.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "plan/plan.h"
#include "plan/plan_csv.h"
#include "plan/texts.h"
#include "xbase/ascii.h"
#include "xbase/codepage.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/file.h"
#include "xbase/fs_path.h"
#include "xbase/pack_files.h"

namespace plan {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStates = "tables.tsv";  // table, size, modification time, header
// What the restores of a backup did: their lines, and the states they left the tables in.
constexpr const char* kRestoreJournal = "restored.txt";
constexpr const char* kRestoredStates = "restored.tsv";

// A table's DBF as it is now: its size, its modification time and its header's first bytes.
std::string stateOf(const std::string& dbf) {
    std::error_code ec;
    const auto size = fs::file_size(xbase::fsPath(dbf), ec);
    const std::int64_t time = xbase::modifiedTime(dbf);
    std::ifstream in(dbf, std::ios::binary);
    char header[32] = {};
    in.read(header, sizeof header);
    return std::to_string(size) + "\t" + std::to_string(time) + "\t" +
           xbase::ascii::hex({header, sizeof header});
}

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The recorded state of each table of a backup: table, state. A table the run passed over twice
// (listed twice) is one table, in the state its last pass left it.
std::vector<std::pair<std::string, std::string>> recordedStates(const BackupInfo& backup,
                                                                const char* file = kStates) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& line : linesOf(xbase::fsPath(backup.folder) / file)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string table = line.substr(0, tab);
        auto same = std::find_if(out.begin(), out.end(), [&](const auto& seen) {
            return sameTable(seen.first) == sameTable(table);
        });
        if (same != out.end())
            same->second = line.substr(tab + 1);
        else
            out.emplace_back(table, line.substr(tab + 1));
    }
    return out;
}

// Whether this backup put the table back already and nobody changed it since.
bool putBackAlready(const BackupInfo& backup, const std::string& table, const std::string& now) {
    const auto putBack = recordedStates(backup, kRestoredStates);
    return std::any_of(putBack.begin(), putBack.end(), [&](const auto& p) {
        return sameTable(p.first) == sameTable(table) && p.second == now;
    });
}

}  // namespace

std::string sameTable(const std::string& table) {
    std::string s = xbase::ascii::upper(table);
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

std::string keptFolder(const std::string& backupFolder, const std::string& table) {
    std::string relative = table;
    for (char& c : relative)
        if (c == '\\') c = '/';
    const std::size_t slash = relative.find_last_of('/');
    return slash == std::string::npos ? backupFolder
                                      : backupFolder + "/" + relative.substr(0, slash);
}

void recordTableState(const std::string& backupFolder, const std::string& dbDir,
                      const std::string& table) {
    const std::string dbf = xbase::resolvePath(dbDir + "/" + table);
    if (dbf.empty()) return;
    std::ofstream out(backupFolder + "/" + kStates, std::ios::app);
    out << table << "\t" << stateOf(dbf) << "\n";
}

std::vector<BackupInfo> listBackups(const std::string& dbDir) {
    std::vector<BackupInfo> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(xbase::fsPath(dbDir) / kBackupFolder, ec)) {
        if (!e.is_directory()) continue;
        BackupInfo b;
        b.folder = xbase::pathText(e.path());
        b.name = xbase::pathText(e.path().filename());
        for (const auto& [table, state] : recordedStates(b))
            b.tables.push_back(table);
        const auto plan = linesOf(e.path() / "plan.csv");
        b.planRows = plan.empty() ? 0 : plan.size() - 1;
        b.failedRows = failedRows(b).size();
        for (const std::string& line : linesOf(e.path() / kRestoreJournal))
            b.restores.push_back(
                xbase::CodePage::get(xbase::kAnsiCodePage).fromUtf8(line).value_or(line));
        for (const std::string& line : linesOf(e.path() / "journal.txt"))
            if (line.find(":Grup:") != std::string::npos ||
                (line.find(text::kIndexes) != std::string::npos &&
                 line.find(text::kIndexesChecked) == std::string::npos))
                ++b.errorLines;
        out.push_back(std::move(b));
    }
    std::sort(out.begin(), out.end(),
              [](const BackupInfo& a, const BackupInfo& b) { return a.name < b.name; });
    return out;
}

std::vector<PlanRow> failedRows(const BackupInfo& backup) {
    const fs::path file = xbase::fsPath(backup.folder) / kFailedRowsFile;
    if (!fs::exists(file)) return {};
    std::vector<CsvProblem> bad;
    std::vector<PlanRow> rows;
    for (const CsvRow& r : readPlanCsv(xbase::pathText(file), bad))
        rows.push_back(r.row);
    return rows;
}

ReplanReport replan(data::TData& data, Port& port, const BackupInfo& backup) {
    ReplanReport report;
    const std::vector<PlanRow> rows = failedRows(backup);
    // The tables that did not take each row, as the run recorded them.
    std::map<std::string, std::string> notTaken;
    const xbase::CodePage& cp = xbase::CodePage::get(xbase::kAnsiCodePage);
    for (const std::string& line : linesOf(xbase::fsPath(backup.folder) / kFailedTablesFile)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        notTaken[cp.fromUtf8(line.substr(0, tab)).value_or("")] =
            cp.fromUtf8(line.substr(tab + 1)).value_or("");
    }
    std::vector<bool> returned;
    report.added = PlanBuilder(data, port).returnRows(rows, &returned);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const PlanRow& r = rows[i];
        const std::string pair = r.grup + "/" + r.nnum;
        if (!returned[i]) {
            report.lines.push_back(pair + ansi(text::kReplanAlreadyPlanned));
            continue;
        }
        auto tables = notTaken.find(r.grup + ";" + r.nnum + ";" + r.ngrup + ";" + r.nnnum);
        report.lines.push_back(pair + " -> " + r.ngrup + "/" + r.nnnum +
                               (tables == notTaken.end()
                                    ? std::string()
                                    : ansi(text::kReplanNotTakenBy) + tables->second));
    }
    return report;
}

RestoreReport restoreBackup(const std::string& dbDir, const BackupInfo& backup, bool force,
                            const std::string& stamp) {
    RestoreReport report;
    auto failed = [&](const std::string& line) {
        report.lines.push_back(line);
        ++report.failed;
    };
    std::vector<std::pair<std::string, std::string>> restored;
    for (const auto& [table, recorded] : recordedStates(backup)) {
        const std::string dbf = xbase::resolvePath(dbDir + "/" + table);
        if (dbf.empty()) {
            failed(table + ansi(text::kNotInDatabase));
            continue;
        }
        const std::string now = stateOf(dbf);
        // Put back by this backup already, and untouched since: nothing to do, and said so.
        if (putBackAlready(backup, table, now) && !force) {
            report.lines.push_back(table + ansi(text::kAlreadyRestored));
            continue;
        }
        if (now != recorded && !force) {
            failed(table + ansi(text::kChangedSince));
            continue;
        }
        bool putBackNow = false;
        try {
            // Nobody else may have the table while it is put back.
            xbase::OpenOptions exclusive;
            exclusive.share = xbase::Share::Exclusive;
            exclusive.readOnly = false;
            auto held = xbase::Table::open(dbf, exclusive);
            const std::string kept = keptFolder(backup.folder, table);
            const std::string folder = xbase::pathText(xbase::fsPath(dbf).parent_path());
            // The kept files become new files beside the table's, then one marked step puts
            // them in place, as a pack does: a crash is finished by the next open.
            std::vector<std::string> targets;
            for (const auto& f : fs::directory_iterator(xbase::fsPath(kept))) {
                // The table's own files among the folder's, each back over its namesake.
                const std::string target =
                    xbase::resolvePath(folder + "/" + xbase::pathText(f.path().filename()));
                if (!f.is_regular_file() || target.empty() ||
                    xbase::fsPath(target).stem() != xbase::fsPath(dbf).stem())
                    continue;
                xbase::copyFile(xbase::pathText(f.path()), xbase::packNew(target));
                targets.push_back(target);
            }
            std::optional<xbase::File> newLock;
            if (xbase::kReplaceNeedsClosedTarget && xbase::fileExists(xbase::packNew(dbf))) {
                // The old files let go of first; the new table, locked, holds the others off
                // (the lock follows it to its name).
                newLock = xbase::File::open(xbase::packNew(dbf), xbase::Access::ReadWrite,
                                            xbase::Share::Exclusive);
                held.reset();
            }
            const std::string marker = xbase::packMarker(dbf);
            xbase::File::create(marker).sync();
            xbase::syncDirectoryOf(dbf);
            for (const std::string& t : targets)
                xbase::atomicReplace(xbase::packNew(t), t);
            xbase::syncDirectoryOf(dbf);
            xbase::removeFile(marker);
            report.lines.push_back(table + ansi(text::kRestored));
            putBackNow = true;
        } catch (const std::exception& e) {
            failed(table + ansi(text::kNotRestored) + e.what());
        }
        // The state it was left in, once nothing holds it (Windows stamps a file's time as
        // its handles close).
        if (putBackNow) restored.emplace_back(table, stateOf(dbf));
    }
    // The restore's own records beside the run's: its lines, and what it left.
    {
        std::ofstream journal(xbase::fsPath(backup.folder) / kRestoreJournal, std::ios::app);
        const xbase::CodePage& cp = xbase::CodePage::get(xbase::kAnsiCodePage);
        for (const std::string& line : report.lines)
            journal << cp.toUtf8(stamp + line) << "\n";
        std::ofstream states(xbase::fsPath(backup.folder) / kRestoredStates, std::ios::app);
        for (const auto& [table, state] : restored)
            states << table << "\t" << state << "\n";
    }
    return report;
}

std::vector<std::string> changedSince(const std::string& dbDir, const BackupInfo& backup) {
    std::vector<std::string> out;
    for (const auto& [table, recorded] : recordedStates(backup)) {
        const std::string dbf = xbase::resolvePath(dbDir + "/" + table);
        if (dbf.empty()) {
            out.push_back(table);
            continue;
        }
        const std::string now = stateOf(dbf);
        if (now != recorded && !putBackAlready(backup, table, now)) out.push_back(table);
    }
    return out;
}

std::uint64_t backupBytes(const BackupInfo& backup) {
    std::uint64_t bytes = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(xbase::fsPath(backup.folder), ec))
        if (e.is_regular_file(ec)) {
            const std::uintmax_t size = e.file_size(ec);
            if (!ec) bytes += size;
        }
    return bytes;
}

void deleteBackup(const BackupInfo& backup) {
    std::error_code ec;
    fs::remove_all(xbase::fsPath(backup.folder), ec);
    if (ec)
        xbase::fail(xbase::code::kIoError, "Cannot remove " + backup.folder + ": " + ec.message());
}

}  // namespace plan
