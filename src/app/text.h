#pragma once

// Text at the edge of the program: ANSI bytes inside, QString in Qt.

#include <QString>
#include <optional>
#include <string>

namespace app {

QString qs(const std::string& ansi);
QString qs(const char* utf8Literal);  // the program's own texts, written in UTF-8 here
// The ANSI text of a string, or nullopt when it holds a character ANSI lacks.
std::optional<std::string> ansiOf(const QString& s);
// An error's text for the screen: UTF-8 when it reads as UTF-8 (paths), else ANSI.
QString errorText(const char* what);
// The ANSI text of one of the program's own texts.
std::string ansi(const char* utf8Literal);

}  // namespace app
