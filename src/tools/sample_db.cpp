#include "sample_db.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <unordered_set>
#include <vector>

#include "xbase/codepage.h"
#include "xbase/error.h"
#include "xbase/fs_path.h"

namespace sample {

namespace {

// 32-bit random numbers from a seeded generator.
struct Rng {
    explicit Rng(std::uint32_t seed) : engine(seed) {}
    std::uint32_t operator()() { return static_cast<std::uint32_t>(engine()); }
    std::mt19937 engine;
};

using xbase::FieldDef;
using xbase::TagDef;

// Text in this file is UTF-8; the tables get it in their code page.
std::string ansi(const std::string& utf8) {
    auto s = xbase::CodePage::get(xbase::kAnsiCodePage).fromUtf8(utf8);
    if (!s) xbase::fail(xbase::code::kUnsupported, "sample text outside the ANSI code page");
    return *s;
}

const char* kNouns[] = {"Труба",  "Лист",   "Уголок",       "Швеллер",  "Болт",      "Гайка",
                        "Шайба",  "Кабель", "Провод",       "Краска",   "Эмаль",     "Электрод",
                        "Круг",   "Полоса", "Арматура",     "Саморез",  "Подшипник", "Ремень",
                        "Фланец", "Отвод",  "Кран шаровой", "Задвижка", "Перчатки",  "Ветошь",
                        "Лента",  "Хомут",  "Цепь",         "Трос"};
const char* kTraits[] = {"стальная", "оцинк.", "нерж.", "ГОСТ 8732", "Ст3",
                         "09Г2С",    "медный", "алюм.", "черная",    "белая",
                         "х/к",      "г/к",    "ВВГ",   "ПВС",       "ПФ-115"};
const char* kUnits[] = {"шт", "кг", "м", "т", "м2", "компл", "л", "уп"};
const char* kGroupNames[] = {"Металлопрокат",
                             "Трубы",
                             "Крепеж",
                             "Кабельная продукция",
                             "Лакокрасочные материалы",
                             "Сварочные материалы",
                             "Запорная арматура",
                             "Подшипники",
                             "Спецодежда",
                             "Хозтовары",
                             "Инструмент",
                             "Электротовары",
                             "Резинотехнические изделия",
                             "Топливо",
                             "Смазочные материалы",
                             "Стройматериалы",
                             "Канцтовары",
                             "Запчасти",
                             "Упаковка",
                             "Прочие материалы"};
const char* kCyrillicMarks[] = {"А", "Б", "В", "К", "М", "Н", "Р", "С", "Т", "Ш", "Щ", "Ё"};

std::string money(Rng& rng) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(rng() % 5000000) / 100.0);
    return buf;
}

// Group codes: right-aligned numbers, a few with letters.
std::string groupCode(std::uint32_t i) {
    std::string code = std::to_string(i + 1);
    if (i % 9 == 4) code += ansi(kCyrillicMarks[i % 12]);
    if (code.size() < 3) code.insert(0, 3 - code.size(), ' ');
    return code;
}

// The code of demo group g: under a collation, which ignores letter case, the first groups are
// pairs that only letter case or Е and Ё tell apart.
std::string demoGroup(std::uint32_t g, std::uint32_t groups, const DemoOptions& o) {
    static const char* const kLookAlike[] = {"АБ", "аб", "Е1", "Ё1", "ЖЁ", "Же"};
    if (!o.collation.empty() && g < std::size(kLookAlike) && groups > std::size(kLookAlike) + 2)
        return ansi(kLookAlike[g]);
    return groupCode(g);
}

}  // namespace

