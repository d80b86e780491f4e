#include "plan/transfer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <unordered_map>
#include <vector>

#include "plan/backup.h"
#include "plan/plan_csv.h"
#include "plan/texts.h"
#include "plan/verify.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/codepage.h"
#include "xbase/dbf.h"
#include "xbase/file.h"
#include "xbase/fs_path.h"

namespace plan {

std::string Transfer::seconds(std::uint32_t milliseconds, char separator) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", static_cast<double>(milliseconds) / 1000.0);
    std::string s = buf;
    for (char& c : s)
        if (c == '.') c = separator;
    return s;
}

std::string TransferPort::replanHint(const std::string&) {
    return ansi(text::kFailedRowsBack);
}

void Transfer::line(const std::string& text) {
    journal_.push_back(port_.timeStamp() + text);
    port_.journalAppend(journal_.back());
}

void Transfer::everyRowKept() {
    keepPlan_ = true;
    for (std::size_t i = 0; i < planSize_; ++i) {
        failedRows_.insert(i);
        if (!currentTable_.empty()) failedIn_[i].insert(currentTable_);
    }
}

void Transfer::errorLine(const std::string& text) {
    line(text);
    ++errorLines_;
}

bool Transfer::enoughSpace() {
    // An empty plan rewrites nothing: there is nothing to make room for.
    if (d_.PLAN.recordCount() == 0) return true;
    // Each pack writes its table's files anew beside the old ones, which stay as the backup:
    // the disk must hold a copy of every listed table.
    std::uint64_t needed = 0;
    std::vector<std::string> names;
    for (d_.TABLES.first(); !d_.TABLES.eof(); d_.TABLES.next())
        names.push_back(d_.TABLES.fieldByName("NAME").asString());
    for (const std::string& name : names) {
        const std::string dbf = xbase::resolvePath(databaseDir() + "/" + name);
        if (dbf.empty()) continue;
        std::error_code ec;
        needed += std::filesystem::file_size(xbase::fsPath(dbf), ec);
        for (const char* ext : {"cdx", "fpt", "dbt"}) {
            const std::string other = xbase::siblingPath(dbf, ext);
            if (!other.empty()) needed += std::filesystem::file_size(xbase::fsPath(other), ec);
        }
    }
    std::uint64_t free = 0;
    if (freeSpace_) {
        free = freeSpace_(databaseDir());
    } else {
        std::error_code ec;
        free = std::filesystem::space(xbase::fsPath(databaseDir()), ec).available;
        if (ec) return true;  // unknown: the packs will say what fails
    }
    if (free >= needed || !safeguards_.backup) return true;
    const auto mb = [](std::uint64_t bytes) {
        return std::to_string((bytes + (1 << 20) - 1) >> 20);
    };
    // The old backups, oldest first, as many as it takes to make room: removed only when that
    // is enough, and only when the user agrees.
    const std::vector<BackupInfo> old = listBackups(databaseDir());
    std::uint64_t gained = 0;
    std::size_t enough = 0;
    while (enough < old.size() && free + gained < needed)
        gained += backupBytes(old[enough++]);
    if (free + gained < needed) {
        port_.info(ansi(text::kNoRoom) + mb(needed) + ansi(text::kNoRoomFree) + mb(free) +
                   ansi(text::kMegabytes) + "\r\n" + ansi(text::kNothingChanged));
        return false;
    }
    std::string removed;
    for (std::size_t i = 0; i < enough; ++i)
        removed += "\r\n" + old[i].name;
    if (!port_.ask(ansi(text::kNoRoom) + mb(needed) + ansi(text::kNoRoomFree) + mb(free) +
                   ansi(text::kMegabytes) + "." + "\r\n" + ansi(text::kRemoveOldBackups) +
                   mb(gained) + ansi(text::kMegabytes) + ")?" + removed))
        return false;
    for (std::size_t i = 0; i < enough; ++i) {
        deleteBackup(old[i]);
        line(ansi(text::kOldBackupRemoved) + old[i].name + ansi(text::kOldBackupRemovedWhy));
    }
    return true;
}

std::string Transfer::databaseDir() const {
    std::string dir = d_.AdsCon.connectPath();
    if (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    return dir;
}

std::string Transfer::backupFolder(const std::string& table) {
    if (!safeguards_.backup) return {};  // the pack removes the old files
    if (backupRoot_.empty()) {
        // One folder per run, named by its start: lorf-backup/YYYY-MM-DD_HH-MM-SS.
        const xbase::LocalTime t = xbase::localNow();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", t.year, t.month, t.day,
                      t.hour, t.minute, t.second);
        const std::string base = databaseDir() + "/" + kBackupFolder + "/" + stamp;
        std::string root = base;
        for (int n = 2; xbase::fileExists(root); ++n)
            root = base + "-" + std::to_string(n);
        backupRoot_ = xbase::nativeSeparators(root);
    }
    return keptFolder(backupRoot_, table);
}

