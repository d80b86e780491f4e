#pragma once
// Text helpers the dataset-level tests share.

#include <functional>
#include <string>

#include "db/dataset.h"
#include "xbase/codepage.h"

namespace testtext {

// A UTF-8 literal in the program's ANSI code page.
inline std::string ansi(const char* utf8) {
    return *xbase::CodePage::get(1251).fromUtf8(utf8);
}

// Program text (ANSI) as UTF-8.
inline std::string utf8(const std::string& ansiText) {
    return xbase::CodePage::get(1251).toUtf8(ansiText);
}

// The text of the dataset error `f` raises, or "(no error)".
inline std::string errorText(const std::function<void()>& f) {
    try {
        f();
    } catch (const db::DatabaseError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace testtext