xbase::TableDef mlabelDef(int codePage) {
    xbase::TableDef d;
    d.codePage = codePage;
    auto c = [&](const char* n, std::uint32_t w) { d.fields.push_back({n, 'C', w, 0}); };
    auto f = [&](const char* n) { d.fields.push_back({n, 'N', 15, 2}); };
    auto dt = [&](const char* n) { d.fields.push_back({n, 'D', 8, 0}); };
    auto l = [&](const char* n) { d.fields.push_back({n, 'L', 1, 0}); };
    auto i16 = [&](const char* n) { d.fields.push_back({n, 'N', 6, 0}); };
    c("GRUP", 5);
    c("NNUM", 13);
    c("NAME", 60);
    c("ED", 5);
    f("CENA");
    f("CENA0");
    dt("DATE");
    f("NORMA");
    dt("ODATE");
    for (const char* n :
         {"OCENA1", "VCENA1", "OCENA2", "VCENA2", "OCENA3", "VCENA3", "OCENA4", "VCENA4"})
        f(n);
    c("CODEVAL", 3);
    f("CENAVAL");
    f("NACEN");
    c("MARKA", 25);
    c("SORT", 25);
    c("PROFIL", 25);
    c("RAZMER", 25);
    f("KOEF");
    c("ED1", 5);
    c("ED2", 5);
    c("ED3", 5);
    c("ALGO1", 40);
    c("ALGO2", 40);
    c("ALGO3", 40);
    c("SKID", 4);
    c("SKIDQ", 4);
    for (const char* n : {"KOL1", "KOL2", "KOL3", "KOL4", "KOL5", "SKIDKA1", "SKIDKA2", "SKIDKA3",
                          "SKIDKA4", "SKIDKA5"})
        f(n);
    c("STATUS", 1);
    l("YESSEBE");
    c("INS", 1);
    c("STAT", 1);
    f("R1");
    f("R2");
    f("R3");
    f("KOEF1");
    d.fields.push_back({"SCLADS", 'M', 4, 0});
    d.fields.push_back({"NNOPER", 'N', 10, 0});
    i16("N_R");
    i16("N_P");
    c("COD_OKDP", 20);
    f("OPER");
    f("CENAN");
    f("CENA0N");
    l("YESSEBEN");
    dt("DATEN");
    c("WRK_CL", 1);
    dt("PEREOC_D");
    dt("DAMSO");
    dt("DAMSON");
    i16("ORD_POLICY");
    i16("ORD_SYST");
    c("VND_CODE", 20);
    c("VND_NAME", 30);
    c("VENDOR", 6);
    c("VND_UNIT", 5);
    c("VND_CUR", 3);
    f("VND_PRICE");
    f("LOT_MIN");
    f("LOT_MAX");
    i16("ORD_DAY1");
    f("ORD_POINT");
    f("ORD_QTY");
    f("ORD_MAX");
    f("QTY_SFT");
    c("CDATTR1", 30);
    c("CDATTR2", 30);
    c("CDATTR3", 30);
    c("CDATTR4", 30);
    f("NDATTR1");
    f("NDATTR2");
    f("CRC");
    i16("ID_ST");
    c("USER_CODE", 6);

    d.tags = {{"MLABEL", "GRUP+NNUM", "", false, false},
              {"MLABEL_S", "STATUS+GRUP+NNUM", "", false, false},
              {"MLABEL_T", "STATUS+NAME", "", false, false},
              {"MLABEL_Y", "UPPER(GRUP+NNUM)", "", false, false},
              {"MLAB_ST", "STATUS+GRUP+NAME", "", false, false},
              {"MLABELM", "STATUS+GRUP+MARKA", "", false, false},
              {"MLABELS", "STATUS+GRUP+SORT", "", false, false},
              {"MLABELP", "STATUS+GRUP+PROFIL", "", false, false},
              {"MLABELR", "STATUS+GRUP+RAZMER", "", false, false},
              {"MLABELC", "STATUS+GRUP+STR(CENA,15,2)+NAME", "", false, false},
              {"TAG_OPER", "NNOPER", "", false, false},
              {"TAG_MARKA", "STATUS+MARKA", "", false, false},
              {"TAG_RAZMER", "STATUS+RAZMER", "", false, false},
              {"TAG_PROFIL", "STATUS+PROFIL", "", false, false},
              {"TAG_SORT", "STATUS+SORT", "", false, false},
              {"TAG_NNUM", "STATUS+NNUM", "", false, false},
              {"VENDOR", "VENDOR", "", false, false}};
    return d;
}