void Transfer::writeBackupFile(const std::string& name, const std::string& text) {
    xbase::File f = xbase::File::create(backupRoot_ + "/" + name);
    f.writeAt(0, text.data(), text.size());
    f.sync();
}

void Transfer::writeRecords() {
    // What happened, beside the old files: the journal of the run, the plan as it was and the
    // rows that failed, in UTF-8 for a spreadsheet.
    const xbase::CodePage& cp = xbase::CodePage::get(xbase::kAnsiCodePage);
    std::string journal;
    for (const std::string& l : journal_)
        journal += cp.toUtf8(l) + "\n";
    writeBackupFile("journal.txt", journal);
    writeBackupFile("plan.csv", planCsv(plan_));
    if (!failedRows_.empty()) {
        // The rows that failed somewhere, ready to be put back into the plan.
        std::vector<PlanRow> failed;
        for (std::size_t i : failedRows_)
            failed.push_back(plan_[i]);
        writeBackupFile(kFailedRowsFile, planCsv(failed));
        // Which tables did not take each of them.
        std::string tables;
        for (std::size_t i : failedRows_) {
            const PlanRow& r = plan_[i];
            std::string names;
            for (const std::string& t : failedIn_[i])
                names += (names.empty() ? "" : ", ") + t;
            tables += cp.toUtf8(r.grup + ";" + r.nnum + ";" + r.ngrup + ";" + r.nnnum) + "\t" +
                      cp.toUtf8(names) + "\n";
        }
        writeBackupFile(kFailedTablesFile, tables);
    }
}

void Transfer::writeChangeLog(const std::string& table, const std::vector<std::string>& lines) {
    // Record number, old pair, new pair: one line per record the run moved. A table listed
    // twice (in any letter case or with either separator) keeps one log of both passes, under
    // the name it was first listed by.
    const xbase::CodePage& cp = xbase::CodePage::get(xbase::kAnsiCodePage);
    ChangeLog& log = changeLogs_[sameTable(table)];
    if (log.file.empty()) {
        log.file = "changes-" + table + ".csv";
        for (char& c : log.file)
            if (c == '\\' || c == '/') c = '-';
    }
    log.lines.insert(log.lines.end(), lines.begin(), lines.end());
    std::string text = "RECNO;GRUP;NNUM;NEW GRUP;NEW NNUM\n";
    for (const std::string& l : log.lines)
        text += cp.toUtf8(l) + "\n";
    writeBackupFile(log.file, text);
}

void Transfer::startCheck(const std::string& name) {
    // The rewritten table's indexes, judged as other engines need them stored.
    xbase::OpenOptions o;
    o.charType = isAnsi_ ? xbase::CharType::Ansi : xbase::CharType::Oem;
    const std::string path = databaseDir() + "\\" + name;
    PendingCheck c;
    c.name = name;
    c.dbf = xbase::resolvePath(path);
    c.report = std::async(std::launch::async, [path, o]() -> std::optional<xbase::CheckReport> {
        std::unique_ptr<xbase::Table> t;
        try {
            t = xbase::Table::open(path, o);
            if (!t->index()) return std::nullopt;  // nothing to check
            return xbase::checkTable(*t, xbase::CheckDepth::Structure);
        } catch (const std::exception& e) {
            // The pack committed: a table that does not open now is a finding of the check.
            xbase::CheckReport r;
            r.problems.push_back(e.what());
            return r;
        }
    });
    check_ = std::move(c);
}

void Transfer::finishCheck() {
    if (!check_) return;
    PendingCheck c = std::move(*check_);
    check_.reset();
    const std::optional<xbase::CheckReport> r = c.report.get();
    if (!r) return;
    if (r->strict()) {
        line(ansi(text::kIndexesChecked) + c.name);
        return;
    }
    for (const std::string& p : r->problems)
        errorLine(ansi(text::kIndexes) + c.name + ": " + p);
    for (const std::string& w : r->warnings)
        errorLine(ansi(text::kIndexes) + c.name + ": " + w);
}

void Transfer::rowFailed(const std::vector<PlanRow>& rows, std::size_t i,
                         const std::string& message) {
    errorLine(ansi(":Grup:") + rows[i].grup + ",Nnum:" + rows[i].nnum + " " + message);
    failedRows_.insert(i);
    if (!currentTable_.empty()) failedIn_[i].insert(currentTable_);
}

