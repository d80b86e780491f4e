#pragma once

// Small helpers the engine's test suites share.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xbase/ascii.h"
#include "xbase/check.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"

namespace testhelp {

// How a writing test opens a table.
inline xbase::OpenOptions exclusive() {
    xbase::OpenOptions o;
    o.share = xbase::Share::Exclusive;
    o.readOnly = false;
    return o;
}

// The engine code an action fails with, 0 when it does not fail.
inline int errorCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const xbase::Error& e) {
        return e.code();
    }
    return 0;
}

// A whole file's bytes; empty when it cannot be read.
inline std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Copies what a folder holds into `to`, which may exist already (MinGW's recursive
// std::filesystem::copy refuses a folder that exists).
inline void copyFolder(const std::filesystem::path& from, const std::filesystem::path& to) {
    namespace fs = std::filesystem;
    fs::create_directories(to);
    for (const auto& e : fs::recursive_directory_iterator(from)) {
        const fs::path target = to / fs::relative(e.path(), from);
        if (e.is_directory())
            fs::create_directories(target);
        else
            fs::copy_file(e.path(), target);
    }
}

// Copies a folder of tables (fixtures are read only) to `to`, writable.
inline void writableCopy(const std::filesystem::path& from, const std::string& to) {
    namespace fs = std::filesystem;
    copyFolder(from, to);
    for (const auto& e : fs::recursive_directory_iterator(to))
        fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
}

// Every table below a folder, in path order.
inline std::vector<std::filesystem::path> tablesOf(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (xbase::ascii::lower(e.path().extension().string()) == ".dbf") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// The records of a tag in its order, deleted ones included.
inline std::vector<std::uint32_t> tagOrder(const xbase::Table& t, const std::string& tag) {
    xbase::TagCursor c(t, tag);
    c.setShowDeleted(true);
    std::vector<std::uint32_t> out;
    for (bool on = c.first(); on; on = c.next())
        out.push_back(c.recno());
    return out;
}

// A table stored exactly as other engines store it: no problem and no warning either.
inline void expectStrictlyClean(const xbase::Table& t, const std::string& when) {
    xbase::CheckReport r = xbase::checkTable(t);
    for (const auto& p : r.problems)
        ADD_FAILURE() << when << ": " << p;
    for (const auto& w : r.warnings)
        ADD_FAILURE() << when << ": " << w;
}

}  // namespace testhelp
