#pragma once

// The program's paths are UTF-8 strings. The standard library's file system calls take them
// through these two: on Windows it reads a narrow string in no code page of ours.

#include <filesystem>
#include <string>

namespace xbase {

inline std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string pathText(const std::filesystem::path& p) {
    const std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

// As pathText, with '/' between the names on every system.
inline std::string genericPathText(const std::filesystem::path& p) {
    const std::u8string u = p.generic_u8string();
    return std::string(u.begin(), u.end());
}

}  // namespace xbase
