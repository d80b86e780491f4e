// An xBase expression as a filter or a tag's key may hold: compiled against a small table of
// every field type, evaluated on each of its records, its key fields asked for. Input: the
// expression's text.
#include <cstdint>
#include <exception>
#include <memory>

#include "fuzz_common.h"
#include "xbase/dbf.h"
#include "xbase/expr.h"

namespace {

// Records with characters, numbers, dates, logicals, a memo and a null, two of them deleted.
std::unique_ptr<xbase::Table> makeTable() {
    const std::string path = fuzz::workDir() + "/e.dbf";
    xbase::TableDef def;
    def.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0},  {"NAME", 'C', 30, 0},
                  {"QTY", 'N', 12, 3}, {"PRICE", 'F', 10, 2}, {"DAT", 'D', 8, 0},
                  {"OK", 'L', 1, 0},   {"NOTE", 'M', 4, 0},   {"CNT", 'I', 4, 0},
                  {"AMT", 'Y', 8, 4},  {"TS", 'T', 8, 0},     {"DBL", 'B', 8, 2}};
    def.tags = {{"KEY", "GRUP+NNUM", "", false, false}};
    xbase::createTable(path, def);
    xbase::OpenOptions o;
    o.readOnly = false;
    o.share = xbase::Share::Exclusive;
    {
        auto t = xbase::Table::open(path, o);
        const char* rows[][4] = {{"  1", "A-1", "\xD2\xF0\xF3\xE1\xE0", "12.5"},
                                 {"  2", "", "", "-0.001"},
                                 {"ZZ", "9999999999999", "x y z", "99999999.999"},
                                 {"", "B", "\xD0\xC0", "0"}};
        std::uint32_t n = 0;
        for (const auto& r : rows) {
            std::string rec(t->recordLength(), ' ');
            t->setText(rec, *t->field("GRUP"), r[0]);
            t->setText(rec, *t->field("NNUM"), r[1]);
            t->setText(rec, *t->field("NAME"), r[2]);
            t->setText(rec, *t->field("QTY"), r[3]);
            t->setText(rec, *t->field("DAT"), n % 2 ? "20261210" : "");
            t->setText(rec, *t->field("OK"), n % 2 ? "T" : "F");
            t->append(rec);
            if (n == 1) t->setDeleted(t->recordCount(), true);
            ++n;
        }
    }
    return xbase::Table::open(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<xbase::Table> table = makeTable();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (xbase::TextMode mode : {xbase::TextMode::Raw, xbase::TextMode::Ansi}) {
        try {
            const xbase::Expression e = xbase::Expression::compile(text, table.get(), mode);
            (void)e.keyFields();
            for (std::uint32_t r = 1; r <= table->recordCount(); ++r) {
                try {
                    const char* rec = table->record(r);
                    (void)e.evaluate(rec, r);
                    std::string out;
                    if (e.type() == xbase::ValueType::Char) (void)e.appendChars(rec, r, out);
                    if (e.type() == xbase::ValueType::Logical) (void)e.test(rec, r);
                } catch (const std::exception&) {
                    // an error of this record's values
                }
            }
        } catch (const std::exception&) {
            // refused: a syntax error, an unknown name, a wrong type
        }
        try {
            (void)xbase::Expression::compile(text, nullptr, mode).evaluate(nullptr, 0);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
