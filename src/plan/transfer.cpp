#include "plan/transfer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <unordered_map>
#include <vector>

#include "plan/verify.h"
#include "xbase/cdx.h"
#include "xbase/check.h"
#include "xbase/dbf.h"

namespace plan {

std::string Transfer::seconds(std::uint32_t milliseconds, char separator) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", static_cast<double>(milliseconds) / 1000.0);
    std::string s = buf;
    for (char& c : s)
        if (c == '.') c = separator;
    return s;
}

void Transfer::line(const std::string& text) {
    port_.journalAppend(port_.timeStamp() + text);
}

void Transfer::errorLine(const std::string& text) {
    line(text);
    ++errorLines_;
}

void Transfer::verifyTable(const std::string& name) {
    // The rewritten table's indexes, judged as other engines need them stored.
    std::string dir = d_.AdsCon.connectPath();
    if (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    xbase::OpenOptions o;
    o.charType = isAnsi_ ? xbase::CharType::Ansi : xbase::CharType::Oem;
    std::unique_ptr<xbase::Table> t;
    try {
        t = xbase::Table::open(dir + "\\" + name, o);
    } catch (const std::exception&) {
        return;  // a table that does not open has its error lines already
    }
    if (!t->index()) return;
    const xbase::CheckReport r = xbase::checkTable(*t, xbase::CheckDepth::Structure);
    if (r.strict()) {
        line(ansi(":Индексы проверены ") + name);
        return;
    }
    for (const std::string& p : r.problems)
        errorLine(ansi(":Индексы ") + name + ": " + p);
    for (const std::string& w : r.warnings)
        errorLine(ansi(":Индексы ") + name + ": " + w);
}

void Transfer::rowFailed(const std::vector<PlanRow>& rows, std::size_t i,
                         const std::string& message) {
    errorLine(ansi(":Grup:") + rows[i].grup + ",Nnum:" + rows[i].nnum + " " + message);
    failedRows_.insert(i);
}

template <class PerTable>
void Transfer::runWith(PerTable perTable) {
    if (!port_.proceed(ansi("Убедитесь что никто не работает в базе") + "\r\n" +
                       ansi("и нажмите ОК")))
        return;
    d_.closeBrowsing();
    std::exception_ptr escaped;
    d_.PLAN.disableControls();
    d_.TABLES.disableControls();
    try {
        std::vector<PlanRow> rows = planRows(d_);
        planSize_ = rows.size();
        int tables = static_cast<int>(d_.TABLES.recordCount());
        port_.progressOpen(tables * static_cast<int>(rows.size()));
        line(ansi(": Запущен перенос ") + std::to_string(rows.size()) + ansi(" позиций"));
        port_.processMessages();
        try {
            for (d_.TABLES.first(); !d_.TABLES.eof();) {
                std::string name = d_.TABLES.fieldByName("NAME").asString();
                try {
                    port_.progressUpper(name);
                    line(ansi(":Обрабатывается ") + name);
                    std::uint32_t start = port_.ticks();
                    rewritten_ = false;
                    perTable(name, rows);
                    std::uint32_t elapsed = port_.ticks() - start;
                    int last = port_.journalLineCount() - 1;
                    port_.journalReplace(last, port_.journalLine(last) + " ;" +
                                                   seconds(elapsed, port_.decimalSeparator()) +
                                                   ansi(" сек"));
                    if (rewritten_) verifyTable(name);
                } catch (const std::exception& e) {
                    errorLine(":" + std::string(e.what()));
                }
                d_.TABLES.next();
                port_.processMessages();
            }
        } catch (const std::exception& e) {
            errorLine(":" + std::string(e.what()));
        }
    } catch (...) {
        escaped = std::current_exception();
    }
    // The closing steps run whatever happened above. The plan keeps the rows that failed
    // somewhere, so that nothing the user meant is lost; a clean run empties it.
    try {
        if (failedRows_.empty()) {
            d_.PLAN.close();
            d_.PLAN.emptyTable();
            d_.PLAN.open();
        } else {
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
    if (escaped) std::rethrow_exception(escaped);
    if (errorLines_ > 0) {
        port_.info(ansi("Перенос завершён с ошибками: ") + std::to_string(errorLines_) + "\r\n" +
                   ansi("Строки плана, которые не удалось перенести, оставлены в плане;") + "\r\n" +
                   ansi("подробности в журнале."));
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
        t.PackTable();
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
            t.PackTable();
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
    auto rewrite = [&](const char* rec, std::string& changed) {
        bool copied = false;  // most records stay as they are: copied only when moved
        return chains.follow(engine.text(rec, *grup), engine.text(rec, *nnum), [&](std::size_t i) {
            if (!copied) changed.assign(rec, length);
            copied = true;
            engine.setText(changed, *grup, rows[i].ngrup);
            engine.setText(changed, *nnum, rows[i].nnnum);
            return std::pair{engine.text(changed.data(), *grup),
                             engine.text(changed.data(), *nnum)};
        });
    };
    try {
        t.PackTable(rewrite);
        rewritten_ = true;
    } catch (const std::exception& e) {
        return everyRow(e.what());
    }
    t.close();
    port_.progressAdvance(static_cast<int>(n));
}

}  // namespace plan
