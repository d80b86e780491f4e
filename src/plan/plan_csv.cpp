#include "plan/plan_csv.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "plan/texts.h"
#include "xbase/codepage.h"

namespace plan {

namespace {

constexpr std::string_view kHeader = "GRUP;NNUM;NGRUP;NNNUM";

const xbase::CodePage& ansiPage() {
    return xbase::CodePage::get(xbase::kAnsiCodePage);
}

}  // namespace

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n;
    }
    return true;
}

std::vector<CsvRow> parsePlanCsv(std::string_view bytes, std::vector<CsvProblem>& bad) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    const bool utf8 = validUtf8(bytes);
    std::vector<CsvRow> rows;
    std::size_t n = 0;
    while (!bytes.empty()) {
        ++n;
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (n == 1) {
            if (line != kHeader) bad.push_back({n, ansi(text::kCsvHeader) + std::string(kHeader)});
            continue;
        }
        if (line.empty()) continue;
        std::optional<std::string> ansi =
            utf8 ? ansiPage().fromUtf8(std::string(line)) : std::string(line);
        if (!ansi) {
            bad.push_back({n, plan::ansi(text::kCsvCharacters)});
            continue;
        }
        std::vector<std::string> cells;
        std::istringstream split(*ansi + ";");
        for (std::string cell; std::getline(split, cell, ';');)
            cells.push_back(cell);
        if (cells.size() != 4) {
            bad.push_back({n, plan::ansi(text::kCsvValues) + std::to_string(cells.size())});
            continue;
        }
        rows.push_back({n, {cells[0], cells[1], "", cells[2], cells[3]}});
    }
    if (n == 0) bad.push_back({1, ansi(text::kCsvEmpty)});
    return rows;
}

std::vector<CsvRow> readPlanCsv(const std::string& path, std::vector<CsvProblem>& bad) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream all;
    all << f.rdbuf();
    return parsePlanCsv(all.str(), bad);
}

std::string planCsv(const std::vector<PlanRow>& rows) {
    const xbase::CodePage& cp = ansiPage();
    std::string text = std::string(kHeader) + "\n";
    for (const PlanRow& r : rows)
        text += cp.toUtf8(r.grup + ";" + r.nnum + ";" + r.ngrup + ";" + r.nnnum) + "\n";
    return text;
}

}  // namespace plan
