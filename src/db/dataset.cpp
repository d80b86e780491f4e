#include "db/dataset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "xbase/ascii.h"

namespace db {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return xbase::ascii::equalNoCase(a, b);
}

std::string format(const char* pattern, std::string_view a) {
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += a;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

bool compatible(FieldType declared, FieldType actual) {
    if (declared == actual) return true;
    // An auto-increment column reads as an integer.
    return declared == FieldType::Integer && actual == FieldType::AutoInc;
}

}  // namespace

void raise(std::string_view component, std::string_view text) {
    std::string msg;
    if (!component.empty()) {
        msg.assign(component);
        msg += ": ";
    }
    msg += text;
    throw DatabaseError(msg);
}

const char* fieldTypeName(FieldType t) {
    switch (t) {
        case FieldType::String:
            return "String";
        case FieldType::Integer:
            return "Integer";
        case FieldType::AutoInc:
            return "AutoInc";
        case FieldType::Float:
            return "Float";
        case FieldType::Boolean:
            return "Boolean";
        case FieldType::Date:
            return "Date";
        case FieldType::Memo:
            return "Memo";
    }
    return "Unknown";
}

std::string valueText(const Value& v) {
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.15g", d);
            return buf;
        }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
    };
    return std::visit(Visitor{}, v);
}

// ---- Field ----------------------------------------------------------------------------------

const Value& Field::value() const {
    const Dataset& d = *ds_;
    bool editing = d.state_ == State::Edit || d.state_ == State::Insert;
    return editing && !calculated() ? d.editRow_[index_] : d.row_[index_];
}

bool Field::isNull() const {
    return std::holds_alternative<std::monostate>(value());
}

std::string Field::asString() const {
    return valueText(value());
}

