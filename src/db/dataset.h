#pragma once

// The dataset framework every table of the program is reached through: states, the current
// record, fields by name, edits, locate and look-up, calculated fields, data sources that keep
// bound views in step, and the master/detail link. TAdsTable (accounting tables) and TABSTable
// (the local store) are its two kinds.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace db {

// A dataset error: the component's name, ": ", and the text.
class DatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void raise(std::string_view component, std::string_view text);

// The standard texts.
namespace text {
inline constexpr const char* kClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* kOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* kEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* kReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* kNotEditing = "Dataset not in edit mode";
inline constexpr const char* kLocateClosed = "Cannot perform LOCATE on a closed dataset";
}  // namespace text

enum class FieldType { String, Integer, AutoInc, Float, Boolean, Date, Memo };
const char* fieldTypeName(FieldType t);  // "String", "Integer", ... as the error texts give them

// A field value: null, text (ANSI bytes), integer, number, logical. Dates are "YYYYMMDD" text.
using Value = std::variant<std::monostate, std::string, std::int64_t, double, bool>;
std::string valueText(const Value& v);

enum class State { Inactive, Browse, Edit, Insert, CalcFields };

class Dataset;

struct FieldDef {
    std::string name;
    FieldType type = FieldType::String;
    std::uint32_t size = 0;  // characters, for String
    std::string displayLabel;
    bool calculated = false;
    std::uint32_t displayWidth = 0;
    // Another name the field answers to (its long name in a database container); empty: none.
    std::string alias = {};
};

class Field {
  public:
    const std::string& name() const { return def_.name; }
    FieldType type() const { return def_.type; }
    std::uint32_t size() const { return def_.size; }
    const std::string& displayLabel() const { return def_.displayLabel; }
    bool calculated() const { return def_.calculated; }
    const FieldDef& def() const { return def_; }

    bool isNull() const;
    const Value& value() const;
    std::string asString() const;
    std::int64_t asInteger() const;
    double asFloat() const;
    bool asBoolean() const;
    // Assigns in edit or insert state (calculated fields while they are computed); text for a
    // String field is cut to its size.
    void setValue(const Value& v);
    void setAsString(std::string_view s) { setValue(Value(std::string(s))); }

  private:
    friend class Dataset;
    Field(Dataset* ds, FieldDef def, std::size_t index)
        : ds_(ds), def_(std::move(def)), index_(index) {}
    Dataset* ds_;
    FieldDef def_;
    std::size_t index_;  // in the dataset's value row
};

// What a data source tells the views bound to it.
enum class DataEvent {
    DataSetChange,  // the records around the current one changed (open, refresh, locate, range)
    RecordChange,   // the current record's values changed (post, cancel)
    Scroll,         // another record became current
    StateChange,    // open, close, edit, insert, post, cancel
};

class DataSource;

// A view of a data source: a grid, a detail dataset.
class DataLink {
  public:
    virtual ~DataLink() = default;
    virtual void dataEvent(DataEvent e) = 0;
    // The source goes away; the link must forget it.
    virtual void sourceDestroyed(DataSource*) {}
};

class DataSource {
  public:
    explicit DataSource(std::string name = {}) : name_(std::move(name)) {}
    ~DataSource();
    DataSource(const DataSource&) = delete;
    DataSource& operator=(const DataSource&) = delete;
    const std::string& name() const { return name_; }
    Dataset* dataset() const { return dataset_; }
    void setDataset(Dataset* ds);
    void addLink(DataLink* link);
    void removeLink(DataLink* link);
    // Sends an event to every link (unless the dataset's controls are disabled).
    void notify(DataEvent e);

  private:
    friend class Dataset;
    std::string name_;
    Dataset* dataset_ = nullptr;
    std::vector<DataLink*> links_;
};

// The common dataset. A kind implements the hooks below; the base keeps the state, the current
// row of values (physical fields, then calculated ones), the edit buffer and the notifications.
class Dataset {
  public:
    explicit Dataset(std::string name);
    virtual ~Dataset();
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;

    const std::string& name() const { return name_; }
    State state() const { return state_; }
    bool active() const { return state_ != State::Inactive; }
    bool readOnly() const { return readOnly_; }
    void setReadOnly(bool ro);

    // Persistent fields: declared before opening, bound by name at open. Without them every
    // column of the table becomes a field.
    void addField(FieldDef def);
    // The persistent fields' definitions, open or closed (grids take their titles here).
    const std::vector<FieldDef>& fieldDefs() const { return persistent_; }

    void open();
    void close();
    void setActive(bool a) { a ? open() : close(); }

    void first();
    void next();
    void prior();
    void last();
    bool eof() const { return eof_; }
    bool bof() const { return bof_; }
    bool isEmpty() const { return active() && eof_ && bof_; }
    virtual std::int64_t recordCount();
    virtual std::int64_t recNo();
    virtual void setRecNo(std::int64_t n);

