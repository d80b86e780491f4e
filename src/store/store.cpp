#include "store/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

#include "xbase/ascii.h"
#include "xbase/codepage.h"
#include "xbase/error.h"
#include "xbase/file.h"

namespace store {

namespace {

const xbase::CodePage& ansi() {
    return xbase::CodePage::get(xbase::kAnsiCodePage);
}

}  // namespace

// A prepared statement, finalized when it goes.
class TABSTable::Statement {
  public:
    Statement(const TABSDatabase& db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
            db.engineError(sql);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    void bind(int i, const db::Value& v) {
        int rc = SQLITE_OK;
        if (std::holds_alternative<std::monostate>(v)) {
            rc = sqlite3_bind_null(stmt_, i);
        } else if (auto s = std::get_if<std::string>(&v)) {
            std::string utf8 = ansi().toUtf8(*s);
            rc = sqlite3_bind_text(stmt_, i, utf8.data(), static_cast<int>(utf8.size()),
                                   SQLITE_TRANSIENT);
        } else if (auto n = std::get_if<std::int64_t>(&v)) {
            rc = sqlite3_bind_int64(stmt_, i, *n);
        } else if (auto d = std::get_if<double>(&v)) {
            rc = sqlite3_bind_double(stmt_, i, *d);
        } else if (auto b = std::get_if<bool>(&v)) {
            rc = sqlite3_bind_int(stmt_, i, *b ? 1 : 0);
        }
        if (rc != SQLITE_OK) db_.engineError("binding a value");
    }
    // SQLITE_ROW or SQLITE_DONE; anything else is raised. A read snapshot another program's
    // commit has made stale is taken anew (the statement restarts) rather than failing.
    int step(const char* what) {
        int rc = sqlite3_step(stmt_);
        for (int again = 0; rc == SQLITE_BUSY && again < 20 &&
                            sqlite3_extended_errcode(db_.handle()) == SQLITE_BUSY_SNAPSHOT;
             ++again) {
            sqlite3_reset(stmt_);
            rc = sqlite3_step(stmt_);
        }
        db_.waitOver();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            sqlite3_reset(stmt_);
            db_.engineError(what);
        }
        return rc;
    }
    // Ends the statement's read, so that no transaction stays open between user actions.
    void done() { sqlite3_reset(stmt_); }

