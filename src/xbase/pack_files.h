#pragma once

// The files of a pack, shared by the pack and by the recovery that the next open runs: new
// files beside the old ones, and the marker whose presence says that all of them were complete
// (the point after which the pack counts).

#include <string>

namespace xbase {

inline std::string packNew(const std::string& path) {
    return path + ".pack-new";
}
inline std::string packMarker(const std::string& dbfPath) {
    return dbfPath + ".pack-commit";
}

}  // namespace xbase