template <class PerTable>
void Transfer::runWith(PerTable perTable) {
    if (!enoughSpace()) return;
    if (!port_.proceed(ansi("Убедитесь что никто не работает в базе") + "\r\n" +
                       ansi("и нажмите ОК")))
        return;
    started_ = true;
    d_.closeBrowsing();
    std::exception_ptr escaped;
    d_.PLAN.disableControls();
    d_.TABLES.disableControls();
    try {
        std::vector<PlanRow> rows = planRows(d_);
        planSize_ = rows.size();
        plan_ = rows;
        int tables = static_cast<int>(d_.TABLES.recordCount());
        port_.progressOpen(tables * static_cast<int>(rows.size()));
        line(ansi(": Запущен перенос ") + std::to_string(rows.size()) + ansi(" позиций"));
        port_.processMessages();
        try {
            for (d_.TABLES.first(); !d_.TABLES.eof();) {
                std::string name = d_.TABLES.fieldByName("NAME").asString();
                currentTable_ = name;
                try {
                    // The same table listed twice waits for its check before it opens again.
                    if (check_ && check_->dbf == xbase::resolvePath(databaseDir() + "/" + name))
                        finishCheck();
                    port_.progressUpper(name);
                    line(ansi(":Обрабатывается ") + name);
                    std::uint32_t start = port_.ticks();
                    rewritten_ = false;
                    perTable(name, rows);
                    std::uint32_t elapsed = port_.ticks() - start;
                    // The line appended last (the table's, or its last error line) gets the time
                    // the table took.
                    journal_.back() +=
                        " ;" + seconds(elapsed, port_.decimalSeparator()) + ansi(" сек");
                    port_.journalReplaceLast(journal_.back());
                    finishCheck();  // the previous table's
                    if (rewritten_) {
                        // Closed first, so that what is recorded is the table as the run
                        // left it.
                        d_.AdsTableR.close();
                        if (!backupRoot_.empty())
                            recordTableState(backupRoot_, databaseDir(), name);
                        if (safeguards_.check) startCheck(name);
                    }
                } catch (const std::exception& e) {
                    // What the table took is not known: every row stays in the plan.
                    errorLine(":" + std::string(e.what()));
                    everyRowKept();
                }
                // Whatever happened, the table is given back to the accounting system.
                try {
                    d_.AdsTableR.close();
                } catch (const std::exception& e) {
                    errorLine(":" + std::string(e.what()));
                }
                d_.TABLES.next();
                port_.processMessages();
            }
        } catch (const std::exception& e) {
            // The tables after this one were not processed.
            errorLine(":" + std::string(e.what()));
            everyRowKept();
        }
    } catch (...) {
        escaped = std::current_exception();
        everyRowKept();
    }
    // The closing steps run whatever happened above. The plan keeps the rows that failed
    // somewhere, so that nothing the user meant is lost; a clean run empties it.
    try {
        finishCheck();  // the last table's
        if (failedRows_.empty() && !keepPlan_) {
            d_.PLAN.close();
            d_.PLAN.emptyTable();
            d_.PLAN.open();
        } else {
            // Every row that failed stays (all of them where the run could not tell which
            // the tables took), and so do rows beyond those the run read.
            std::size_t i = 0;
            for (d_.PLAN.first(); !d_.PLAN.eof() && i < planSize_; ++i) {
                if (failedRows_.count(i))
                    d_.PLAN.next();
                else
                    d_.PLAN.remove();
            }
        }
        d_.PLAN.enableControls();
        d_.TABLES.enableControls();
        port_.progressClose();
        port_.showJournal();
        d_.reopenBrowsing();
        line(ansi(": Перенос завершен"));
    } catch (...) {
        if (!escaped) escaped = std::current_exception();
    }
    if (!backupRoot_.empty()) {
        // The tables are done either way: a record the backup could not take (a full disk)
        // is an error line of the run, on the screen, not a failure of the run.
        try {
            writeRecords();
        } catch (const std::exception& e) {
            errorLine(":" + std::string(e.what()));
        }
    }
    if (escaped) std::rethrow_exception(escaped);
    if (errorLines_ > 0) {
        std::string where;
        if (!backupRoot_.empty()) {
            where = "\r\n" + ansi(text::kBackupWhere) + backupRoot_;
            if (!failedRows_.empty())
                where += "\r\n" +
                         port_.replanHint(xbase::pathText(xbase::fsPath(backupRoot_).filename()));
        }
        port_.info(ansi(text::kEndedWithErrors) + std::to_string(errorLines_) + "\r\n" +
                   ansi(keepPlan_ ? text::kWholePlanKept : text::kFailedRowsKept) + "\r\n" +
                   ansi(text::kSeeJournal) + where);
        return;
    }
    port_.info(ansi("После переноса нужно переиндексировать базу") + "\r\n" +
               ansi("с восстановлением целостности!"));
}

void Transfer::run() {
    runWith([this](const std::string& table, const std::vector<PlanRow>& rows) {
        applyAll(table, rows);
    });
}

