// path.ini: the database path it names, and whether that folder is an accounting database and
// of which character type. Input: the file's bytes.
#include <cstdint>
#include <exception>

#include "data/data.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path =
        data::databasePathOfIni(std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        (void)data::isAccountingDatabase(path);
        (void)data::isAnsiDatabase(path);
    } catch (const std::exception&) {
        // refused
    }
    return 0;
}
