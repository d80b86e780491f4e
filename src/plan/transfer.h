#pragma once

// The transfer run: the plan applied to every listed accounting table.

#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "data/data.h"
#include "plan/plan.h"
#include "xbase/check.h"

namespace plan {

// What the run needs of the screen.
class TransferPort {
  public:
    virtual ~TransferPort() = default;
    virtual void info(const std::string& text) = 0;  // a modal information box
    // The box that asks for a quiet database before the run: true to go on (its OK), false
    // when it was closed otherwise (Escape, the close button), which cancels the run.
    virtual bool proceed(const std::string& text) {
        info(text);
        return true;
    }
    // A yes-or-no question, "no" the default; a screen that cannot ask says no.
    virtual bool ask(const std::string&) { return false; }
    // How the rows a run could not move are put back into the plan from its backup (named
    // by its folder), in this front end's terms (program text).
    virtual std::string replanHint(const std::string& backup);
    virtual void progressOpen(int max) = 0;  // shown, lower line a blank, bar at 0
    virtual void progressUpper(const std::string& text) = 0;
    virtual void progressLower(const std::string& text) = 0;
    virtual void progressAdvance(int steps) = 0;
    virtual void progressClose() = 0;
    virtual void processMessages() = 0;
    // The journal as the screen shows it, line by line; a line's time stamp is the caller's.
    // The run keeps its own lines (Transfer::journal), which the backup records: a screen only
    // shows them.
    virtual std::string timeStamp() = 0;
    virtual void journalAppend(const std::string& line) = 0;
    // The line appended last, shown anew (the elapsed time added to it).
    virtual void journalReplaceLast(const std::string& line) = 0;
    virtual void showJournal() = 0;
    // The millisecond tick counter (32 bits, wrapping).
    virtual std::uint32_t ticks() = 0;
    // The locale's decimal separator for the elapsed seconds.
    virtual char decimalSeparator() = 0;
};

class Transfer {
  public:
    Transfer(data::TData& data, TransferPort& port, bool isAnsi)
        : d_(data), port_(port), isAnsi_(isAnsi) {}
    // Button5Click: the whole run with its boxes, journal and closing steps. Each listed table
    // is opened, packed and scanned once, each record taking the pair it would have after the
    // plan rows were applied one after another.
    void run();
    // The run as the plan is written: every listed table opened, packed and scanned once per
    // plan row (ChangeGrup). Kept as the measure the fast run is held to.
    void runRowByRow();

    // What the run keeps and proves beside the rewrite itself. All on for every real run; the
    // benchmark turns them off to measure what they cost.
    struct Safeguards {
        bool backup = true;     // the old files kept, with the journal, the plan and the state
        bool changeLog = true;  // a change log per table (needs the backup's folder)
        bool check = true;      // the strict check of each rewritten table's indexes
    };
    void setSafeguards(Safeguards s) { safeguards_ = s; }

    // Whether the run went ahead (false when there was no room for it, or it was cancelled).
    bool started() const { return started_; }
    // The error lines the run wrote to the journal.
    int errorLines() const { return errorLines_; }
    // Every line the run wrote to the journal, as the backup's journal.txt records them.
    const std::vector<std::string>& journal() const { return journal_; }
    // The folder where the run kept the old files and its records; empty when it packed none.
    const std::string& backupFolder() const { return backupRoot_; }
    // How the free space of the database's disk is learnt (tests replace it).
    void setFreeSpaceProbe(std::function<std::uint64_t(const std::string& dir)> probe) {
        freeSpace_ = std::move(probe);
    }

    // Elapsed seconds as the journal writes them: up to 15 significant digits, no trailing
    // zeros, the given decimal separator.
    static std::string seconds(std::uint32_t milliseconds, char separator);

  private:
    template <class PerTable>
    void runWith(PerTable perTable);
    void changeGrup(const std::vector<PlanRow>& rows, std::size_t index);
    // The strict check of a rewritten table's indexes, started beside the rewrite of the next
    // table (it only reads the new files); its result goes into the journal when it is waited
    // for: after the next table, or before the same table is opened again.
    void startCheck(const std::string& name);
    void finishCheck();
    std::string databaseDir() const;
    // Whether the disk holds a copy of every listed table; says so when it does not. Old
    // backups that make room are removed when the user agrees, each with its journal line.
    bool enoughSpace();
    // The folder of this run's backup where `table`'s old files go (the run's folder is named
    // on first use).
    std::string backupFolder(const std::string& table);
    // The journal of the run and the plan, into the backup.
    void writeRecords();
    // `table`'s change log into the backup, once its pack has committed.
    void writeChangeLog(const std::string& table, const std::vector<std::string>& lines);
    // A text file of the backup, made durable.
    void writeBackupFile(const std::string& name, const std::string& text);
    // The error line of plan row `i`; the row stays in the plan after the run.
    void rowFailed(const std::vector<PlanRow>& rows, std::size_t i, const std::string& message);
    void applyAll(const std::string& table, const std::vector<PlanRow>& rows);
    void line(const std::string& text);
    void errorLine(const std::string& text);
    // A failure beyond a single row (a table's, the list's, one that escaped): every row
    // stays in the plan and in the backup's rows to put back.
    void everyRowKept();

    data::TData& d_;
    TransferPort& port_;
    bool isAnsi_;
    int errorLines_ = 0;
    struct ChangeLog {
        std::string file;                // in the backup
        std::vector<std::string> lines;  // of every pass over the table
    };
    std::map<std::string, ChangeLog> changeLogs_;  // by sameTable()
    std::vector<std::string> journal_;             // the lines of this run
    bool started_ = false;
    std::set<std::size_t> failedRows_;                       // plan rows that failed in some table
    bool keepPlan_ = false;                                  // every row stays in the plan
    std::map<std::size_t, std::set<std::string>> failedIn_;  // the tables each row failed in
    std::string currentTable_;                               // as listed
    std::size_t planSize_ = 0;
    bool rewritten_ = false;     // the table in hand was packed (and so rewritten)
    std::vector<PlanRow> plan_;  // the plan as the run found it
    std::string backupRoot_;     // empty until a table is packed
    struct PendingCheck {
        std::string name;                                       // as listed
        std::string dbf;                                        // as found on the disk
        std::future<std::optional<xbase::CheckReport>> report;  // none: the table did not open
    };
    std::optional<PendingCheck> check_;
    std::function<std::uint64_t(const std::string& dir)> freeSpace_;
    Safeguards safeguards_;
};

}  // namespace plan