xbase::TableDef mgrupDef(int codePage) {
    xbase::TableDef d;
    d.codePage = codePage;
    d.fields = {{"CODE", 'C', 5, 0}, {"NAME", 'C', 34, 0}, {"PRIM", 'C', 15, 0}};
    for (const char* n : {"NDS", "SFN", "PA", "TN", "TP", "EU", "DOP1", "DOP2", "DOP3"})
        d.fields.push_back({n, 'N', 12, 2});
    d.fields.push_back({"KOL_", 'N', 6, 0});
    d.fields.push_back({"KOL1_", 'N', 6, 0});
    d.fields.push_back({"ED_", 'C', 5, 0});
    for (const char* n : {"OPER_NDS", "OPER", "MIN_TN", "MAX_TN", "CSH"})
        d.fields.push_back({n, 'N', 12, 2});
    d.fields.push_back({"IS_HISTORY", 'L', 1, 0});
    d.fields.push_back({"CRC", 'N', 12, 0});
    d.fields.push_back({"ID_ST", 'N', 6, 0});
    d.fields.push_back({"USER_CODE", 'C', 6, 0});
    d.tags = {{"DODOD", "CODE", "", false, false}, {"MGRUP_T", "NAME", "", false, false}};
    return d;
}

namespace {

// Fills one material record; `t` is the open table, `i` the material's number.
void fillMaterial(const xbase::Table& t, std::string& rec, Rng& rng, std::uint32_t i,
                  std::uint32_t groups, std::uint32_t nnumSpace) {
    auto set = [&](const char* field, const std::string& v) { t.setText(rec, *t.field(field), v); };
    std::uint32_t g = rng() % groups;
    set("GRUP", groupCode(g));
    // Item numbers: digits, some with Cyrillic letters or leading blanks; the same number
    // occurs in several groups.
    std::string nnum = std::to_string(100000 + rng() % nnumSpace);
    switch (rng() % 10) {
        case 0:
            nnum = ansi(kCyrillicMarks[rng() % 12]) + nnum;
            break;
        case 1:
            nnum = "  " + nnum;
            break;
        case 2:
            nnum += "-" + std::to_string(rng() % 100);
            break;
        default:
            break;
    }
    set("NNUM", nnum);
    std::string name = ansi(kNouns[rng() % std::size(kNouns)]) + " " +
                       ansi(kTraits[rng() % std::size(kTraits)]) + " " +
                       std::to_string(rng() % 200 + 5) + "x" + std::to_string(rng() % 20 + 1);
    set("NAME", name);
    set("ED", ansi(kUnits[rng() % std::size(kUnits)]));
    set("CENA", money(rng));
    set("CENA0", money(rng));
    char date[40];
    std::snprintf(date, sizeof date, "20%02u%02u%02u", 10 + rng() % 16, 1 + rng() % 12,
                  1 + rng() % 28);
    set("DATE", date);
    set("MARKA", ansi(kTraits[rng() % std::size(kTraits)]));
    set("SORT", std::to_string(rng() % 50));
    set("PROFIL", ansi(kCyrillicMarks[rng() % 12]) + std::to_string(rng() % 30));
    set("RAZMER", std::to_string(rng() % 100) + "x" + std::to_string(rng() % 100));
    set("STATUS", rng() % 20 == 0 ? "N" : " ");
    set("YESSEBE", rng() % 2 ? "T" : "F");
    set("NNOPER", std::to_string(static_cast<int>(rng() % 2000000) - 1000000));
    set("VENDOR", std::to_string(rng() % 5000));
    set("USER_CODE", "U" + std::to_string(i % 97));
}

}  // namespace

void writeMlabel(const std::string& path, std::uint32_t records, std::uint32_t groups,
                 std::uint32_t seed, bool oem, std::uint32_t numbers,
                 const std::string& collation) {
    xbase::TableDef def = mlabelDef(oem ? 866 : 1251);
    def.collation = collation;
    xbase::createTable(path, def);
    xbase::OpenOptions opt;
    opt.share = xbase::Share::Exclusive;
    opt.readOnly = false;
    auto t = xbase::Table::open(path, opt);
    Rng rng(seed);
    const std::string blank = t->blankRecord();
    const std::uint32_t batch = 4096;
    std::string buf;
    for (std::uint32_t i = 0; i < records; ++i) {
        std::string rec = blank;
        fillMaterial(*t, rec, rng, i, std::max(groups, 1u),
                     numbers ? numbers : std::max(records / 2, 10u));
        if (rng() % 100 == 0) rec[0] = '*';
        buf += rec;
        if ((i + 1) % batch == 0 || i + 1 == records) {
            t->appendUnindexed(buf);
            buf.clear();
        }
    }
    t->reindex();
}

