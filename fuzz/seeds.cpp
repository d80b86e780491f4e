// Writes the seed corpora of the fuzz targets: small files other programs wrote (the fixtures)
// and files the format builders make, each in the input form of its target.
//   fuzz_seeds FIXTURES_DIR OUT_DIR
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "format_builder.h"
#include "fuzz_common.h"
#include "xbase/ascii.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMaxSeed = 24 * 1024;  // the corpora stay small

std::string bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The file beside `p` with extension `ext` in any letter case; empty when none.
std::string sibling(const fs::path& p, const std::string& ext) {
    for (const auto& e : fs::directory_iterator(p.parent_path())) {
        const std::string x = xbase::ascii::lower(e.path().extension().string());
        if (e.path().stem() == p.stem() && x == "." + ext) return bytesOf(e.path());
    }
    return {};
}

void put(const fs::path& out, const std::string& target, std::string name,
         const std::string& bytes) {
    if (bytes.size() > kMaxSeed) return;
    for (char& c : name)
        if (c == '/' || c == '\\' || c == ' ') c = '_';
    fs::create_directories(out / target);
    testfmt::writeFile((out / target / name).string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: fuzz_seeds FIXTURES_DIR OUT_DIR\n", stderr);
        return 2;
    }
    const fs::path fixtures = argv[1], out = argv[2];

    // What other programs wrote: tables with their index and memo, containers with theirs.
    for (const auto& e : fs::recursive_directory_iterator(fixtures)) {
        if (!e.is_regular_file()) continue;
        const std::string ext = xbase::ascii::lower(e.path().extension().string());
        const std::string name = fs::relative(e.path(), fixtures).string();
        if (ext == ".dbf")
            put(out, "table", name,
                fuzz::join({bytesOf(e.path()), sibling(e.path(), "cdx"),
                            sibling(e.path(), "fpt").empty() ? sibling(e.path(), "dbt")
                                                             : sibling(e.path(), "fpt")}));
        else if (ext == ".dbc")
            put(out, "container", name,
                fuzz::join(
                    {bytesOf(e.path()), sibling(e.path(), "dcx"), sibling(e.path(), "dct")}));
        else if (xbase::ascii::lower(e.path().filename().string()) == "label.pro")
            put(out, "label_list", name, bytesOf(e.path()));
    }

    // What the builders make: trees of several levels, descending, unique, nullable and
    // candidate tags, memos, containers.
    {
        testfmt::TableSpec spec;
        spec.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}, {"NOTE", 'M', 4}};
        std::vector<std::string> memos;
        std::vector<std::pair<std::string, std::uint32_t>> keys;
        for (std::uint32_t r = 1; r <= 60; ++r) {
            const std::string g = std::to_string(r % 7), n = "N-" + std::to_string(r);
            memos.push_back("memo " + std::to_string(r));
            spec.records.push_back({g, n, ""});
            std::string k = g;
            k.resize(5, ' ');
            k += n;
            k.resize(18, ' ');
            keys.emplace_back(k, r);
        }
        std::sort(keys.begin(), keys.end());
        auto [fpt, blocks] = testfmt::buildFpt(64, memos);
        for (std::size_t r = 0; r < blocks.size(); ++r) {
            std::string b(4, '\0');
            for (int i = 0; i < 4; ++i)
                b[static_cast<std::size_t>(i)] = static_cast<char>((blocks[r] >> (8 * i)) & 0xFF);
            spec.records[r][2] = b;
        }
        spec.fields[2].type = 'M';
        const std::string dbf = testfmt::buildDbf(spec);
        struct Variant {
            const char* name;
            std::uint8_t options;
            bool descending, unique;
            std::size_t perLeaf;
        };
        for (const Variant& v :
             {Variant{"plain", 0, false, false, 1000}, Variant{"levels", 0, false, false, 4},
              Variant{"descending", 0, true, false, 5}, Variant{"unique", 0, false, true, 1000},
              Variant{"candidate", 0x04, false, false, 8}}) {
            testfmt::TagSpec tag;
            tag.name = "KEY";
            tag.keyExpression = "GRUP+NNUM";
            tag.entries = keys;
            tag.descending = v.descending;
            tag.unique = v.unique;
            tag.options = v.options;
            tag.maxPerLeaf = v.perLeaf;
            tag.maxPerInterior = 3;
            testfmt::TagSpec other = tag;
            other.name = "NNUM";
            other.keyExpression = "NNUM";
            other.entries.clear();
            for (const auto& [k, r] : keys)
                other.entries.emplace_back(k.substr(5), r);
            std::sort(other.entries.begin(), other.entries.end());
            other.forExpression = "!DELETED()";
            put(out, "table", std::string("built-") + v.name,
                fuzz::join({dbf, testfmt::buildCdx({tag, other}).bytes, fpt}));
        }
        const testfmt::Container c =
            testfmt::buildContainer({{"member", {"GROUP_CODE", "ITEM_NUMBER"}}});
        put(out, "container", "built-member", fuzz::join({c.dbc, "", c.dct}));
    }
    {
        testfmt::TableSpec list;
        list.version = 0x03;
        list.tableFlags = 0;
        list.codePageByte = 0;
        list.fields = {{"LBL_NAME", 'C', 30}, {"LBL_PATH", 'C', 120}};
        list.records = {{"\xD1\xEA\xEB\xE0\xE4", "db1"},
                        {"Main", "C:\\LORF\\DB2"},
                        {"", "\\\\server\\share\\db"}};
        list.deleted = {false, true, false};
        put(out, "label_list", "built-dbase3", testfmt::buildDbf(list));
        list.version = 0x04;
        list.driverName = "DB866RU0";
        put(out, "label_list", "built-dbase7", testfmt::buildDbf(list));
    }
    const char* expressions[] = {"GRUP+NNUM",
                                 "UPPER(NAME)",
                                 "AT('A',NAME)>0",
                                 "STR(QTY,10,2)",
                                 "DTOS(DAT)",
                                 "IIF(OK,QTY,-QTY)",
                                 "SUBSTR(NAME,2,3)",
                                 "VAL(NNUM)+1",
                                 "DELETED()",
                                 "RECNO()",
                                 "LEFT(GRUP,2)+RIGHT(NNUM,3)",
                                 "CTOD('12/10/2026')",
                                 "TRIM(NAME)-'x'",
                                 "EMPTY(NOTE)",
                                 "PADL(ALLTRIM(GRUP),5)+NNUM",
                                 "QTY*2.5/(PRICE+1)",
                                 "NOT OK .AND. .T.",
                                 "LEN(NAME)",
                                 "UPPER(GRUP)=='ZZ' .OR. CNT>3",
                                 "DTOC(DAT)+TTOC(TS)",
                                 "MAX(QTY,AMT)",
                                 "INT(DBL)%3"};
    int n = 0;
    for (const char* e : expressions)
        put(out, "expression", "e" + std::to_string(++n), e);
    const std::string inis[] = {"C:\\LORF\\DB\\", "/srv/lorf/db\r\n",
                                "\\\\server\\share\\db\r\n\r\n", std::string("db\0trailing", 11),
                                "\xC1\xE0\xE7\xE0\\"};
    n = 0;
    for (const std::string& i : inis)
        put(out, "path_ini", "p" + std::to_string(++n), i);
    const char* csvs[] = {"GRUP;NNUM;NGRUP;NNNUM\n  1;A-1;  2;B-1\n  3;X;  3;Y\n",
                          "\xEF\xBB\xBFGRUP;NNUM;NGRUP;NNNUM\r\n\xD0\x90;1;\xD0\x91;2\r\n",
                          "GRUP;NNUM;NGRUP;NNNUM\n1;2;3\n;;;\n\xC0;\xC1;\xC2;\xC3\n",
                          "grup;nnum\n"};
    n = 0;
    for (const char* c : csvs)
        put(out, "plan_csv", "c" + std::to_string(++n), c);
    return 0;
}
