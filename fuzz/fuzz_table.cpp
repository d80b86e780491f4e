// A table with its memo and its structural index, as another program may have written them:
// opened, every record and memo read, every tag walked both ways and searched, and the whole
// checked. Input: t.dbf, t.cdx, t.fpt (see fuzz_common.h).
#include <cstdint>
#include <exception>

#include "fuzz_common.h"
#include "xbase/check.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split(data, size, 3);
    const std::string& dir = fuzz::workDir();
    fuzz::writeFile(dir + "/t.dbf", parts[0]);
    fuzz::writeFile(dir + "/t.cdx", parts[1]);
    fuzz::writeFile(dir + "/t.fpt", parts[2]);
    try {
        auto t = xbase::Table::open(dir + "/t.dbf");
        const std::uint32_t records = t->recordCount() < 2000 ? t->recordCount() : 2000;
        for (std::uint32_t r = 1; r <= records; ++r) {
            const char* rec = t->record(r);
            for (const xbase::Field& f : t->fields()) {
                try {
                    if (f.type == 'M' || f.type == 'G' || f.type == 'W')
                        (void)t->memo(rec, f);
                    else
                        (void)t->text(rec, f);
                } catch (const std::exception&) {
                    // a damaged field is an error of that field
                }
            }
        }
        if (t->index()) {
            for (const xbase::TagInfo& tag : t->index()->tags()) {
                try {
                    xbase::TagCursor c(*t, tag.name);
                    c.setShowDeleted(true);
                    std::string firstKey;
                    int steps = 0;
                    for (bool on = c.first(); on && steps < 5000; on = c.next(), ++steps)
                        if (steps == 0) firstKey = std::string(c.key());
                    steps = 0;
                    for (bool on = c.last(); on && steps < 5000; on = c.prior(), ++steps) {
                    }
                    if (!firstKey.empty()) {
                        (void)c.seek(firstKey);
                        (void)c.seek(firstKey.substr(0, firstKey.size() / 2), true);
                    }
                } catch (const std::exception&) {
                    // a damaged tag is an error of that tag
                }
            }
        }
        (void)xbase::checkTable(*t);
    } catch (const std::exception&) {
        // refused: what a damaged or unsupported file must get
    }
    return 0;
}
