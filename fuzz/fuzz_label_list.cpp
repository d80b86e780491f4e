// label.pro, the installation's list of databases as the path chooser reads it: opened,
// every row read. Input: the list's DBF.
#include <cstdint>
#include <exception>

#include "access/dbase_list.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& dir = fuzz::workDir();
    fuzz::writeFile(dir + "/label.pro",
                    std::string_view(reinterpret_cast<const char*>(data), size));
    ads::TDBaseList list("LabelPro");
    list.setDatabaseName(dir);
    list.setTableName("label.pro");
    try {
        list.open();
        for (list.first(); !list.eof(); list.next())
            for (const auto& f : list.fields())
                (void)f->asString();
        list.last();
        (void)list.recordCount();
    } catch (const std::exception&) {
        // refused
    }
    return 0;
}
