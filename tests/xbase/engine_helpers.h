#pragma once

// Small helpers the engine's test suites share.

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

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
inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace testhelp