  private:
    const TABSDatabase& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// ---- TABSDatabase -----------------------------------------------------------------------------

TABSDatabase::TABSDatabase(std::string name) : name_(std::move(name)) {}

TABSDatabase::~TABSDatabase() {
    close();
}

void TABSDatabase::setDatabaseFileName(const std::string& path) {
    if (path == fileName_) return;
    close();
    fileName_ = path;
}

void TABSDatabase::open() {
    if (db_) return;
    if (!xbase::isRegularFile(fileName_))
        db::raise(name_, "Database file '" + fileName_ + "' does not exist");
    sqlite3* h = nullptr;
    int rc = sqlite3_open_v2(
        fileName_.c_str(), &h,
        (readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    if (rc != SQLITE_OK || !h) {
        if (h) sqlite3_close(h);
        db::raise(name_, "Database open error");
    }
    db_ = h;
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &TABSDatabase::busy, this);
    // Every post is its own transaction. With a write-ahead log a commit is on disk at once
    // without waiting for the disk to flush it: a crash of the program loses nothing, a power
    // failure at most the last changes, and the file stays whole either way.
    if (!readOnly_)
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     nullptr);
    try {
        // A file that is no SQLite database is found out here, not at the first query.
        exec("SELECT count(*) FROM sqlite_master");
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

int TABSDatabase::busy(void* self, int attempt) {
    // Another program writes the store: waited for in short steps, up to kBusyLimitMs.
    auto* d = static_cast<TABSDatabase*>(self);
    constexpr int kStepMs = 20;
    if (attempt == 200 / kStepMs && d->busyNotice_ && !d->waiting_) {  // a wait worth showing
        d->waiting_ = true;
        try {
            d->busyNotice_(true);
        } catch (...) {
            // the notice is a courtesy: the wait goes on without it
        }
    }
    if (attempt * kStepMs >= kBusyLimitMs) return 0;
    sqlite3_sleep(kStepMs);
    return 1;
}

void TABSDatabase::waitOver() const {
    if (!waiting_) return;
    waiting_ = false;
    try {
        if (busyNotice_) busyNotice_(false);
    } catch (...) {
        // as in busy()
    }
}

void TABSDatabase::close() {
    if (!db_) return;
    sqlite3_close_v2(db_);
    db_ = nullptr;
    openTables_.clear();
}

sqlite3* TABSDatabase::handle() const {
    if (!db_) db::raise(name_, "Database is not open");
    return db_;
}

void TABSDatabase::exec(const std::string& sql) const {
    char* msg = nullptr;
    const int rc = sqlite3_exec(handle(), sql.c_str(), nullptr, nullptr, &msg);
    waitOver();
    if (rc != SQLITE_OK) {
        sqlite3_free(msg);
        engineError(sql);
    }
}

void TABSDatabase::engineError(const std::string& context) const {
    int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_ERROR;
    if ((code & 0xFF) == SQLITE_BUSY)
        db::raise(name_,
                  "the store " + fileName_ + " stayed busy for " +
                      std::to_string(kBusyLimitMs / 1000) +
                      " s: another program is writing it - Native error: " + std::to_string(code));
    std::string text = db_ ? sqlite3_errmsg(db_) : "no database";
    char native[16];
    std::snprintf(native, sizeof native, "%05d", code % 100000);
    (void)context;
    db::raise(name_, text + " - Native error: " + native);
}

void createStore(const std::string& path) {
    if (xbase::isRegularFile(path))
        throw std::runtime_error(path + " exists already; it is left as it is");
    // A write-ahead log left by a store that is gone belongs to no database: it must not be
    // replayed into the new one.
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string msg = h ? sqlite3_errmsg(h) : "out of memory";
        if (h) sqlite3_close(h);
        throw std::runtime_error("cannot create " + path + ": " + msg);
    }
    const char* schema =
        "CREATE TABLE TABLES (NAME CHAR(255), FILTR CHAR(100), COMMENT CHAR(50),"
        " ID INTEGER PRIMARY KEY AUTOINCREMENT);"
        "CREATE INDEX NAME ON TABLES(NAME);"
        "CREATE TABLE PLAN (ID INTEGER PRIMARY KEY AUTOINCREMENT, GRUP CHAR(5), NNUM CHAR(13),"
        " NAME CHAR(60), NGRUP CHAR(5), NNNUM CHAR(13));"
        "CREATE TABLE ML (ID INTEGER PRIMARY KEY AUTOINCREMENT, GRUP CHAR(5), NNUM CHAR(13));"
        "CREATE INDEX ML_GRUP_NNUM ON ML(GRUP, NNUM);";
    char* msg = nullptr;
    int rc = sqlite3_exec(h, schema, nullptr, nullptr, &msg);
    std::string text = msg ? msg : "";
    sqlite3_free(msg);
    sqlite3_close(h);
    if (rc != SQLITE_OK) {
        std::remove(path.c_str());
        throw std::runtime_error("cannot create the tables of " + path + ": " + text);
    }
}

StoreLock::StoreLock(const std::string& storePath) {
    const std::string path = lockPath(storePath);
    try {
        if (!xbase::fileExists(path)) xbase::File::create(path).close();
        file_ = xbase::File::open(path, xbase::Access::ReadWrite, xbase::Share::Exclusive);
    } catch (const xbase::Error& e) {
        if (e.code() != xbase::code::kFileInUse) throw;
        db::raise("KVD", "хранилище " + storePath +
                             " занято другим окном программы или командой, которая его меняет (" +
                             path + ")");
    }
}

// ---- TABSTable ------------------------------------------------------------------------------

TABSTable::TABSTable(std::string name, TABSDatabase& database)
    : db::Dataset(std::move(name)), db_(database) {}

TABSTable::~TABSTable() {
    try {
        close();
    } catch (...) {
        // a destructor says nothing: TData::closeAll reports a failing close
    }
}

std::string TABSTable::upperName() const {
    return xbase::ascii::upper(tableName_);
}

void TABSTable::setTableName(std::string t) {
    if (active()) fail(db::text::kOpen);
    tableName_ = std::move(t);
}

void TABSTable::setIndexName(std::string index) {
    indexName_ = std::move(index);
    if (!active()) return;
    std::int64_t current = rowids_.empty() ? 0 : rowids_[pos_];
    loadOrder();
    auto it = std::find(rowids_.begin(), rowids_.end(), current);
    pos_ = it == rowids_.end() ? 0 : static_cast<std::size_t>(it - rowids_.begin());
    fetched(!rowids_.empty(), true);
    notify(db::DataEvent::DataSetChange);
}

std::string TABSTable::quoted(const std::string& identifier) const {
    std::string out = "\"";
    for (char c : identifier) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string TABSTable::orderBy() const {
    std::string order;
    for (const std::string& c : orderColumns_)
        order += quoted(c) + ", ";
    return " ORDER BY " + order + "rowid";
}

void TABSTable::loadOrder() {
    orderColumns_.clear();
    std::string index = xbase::ascii::upper(indexName_);
    if (!index.empty() && index != "ID") {
        Statement info(db_, "SELECT name FROM pragma_index_info(?)");
        info.bind(1, db::Value(indexName_));
        while (info.step("reading an index") == SQLITE_ROW)
            orderColumns_.emplace_back(
                reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)));
        if (orderColumns_.empty()) fail("Index '" + indexName_ + "' not found");
    }
    Statement all(db_, "SELECT rowid FROM " + quoted(tableName_) + orderBy());
    rowids_.clear();
    while (all.step("reading a table") == SQLITE_ROW)
        rowids_.push_back(sqlite3_column_int64(all.get(), 0));
}

std::vector<db::FieldDef> TABSTable::doOpen() {
    if (tableName_.empty()) fail("Missing TableName property");
    db_.open();
    std::vector<db::FieldDef> defs;
    Statement cols(db_, "SELECT name, type, pk FROM pragma_table_info(?)");
    cols.bind(1, db::Value(tableName_));
    while (cols.step("reading a table's columns") == SQLITE_ROW) {
        db::FieldDef d;
        d.name = reinterpret_cast<const char*>(sqlite3_column_text(cols.get(), 0));
        std::string type =
            xbase::ascii::upper(reinterpret_cast<const char*>(sqlite3_column_text(cols.get(), 1)));
        bool pk = sqlite3_column_int(cols.get(), 2) != 0;
        std::size_t paren = type.find('(');
        std::string base = type.substr(0, paren);
        if (base == "CHAR" || base == "VARCHAR" || base == "CHARACTER") {
            d.type = db::FieldType::String;
            d.size = paren == std::string::npos ? 255u
                                                : static_cast<std::uint32_t>(std::strtoul(
                                                      type.c_str() + paren + 1, nullptr, 10));
        } else if (base == "INTEGER" || base == "INT") {
            d.type = pk ? db::FieldType::AutoInc : db::FieldType::Integer;
        } else if (base == "REAL" || base == "FLOAT" || base == "DOUBLE") {
            d.type = db::FieldType::Float;
        } else if (base == "BOOLEAN" || base == "LOGICAL") {
            d.type = db::FieldType::Boolean;
        } else if (base == "DATE") {
            d.type = db::FieldType::Date;
        } else {
            d.type = db::FieldType::Memo;
        }
        defs.push_back(d);
    }
    if (defs.empty())
        db::raise(name(), "Table '" + tableName_ + "' does not exist in " + db_.databaseFileName());
    std::string cols_;
    for (const auto& d : defs)
        cols_ += (cols_.empty() ? "" : ", ") + quoted(d.name);
    read_ = std::make_unique<Statement>(
        db_, "SELECT " + cols_ + " FROM " + quoted(tableName_) + " WHERE rowid = ?");
    loadOrder();
    pos_ = 0;
    ++db_.openTables_[upperName()];
    return defs;
}

void TABSTable::doClose() {
    read_.reset();
    statements_.clear();
    rowids_.clear();
    pos_ = 0;
    auto it = db_.openTables_.find(upperName());
    if (it != db_.openTables_.end() && --it->second <= 0) db_.openTables_.erase(it);
}

bool TABSTable::doFirst() {
    pos_ = 0;
    return !rowids_.empty();
}

bool TABSTable::doLast() {
    pos_ = rowids_.empty() ? 0 : rowids_.size() - 1;
    return !rowids_.empty();
}

bool TABSTable::doNext() {
    if (pos_ + 1 >= rowids_.size()) return false;
    ++pos_;
    return true;
}

bool TABSTable::doPrior() {
    if (pos_ == 0 || rowids_.empty()) return false;
    --pos_;
    return true;
}

void TABSTable::doRead(std::vector<db::Value>& out) {
    read_->reset();
    read_->bind(1, db::Value(rowids_.at(pos_)));
    if (read_->step("reading a row") != SQLITE_ROW) fail("The row was deleted by another program");
    sqlite3_stmt* s = read_->get();
    struct Done {
        Statement& st;
        ~Done() { st.done(); }
    } done{*read_};
    for (std::size_t c = 0; c < out.size(); ++c) {
        int col = static_cast<int>(c);
        switch (sqlite3_column_type(s, col)) {
            case SQLITE_NULL:
                out[c] = db::Value{};
                break;
            case SQLITE_INTEGER:
                if (columns()[c].type == db::FieldType::Boolean)
                    out[c] = db::Value(sqlite3_column_int64(s, col) != 0);
                else
                    out[c] = db::Value(static_cast<std::int64_t>(sqlite3_column_int64(s, col)));
                break;
            case SQLITE_FLOAT:
                out[c] = db::Value(sqlite3_column_double(s, col));
                break;
            default: {
                std::string utf8(reinterpret_cast<const char*>(sqlite3_column_text(s, col)),
                                 static_cast<std::size_t>(sqlite3_column_bytes(s, col)));
                auto text = ansi().fromUtf8(utf8);
                if (!text)
                    fail("Field '" + columns()[c].name + "' holds characters outside code page " +
                         std::to_string(xbase::kAnsiCodePage));
                out[c] = db::Value(std::move(*text));
            }
        }
    }
}

db::Value TABSTable::adjust(std::size_t column, const db::Value& v) const {
    const db::FieldDef& d = columns()[column];
    if (d.type != db::FieldType::String) return v;
    if (auto s = std::get_if<std::string>(&v); s && s->size() > d.size)
        return db::Value(s->substr(0, d.size));
    return v;
}

void TABSTable::doPost(bool inserting, const std::vector<db::Value>& cols,
                       const std::vector<bool>& assigned) {
    std::vector<std::size_t> set;
    for (std::size_t c = 0; c < cols.size(); ++c)
        if (assigned[c] && columns()[c].type != db::FieldType::AutoInc) set.push_back(c);
    std::int64_t rowid;
    if (inserting) {
        std::string names, marks;
        for (std::size_t c : set) {
            names += (names.empty() ? "" : ", ") + quoted(columns()[c].name);
            marks += marks.empty() ? "?" : ", ?";
        }
        Statement& ins =
            statement(names.empty() ? "INSERT INTO " + quoted(tableName_) + " DEFAULT VALUES"
                                    : "INSERT INTO " + quoted(tableName_) + " (" + names +
                                          ") VALUES (" + marks + ")");
        for (std::size_t k = 0; k < set.size(); ++k)
            ins.bind(static_cast<int>(k + 1), cols[set[k]]);
        ins.step("appending a row");
        rowid = sqlite3_last_insert_rowid(db_.handle());
    } else {
        rowid = rowids_.at(pos_);
        if (!set.empty()) {
            std::string assignments;
            for (std::size_t c : set)
                assignments +=
                    (assignments.empty() ? "" : ", ") + quoted(columns()[c].name) + " = ?";
            Statement& upd = statement("UPDATE " + quoted(tableName_) + " SET " + assignments +
                                       " WHERE rowid = ?");
            for (std::size_t k = 0; k < set.size(); ++k)
                upd.bind(static_cast<int>(k + 1), cols[set[k]]);
            upd.bind(static_cast<int>(set.size() + 1), db::Value(rowid));
            upd.step("posting a row");
        }
    }
    // The row takes its place in the table's order. In record order a new row is the last one
    // and an edited row stays where it is; in a column order the order is read again.
    if (orderColumns_.empty()) {
        if (inserting) {
            rowids_.push_back(rowid);
            pos_ = rowids_.size() - 1;
        }
        return;
    }
    loadOrder();
    auto it = std::find(rowids_.begin(), rowids_.end(), rowid);
    pos_ = it == rowids_.end() ? 0 : static_cast<std::size_t>(it - rowids_.begin());
}

bool TABSTable::doDelete() {
    Statement& del = statement("DELETE FROM " + quoted(tableName_) + " WHERE rowid = ?");
    del.bind(1, db::Value(rowids_.at(pos_)));
    del.step("deleting a row");
    rowids_.erase(rowids_.begin() + static_cast<std::ptrdiff_t>(pos_));
    if (rowids_.empty()) {
        pos_ = 0;
        return false;
    }
    if (pos_ >= rowids_.size()) pos_ = rowids_.size() - 1;
    return true;
}

bool TABSTable::doRefresh() {
    std::int64_t current = rowids_.empty() ? 0 : rowids_[pos_];
    std::size_t oldPos = pos_;
    loadOrder();
    if (rowids_.empty()) return false;
    auto it = std::find(rowids_.begin(), rowids_.end(), current);
    pos_ = it != rowids_.end() ? static_cast<std::size_t>(it - rowids_.begin())
                               : std::min(oldPos, rowids_.size() - 1);
    return true;
}

std::int64_t TABSTable::find(const std::vector<std::size_t>& cols,
                             const std::vector<db::Value>& values) {
    std::string where;
    for (std::size_t c : cols)
        where += (where.empty() ? "" : " AND ") + quoted(columns()[c].name) + " IS ?";
    // The marks are searched for every fetched row: the statement is prepared once.
    Statement& q = statement("SELECT rowid FROM " + quoted(tableName_) + " WHERE " + where +
                             orderBy() + " LIMIT 1");
    for (std::size_t k = 0; k < values.size(); ++k) {
        db::Value v = values[k];
        // Values compare as the column holds them: a text typed for a number column, say.
        if (auto s = std::get_if<std::string>(&v);
            s && columns()[cols[k]].type != db::FieldType::String &&
            columns()[cols[k]].type != db::FieldType::Memo)
            v = db::Value(static_cast<std::int64_t>(std::strtoll(s->c_str(), nullptr, 10)));
        q.bind(static_cast<int>(k + 1), v);
    }
    if (q.step("locating a row") != SQLITE_ROW) return 0;
    const std::int64_t rowid = sqlite3_column_int64(q.get(), 0);
    q.done();
    return rowid;
}

bool TABSTable::doLocate(const std::vector<std::size_t>& cols,
                         const std::vector<db::Value>& values) {
    std::int64_t rowid = find(cols, values);
    if (rowid == 0) return false;
    auto at = positionOf(rowid);
    if (!at) return false;
    pos_ = *at;
    return true;
}

TABSTable::Statement& TABSTable::statement(const std::string& sql) {
    auto& cached = statements_[sql];
    if (!cached) cached = std::make_unique<Statement>(db_, sql);
    cached->reset();
    return *cached;
}

std::optional<std::size_t> TABSTable::positionOf(std::int64_t rowid) const {
    // In record order the rows are sorted by their number: a binary search finds one.
    auto it = orderColumns_.empty() ? std::lower_bound(rowids_.begin(), rowids_.end(), rowid)
                                    : std::find(rowids_.begin(), rowids_.end(), rowid);
    if (it == rowids_.end() || *it != rowid) return std::nullopt;
    return static_cast<std::size_t>(it - rowids_.begin());
}

db::Value TABSTable::doLookup(const std::vector<std::size_t>& cols,
                              const std::vector<db::Value>& values, std::size_t result) {
    std::int64_t rowid = find(cols, values);
    if (rowid == 0) return db::Value{};
    std::size_t saved = pos_;
    auto at = positionOf(rowid);
    if (!at) return db::Value{};
    pos_ = *at;
    std::vector<db::Value> row(columns().size());
    doRead(row);
    pos_ = saved;
    return row[result];
}

void TABSTable::emptyTable() {
    if (active()) fail(db::text::kOpen);
    if (tableName_.empty()) fail("Missing TableName property");
    db_.open();
    if (db_.openTables_.count(upperName()))
        fail("Table '" + tableName_ + "' is open in another dataset and cannot be emptied");
    db_.exec("DELETE FROM " + quoted(tableName_));
    // The counter restarts as for a new table (the store may not have one yet).
    Statement seq(db_, "SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'");
    if (seq.step("reading the counters") == SQLITE_ROW && sqlite3_column_int(seq.get(), 0) > 0) {
        Statement reset(db_, "DELETE FROM sqlite_sequence WHERE upper(name) = ?");
        reset.bind(1, db::Value(upperName()));
        reset.step("restarting the counter");
    }
}

std::int64_t TABSTable::recordCount() {
    if (!active()) fail(db::text::kClosed);
    return static_cast<std::int64_t>(rowids_.size());
}

std::int64_t TABSTable::recNo() {
    if (!active()) fail(db::text::kClosed);
    return rowids_.empty() ? 0 : static_cast<std::int64_t>(pos_ + 1);
}

void TABSTable::setRecNo(std::int64_t n) {
    if (!active()) fail(db::text::kClosed);
    if (n < 1 || rowids_.empty()) return;
    pos_ = std::min(static_cast<std::size_t>(n - 1), rowids_.size() - 1);
    fetched(true, true);
    notify(db::DataEvent::Scroll);
}

}  // namespace store
