#pragma once

// The accounting access layer: a connection to the accounting directory, the engine-wide
// settings, and the table dataset, over the xBase engine.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "db/dataset.h"
#include "xbase/cursor.h"
#include "xbase/dbf.h"
#include "xbase/error.h"
#include "xbase/key.h"

namespace ads {

// The layer's error: the engine's code, the component, and the message "<name>: <text>".
class EADSDatabaseError : public db::DatabaseError {
  public:
    EADSDatabaseError(int code, std::string component, const std::string& text);
    int code() const { return code_; }
    const std::string& componentName() const { return component_; }
    // Where the failing dataset was: its database name, directory and table.
    std::string databaseName, databasePath, tableName;

  private:
    int code_;
    std::string component_;
};

inline constexpr int kLayerCode = 5121;  // the layer's own texts

// Errors of the connection and the settings, which have no dataset name.
class AdsConnectionError : public db::DatabaseError {
    using db::DatabaseError::DatabaseError;
};
class AdsSettingsError : public db::DatabaseError {
    using db::DatabaseError::DatabaseError;
};

enum ServerType : unsigned { stADS_REMOTE = 2, stADS_LOCAL = 1, stADS_AIS = 4 };

// Engine-wide settings; at most one per process.
class TAdsSettings {
  public:
    TAdsSettings();
    ~TAdsSettings();
    TAdsSettings(const TAdsSettings&) = delete;
    TAdsSettings& operator=(const TAdsSettings&) = delete;

    void setDateFormat(const std::string& format);
    const std::string& dateFormat() const { return dateFormat_; }
    void setNumDecimals(int n) { decimals_ = n; }
    int numDecimals() const { return decimals_; }
    void setSetDelphiDate(bool on);
    void setShowDeleted(bool show);
    bool showDeleted() const { return showDeleted_; }
    void setAdsServerTypes(unsigned types);
    unsigned adsServerTypes() const { return serverTypes_; }
    void setNumCachedTables(int n);
    void setNumCachedCursors(int n);

    // The process's short date format and date separator, as the settings left them.
    static std::string shortDateFormat();
    static char dateSeparator();
    // Whether records marked deleted are visible (the engine's show-deleted setting).
    static bool engineShowsDeleted();

  private:
    std::string dateFormat_;
    std::string savedShortDateFormat_;
    int decimals_ = 2;
    bool delphiDate_ = true;
    bool showDeleted_ = false;
    unsigned serverTypes_ = stADS_REMOTE | stADS_AIS;
    int cachedTables_ = 0;
    int cachedCursors_ = 25;
};

class TAdsTable;

class TAdsConnection {
  public:
    explicit TAdsConnection(std::string name = "AdsCon");
    ~TAdsConnection();
    TAdsConnection(const TAdsConnection&) = delete;
    TAdsConnection& operator=(const TAdsConnection&) = delete;

    const std::string& name() const { return name_; }
    const std::string& connectPath() const { return connectPath_; }
    void setConnectPath(const std::string& path);
    bool isConnected() const { return connected_; }
    void setIsConnected(bool on);
    void connect() { setIsConnected(true); }
    void disconnect() { setIsConnected(false); }
    bool readOnly() const { return readOnly_; }
    void setReadOnly(bool ro) { readOnly_ = ro; }

  private:
    friend class TAdsTable;
    void attach(TAdsTable* t);
    void detach(TAdsTable* t);
    std::string name_;
    std::string connectPath_;
    bool connected_ = false;
    bool readOnly_ = false;
    std::vector<TAdsTable*> attached_;
};

enum class TAdsTableType { ttAdsCDX, ttAdsNTX, ttAdsADT, ttAdsDefault, ttAdsVFP };
enum class TAdsCharType { ANSI, OEM };
enum class TAdsScopeOptions { IGNORE_SCOPES_WHEN_COUNTING, RESPECT_SCOPES_WHEN_COUNTING };
enum class TIndexCollationMismatch { icmError, icmIgnore, icmReindex };

class TAdsTable : public db::Dataset {
  public:
    explicit TAdsTable(std::string name);
    ~TAdsTable() override;

    void setAdsConnection(TAdsConnection* c);
    TAdsConnection* adsConnection() const { return connection_; }
    void setDatabaseName(std::string name) { databaseName_ = std::move(name); }
    void setTableName(std::string name);
    const std::string& tableName() const { return tableName_; }
    void setTableType(TAdsTableType t);
    void setExclusive(bool on);
    bool exclusive() const { return exclusive_; }
    void setReadOnlyOpen(bool on);     // the ReadOnly property of the open mode
    void setCharType(TAdsCharType t);  // AdsTableOptions.AdsCharType
    TAdsCharType charType() const { return charType_; }
    void setScopeOptions(TAdsScopeOptions o) { scopeOptions_ = o; }
    void setIndexCollationMismatch(TIndexCollationMismatch m) { collation_ = m; }
    void setSequenced(bool on) { sequenced_ = on; }
    // The active order: a tag name, or empty for physical record order.
    void setIndexName(const std::string& tag);
    const std::string& indexName() const { return indexName_; }