void writeMgrup(const std::string& path, std::uint32_t groups, bool oem,
                const std::string& collation) {
    xbase::TableDef def = mgrupDef(oem ? 866 : 1251);
    def.collation = collation;
    xbase::createTable(path, def);
    xbase::OpenOptions opt;
    opt.share = xbase::Share::Exclusive;
    opt.readOnly = false;
    auto t = xbase::Table::open(path, opt);
    std::string all;
    for (std::uint32_t g = 0; g < groups; ++g) {
        std::string rec = t->blankRecord();
        t->setText(rec, *t->field("CODE"), groupCode(g));
        t->setText(rec, *t->field("NAME"),
                   ansi(kGroupNames[g % std::size(kGroupNames)]) + " " + std::to_string(g + 1));
        all += rec;
    }
    t->appendUnindexed(all);
    t->reindex();
}

namespace {
// A 64-bit hash of a material's pair, to skip repeated pairs without keeping them as text.
std::uint64_t pairHash(std::string_view grup, std::string_view nnum) {
    std::uint64_t h = 1469598103934665603ULL;
    auto mix = [&h](std::string_view s) {
        for (char c : s)
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        h = (h ^ 0x0A) * 1099511628211ULL;
    };
    mix(grup);
    mix(nnum);
    return h;
}
}  // namespace

