#include "plan/verify.h"

#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "plan/backup.h"
#include "plan/texts.h"
#include "xbase/ascii.h"
#include "xbase/dbf.h"
#include "xbase/fs_path.h"

namespace plan {

PlanChains::PlanChains(const std::vector<PlanRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i)
        bySource_[key(rows[i].grup, rows[i].nnum)].push_back(i);
}

std::string PlanChains::key(const std::string& grup, const std::string& nnum) {
    std::string s = std::to_string(grup.size());  // the length keeps the split exact
    s.push_back(':');
    s.append(grup).append(nnum);
    return s;
}

namespace {

// A text as a character field of that width keeps it and gives it back: cut to the width,
// without its trailing blanks.
std::string fitted(const std::string& text, std::uint32_t width) {
    std::string s = text.substr(0, width);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    while (!s.empty() && s.front() == ' ')
        s.erase(0, 1);
    return s;
}

std::unique_ptr<xbase::Table> openForReading(const std::string& path, bool isAnsi) {
    xbase::OpenOptions o;
    o.charType = isAnsi ? xbase::CharType::Ansi : xbase::CharType::Oem;
    o.openIndex = false;
    return xbase::Table::open(path, o);
}

// A table name of the list as a comparable key: '/' for separators, lower case.
std::string listKey(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    while (name.rfind("./", 0) == 0)
        name.erase(0, 2);
    return xbase::ascii::lower(name);
}

// The character GRUP and NNUM fields of a table, or nullptr.
std::pair<const xbase::Field*, const xbase::Field*> pairFields(const xbase::Table& t) {
    const xbase::Field* g = t.field("GRUP");
    const xbase::Field* n = t.field("NNUM");
    if (!g || !n || !g->isCharacter() || !n->isCharacter()) return {nullptr, nullptr};
    return {g, n};
}

}  // namespace

PlanCheck checkPlan(data::TData& d, const std::string& dbPath, bool isAnsi) {
    PlanCheck c;
    c.rows = planRows(d);
    const PlanChains chains(c.rows);
    for (std::size_t i = 0; i < c.rows.size(); ++i)
        if (trimmed(c.rows[i].ngrup).empty() || trimmed(c.rows[i].nnnum).empty())
            c.blankRows.push_back(i);

    // Each listed table: the records each row would move.
    std::set<std::string> listed;
    db::Dataset& tables = d.TABLES;
    for (tables.first(); !tables.eof(); tables.next()) {
        PlanCheck::Table entry;
        entry.name = tables.fieldByName("NAME").asString();
        entry.moved.assign(c.rows.size(), 0);
        entry.matched.assign(c.rows.size(), 0);
        listed.insert(listKey(entry.name));
        try {
            auto t = openForReading(dbPath + entry.name, isAnsi);
            const auto fields = pairFields(*t);  // named, for the lambdas below to capture
            const xbase::Field* grup = fields.first;
            const xbase::Field* nnum = fields.second;
            if (!grup) throw std::runtime_error(ansi(text::kCheckNoPairFields));
            std::vector<char> buf;
            t->scan(1, buf, [&](const char* rec, std::uint32_t) {
                if (rec[0] == '*') return true;
                chains.follow(t->text(rec, *grup), t->text(rec, *nnum), [&](std::size_t i) {
                    // A row finds the record under its own pair; it changes it only where the
                    // new pair differs, as the table stores both.
                    ++entry.matched[i];
                    const PlanRow& row = c.rows[i];
                    auto next =
                        std::pair{fitted(row.ngrup, grup->length), fitted(row.nnnum, nnum->length)};
                    if (next !=
                        std::pair{fitted(row.grup, grup->length), fitted(row.nnum, nnum->length)})
                        ++entry.moved[i];
                    return next;
                });
                return true;
            });
        } catch (const std::exception& e) {
            entry.error = e.what();
        }
        c.tables.push_back(std::move(entry));
    }
    c.emptyList = c.tables.empty();

    // The materials: which would end on one pair.
    try {
        auto m = openForReading(dbPath + "zapas/mlabel.dbf", isAnsi);
        const auto fields = pairFields(*m);
        const xbase::Field* grup = fields.first;
        const xbase::Field* nnum = fields.second;
        const xbase::Field* name = m->field("NAME");
        if (grup) {
            struct Material {
                std::string was;
                bool moved;
            };
            std::map<std::pair<std::string, std::string>, std::vector<Material>> byPair;
            std::vector<char> buf;
            m->scan(1, buf, [&](const char* rec, std::uint32_t) {
                if (rec[0] == '*') return true;
                std::string g = m->text(rec, *grup), n = m->text(rec, *nnum);
                const std::string was = g + "/" + n + (name ? " " + m->text(rec, *name) : "");
                const bool moved = chains.follow(g, n, [&](std::size_t i) {
                    g = fitted(c.rows[i].ngrup, grup->length);
                    n = fitted(c.rows[i].nnnum, nnum->length);
                    return std::pair{g, n};
                });
                byPair[{g, n}].push_back({was, moved});
                return true;
            });
            for (const auto& [pair, materials] : byPair) {
                if (materials.size() < 2) continue;
                PlanCheck::Merge merge{pair.first, pair.second, {}, false};
                bool anyMoved = false;
                for (const Material& x : materials) {
                    merge.materials.push_back(x.was);
                    anyMoved |= x.moved;
                    merge.withUnmoved |= !x.moved;
                }
                if (anyMoved) c.merges.push_back(std::move(merge));
            }
        }
    } catch (const std::exception&) {
        // Without the material table there is nothing to merge; the listed tables say why.
    }

    // Tables of the database that hold materials' pairs but are not listed (the transfers'
    // backups are not the database's).
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = xbase::fsPath(dbPath);
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it.depth() == 0 && it->is_directory(ec) &&
            xbase::ascii::lower(xbase::pathText(it->path().filename())) == kBackupFolder) {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec)) continue;
        if (xbase::ascii::lower(xbase::pathText(it->path().extension())) != ".dbf") continue;
        std::string relative = xbase::genericPathText(fs::relative(it->path(), root, ec));
        if (ec || listed.count(listKey(relative))) continue;
        try {
            auto t = openForReading(xbase::pathText(it->path()), isAnsi);
            if (!pairFields(*t).first) continue;
        } catch (const std::exception&) {
            continue;
        }
        for (char& ch : relative)
            if (ch == '/') ch = '\\';  // as the list writes its names
        c.unlisted.push_back(relative);
    }
    std::sort(c.unlisted.begin(), c.unlisted.end());
    return c;
}

