#pragma once

// The files of an interrupted write, shared by the writers and by the recovery that the next
// open runs. A pack: new files beside the old ones, and the marker whose presence says that all
// of them were complete (the point after which the pack counts).

#include <string>

namespace xbase {

inline std::string packNew(const std::string& path) {
    return path + ".pack-new";
}
inline std::string packMarker(const std::string& dbfPath) {
    return dbfPath + ".pack-commit";
}
// Left by a write that failed between its first and its last byte: the structural index may
// be out of date, and the next exclusive open rebuilds it.
inline std::string staleIndexMarker(const std::string& dbfPath) {
    return dbfPath + ".index-stale";
}

}  // namespace xbase
