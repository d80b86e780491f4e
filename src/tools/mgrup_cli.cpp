// lorf-mgrup-cli: the table list, the plan, item-number processing and the transfer run from
// the command line, on the same path.ini and kvd.abs as the window.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "plan/backup.h"
#include "plan/numbers.h"
#include "plan/plan.h"
#include "plan/plan_csv.h"
#include "plan/texts.h"
#include "plan/transfer.h"
#include "plan/verify.h"
#include "xbase/codepage.h"
#include "xbase/file.h"

namespace {

const xbase::CodePage& ansiPage() {
    return xbase::CodePage::get(xbase::kAnsiCodePage);
}

// Table text to the terminal, and the terminal's text to the tables.
std::string out(const std::string& ansi) {
    return ansiPage().toUtf8(ansi);
}

// A message as the terminal shows it: the program's own texts and what was typed are UTF-8
// already, those of the tables' layers program text.
std::string shown(const std::string& message) {
    return plan::validUtf8(message) ? message : out(message);
}

std::string in(const std::string& utf8) {
    auto a = ansiPage().fromUtf8(utf8);
    if (!a) throw std::runtime_error("в «" + utf8 + "» есть символы, которых нет в таблицах");
    return *a;
}

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char* const kUsage =
    "Использование: lorf-mgrup-cli [--db ПАПКА] [--store ФАЙЛ] КОМАНДА\n"
    "  tables list                  список таблиц: ID;ИМЯ;ФИЛЬТР;КОММЕНТАРИЙ\n"
    "  tables add ИМЯ [--filter Ф] [--comment К]\n"
    "  tables add-unlisted          добавляет в список все таблицы базы с полями GRUP и NNUM,\n"
    "                               которых в нём нет, и называет их\n"
    "  tables remove ID\n"
    "  plan list                    план: ID;GRUP;NNUM;NAME;NGRUP;NNNUM\n"
    "  plan add GRUP NNUM NGRUP NNNUM\n"
    "  plan remove ID\n"
    "  plan clear\n"
    "  plan export ФАЙЛ.csv\n"
    "  plan import ФАЙЛ.csv         (GRUP;NNUM;NGRUP;NNNUM, UTF-8 или Windows-1251)\n"
    "  numbers align-left | align-right | replace ЧТО НА_ЧТО |\n"
    "          insert ПОЗИЦИЯ ТЕКСТ [--cut right|left-of-right]\n"
    "  transfer --dry-run           проверка плана: что изменится, слияния, пустые значения\n"
    "  transfer --yes [--allow-merge]\n"
    "                               перенос; план, который дал бы двум материалам одну пару\n"
    "                               или оставил бы пустыми группу или номер, отклоняется,\n"
    "                               если не указан --allow-merge\n"
    "  restore                      копии таблиц, оставленные переносами:\n"
    "                               ИМЯ;ТАБЛИЦЫ;СТРОК ПЛАНА;СТРОК ОШИБОК;НЕ ПЕРЕНЕСЕНО\n"
    "  restore ИМЯ [--force]        возвращает таблицы копии; таблица, изменённая после\n"
    "                               переноса, не трогается без --force\n"
    "  restore ИМЯ --replan         возвращает в план строки, которые перенос не выполнил\n"
    "                               (кроме уже запланированных)\n"
    "  restore ИМЯ --delete         удаляет копию\n";
// The console as the transfer's screen: journal lines on standard output, a progress bar on
// standard error when it is a terminal.
class Console : public plan::TransferPort {
  public:
    // The run's boxes as lines on standard error; --yes has answered its questions.
    void info(const std::string& text) override {
        flush();
        std::string shown = out(text);
        for (std::size_t p; (p = shown.find("\r\n")) != std::string::npos;)
            shown.replace(p, 2, "\n");
        std::fprintf(stderr, "%s\n", shown.c_str());
    }
    bool proceed(const std::string&) override { return true; }
    std::string replanHint(const std::string& backup) override {
        return plan::ansi(plan::text::kFailedRowsBackCommand) + backup +
               plan::ansi(plan::text::kFailedRowsBackReplan);
    }
    bool ask(const std::string&) override { return true; }
    void progressOpen(int max) override {
        max_ = max;
        done_ = 0;
    }
    void progressUpper(const std::string& text) override { upper_ = out(text); }
    void progressLower(const std::string&) override {}
    void progressAdvance(int steps) override {
        done_ += steps;
        if (!bar_ || max_ <= 0) return;
        const std::size_t width = 30;
        const auto filled =
            static_cast<std::size_t>(static_cast<long long>(std::min(done_, max_)) * 30 / max_);
        std::fprintf(stderr, "\r[%s%s] %d/%d %s\033[K", std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), done_, max_, upper_.c_str());
        std::fflush(stderr);
    }
    void progressClose() override {
        if (bar_ && max_ > 0) std::fputs("\r\033[K", stderr);
    }
    void processMessages() override {}
    std::string timeStamp() override {
        const xbase::LocalTime t = xbase::localNow();
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", t.day, t.month, t.year,
                      t.hour, t.minute, t.second);
        return buf;
    }
    void journalAppend(const std::string& line) override {
        flush();
        pending_ = line;
        has_ = true;
    }
    // The last line is held back until the next one comes: it may still get its time.
    void journalReplaceLast(const std::string& line) override { pending_ = line; }
    void showJournal() override { flush(); }
    std::uint32_t ticks() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
    }
    // The system's, as the window's journal writes them.
    char decimalSeparator() override { return xbase::localDecimalSeparator(); }
    void flush() {
        if (!has_) return;
        std::cout << out(pending_) << "\n" << std::flush;
        has_ = false;
    }

  private:
    bool bar_ = xbase::standardErrorIsTerminal();
    int max_ = 0, done_ = 0;
    bool has_ = false;
    std::string pending_, upper_;
};