    const std::vector<std::unique_ptr<Field>>& fields() const { return fields_; }
    Field* findField(std::string_view name) const;
    Field& fieldByName(std::string_view name) const;  // "Field '%s' not found"

    void edit();
    void append();
    void post();
    void cancel();
    void remove();  // Delete
    void refresh();
    // Locate: key field names separated by ';', one value per name. Whole values, exact
    // comparison, letter case counts (kinds may use an index).
    bool locate(std::string_view keyFields, const std::vector<Value>& values);
    // The result field of the record that Locate would find, or null; the current record stays.
    Value lookup(std::string_view keyFields, const std::vector<Value>& values,
                 std::string_view resultField);

    void disableControls() { ++disabled_; }
    void enableControls();
    bool controlsDisabled() const { return disabled_ > 0; }

    // Called for every fetched record, in CalcFields state, to fill the calculated fields.
    std::function<void(Dataset&)> onCalcFields;

    // The master/detail link: the detail follows the current record of the master.
    void setMasterSource(DataSource* master, std::string masterFields);
    DataSource* masterSource() const { return master_; }
    const std::string& masterFields() const { return masterFields_; }

    [[noreturn]] void fail(std::string_view text) const { raise(name_, text); }

  protected:
    // ---- the hooks of a kind ----
    // Opens the table; returns the definitions of its columns.
    virtual std::vector<FieldDef> doOpen() = 0;
    virtual void doClose() = 0;
    // Positions; each returns true when on a record afterwards.
    virtual bool doFirst() = 0;
    virtual bool doLast() = 0;
    virtual bool doNext() = 0;
    virtual bool doPrior() = 0;
    // Reads the current record's columns, in doOpen's order.
    virtual void doRead(std::vector<Value>& columns) = 0;
    // Writes the edit buffer: the columns (doOpen's order) and which were assigned; inserting
    // appends a record and leaves it current.
    virtual void doPost(bool inserting, const std::vector<Value>& columns,
                        const std::vector<bool>& assigned) = 0;
    // Deletes the current record; afterwards on the next record, or the previous one when it
    // was the last; returns whether a record is current.
    virtual bool doDelete() = 0;
    // Re-reads the table around the current record; returns whether a record is current.
    virtual bool doRefresh() = 0;
    // Finds a record; the default steps through the records from the first. Returns true and
    // stands on it, or false and stands where it stood.
    virtual bool doLocate(const std::vector<std::size_t>& columns,
                          const std::vector<Value>& values);
    // The result column of the record the key values find, or null; the position stays.
    virtual Value doLookup(const std::vector<std::size_t>& columns,
                           const std::vector<Value>& values, std::size_t result);
    // The master's current record changed.
    virtual void masterChanged() {}
    // A value about to be assigned to a column (a kind may convert or cut it).
    virtual Value adjust(std::size_t column, const Value& v) const;
    // Whether the kind can change records (opened writable).
    virtual bool canModify() const { return !readOnly_; }

    // For the kinds: fetch after positioning, and tell the views.
    void fetched(bool onRecord, bool forward);
    void notify(DataEvent e);
    std::size_t columnCount() const { return columnDefs_.size(); }
    const std::vector<FieldDef>& columns() const { return columnDefs_; }
    // The column of a field name (any case), or nullopt.
    std::optional<std::size_t> columnOf(std::string_view name) const;
    // Whether a column is read by some field (a kind may skip the others when reading).
    bool columnBound(std::size_t column) const {
        return column < columnBound_.size() && columnBound_[column];
    }
    void setEofBof(bool eof, bool bof) {
        eof_ = eof;
        bof_ = bof;
    }

  private:
    friend class Field;
    friend class DataSource;
    class MasterLink;
    void checkActive() const;
    void checkBrowse();
    void bindFields();
    void calculate();
    void setState(State s);
    std::vector<std::size_t> keyColumns(std::string_view keyFields, std::size_t values) const;

    std::string name_;
    State state_ = State::Inactive;
    bool readOnly_ = false;
    bool eof_ = true, bof_ = true;
    int disabled_ = 0;
    std::vector<FieldDef> persistent_;
    std::vector<FieldDef> columnDefs_;
    std::vector<std::unique_ptr<Field>> fields_;
    std::vector<std::optional<std::size_t>> columnOfField_;  // nullopt for calculated fields
    std::vector<bool> columnBound_;                          // per column
    std::vector<Value> row_;                                 // per field
    std::vector<Value> editRow_;                             // per field, in edit and insert state
    std::vector<bool> assigned_;                             // per field
    std::vector<DataSource*> sources_;
    DataSource* master_ = nullptr;
    std::string masterFields_;
    std::unique_ptr<MasterLink> masterLink_;
};

}  // namespace db