std::int64_t Field::asInteger() const {
    const Value& v = value();
    if (auto i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto d = std::get_if<double>(&v)) return static_cast<std::int64_t>(std::llround(*d));
    if (auto b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    if (auto s = std::get_if<std::string>(&v)) return std::strtoll(s->c_str(), nullptr, 10);
    return 0;
}

double Field::asFloat() const {
    const Value& v = value();
    if (auto d = std::get_if<double>(&v)) return *d;
    if (auto i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (auto s = std::get_if<std::string>(&v)) return std::strtod(s->c_str(), nullptr);
    return 0;
}

bool Field::asBoolean() const {
    const Value& v = value();
    if (auto b = std::get_if<bool>(&v)) return *b;
    if (auto i = std::get_if<std::int64_t>(&v)) return *i != 0;
    return false;
}

void Field::setValue(const Value& v) {
    Dataset& d = *ds_;
    if (calculated()) {
        if (d.state_ != State::CalcFields) d.fail(text::kNotEditing);
        d.row_[index_] = v;
        return;
    }
    if (d.state_ != State::Edit && d.state_ != State::Insert) d.fail(text::kNotEditing);
    Value adjusted = d.adjust(*d.columnOfField_[index_], v);
    if (def_.type == FieldType::String && def_.size > 0)
        if (auto s = std::get_if<std::string>(&adjusted); s && s->size() > def_.size)
            s->resize(def_.size);
    d.editRow_[index_] = std::move(adjusted);
    d.assigned_[index_] = true;
}

// ---- DataSource ---------------------------------------------------------------------------

DataSource::~DataSource() {
    // Detail datasets linked to this source forget it.
    auto links = links_;
    for (DataLink* l : links)
        l->sourceDestroyed(this);
    if (dataset_) {
        auto& v = dataset_->sources_;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
}

void DataSource::setDataset(Dataset* ds) {
    if (dataset_ == ds) return;
    if (dataset_) {
        auto& v = dataset_->sources_;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    dataset_ = ds;
    if (dataset_) dataset_->sources_.push_back(this);
    notify(DataEvent::DataSetChange);
}

void DataSource::addLink(DataLink* link) {
    if (std::find(links_.begin(), links_.end(), link) == links_.end()) links_.push_back(link);
}

void DataSource::removeLink(DataLink* link) {
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
}

void DataSource::notify(DataEvent e) {
    if (dataset_ && dataset_->controlsDisabled()) return;
    // A link may remove itself while told: tell a copy.
    auto links = links_;
    for (DataLink* l : links)
        l->dataEvent(e);
}

// ---- Dataset ------------------------------------------------------------------------------

// The detail's view of its master's data source.
class Dataset::MasterLink : public DataLink {
  public:
    explicit MasterLink(Dataset& detail) : detail_(detail) {}
    void dataEvent(DataEvent) override {
        // Every change of the master's current record, its records or its state: the kind
        // decides what the detail shows (a closed master shows the whole table).
        if (detail_.active()) detail_.masterChanged();
    }
    void sourceDestroyed(DataSource* source) override {
        if (detail_.master_ == source) detail_.master_ = nullptr;
    }

  private:
    Dataset& detail_;
};

Dataset::Dataset(std::string name) : name_(std::move(name)) {}

Dataset::~Dataset() {
    if (master_ && masterLink_) master_->removeLink(masterLink_.get());
    for (DataSource* s : sources_)
        s->dataset_ = nullptr;
}

void Dataset::setReadOnly(bool ro) {
    if (active()) fail(text::kOpen);
    readOnly_ = ro;
}

void Dataset::addField(FieldDef def) {
    if (active()) fail(text::kOpen);
    persistent_.push_back(std::move(def));
}

void Dataset::setMasterSource(DataSource* master, std::string masterFields) {
    if (master_ && masterLink_) master_->removeLink(masterLink_.get());
    master_ = master;
    masterFields_ = std::move(masterFields);
    if (master_) {
        if (!masterLink_) masterLink_ = std::make_unique<MasterLink>(*this);
        master_->addLink(masterLink_.get());
    }
}

std::optional<std::size_t> Dataset::columnOf(std::string_view name) const {
    for (std::size_t i = 0; i < columnDefs_.size(); ++i)
        if (sameName(columnDefs_[i].name, name)) return i;
    for (std::size_t i = 0; i < columnDefs_.size(); ++i)
        if (!columnDefs_[i].alias.empty() && sameName(columnDefs_[i].alias, name)) return i;
    return std::nullopt;
}

void Dataset::bindFields() {
    fields_.clear();
    columnOfField_.clear();
    if (persistent_.empty()) {
        for (std::size_t c = 0; c < columnDefs_.size(); ++c) {
            fields_.push_back(std::unique_ptr<Field>(new Field(this, columnDefs_[c], c)));
            columnOfField_.push_back(c);
        }
    } else {
        for (const FieldDef& def : persistent_) {
            std::size_t index = fields_.size();
            if (def.calculated) {
                fields_.push_back(std::unique_ptr<Field>(new Field(this, def, index)));
                columnOfField_.push_back(std::nullopt);
                continue;
            }
            const std::string& shown = def.displayLabel.empty() ? def.name : def.displayLabel;
            auto col = columnOf(def.name);
            if (!col) fail(format("Field '%s' not found", shown));
            const FieldDef& actual = columnDefs_[*col];
            if (!compatible(def.type, actual.type))
                fail("Type mismatch for field '" + shown + "', expecting: " +
                     fieldTypeName(def.type) + " actual: " + fieldTypeName(actual.type));
            FieldDef bound = def;
            if (bound.size == 0) bound.size = actual.size;
            fields_.push_back(std::unique_ptr<Field>(new Field(this, bound, index)));
            columnOfField_.push_back(col);
        }
    }
    columnBound_.assign(columnDefs_.size(), false);
    for (const auto& col : columnOfField_)
        if (col) columnBound_[*col] = true;
    row_.assign(fields_.size(), Value{});
    editRow_.assign(fields_.size(), Value{});
    assigned_.assign(fields_.size(), false);
}

void Dataset::open() {
    if (active()) return;
    columnDefs_ = doOpen();
    try {
        bindFields();
    } catch (...) {
        doClose();
        columnDefs_.clear();
        throw;
    }
    state_ = State::Browse;
    eof_ = bof_ = true;
    try {
        fetched(doFirst(), true);
        bof_ = true;
    } catch (...) {
        state_ = State::Inactive;
        doClose();
        throw;
    }
    notify(DataEvent::StateChange);
    notify(DataEvent::DataSetChange);
}

void Dataset::close() {
    if (!active()) return;
    state_ = State::Inactive;
    try {
        doClose();
    } catch (...) {
        // A failing close still leaves the dataset closed.
    }
    eof_ = bof_ = true;
    std::fill(row_.begin(), row_.end(), Value{});
    notify(DataEvent::StateChange);
    notify(DataEvent::DataSetChange);
}

void Dataset::checkActive() const {
    if (!active()) fail(text::kClosed);
}

void Dataset::checkBrowse() {
    checkActive();
    if (state_ == State::Edit || state_ == State::Insert) post();
}

void Dataset::calculate() {
    bool any =
        std::any_of(fields_.begin(), fields_.end(), [](const auto& f) { return f->calculated(); });
    if (!any) return;
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (fields_[i]->calculated()) row_[i] = Value{};
    if (!onCalcFields) return;
    State saved = state_;
    state_ = State::CalcFields;
    try {
        onCalcFields(*this);
    } catch (...) {
        state_ = saved;
        throw;
    }
    state_ = saved;
}

void Dataset::fetched(bool onRecord, bool forward) {
    if (onRecord) {
        std::vector<Value> cols(columnDefs_.size());
        doRead(cols);
        for (std::size_t i = 0; i < fields_.size(); ++i)
            if (columnOfField_[i]) row_[i] = std::move(cols[*columnOfField_[i]]);
        calculate();
        eof_ = bof_ = false;
    } else if (forward) {
        eof_ = true;
    } else {
        bof_ = true;
    }
}

void Dataset::first() {
    checkBrowse();
    bool on = doFirst();
    if (!on) std::fill(row_.begin(), row_.end(), Value{});
    fetched(on, true);
    bof_ = true;
    if (!on) eof_ = true;
    notify(DataEvent::DataSetChange);
}

void Dataset::last() {
    checkBrowse();
    bool on = doLast();
    if (!on) std::fill(row_.begin(), row_.end(), Value{});
    fetched(on, false);
    eof_ = true;
    if (!on) bof_ = true;
    notify(DataEvent::DataSetChange);
}

void Dataset::next() {
    checkBrowse();
    if (eof_) return;
    bool on = doNext();
    fetched(on, true);
    if (on) notify(DataEvent::Scroll);
}

void Dataset::prior() {
    checkBrowse();
    if (bof_) return;
    bool on = doPrior();
    fetched(on, false);
    if (on) notify(DataEvent::Scroll);
}

std::int64_t Dataset::recordCount() {
    checkActive();
    return 0;
}

std::int64_t Dataset::recNo() {
    checkActive();
    return 0;
}

void Dataset::setRecNo(std::int64_t) {
    checkActive();
}

Field* Dataset::findField(std::string_view name) const {
    for (const auto& f : fields_)
        if (sameName(f->name(), name)) return f.get();
    for (const auto& f : fields_)
        if (!f->def().alias.empty() && sameName(f->def().alias, name)) return f.get();
    return nullptr;
}

Field& Dataset::fieldByName(std::string_view name) const {
    Field* f = findField(name);
    if (!f) fail(format("Field '%s' not found", name));
    return *f;
}

void Dataset::setState(State s) {
    state_ = s;
    notify(DataEvent::StateChange);
}

void Dataset::edit() {
    checkActive();
    if (state_ == State::Edit || state_ == State::Insert) return;
    if (!canModify()) fail(text::kReadOnly);
    if (isEmpty()) {
        append();
        return;
    }
    editRow_ = row_;
    std::fill(assigned_.begin(), assigned_.end(), false);
    setState(State::Edit);
}

void Dataset::append() {
    checkBrowse();
    if (!canModify()) fail(text::kReadOnly);
    std::fill(editRow_.begin(), editRow_.end(), Value{});
    std::fill(assigned_.begin(), assigned_.end(), false);
    setState(State::Insert);
}

void Dataset::post() {
    checkActive();
    if (state_ != State::Edit && state_ != State::Insert) return;
    bool inserting = state_ == State::Insert;
    std::vector<Value> cols(columnDefs_.size());
    std::vector<bool> assigned(columnDefs_.size(), false);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (!columnOfField_[i]) continue;
        cols[*columnOfField_[i]] = editRow_[i];
        assigned[*columnOfField_[i]] = assigned_[i];
    }
    doPost(inserting, cols, assigned);  // a failure leaves the dataset in its edit state
    state_ = State::Browse;
    fetched(true, true);
    notify(DataEvent::StateChange);
    notify(inserting ? DataEvent::DataSetChange : DataEvent::RecordChange);
}

void Dataset::cancel() {
    if (state_ != State::Edit && state_ != State::Insert) return;
    state_ = State::Browse;
    notify(DataEvent::StateChange);
    notify(DataEvent::RecordChange);
}

void Dataset::remove() {
    checkActive();
    if (state_ == State::Insert) {
        cancel();
        return;
    }
    if (isEmpty()) fail(text::kEmpty);
    if (!canModify()) fail(text::kReadOnly);
    state_ = State::Browse;
    bool on = doDelete();
    if (on) {
        fetched(true, true);
    } else {
        eof_ = bof_ = true;
        std::fill(row_.begin(), row_.end(), Value{});
    }
    notify(DataEvent::DataSetChange);
}

void Dataset::refresh() {
    checkBrowse();
    bool on = doRefresh();
    if (on) {
        fetched(true, true);
    } else {
        eof_ = bof_ = true;
        std::fill(row_.begin(), row_.end(), Value{});
    }
    notify(DataEvent::DataSetChange);
}

std::vector<std::size_t> Dataset::keyColumns(std::string_view keyFields, std::size_t values) const {
    std::vector<std::size_t> cols;
    std::size_t start = 0;
    while (start <= keyFields.size()) {
        std::size_t end = keyFields.find(';', start);
        if (end == std::string_view::npos) end = keyFields.size();
        std::string_view name = keyFields.substr(start, end - start);
        auto col = columnOf(name);
        if (!col) fail(format("Field '%s' not found", name));
        cols.push_back(*col);
        start = end + 1;
    }
    if (cols.size() != values)
        fail("Count of FieldNames (" + std::to_string(cols.size()) +
             ") not equal counts of KeyValues (" + std::to_string(values) + ")");
    return cols;
}

bool Dataset::locate(std::string_view keyFields, const std::vector<Value>& values) {
    if (!active()) fail(text::kLocateClosed);
    checkBrowse();
    auto cols = keyColumns(keyFields, values.size());
    if (!doLocate(cols, values)) return false;
    fetched(true, true);
    notify(DataEvent::DataSetChange);
    return true;
}

Value Dataset::lookup(std::string_view keyFields, const std::vector<Value>& values,
                      std::string_view resultField) {
    if (!active()) fail(text::kLocateClosed);
    checkBrowse();
    auto cols = keyColumns(keyFields, values.size());
    auto result = columnOf(resultField);
    if (!result) fail(format("Field '%s' not found", resultField));
    return doLookup(cols, values, *result);
}

bool Dataset::doLocate(const std::vector<std::size_t>& cols, const std::vector<Value>& values) {
    std::vector<Value> row(columnDefs_.size());
    bool on = doFirst();
    while (on) {
        doRead(row);
        bool match = true;
        for (std::size_t k = 0; k < cols.size() && match; ++k)
            match = row[cols[k]] == values[k];
        if (match) return true;
        on = doNext();
    }
    // Not found: back to the current record.
    doRefresh();
    return false;
}

Value Dataset::doLookup(const std::vector<std::size_t>&, const std::vector<Value>&, std::size_t) {
    fail("Lookup is not supported");
}

Value Dataset::adjust(std::size_t, const Value& v) const {
    return v;
}

void Dataset::enableControls() {
    if (disabled_ > 0 && --disabled_ == 0) notify(DataEvent::DataSetChange);
}

void Dataset::notify(DataEvent e) {
    if (disabled_ > 0) return;
    auto sources = sources_;
    for (DataSource* s : sources)
        s->notify(e);
}

}  // namespace db