void addTables(data::TData& d, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        d.TABLES.append();
        d.TABLES.fieldByName("NAME").setAsString(name);
        d.TABLES.post();
    }
}

std::vector<std::string> planReport(const PlanCheck& c) {
    std::vector<std::string> out;
    auto rowName = [&](std::size_t i) {
        return ansi(text::kCheckRow) + std::to_string(i + 1) + " (" + c.rows[i].grup + "/" +
               c.rows[i].nnum + " -> " + c.rows[i].ngrup + "/" + c.rows[i].nnnum + ")";
    };
    out.push_back(ansi(text::kCheckTitle) + std::to_string(c.rows.size()) +
                  ansi(text::kCheckTables) + std::to_string(c.tables.size()));
    if (c.emptyList) out.push_back(ansi(text::kCheckEmptyList));
    std::vector<std::uint64_t> changed(c.rows.size(), 0), found(c.rows.size(), 0);
    for (const PlanCheck::Table& t : c.tables) {
        if (!t.error.empty()) {
            out.push_back(t.name + ansi(text::kCheckUnread) + t.error);
            continue;
        }
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < t.moved.size(); ++i) {
            sum += t.moved[i];
            changed[i] += t.moved[i];
            found[i] += t.matched[i];
        }
        out.push_back(t.name + ansi(text::kCheckWillChange) + std::to_string(sum));
    }
    for (std::size_t i = 0; i < c.rows.size() && !c.tables.empty(); ++i)
        if (changed[i] == 0)
            out.push_back(ansi(text::kCheckNoChange) + rowName(i) +
                          ansi(found[i] == 0 ? text::kCheckNoSuchPair : text::kCheckSamePair));
    for (std::size_t i : c.blankRows)
        out.push_back(ansi(text::kCheckBlank) + rowName(i));
    for (const PlanCheck::Merge& m : c.merges) {
        out.push_back(ansi(text::kCheckMerge) + m.grup + "/" + m.nnum +
                      ansi(text::kCheckMergeTake) + std::to_string(m.materials.size()) +
                      ansi(text::kCheckMergeMaterials) +
                      (m.withUnmoved ? ansi(text::kCheckMergeUnmoved) : std::string()) + ":");
        for (const std::string& x : m.materials)
            out.push_back("    " + x);
    }
    for (const std::string& t : c.unlisted)
        out.push_back(ansi(text::kCheckUnlisted) + t);
    if (!c.hasRemarks()) out.push_back(ansi(text::kCheckClean));
    return out;
}

bool PlanCheck::hasRemarks() const {
    if (needsConfirmation() || !unlisted.empty() || emptyList) return true;
    std::vector<std::uint64_t> changed(rows.size(), 0);
    for (const Table& t : tables) {
        if (!t.error.empty()) return true;
        for (std::size_t i = 0; i < t.moved.size(); ++i)
            changed[i] += t.moved[i];
    }
    return std::find(changed.begin(), changed.end(), 0u) != changed.end();
}

}  // namespace plan