// The accounting directory from path.ini: its first line, in the ANSI code page.
std::string pathFromIni(const std::string& dir) {
    std::ifstream f(dir + "/path.ini", std::ios::binary);
    if (!f)
        throw std::runtime_error(
            "не задан путь к базе: рядом с программой нет path.ini; укажите --db ПАПКА");
    std::ostringstream all;
    all << f.rdbuf();
    return ansiPage().toUtf8(data::databasePathOfIni(all.str()));
}

std::string field(db::Dataset& d, const char* name) {
    return out(d.fieldByName(name).asString());
}

void csvLine(std::ostream& o, const std::vector<std::string>& values) {
    for (std::size_t i = 0; i < values.size(); ++i)
        o << (i ? ";" : "") << values[i];
    o << "\n";
}

// The accounting database: --db, or path.ini beside the program.
std::string openAccounting(data::TData& d, const std::optional<std::string>& dbDir,
                           const std::string& dir, bool& isAnsi) {
    std::string db = dbDir ? *dbDir : pathFromIni(dir);
    if (db.empty() || (db.back() != '/' && db.back() != '\\')) db += '/';
    if (!data::isAccountingDatabase(db))
        throw std::runtime_error("в " + db + " нет базы: не найден main.dbf");
    isAnsi = data::isAnsiDatabase(db);
    d.openAccounting(db, isAnsi);
    return db;
}

