#include "access/dbase_list.h"

#include "xbase/codepage.h"
#include "xbase/dbf.h"
#include "xbase/error.h"

namespace ads {

TDBaseList::~TDBaseList() {
    if (active()) close();
}

int TDBaseList::codePageOfMark(std::uint8_t mark) {
    if (mark == 0x57) return 1252;
    return xbase::codePageFromByte(mark);
}

std::vector<db::FieldDef> TDBaseList::doOpen() {
    std::string path = databaseName_;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += tableName_;
    std::unique_ptr<xbase::Table> table;
    try {
        xbase::OpenOptions options;
        options.readOnly = true;
        options.openIndex = false;
        options.charType = xbase::CharType::Ansi;  // the bytes as stored; converted below
        table = xbase::Table::open(path, options);
    } catch (const xbase::Error& e) {
        fail(e.what());
    }
    const xbase::TableHeader& h = table->header();
    int cp = xbase::codePageFromDriverName(h.driverName);
    if (cp == 0) cp = codePageOfMark(h.codePageByte);
    if (cp == 0) cp = xbase::kAnsiCodePage;
    const xbase::Translation& toAnsi = xbase::Translation::between(cp, xbase::kAnsiCodePage);

    std::vector<db::FieldDef> defs;
    std::vector<const xbase::Field*> shown;
    for (const xbase::Field& f : table->fields()) {
        if (f.isSystem() || f.type == '0') continue;
        db::FieldDef def;
        def.name = f.name;
        def.type = db::FieldType::String;
        def.size = f.length;
        defs.push_back(def);
        shown.push_back(&f);
    }
    rows_.clear();
    std::vector<char> buffer;
    try {
        table->scan(1, buffer, [&](const char* rec, std::uint32_t) {
            if (rec[0] == '*') return true;
            std::vector<db::Value> row;
            row.reserve(shown.size());
            for (const xbase::Field* f : shown) {
                if (table->isNull(rec, *f)) {
                    row.emplace_back();
                } else if (f->isCharacter()) {
                    row.emplace_back(toAnsi.apply(table->text(rec, *f)));
                } else {
                    row.emplace_back(table->display(rec, *f));
                }
            }
            rows_.push_back(std::move(row));
            return true;
        });
    } catch (const xbase::Error& e) {
        rows_.clear();
        fail(e.what());
    }
    pos_ = 0;
    return defs;
}

void TDBaseList::doClose() {
    rows_.clear();
    pos_ = 0;
}

bool TDBaseList::doFirst() {
    pos_ = 0;
    return !rows_.empty();
}

bool TDBaseList::doLast() {
    if (rows_.empty()) return false;
    pos_ = rows_.size() - 1;
    return true;
}

bool TDBaseList::doNext() {
    if (pos_ + 1 >= rows_.size()) return false;
    ++pos_;
    return true;
}

bool TDBaseList::doPrior() {
    if (pos_ == 0 || rows_.empty()) return false;
    --pos_;
    return true;
}

void TDBaseList::doRead(std::vector<db::Value>& columns) {
    if (pos_ < rows_.size()) columns = rows_[pos_];
}

void TDBaseList::doPost(bool, const std::vector<db::Value>&, const std::vector<bool>&) {
    fail(db::text::kReadOnly);
}

bool TDBaseList::doDelete() {
    fail(db::text::kReadOnly);
}

bool TDBaseList::doRefresh() {
    return pos_ < rows_.size();
}

std::int64_t TDBaseList::recordCount() {
    if (!active()) fail(db::text::kClosed);
    return static_cast<std::int64_t>(rows_.size());
}

std::int64_t TDBaseList::recNo() {
    if (!active()) fail(db::text::kClosed);
    return rows_.empty() ? 0 : static_cast<std::int64_t>(pos_ + 1);
}

void TDBaseList::setRecNo(std::int64_t n) {
    if (!active()) fail(db::text::kClosed);
    if (n < 1 || rows_.empty()) return;
    pos_ = std::min(static_cast<std::size_t>(n - 1), rows_.size() - 1);
    fetched(true, true);
    notify(db::DataEvent::Scroll);
}

}  // namespace ads
