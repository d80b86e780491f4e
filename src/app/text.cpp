#include "app/text.h"

#include "xbase/codepage.h"

namespace app {

namespace {
const xbase::CodePage& cp() {
    return xbase::CodePage::get(xbase::kAnsiCodePage);
}
}  // namespace

QString qs(const std::string& ansiText) {
    return QString::fromStdString(cp().toUtf8(ansiText));
}

QString qs(const char* utf8Literal) {
    return QString::fromUtf8(utf8Literal);
}

std::optional<std::string> ansiOf(const QString& s) {
    return cp().fromUtf8(s.toStdString());
}

QString errorText(const char* what) {
    std::string bytes(what);
    QString utf8 = QString::fromUtf8(bytes);
    if (utf8.toUtf8().toStdString() == bytes && !utf8.contains(QChar::ReplacementCharacter))
        return utf8;
    return qs(bytes);
}

std::string ansi(const char* utf8Literal) {
    return *cp().fromUtf8(utf8Literal);
}

}  // namespace app
