// A database container (DBC with its memo and index) as a table's backlink finds it: the table
// opened and its long field names read from the container. Input: c.dbc, c.dcx, c.dct.
#include <cstdint>
#include <exception>

#include "format_builder.h"
#include "fuzz_common.h"
#include "xbase/dbf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& dir = fuzz::workDir();
    static const bool table = [&] {
        // A Visual FoxPro table whose backlink names c.dbc beside it.
        testfmt::TableSpec spec;
        spec.tableFlags = 0x04;
        spec.fields = {{"GRUP", 'C', 5}, {"NNUM", 'C', 13}};
        spec.records = {{"  1", "A-1"}};
        std::string dbf = testfmt::buildDbf(spec);
        testfmt::setBacklink(dbf, "c.dbc");
        fuzz::writeFile(dir + "/member.dbf", dbf);
        return true;
    }();
    (void)table;
    const auto parts = fuzz::split(data, size, 3);
    fuzz::writeFile(dir + "/c.dbc", parts[0]);
    fuzz::writeFile(dir + "/c.dcx", parts[1]);
    fuzz::writeFile(dir + "/c.dct", parts[2]);
    try {
        auto t = xbase::Table::open(dir + "/member.dbf");
        for (const xbase::Field& f : t->fields())
            (void)f.name;
        (void)t->warnings();
    } catch (const std::exception&) {
        // refused
    }
    try {
        auto c = xbase::Table::open(dir + "/c.dbc");
        for (std::uint32_t r = 1; r <= c->recordCount() && r <= 2000; ++r)
            (void)c->record(r);
    } catch (const std::exception&) {
    }
    return 0;
}
