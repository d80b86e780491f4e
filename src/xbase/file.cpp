// The parts of the platform layer that are the same on every system.
#include <string>

#include "xbase/error.h"
#include "xbase/file_common.h"

namespace xbase {

WriteHook& platform::writeHook() {
    static WriteHook hook;
    return hook;
}

void setWriteHook(WriteHook hook) {
    platform::writeHook() = std::move(hook);
}

std::string siblingPath(const std::string& resolvedPath, std::string_view extension) {
    std::size_t slash = resolvedPath.find_last_of('/');
    std::size_t dot = resolvedPath.find_last_of('.');
    std::string stem = (dot == std::string::npos || (slash != std::string::npos && dot < slash))
                           ? resolvedPath
                           : resolvedPath.substr(0, dot);
    return resolvePath(stem + "." + std::string(extension));
}

void File::readExact(std::uint64_t offset, void* buffer, std::size_t n,
                     std::string_view what) const {
    if (readAt(offset, buffer, n) != n)
        fail(code::kCorruptTable,
             path_ + ": " + std::string(what) + " lies past the end of the file");
}

CivilDate today() {
    const LocalTime now = localNow();
    return {now.year, now.month, now.day};
}

}  // namespace xbase
