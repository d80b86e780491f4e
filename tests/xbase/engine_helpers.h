#pragma once

// Small helpers the engine's test suites share.

#include <functional>

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

}  // namespace testhelp