std::string writeDemo(const std::string& dir, const DemoOptions& o) {
    namespace fs = std::filesystem;
    const int cp = o.oem ? 866 : 1251;
    fs::create_directories(xbase::fsPath(dir) / "zapas");
    std::string report;
    Rng rng(o.seed);
    xbase::OpenOptions rw;
    rw.share = xbase::Share::Exclusive;
    rw.readOnly = false;
    // Records go to the big tables in batches, unindexed; each table's tags are built once at
    // the end.
    constexpr std::size_t kBatchBytes = 1u << 20;
    std::string batch;
    auto flush = [&batch](xbase::Table& t) {
        t.appendUnindexed(batch);
        batch.clear();
    };

    // main.dbf: its presence makes the directory an accounting database.
    {
        xbase::TableDef d;
        d.codePage = cp;
        d.fields = {{"KEY", 'C', 20, 0}, {"VALUE", 'C', 60, 0}, {"NVAL", 'N', 10, 0}};
        std::string p = xbase::pathText(xbase::fsPath(dir) / "main.dbf");
        xbase::createTable(p, d);
        auto t = xbase::Table::open(p, rw);
        const std::pair<const char*, const char*> rows[] = {
            {"ORG", "ООО \"Демонстрация\""}, {"PERIOD", "2026"}, {"VERSION", "5"}};
        for (const auto& [k, v] : rows) {
            std::string rec = t->blankRecord();
            t->setText(rec, *t->field("KEY"), k);
            t->setText(rec, *t->field("VALUE"), ansi(v));
            t->append(rec);
        }
        report += "main.dbf: 3 records\n";
    }
    // lorf5.dbc: its presence says the database is ANSI.
    if (!o.oem) {
        xbase::TableDef d;
        d.codePage = cp;
        d.fields = {{"OBJECTNAME", 'C', 128, 0}, {"OBJECTTYPE", 'C', 10, 0}};
        std::string p = xbase::pathText(xbase::fsPath(dir) / "lorf5.dbc");
        xbase::createTable(p, d);
        report += "lorf5.dbc\n";
    }

    // Groups: some will have no materials.
    const std::uint32_t groups = std::max(o.groups, 3u);  // two stay empty, one at least holds
    {
        std::string p = xbase::pathText(xbase::fsPath(dir) / "zapas" / "mgrup.dbf");
        xbase::TableDef def = mgrupDef(cp);
        def.collation = o.collation;
        xbase::createTable(p, def);
        auto t = xbase::Table::open(p, rw);
        for (std::uint32_t g = 0; g < groups; ++g) {
            std::string rec = t->blankRecord();
            t->setText(rec, *t->field("CODE"), demoGroup(g, groups, o));
            std::string name = ansi(kGroupNames[g % std::size(kGroupNames)]);
            if (g >= std::size(kGroupNames))
                name += " " + std::to_string(g / std::size(kGroupNames) + 1);
            t->setText(rec, *t->field("NAME"), name);
            t->setText(rec, *t->field("NDS"), "20");
            t->append(rec);
        }
        report += "zapas/mgrup.dbf: " + std::to_string(groups) + " groups\n";
    }

    // Materials: the last two groups stay empty; a few name groups that do not exist.
    std::vector<std::pair<std::string, std::string>> pairs;
    {
        std::string p = xbase::pathText(xbase::fsPath(dir) / "zapas" / "mlabel.dbf");
        xbase::TableDef def = mlabelDef(cp);
        def.collation = o.collation;
        xbase::createTable(p, def);
        auto t = xbase::Table::open(p, rw);
        std::uint32_t deleted = 0;
        std::unordered_set<std::uint64_t> seen;
        for (std::uint32_t i = 0; i < o.materials; ++i) {
            std::string rec = t->blankRecord();
            fillMaterial(*t, rec, rng, i, groups - 2, std::max(o.materials / 3, 10u));
            if (!o.collation.empty())
                t->setText(rec, *t->field("GRUP"), demoGroup(rng() % (groups - 2), groups, o));
            if (i % 97 == 13) t->setText(rec, *t->field("GRUP"), "999");  // no such group
            if (i % 50 == 7) {
                std::string memo = ansi("Склад №" + std::to_string(rng() % 9 + 1) + ", стеллаж " +
                                        std::to_string(rng() % 40 + 1));
                std::uint32_t block = t->writeMemo(memo);
                std::memcpy(rec.data() + t->field("SCLADS")->offset, &block, 4);
            }
            if (rng() % 60 == 0) {
                rec[0] = '*';
                ++deleted;
            }
            // The same pair twice would make the transfer ambiguous; skip repeats.
            std::string grup = t->text(rec.data(), *t->field("GRUP"));
            std::string nnum = t->text(rec.data(), *t->field("NNUM"));
            if (!seen.insert(pairHash(grup, nnum)).second) continue;
            pairs.emplace_back(grup, nnum);
            batch.append(rec);
            if (batch.size() >= kBatchBytes) flush(*t);
        }
        flush(*t);
        t->reindex();
        report += "zapas/mlabel.dbf: " + std::to_string(pairs.size()) + " materials, " +
                  std::to_string(deleted) + " deleted\n";
    }

    // Receipts refer to materials by GRUP and NNUM.
    {
        xbase::TableDef d;
        d.codePage = cp;
        d.fields = {
            {"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}, {"KOL", 'N', 12, 3}, {"DATE", 'D', 8, 0}};
        d.tags = {{"PRIH", "GRUP+NNUM", "", false, false}};
        d.collation = o.collation;
        std::string p = xbase::pathText(xbase::fsPath(dir) / "zapas" / "prihod.dbf");
        xbase::createTable(p, d);
        auto t = xbase::Table::open(p, rw);
        std::uint32_t n = static_cast<std::uint32_t>(pairs.size()) * 2;
        for (std::uint32_t i = 0; i < n && !pairs.empty(); ++i) {
            const auto& [grup, nnum] = pairs[rng() % pairs.size()];
            std::string rec = t->blankRecord();
            t->setText(rec, *t->field("GRUP"), grup);
            t->setText(rec, *t->field("NNUM"), nnum);
            t->setText(rec, *t->field("KOL"), std::to_string(rng() % 1000) + ".5");
            t->setText(rec, *t->field("DATE"), "20260" + std::to_string(1 + rng() % 9) + "15");
            batch.append(rec);
            if (batch.size() >= kBatchBytes) flush(*t);
        }
        flush(*t);
        t->reindex();
        report += "zapas/prihod.dbf: " + std::to_string(n) + " receipts\n";
    }
    // pro/label.pro: the installation's list of its databases, in the OEM code page as the
    // installation's own tools write it; its one row names this directory itself.
    {
        xbase::TableDef d;
        d.codePage = 866;
        d.fields = {{"LBL_NAME", 'C', 40, 0}, {"LBL_PATH", 'C', 80, 0}};
        fs::create_directories(xbase::fsPath(dir) / "pro");
        std::string p = xbase::pathText(xbase::fsPath(dir) / "pro" / "label.pro");
        xbase::createTable(p, d);
        auto t = xbase::Table::open(p, rw);
        std::string rec = t->blankRecord();
        t->setText(rec, *t->field("LBL_NAME"), ansi("Демонстрационная база"));
        t->append(rec);
        report += "pro/label.pro: 1 database\n";
    }
    return report;
}

}  // namespace sample
