#pragma once

// The local store: the program's own tables TABLES, PLAN and ML in one SQLite file, kvd.abs.
// Text inside the program is ANSI; the file keeps UTF-8, so that its contents read as Russian
// in any SQLite tool.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/dataset.h"
#include "xbase/file.h"

struct sqlite3;
struct sqlite3_stmt;

namespace store {

class TABSDatabase {
  public:
    explicit TABSDatabase(std::string name = "KVD");
    ~TABSDatabase();
    TABSDatabase(const TABSDatabase&) = delete;
    TABSDatabase& operator=(const TABSDatabase&) = delete;

    const std::string& name() const { return name_; }
    const std::string& databaseFileName() const { return fileName_; }
    // The same name again does nothing; another name closes the database first.
    void setDatabaseFileName(const std::string& path);
    // Opened for reading only: any write fails, and closing it leaves the file as it was.
    // Takes effect at the next open.
    void setReadOnly(bool readOnly) { readOnly_ = readOnly; }
    bool readOnly() const { return readOnly_; }
    // "KVD: Database file '...' does not exist" when the file is missing; never creates it.
    void open();
    void close();
    bool connected() const { return db_ != nullptr; }

    sqlite3* handle() const;

    // How long a store another program is writing is waited for before the statement fails.
    static constexpr int kBusyLimitMs = 10000;
    // Called once when a statement starts waiting for the store (true) and once when the wait
    // is over (false), so that the wait can be shown.
    using BusyNotice = std::function<void(bool waiting)>;
    void setBusyNotice(BusyNotice notice) { busyNotice_ = std::move(notice); }
    // Runs a statement; an engine failure is raised with " - Native error: " and its code.
    void exec(const std::string& sql) const;
    [[noreturn]] void engineError(const std::string& context) const;

  private:
    friend class TABSTable;
    static int busy(void* self, int attempt);
    // The end of a wait busy() began, told to the notice.
    void waitOver() const;
    std::string name_;
    std::string fileName_;
    sqlite3* db_ = nullptr;
    bool readOnly_ = false;
    BusyNotice busyNotice_;
    mutable bool waiting_ = false;
    std::map<std::string, int> openTables_;  // table name (upper case) -> open datasets
};

// The store held by one program at a time that may change it (the window, a command that
// writes): an exclusive lock on a file beside it, kvd.abs.lock, kept for the lock's life.
// Commands that only read take no lock.
class StoreLock {
  public:
    // Refuses, naming the store, when another holder has it.
    explicit StoreLock(const std::string& storePath);
    static std::string lockPath(const std::string& storePath) { return storePath + ".lock"; }

  private:
    xbase::File file_;
};

// Creates an empty store with the program's three tables; refuses to touch an existing file.
void createStore(const std::string& path);

class TABSTable : public db::Dataset {
  public:
    TABSTable(std::string name, TABSDatabase& database);
    ~TABSTable() override;

    const std::string& tableName() const { return tableName_; }
    void setTableName(std::string t);
    const std::string& indexName() const { return indexName_; }
    void setIndexName(std::string index);

    // Deletes every row and restarts the auto-increment counter; the table must be closed and
    // opened by no other dataset.
    void emptyTable();

    std::int64_t recordCount() override;
    std::int64_t recNo() override;
    void setRecNo(std::int64_t n) override;

  protected:
    std::vector<db::FieldDef> doOpen() override;
    void doClose() override;
    bool doFirst() override;
    bool doLast() override;
    bool doNext() override;
    bool doPrior() override;
    void doRead(std::vector<db::Value>& columns) override;
    void doPost(bool inserting, const std::vector<db::Value>& columns,
                const std::vector<bool>& assigned) override;
    bool doDelete() override;
    bool doRefresh() override;
    bool doLocate(const std::vector<std::size_t>& columns,
                  const std::vector<db::Value>& values) override;
    db::Value doLookup(const std::vector<std::size_t>& columns,
                       const std::vector<db::Value>& values, std::size_t result) override;
    db::Value adjust(std::size_t column, const db::Value& v) const override;

  private:
    class Statement;
    void loadOrder();
    std::string orderBy() const;
    std::string quoted(const std::string& identifier) const;
    std::int64_t find(const std::vector<std::size_t>& columns,
                      const std::vector<db::Value>& values);
    std::string upperName() const;
    std::optional<std::size_t> positionOf(std::int64_t rowid) const;
    Statement& statement(const std::string& sql);

    TABSDatabase& db_;
    std::string tableName_;
    std::string indexName_;
    std::vector<std::int64_t> rowids_;  // the rows in the table's order
    std::size_t pos_ = 0;
    std::vector<std::string> orderColumns_;
    std::unique_ptr<Statement> read_;
    // Prepared statements by their text, kept while the table is open.
    std::map<std::string, std::unique_ptr<Statement>> statements_;
};

}  // namespace store