    std::int64_t recordCount() override;
    // The records the dataset shows: those of the group range, or of the whole table.
    std::int64_t rangeCount();
    std::int64_t recNo() override;
    void setRecNo(std::int64_t n) override;

    // Removes the records marked deleted (the table must be open exclusively).
    void PackTable();
    // The same, rewriting the kept records as the engine copies them (see xbase::Table::pack).
    // With `keepOldIn`, the old files are kept in that folder (Table::pack).
    void PackTable(const xbase::Table::RecordRewrite& rewrite, const std::string& keepOldIn = {});

    // The engine objects, for the expression search and for tests.
    xbase::Table* table() const { return table_.get(); }
    std::uint32_t currentRecno() const { return current_; }
    // Moves to record `recno` (after an expression search): it becomes current in the
    // dataset's own order.
    void goToRecord(std::uint32_t recno);
    void goToEnd(bool last);

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
    void masterChanged() override;
    bool canModify() const override;

  private:
    friend class TAdsConnection;
    friend bool LocateExpression(TAdsTable& table, const std::string& expression, bool forward);
    friend bool ContinueExpression(TAdsTable& table);
    [[noreturn]] void layerError(const std::string& text) const;
    [[noreturn]] void engineError(const xbase::Error& e) const;
    [[noreturn]] void raiseError(int code, const std::string& text) const;
    template <class F>
    auto engine(F&& f) const -> decltype(f());
    bool visible(std::uint32_t recno) const;
    // The first visible record from `from` on, stepping by `step` (+1 or -1); 0 when none.
    std::uint32_t nextVisible(std::int64_t from, int step) const;
    bool settle(bool onRecord);
    // The record that matches the key values, by an index seek or by stepping through the
    // records; 0 when none. The dataset's position does not change.
    std::uint32_t search(const std::vector<std::size_t>& columns,
                         const std::vector<db::Value>& values);
    // The group range a master link applies: the key prefix the tag narrows the records to
    // (none where the engine cannot compute the tag's keys as stored: then every entry is
    // looked at), and the bytes the order's first key field must hold. A key under UPPER() or
    // a collation does not tell "аб" from "АБ": the records are then compared by that field.
    struct Range {
        std::optional<std::string> key;
        std::size_t field = 0;  // in the table's fields
        std::string bytes;
        bool exact = false;  // the key prefix alone tells the records of the range
        bool operator==(const Range&) const = default;
    };
    std::optional<Range> rangeOf() const;
    // Limits a cursor of the active order to `range` (or lifts every limit).
    void scopeTo(xbase::TagCursor& c, const std::optional<Range>& range) const;
    const xbase::KeyBuilder& keyBuilder(const xbase::TagInfo& tag) const;
    // The same, or nullptr where the tag's collation or a function of its key is beyond the
    // engine.
    const xbase::KeyBuilder* computableKeyBuilder(const xbase::TagInfo& tag) const;

    TAdsConnection* connection_ = nullptr;
    std::string databaseName_;
    std::string tableName_;
    TAdsTableType type_ = TAdsTableType::ttAdsADT;
    bool exclusive_ = false;
    bool readOnlyOpen_ = false;
    TAdsCharType charType_ = TAdsCharType::ANSI;
    TAdsScopeOptions scopeOptions_ = TAdsScopeOptions::IGNORE_SCOPES_WHEN_COUNTING;
    TIndexCollationMismatch collation_ = TIndexCollationMismatch::icmError;
    bool sequenced_ = false;
    std::string indexName_;

    std::unique_ptr<xbase::Table> table_;
    std::unique_ptr<xbase::TagCursor> cursor_;  // the active order; null for record order
    std::uint32_t current_ = 0;                 // the current record, 0 for none
    std::optional<Range> range_;                // the applied group range
    std::vector<const xbase::Field*> columns_;
    // The expression search: its condition and where the engine stands after it.
    std::unique_ptr<xbase::PhysicalSearch> search_;
    std::uint32_t searchAt_ = 0;
    bool readingAll_ = false;  // a look-up reads every column
    // The key builders of the tags, compiled once per open.
    mutable std::map<std::string, std::unique_ptr<xbase::KeyBuilder>> builders_;
};

// The expression search over a whole table in physical order (the main window's search).
bool LocateExpression(TAdsTable& table, const std::string& expression, bool forward = true);
bool ContinueExpression(TAdsTable& table);

}  // namespace ads