void Transfer::runRowByRow() {
    runWith([this](const std::string& table, const std::vector<PlanRow>& rows) {
        d_.AdsTableR.close();
        d_.AdsTableR.setTableName(table);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            port_.progressLower(rows[i].name);
            port_.processMessages();
            changeGrup(rows, i);
            port_.progressAdvance(1);
        }
    });
}

void Transfer::changeGrup(const std::vector<PlanRow>& rows, std::size_t index) {
    const PlanRow& row = rows[index];
    ads::TAdsTable& t = d_.AdsTableR;
    try {
        t.close();
        // The same character type as the browsing datasets, so that OEM tables are matched
        // and written in their own code page.
        t.setCharType(isAnsi_ ? ads::TAdsCharType::ANSI : ads::TAdsCharType::OEM);
        t.open();
        t.PackTable({}, backupFolder(t.tableName()));
        rewritten_ = true;
        for (t.first(); !t.eof(); t.next()) {
            if (t.fieldByName("grup").asString() != row.grup) continue;
            if (t.fieldByName("nnum").asString() != row.nnum) continue;
            t.edit();
            t.fieldByName("grup").setAsString(row.ngrup);
            t.fieldByName("nnum").setAsString(row.nnnum);
            t.post();
        }
        t.close();
    } catch (const std::exception& e) {
        rowFailed(rows, index, e.what());
    }
}

void Transfer::applyAll(const std::string& table, const std::vector<PlanRow>& rows) {
    ads::TAdsTable& t = d_.AdsTableR;
    const std::size_t n = rows.size();
    if (n == 0) return;  // an empty plan opens no table
    port_.progressLower(rows.back().name);
    auto everyRow = [&](const std::string& message) {
        for (std::size_t i = 0; i < n; ++i)
            rowFailed(rows, i, message);
        port_.progressAdvance(static_cast<int>(n));
    };
    // Opening and packing fail alike for every plan row, each of which would try them anew.
    try {
        t.close();
        t.setTableName(table);
        t.setCharType(isAnsi_ ? ads::TAdsCharType::ANSI : ads::TAdsCharType::OEM);
        t.open();
    } catch (const std::exception& e) {
        return everyRow(e.what());
    }
    xbase::Table& engine = *t.table();
    const xbase::Field* grup = engine.field("grup");
    const xbase::Field* nnum = engine.field("nnum");
    bool plainFields = grup && nnum && grup->type == 'C' && nnum->type == 'C';
    bool uniqueTags = false;
    if (engine.index())
        for (const xbase::TagInfo& tag : engine.index()->tags())
            uniqueTags |= tag.unique;
    if (!plainFields || uniqueTags) {
        // Missing or unusual fields, or unique tags whose refusals depend on the order of the
        // writes: the rows one after another, as the plan is written.
        try {
            t.PackTable({}, backupFolder(table));
            rewritten_ = true;
        } catch (const std::exception& e) {
            return everyRow(e.what());
        }
        t.close();
        for (std::size_t i = 0; i < n; ++i)
            changeGrup(rows, i);
        port_.progressAdvance(static_cast<int>(n));
        return;
    }
    // The pack rewrites the records as it copies them, each record following the plan rows
    // (PlanChains). Character fields take any text (cut to their width), so no single write
    // can fail here; whatever fails stops the pack, which leaves the table as it was, and
    // counts for every plan row.
    const PlanChains chains(rows);
    const std::uint32_t length = engine.recordLength();
    std::vector<std::string> log;  // the change log: new record number, old pair, new pair
    const bool keepLog = safeguards_.backup && safeguards_.changeLog;
    std::uint32_t recno = 0;  // the pack hands the kept records over in their order
    auto rewrite = [&](const char* rec, std::string& changed) {
        ++recno;
        bool copied = false;  // most records stay as they are: copied only when moved
        const bool moved =
            chains.follow(engine.text(rec, *grup), engine.text(rec, *nnum), [&](std::size_t i) {
                if (!copied) changed.assign(rec, length);
                copied = true;
                engine.setText(changed, *grup, rows[i].ngrup);
                engine.setText(changed, *nnum, rows[i].nnnum);
                return std::pair{engine.text(changed.data(), *grup),
                                 engine.text(changed.data(), *nnum)};
            });
        if (moved && keepLog)
            log.push_back(std::to_string(recno) + ";" + engine.text(rec, *grup) + ";" +
                          engine.text(rec, *nnum) + ";" + engine.text(changed.data(), *grup) + ";" +
                          engine.text(changed.data(), *nnum));
        return moved;
    };
    try {
        t.PackTable(rewrite, backupFolder(table));
        rewritten_ = true;
    } catch (const std::exception& e) {
        return everyRow(e.what());
    }
    if (keepLog) {
        try {
            writeChangeLog(table, log);
        } catch (const std::exception& e) {
            errorLine(":" + std::string(e.what()));
        }
    }
    t.close();
    port_.progressAdvance(static_cast<int>(n));
}

}  // namespace plan