int run(std::vector<std::string> args) {
    // Every option is one of these; anything else that reads as an option is refused, so that
    // it is never taken for a name or a value.
    static const char* const kOptions[] = {"--db",    "--store",  "--filter",  "--comment",
                                           "--cut",   "--yes",    "--dry-run", "--allow-merge",
                                           "--force", "--delete", "--replan"};
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") throw UsageError("команды");
        if (a.rfind("--", 0) == 0 &&
            std::find(std::begin(kOptions), std::end(kOptions), a) == std::end(kOptions))
            throw UsageError("неизвестный параметр " + a);
    }
    std::optional<std::string> dbDir, store;
    for (std::size_t i = 0; i < args.size();) {
        if ((args[i] == "--db" || args[i] == "--store") && i + 1 < args.size()) {
            (args[i] == "--db" ? dbDir : store) = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
        } else {
            ++i;
        }
    }
    auto option = [&](const char* name) -> std::optional<std::string> {
        for (std::size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == name) {
                std::string v = args[i + 1];
                args.erase(args.begin() + static_cast<long>(i),
                           args.begin() + static_cast<long>(i) + 2);
                return v;
            }
        return std::nullopt;
    };
    if (args.empty()) throw UsageError("нужна команда");
    const std::string group = args[0], verb = args.size() > 1 ? args[1] : "";

    const std::string dir = xbase::programDirectory();
    data::TData d;
    // Commands that only read take no lock and write nothing, so they work beside the open
    // window; the others hold the store, as the window does, for as long as they run.
    const bool reads = (group == "tables" && verb == "list") ||
                       (group == "plan" && (verb == "list" || verb == "export")) ||
                       (group == "transfer" && verb == "--dry-run") ||
                       (group == "restore" && args.size() == 1);
    d.KVD.setBusyNotice([](bool waiting) {
        if (waiting)
            std::fputs("lorf-mgrup-cli: хранилище занято другой программой; ожидание\n", stderr);
    });
    d.openStore(store ? *store : dir + "/kvd.abs",
                reads ? data::TData::StoreUse::Read : data::TData::StoreUse::Write);

    if (group == "tables") {
        if (verb == "list" && args.size() == 2) {
            for (d.TABLES.first(); !d.TABLES.eof(); d.TABLES.next())
                csvLine(std::cout, {field(d.TABLES, "ID"), field(d.TABLES, "NAME"),
                                    field(d.TABLES, "FILTR"), field(d.TABLES, "COMMENT")});
            return 0;
        }
        if (verb == "add") {
            auto filter = option("--filter"), comment = option("--comment");
            if (args.size() != 3) throw UsageError("tables add: нужно одно ИМЯ");
            d.TABLES.append();
            d.TABLES.fieldByName("NAME").setAsString(in(args[2]));
            if (filter) d.TABLES.fieldByName("FILTR").setAsString(in(*filter));
            if (comment) d.TABLES.fieldByName("COMMENT").setAsString(in(*comment));
            d.TABLES.post();
            std::cout << field(d.TABLES, "ID") << "\n";
            return 0;
        }
        if (verb == "add-unlisted" && args.size() == 2) {
            bool isAnsi = true;
            const std::string db = openAccounting(d, dbDir, dir, isAnsi);
            const plan::PlanCheck check = plan::checkPlan(d, db, isAnsi);
            plan::addTables(d, check.unlisted);
            for (const std::string& t : check.unlisted)
                std::printf("%s\n", out(t).c_str());
            return 0;
        }
        if (verb == "remove" && args.size() == 3) {
            for (d.TABLES.first(); !d.TABLES.eof(); d.TABLES.next())
                if (field(d.TABLES, "ID") == args[2]) {
                    d.TABLES.remove();
                    return 0;
                }
            throw std::runtime_error("нет таблицы с ID " + args[2]);
        }
    } else if (group == "plan") {
        if ((verb == "list" || verb == "export") && args.size() == (verb == "list" ? 2u : 3u)) {
            std::ofstream file;
            if (verb == "export") {
                file.open(args[2], std::ios::binary | std::ios::trunc);
                if (!file) throw std::runtime_error("не удаётся записать " + args[2]);
                csvLine(file, {"GRUP", "NNUM", "NGRUP", "NNNUM"});
            }
            for (d.PLAN.first(); !d.PLAN.eof(); d.PLAN.next()) {
                if (verb == "list")
                    csvLine(std::cout, {field(d.PLAN, "ID"), field(d.PLAN, "GRUP"),
                                        field(d.PLAN, "NNUM"), field(d.PLAN, "NAME"),
                                        field(d.PLAN, "NGRUP"), field(d.PLAN, "NNNUM")});
                else
                    csvLine(file, {field(d.PLAN, "GRUP"), field(d.PLAN, "NNUM"),
                                   field(d.PLAN, "NGRUP"), field(d.PLAN, "NNNUM")});
            }
            if (file.is_open() && !file.flush())
                throw std::runtime_error("не удаётся записать " + args[2]);
            return 0;
        }
        if ((verb == "add" && args.size() == 6) || (verb == "import" && args.size() == 3)) {
            std::vector<plan::CsvRow> rows;
            std::vector<plan::CsvProblem> bad;
            if (verb == "add")
                rows.push_back({0, {in(args[2]), in(args[3]), "", in(args[4]), in(args[5])}});
            else
                rows = plan::readPlanCsv(args[2], bad);
            bool isAnsi = true;
            openAccounting(d, dbDir, dir, isAnsi);
            plan::SilentPort screen;
            std::vector<plan::PlanRow> texts;
            for (const auto& r : rows)
                texts.push_back(r.row);
            // Malformed lines or not, every row is checked; only a clean list is added.
            for (const auto& refusal : plan::PlanBuilder(d, screen).addRows(texts, !bad.empty()))
                bad.push_back({rows[refusal.row].line, refusal.reason});
            if (bad.empty()) return 0;
            std::sort(bad.begin(), bad.end());
            std::cerr << "lorf-mgrup-cli: ничего не добавлено\n";
            for (const auto& [line, reason] : bad)
                std::cerr << (verb == "add" ? std::string()
                                            : args[2] + ":" + std::to_string(line) + ": ")
                          << out(reason) << "\n";
            return 1;
        }
        if (verb == "remove" && args.size() == 3) {
            for (d.PLAN.first(); !d.PLAN.eof(); d.PLAN.next()) {
                if (field(d.PLAN, "ID") == args[2]) {
                    d.PLAN.remove();
                    return 0;
                }
            }
            throw std::runtime_error("нет строки плана с ID " + args[2]);
        }
        if (verb == "clear" && args.size() == 2) {
            d.PLAN.close();
            d.PLAN.emptyTable();
            d.PLAN.open();
            return 0;
        }
    } else if (group == "numbers") {
        if (verb == "align-left" && args.size() == 2) {
            plan::reworkNumbers(d, [](const std::string& v) { return plan::alignLeft(v); });
            return 0;
        }
        if (verb == "align-right" && args.size() == 2) {
            plan::reworkNumbers(d, [](const std::string& v) { return plan::alignRight(v); });
            return 0;
        }
        if (verb == "replace" && args.size() == 4) {
            const std::string what = in(args[2]), with = in(args[3]);
            plan::reworkNumbers(
                d, [&](const std::string& v) { return plan::replaceAll(v, what, with); });
            return 0;
        }
        if (verb == "insert") {
            auto how = option("--cut");
            if (args.size() != 4 || (how && *how != "right" && *how != "left-of-right"))
                throw UsageError("numbers insert ПОЗИЦИЯ ТЕКСТ [--cut right|left-of-right]");
            auto position = plan::parseInteger(args[2]);
            if (!position) throw std::runtime_error(plan::notAnInteger(args[2]));
            const std::string text = in(args[3]);
            const auto cut =
                how && *how == "right" ? plan::InsertCut::Right : plan::InsertCut::LeftOfRight;
            plan::reworkNumbers(
                d, [&](const std::string& v) { return plan::insertAt(v, *position, text, cut); });
            return 0;
        }
    } else if (group == "transfer") {
        const bool dryRun = args.size() == 2 && verb == "--dry-run";
        const bool allowMerge = args.size() == 3 && verb == "--yes" && args[2] == "--allow-merge";
        if (!dryRun && !allowMerge && (args.size() != 2 || verb != "--yes"))
            throw UsageError(
                "перенос переписывает таблицы учёта: подтвердите его параметром --yes");
        bool isAnsi = true;
        const std::string db = openAccounting(d, dbDir, dir, isAnsi);
        const plan::PlanCheck check = plan::checkPlan(d, db, isAnsi);
        if (dryRun || (check.needsConfirmation() && !allowMerge)) {
            for (const std::string& line : plan::planReport(check))
                std::printf("%s\n", out(line).c_str());
            if (dryRun) return check.needsConfirmation() ? 1 : 0;
            std::cerr << "lorf-mgrup-cli: the plan would give two materials one pair or leave a "
                         "group or number empty: nothing was changed (--allow-merge runs it all "
                         "the same)\n";
            return 1;
        }
        Console console;
        plan::Transfer transfer(d, console, isAnsi);
        try {
            transfer.run();
        } catch (...) {
            console.flush();
            throw;
        }
        console.flush();
        return !transfer.started() || transfer.errorLines() ? 1 : 0;
    } else if (group == "restore") {
        bool isAnsi = true;
        const std::string db = openAccounting(d, dbDir, dir, isAnsi);
        const std::vector<plan::BackupInfo> backups = plan::listBackups(db);
        if (args.size() == 1) {
            for (const plan::BackupInfo& b : backups) {
                std::string tables;
                for (const std::string& t : b.tables)
                    tables += (tables.empty() ? "" : ",") + t;
                csvLine(std::cout, {b.name, out(tables), std::to_string(b.planRows),
                                    std::to_string(b.errorLines), std::to_string(b.failedRows)});
            }
            return 0;
        }
        const std::string how = args.size() == 3 ? args[2] : "";
        if (args.size() == 2 ||
            (args.size() == 3 && (how == "--force" || how == "--delete" || how == "--replan"))) {
            const auto b = std::find_if(backups.begin(), backups.end(),
                                        [&](const plan::BackupInfo& x) { return x.name == verb; });
            if (b == backups.end()) throw std::runtime_error("нет копии " + verb + " в " + db);
            if (how == "--delete") {
                plan::deleteBackup(*b);
                return 0;
            }
            if (how == "--replan") {
                plan::SilentPort screen;
                const plan::ReplanReport report = plan::replan(d, screen, *b);
                std::printf("%zu\n", report.added);
                for (const std::string& line : report.lines)
                    std::fprintf(stderr, "%s\n", out(line).c_str());
                return 0;
            }
            // Nobody browses the tables while they are put back.
            d.closeBrowsing();
            Console clock;
            const plan::RestoreReport report =
                plan::restoreBackup(db, *b, how == "--force", clock.timeStamp() + ": ");
            for (const std::string& line : report.lines)
                std::printf("%s\n", out(line).c_str());
            return report.failed ? 1 : 0;
        }
    }
    throw UsageError("неизвестная команда");
}

}  // namespace

int main(int argc, char** argv) {
    xbase::useUtf8Console();
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "lorf-mgrup-cli: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "lorf-mgrup-cli: " << shown(e.what()) << "\n";
        return 2;
    } catch (...) {
        std::cerr << "lorf-mgrup-cli: неизвестная ошибка\n";
        return 2;
    }
}
