#include "access/ads.h"

#include <algorithm>
#include <cmath>

#include "xbase/ascii.h"
#include "xbase/cdx.h"
#include "xbase/codepage.h"
#include "xbase/error.h"
#include "xbase/expr.h"
#include "xbase/file.h"
#include "xbase/key.h"

namespace ads {

namespace {

TAdsSettings* g_settings = nullptr;
std::string g_shortDateFormat = "MM/dd/yyyy";
char g_dateSeparator = '/';
bool g_showDeleted = false;

constexpr const char* kDefaultEngineDateFormat = "MM/dd/ccyy";

bool isKeyLetter(char c) {
    const char u = xbase::ascii::upper(c);
    return u == 'C' || u == 'Y' || u == 'M' || u == 'D';
}

}  // namespace

EADSDatabaseError::EADSDatabaseError(int code, std::string component, const std::string& text)
    : db::DatabaseError(component.empty() ? text : component + ": " + text),
      code_(code),
      component_(std::move(component)) {}

// ---- TAdsSettings -------------------------------------------------------------------------

TAdsSettings::TAdsSettings() {
    if (g_settings)
        throw db::DatabaseError("Only one AdsSettings component is allowed per application");
    g_settings = this;
    // The engine takes the process's date format until the program sets its own.
    xbase::setDateFormat(g_shortDateFormat);
    dateFormat_ = g_shortDateFormat;
    savedShortDateFormat_ = g_shortDateFormat;
    showDeleted_ = g_showDeleted;
}

TAdsSettings::~TAdsSettings() {
    if (g_settings == this) g_settings = nullptr;
}

void TAdsSettings::setDateFormat(const std::string& format) {
    dateFormat_ = format;
    std::string engine = format.substr(0, 11);
    xbase::setDateFormat(engine.empty() ? kDefaultEngineDateFormat : engine);
    if (!delphiDate_) return;
    // The process's own date conventions follow: C and Y become y, the separator is the
    // first character that is none of C, Y, M, D.
    std::string process = format;
    for (char& c : process)
        if (c == 'C' || c == 'c' || c == 'Y' || c == 'y') c = 'y';
    savedShortDateFormat_ = g_shortDateFormat;
    g_shortDateFormat = process;
    auto sep = std::find_if(format.begin(), format.end(), [](char c) { return !isKeyLetter(c); });
    if (sep != format.end()) g_dateSeparator = *sep;
}

void TAdsSettings::setSetDelphiDate(bool on) {
    if (delphiDate_ && !on) g_shortDateFormat = savedShortDateFormat_;
    delphiDate_ = on;
}

void TAdsSettings::setShowDeleted(bool show) {
    showDeleted_ = show;
    g_showDeleted = show;
}

void TAdsSettings::setAdsServerTypes(unsigned types) {
    if ((types & (stADS_LOCAL | stADS_REMOTE | stADS_AIS)) == 0)
        throw AdsSettingsError("At least one server type must be selected.");
    serverTypes_ = types;
}

void TAdsSettings::setNumCachedTables(int n) {
    if (n < 0) throw db::DatabaseError("NumCachedTables value must be greater than zero.");
    cachedTables_ = n;
}

void TAdsSettings::setNumCachedCursors(int n) {
    if (n < 0) throw db::DatabaseError("NumCachedCursors value must be greater than zero.");
    cachedCursors_ = n;
}

std::string TAdsSettings::shortDateFormat() {
    return g_shortDateFormat;
}
char TAdsSettings::dateSeparator() {
    return g_dateSeparator;
}
bool TAdsSettings::engineShowsDeleted() {
    return g_showDeleted;
}

// ---- TAdsConnection -----------------------------------------------------------------------

TAdsConnection::TAdsConnection(std::string name) : name_(std::move(name)) {}

TAdsConnection::~TAdsConnection() {
    try {
        setIsConnected(false);
    } catch (...) {
        // a destructor says nothing: TData::closeAll reports a failing close
    }
    for (TAdsTable* t : attached_)
        t->connection_ = nullptr;
}

void TAdsConnection::setConnectPath(const std::string& path) {
    if (connected_)
        throw AdsConnectionError(
            "The TAdsConnection.ConnectPath may not be changed when IsConnected is TRUE");
    connectPath_ = path;
}

void TAdsConnection::setIsConnected(bool on) {
    if (on == connected_) return;
    if (on) {
        if (connectPath_.empty())
            throw AdsConnectionError(
                "Must specify connection string before getting a server connection.");
        std::string dir = connectPath_.substr(0, 254);
        while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/'))
            dir.pop_back();
        if (xbase::resolvePath(dir).empty())
            throw EADSDatabaseError(xbase::code::kFileNotFound, "",
                                    "The directory " + connectPath_ + " does not exist");
        connected_ = true;
        return;
    }
    // Every attached dataset closes first, in attachment order; a failing close is swallowed.
    auto tables = attached_;
    for (TAdsTable* t : tables) {
        try {
            t->close();
        } catch (...) {
        }
    }
    connected_ = false;
}

void TAdsConnection::attach(TAdsTable* t) {
    if (std::find(attached_.begin(), attached_.end(), t) == attached_.end()) attached_.push_back(t);
}

void TAdsConnection::detach(TAdsTable* t) {
    attached_.erase(std::remove(attached_.begin(), attached_.end(), t), attached_.end());
}

// ---- TAdsTable ----------------------------------------------------------------------------

TAdsTable::TAdsTable(std::string name) : db::Dataset(std::move(name)) {}

TAdsTable::~TAdsTable() {
    try {
        close();
    } catch (...) {
        // as in ~TAdsConnection
    }
    if (connection_) connection_->detach(this);
}

void TAdsTable::layerError(const std::string& text) const {
    raiseError(kLayerCode, text);
}

void TAdsTable::engineError(const xbase::Error& e) const {
    raiseError(e.code(), e.what());
}

void TAdsTable::raiseError(int code, const std::string& text) const {
    EADSDatabaseError error(code, name(), text);
    error.databaseName = databaseName_;
    error.databasePath = connection_ ? connection_->connectPath() : std::string();
    error.tableName = tableName_;
    throw error;
}

template <class F>
auto TAdsTable::engine(F&& f) const -> decltype(f()) {
    try {
        return f();
    } catch (const xbase::Error& e) {
        engineError(e);
    }
}

void TAdsTable::setAdsConnection(TAdsConnection* c) {
    if (connection_ == c) return;
    if (connection_) connection_->detach(this);
    connection_ = c;
    if (connection_) connection_->attach(this);
}

void TAdsTable::setTableName(std::string name) {
    if (active()) layerError(db::text::kOpen);
    tableName_ = std::move(name);
}

void TAdsTable::setTableType(TAdsTableType t) {
    if (active()) layerError(db::text::kOpen);
    type_ = t;
}

void TAdsTable::setExclusive(bool on) {
    if (active()) layerError(db::text::kOpen);
    exclusive_ = on;
}

void TAdsTable::setReadOnlyOpen(bool on) {
    if (active()) layerError(db::text::kOpen);
    readOnlyOpen_ = on;
}

void TAdsTable::setCharType(TAdsCharType t) {
    if (active()) layerError("Table must not be Active.");
    charType_ = t;
}

bool TAdsTable::canModify() const {
    return table_ && !table_->readOnly() && !readOnlyOpen_;
}

bool TAdsTable::visible(std::uint32_t recno) const {
    return TAdsSettings::engineShowsDeleted() || !table_->isDeleted(recno);
}

std::vector<db::FieldDef> TAdsTable::doOpen() {
    if (tableName_.empty()) layerError("Missing TableName property");
    if (!connection_ || connection_->connectPath().empty())
        layerError(
            "One of the DatabaseName property or the AdsConnection property must have a value.");
    if (type_ != TAdsTableType::ttAdsVFP && type_ != TAdsTableType::ttAdsCDX)
        layerError("Only Visual FoxPro and CDX tables are supported");
    connection_->connect();
    std::string dir = connection_->connectPath();
    if (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    // One kind of separator, this system's, in the path and so in every message naming it.
    std::string file = xbase::nativeSeparators(dir + "\\" + tableName_);

    xbase::OpenOptions options;
    options.share = exclusive_ ? xbase::Share::Exclusive : xbase::Share::Shared;
    options.readOnly = readOnlyOpen_ || connection_->readOnly();
    options.charType =
        charType_ == TAdsCharType::OEM ? xbase::CharType::Oem : xbase::CharType::Ansi;
    table_ = engine([&] { return xbase::Table::open(file, options); });
    try {
        if (!indexName_.empty()) {
            cursor_ =
                engine([&] { return std::make_unique<xbase::TagCursor>(*table_, indexName_); });
            cursor_->setShowDeleted(TAdsSettings::engineShowsDeleted());
        }
        range_.reset();
        if (cursor_) {
            range_ = rangeOf();
            scopeTo(*cursor_, range_);
        }
    } catch (...) {
        cursor_.reset();
        table_.reset();
        throw;
    }
    std::vector<db::FieldDef> defs;
    columns_.clear();
    for (const xbase::Field& f : table_->fields()) {
        if (f.type == '0') continue;
        db::FieldDef d;
        d.name = f.name;
        d.alias = f.longName;
        switch (f.type) {
            case 'C':
            case 'V':
                d.type = db::FieldType::String;
                d.size = f.length;
                break;
            case 'N':
            case 'F':
            case 'B':
            case 'Y':
                d.type = db::FieldType::Float;
                break;
            case 'I':
                d.type = db::FieldType::Integer;
                break;
            case 'D':
            case 'T':
                d.type = db::FieldType::Date;
                break;
            case 'L':
                d.type = db::FieldType::Boolean;
                break;
            default:
                d.type = db::FieldType::Memo;
                break;
        }
        defs.push_back(d);
        columns_.push_back(&f);
    }
    current_ = 0;
    return defs;
}

const xbase::KeyBuilder& TAdsTable::keyBuilder(const xbase::TagInfo& tag) const {
    auto& slot = builders_[tag.name];
    if (!slot) slot = std::make_unique<xbase::KeyBuilder>(*table_, tag);
    return *slot;
}

const xbase::KeyBuilder* TAdsTable::computableKeyBuilder(const xbase::TagInfo& tag) const {
    try {
        return &keyBuilder(tag);
    } catch (const xbase::Error& e) {
        if (e.code() != xbase::code::kUnsupported) throw;
        return nullptr;  // a collation or function the engine lacks
    }
}

void TAdsTable::doClose() {
    builders_.clear();
    search_.reset();
    cursor_.reset();
    table_.reset();
    current_ = 0;
    range_.reset();
}

bool TAdsTable::settle(bool onRecord) {
    if (onRecord && cursor_) current_ = cursor_->recno();
    if (!onRecord && !current_) current_ = 0;
    return onRecord;
}

std::uint32_t TAdsTable::nextVisible(std::int64_t from, int step) const {
    for (std::int64_t r = from; r >= 1 && r <= static_cast<std::int64_t>(table_->recordCount());
         r += step)
        if (visible(static_cast<std::uint32_t>(r))) return static_cast<std::uint32_t>(r);
    return 0;
}

bool TAdsTable::doFirst() {
    return engine([&] {
        current_ = 0;
        if (cursor_) return settle(cursor_->first());
        current_ = nextVisible(1, 1);
        return current_ != 0;
    });
}

bool TAdsTable::doLast() {
    return engine([&] {
        current_ = 0;
        if (cursor_) return settle(cursor_->last());
        current_ = nextVisible(table_->recordCount(), -1);
        return current_ != 0;
    });
}

bool TAdsTable::doNext() {
    return engine([&] {
        if (cursor_) {
            if (cursor_->next()) return settle(true);
            cursor_->last();  // stays on the last record
            return false;
        }
        std::uint32_t r = nextVisible(std::int64_t{current_} + 1, 1);
        if (r) current_ = r;
        return r != 0;
    });
}

bool TAdsTable::doPrior() {
    return engine([&] {
        if (cursor_) {
            if (cursor_->prior()) return settle(true);
            cursor_->first();
            return false;
        }
        std::uint32_t r = nextVisible(std::int64_t{current_} - 1, -1);
        if (r) current_ = r;
        return r != 0;
    });
}

void TAdsTable::doRead(std::vector<db::Value>& out) {
    engine([&] {
        const char* rec = table_->record(current_);
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            const xbase::Field& f = *columns_[c];
            if (!columnBound(c) && !readingAll_) continue;  // no field shows it
            if (table_->isNull(rec, f)) {
                out[c] = db::Value{};
                continue;
            }
            switch (f.type) {
                case 'C':
                case 'V':
                    out[c] = db::Value(table_->text(rec, f));
                    break;
                case 'N':
                case 'F':
                    out[c] = db::Value(xbase::parseNumber(table_->raw(rec, f)));
                    break;
                case 'I':
                    out[c] = db::Value(static_cast<std::int64_t>(
                        std::strtoll(table_->display(rec, f).c_str(), nullptr, 10)));
                    break;
                case 'B':
                case 'Y':
                    out[c] = db::Value(std::strtod(table_->display(rec, f).c_str(), nullptr));
                    break;
                case 'L': {
                    char v = rec[f.offset];
                    out[c] = v == ' ' ? db::Value{}
                                      : db::Value(v == 'T' || v == 't' || v == 'Y' || v == 'y');
                    break;
                }
                case 'D':
                case 'T': {
                    std::string d = table_->display(rec, f);
                    out[c] = d.empty() ? db::Value{} : db::Value(d);
                    break;
                }
                default:
                    out[c] = db::Value(table_->memo(rec, f));
                    break;
            }
        }
        return 0;
    });
}

void TAdsTable::doPost(bool inserting, const std::vector<db::Value>& cols,
                       const std::vector<bool>& assigned) {
    if (inserting) layerError("Appending is not supported on accounting tables");
    engine([&] {
        std::string rec(table_->record(current_), table_->recordLength());
        for (std::size_t c = 0; c < cols.size(); ++c) {
            if (!assigned[c]) continue;
            const xbase::Field& f = *columns_[c];
            std::string text;
            if (auto b = std::get_if<bool>(&cols[c]))
                text = *b ? "T" : "F";
            else
                text = db::valueText(cols[c]);
            table_->setText(rec, f, text);
        }
        table_->update(current_, rec);
        if (cursor_ && !cursor_->gotoRecord(current_)) cursor_->first();
        return 0;
    });
}

bool TAdsTable::doDelete() {
    engine([&] {
        table_->setDeleted(current_, true);
        return 0;
    });
    std::uint32_t gone = current_;
    if (doNext() && current_ != gone) return true;
    return doLast();
}

bool TAdsTable::doRefresh() {
    return engine([&] {
        table_->refresh();
        if (table_->index()) table_->index()->refresh();
        if (current_ && current_ <= table_->recordCount() && visible(current_)) {
            if (!cursor_ || cursor_->gotoRecord(current_)) return true;
        }
        return doFirst();
    });
}

std::optional<TAdsTable::Range> TAdsTable::rangeOf() const {
    db::DataSource* master = masterSource();
    if (!master || !master->dataset() || !master->dataset()->active() || !cursor_)
        return std::nullopt;
    db::Dataset& m = *master->dataset();
    std::string value = m.fieldByName(masterFields()).asString();
    // The master's value goes into the order's first key field, padded to its width; the
    // other key fields stay unset. The key prefix made of that is the range's start and end.
    return engine([&]() -> std::optional<Range> {
        const xbase::TagInfo& tag = cursor_->tag();
        const bool computed = !table_->keysDistrusted(tag) && computableKeyBuilder(tag);
        const xbase::Expression expression =
            computed
                ? keyBuilder(tag).keyExpression()
                : xbase::Expression::compile(tag.keyExpression, table_.get(), xbase::TextMode::Raw);
        auto fields = expression.keyFields();
        if (!fields || fields->empty())
            layerError("The index " + indexName_ + " has no key field for a range");
        const xbase::Field& first = *fields->front();
        std::string rec = table_->blankRecord();
        table_->setText(rec, first, value);
        Range r;
        r.field = static_cast<std::size_t>(&first - table_->fields().data());
        r.bytes.assign(table_->raw(rec.data(), first));
        if (!computed) return r;  // every entry of the tag is looked at
        const xbase::KeyBuilder& kb = keyBuilder(tag);
        r.key = kb.keyPrefix(rec.data(), 0, first.length);
        // A key in the machine order of the field itself holds its bytes: the prefix alone
        // tells the group. Under UPPER() or a collation it does not tell "аб" from "АБ".
        const std::string upper = xbase::ascii::upper(tag.keyExpression);
        r.exact = !kb.collation() && upper.find("UPPER(") == std::string::npos &&
                  upper.find("LOWER(") == std::string::npos;
        if (kb.collation()) {
            // An empty group is believed only once the tag's keys proved to be the engine's;
            // else the whole tag is looked at.
            xbase::TagCursor c(*table_, tag.name);
            c.setShowDeleted(true);
            scopeTo(c, r);
            if (!c.first() && !table_->keysTrusted(tag)) r.key.reset();
        }
        return r;
    });
}

void TAdsTable::scopeTo(xbase::TagCursor& c, const std::optional<Range>& range) const {
    if (!range) {
        c.clearScope();
        c.setFilter({});
        return;
    }
    c.setScope(range->key, range->key);
    if (range->exact) {
        c.setFilter({});
        return;
    }
    const xbase::Table* table = table_.get();
    c.setFilter([table, field = range->field, bytes = range->bytes](std::uint32_t recno) {
        const xbase::Field& f = table->fields()[field];
        return table->raw(table->record(recno), f) == bytes;
    });
}

void TAdsTable::masterChanged() {
    if (!active() || !cursor_) return;
    auto range = rangeOf();
    if (range == range_) return;  // the same group again keeps the current material
    range_ = range;
    engine([&] {
        scopeTo(*cursor_, range_);
        return 0;
    });
    bool on = range_ ? doFirst() : doRefresh();
    if (!on) current_ = 0;
    fetched(on, true);
    setEofBof(!on, true);
    notify(db::DataEvent::DataSetChange);
}

void TAdsTable::setIndexName(const std::string& tag) {
    if (!active()) {
        indexName_ = tag;
        return;
    }
    if (state() == db::State::Edit || state() == db::State::Insert) post();
    std::string previous = indexName_;
    std::unique_ptr<xbase::TagCursor> cursor;
    if (!tag.empty()) {
        try {
            cursor = engine([&] { return std::make_unique<xbase::TagCursor>(*table_, tag); });
        } catch (...) {
            indexName_ = previous;
            throw;
        }
        cursor->setShowDeleted(TAdsSettings::engineShowsDeleted());
    }
    indexName_ = tag;
    cursor_ = std::move(cursor);
    range_.reset();
    bool on;
    if (masterSource() && masterSource()->dataset() && masterSource()->dataset()->active() &&
        cursor_) {
        // The link applies its range again and moves to the first record.
        range_ = rangeOf();
        scopeTo(*cursor_, range_);
        on = doFirst();
    } else {
        // The current record stays current in the new order.
        on = current_ && (!cursor_ || engine([&] { return cursor_->gotoRecord(current_); }));
        if (!on) on = doFirst();
    }
    fetched(on, true);
    setEofBof(!on, !on);
    notify(db::DataEvent::DataSetChange);
}

std::int64_t TAdsTable::recordCount() {
    if (!active()) fail(db::text::kClosed);
    if (scopeOptions_ == TAdsScopeOptions::RESPECT_SCOPES_WHEN_COUNTING && cursor_ && range_)
        return rangeCount();
    return table_->recordCount();
}

std::int64_t TAdsTable::rangeCount() {
    if (!active()) fail(db::text::kClosed);
    return engine([&] {
        std::int64_t n = 0;
        if (!cursor_) {
            for (std::uint32_t r = nextVisible(1, 1); r; r = nextVisible(std::int64_t{r} + 1, 1))
                ++n;
            return n;
        }
        xbase::TagCursor c(*table_, indexName_);
        c.setShowDeleted(TAdsSettings::engineShowsDeleted());
        scopeTo(c, range_);
        for (bool on = c.first(); on; on = c.next())
            ++n;
        return n;
    });
}

std::int64_t TAdsTable::recNo() {
    if (!active()) fail(db::text::kClosed);
    if (isEmpty() || !current_) return 0;
    if (!cursor_ || !sequenced_) return current_;
    return engine([&]() -> std::int64_t {
        std::uint64_t count = cursor_->keyCount();
        if (count == 0) return 0;
        // The record's share of the order, scaled to the table's record count.
        auto n = static_cast<std::uint64_t>(table_->recordCount());
        return static_cast<std::int64_t>(n * cursor_->keyPosition() / count);
    });
}

void TAdsTable::setRecNo(std::int64_t n) {
    if (!active()) fail(db::text::kClosed);
    if (state() == db::State::Edit || state() == db::State::Insert) post();
    bool on = engine([&] {
        if (!cursor_ || !sequenced_) {
            if (n < 1 || n > table_->recordCount() || !visible(static_cast<std::uint32_t>(n)))
                return false;
            current_ = static_cast<std::uint32_t>(n);
            return true;
        }
        std::uint64_t count = cursor_->keyCount();
        auto total = static_cast<std::uint64_t>(table_->recordCount());
        if (count == 0 || total == 0) return false;
        // The inverse of recNo(): the first position whose number is n.
        std::uint64_t pos =
            (static_cast<std::uint64_t>(std::max<std::int64_t>(n, 0)) * count + total - 1) / total;
        return settle(cursor_->setKeyPosition(std::min(pos, count - 1)));
    });
    if (!on) return;
    fetched(true, true);
    notify(db::DataEvent::Scroll);
}

std::uint32_t TAdsTable::search(const std::vector<std::size_t>& cols,
                                const std::vector<db::Value>& values) {
    return engine([&]() -> std::uint32_t {
        std::vector<const xbase::Field*> wanted;
        for (std::size_t c : cols)
            wanted.push_back(columns_[c]);
        auto valueOf = [&](std::size_t k) {
            if (auto b = std::get_if<bool>(&values[k])) return std::string(*b ? "T" : "F");
            return db::valueText(values[k]);
        };
        // An index fits when the key fields are exactly its first key fields and the engine
        // computes its keys (a collation or function beyond it, or a failed proof, does not).
        // Returns the bytes of the key value those fields take.
        auto fits = [&](const xbase::TagInfo& tag) -> std::optional<std::size_t> {
            if (!tag.expressionError.empty() || !tag.forExpression.empty() || tag.unique ||
                table_->keysDistrusted(tag))
                return std::nullopt;
            const xbase::KeyBuilder* kb = computableKeyBuilder(tag);
            if (!kb) return std::nullopt;
            auto fields = kb->keyExpression().keyFields();
            if (!fields || fields->size() < wanted.size()) return std::nullopt;
            std::size_t bytes = 0;
            for (std::size_t i = 0; i < wanted.size(); ++i) {
                if (std::find(wanted.begin(), wanted.end(), (*fields)[i]) == wanted.end())
                    return std::nullopt;
                bytes += (*fields)[i]->length;
            }
            return bytes;
        };
        // Each field compared exactly: an index only narrows the records to look at (its key
        // may be UPPER() of the field, which does not tell "abc" from "ABC").
        auto matches = [&](std::uint32_t r) {
            const char* rec = table_->record(r);
            for (std::size_t k = 0; k < wanted.size(); ++k) {
                const xbase::Field& f = *wanted[k];
                std::string have = f.isCharacter() ? table_->text(rec, f) : table_->display(rec, f);
                std::string want = valueOf(k);
                while (!want.empty() && want.back() == ' ' && f.isCharacter())
                    want.pop_back();
                if (have != want) return false;
            }
            return true;
        };
        std::vector<const xbase::TagInfo*> candidates;
        if (cursor_) candidates.push_back(&cursor_->tag());
        bool activeOnly =
            cursor_ && (range_ || !cursor_->tag().forExpression.empty() || cursor_->tag().unique);
        if (!activeOnly && table_->index())
            for (const xbase::TagInfo& t : table_->index()->tags())
                if (!cursor_ || &t != &cursor_->tag()) candidates.push_back(&t);
        for (const xbase::TagInfo* tag : candidates) {
            auto prefix = fits(*tag);
            if (!prefix) continue;
            std::string rec = table_->blankRecord();
            for (std::size_t k = 0; k < wanted.size(); ++k)
                table_->setText(rec, *wanted[k], valueOf(k));
            const xbase::KeyBuilder& kb = keyBuilder(*tag);
            std::string key = kb.keyPrefix(rec.data(), 0, *prefix);
            xbase::TagCursor c(*table_, tag->name);
            c.setShowDeleted(TAdsSettings::engineShowsDeleted());
            if (cursor_ && tag == &cursor_->tag()) scopeTo(c, range_);
            for (bool on = c.seek(key); on && c.key().substr(0, key.size()) == key; on = c.next())
                if (matches(c.recno())) return c.recno();
            // Under a collation a miss is believed once the tag's keys proved to be the
            // engine's; else the records are looked at another way.
            if (kb.collation() && !table_->keysTrusted(*tag)) continue;
            return 0u;
        }
        // No index fits: the records in the dataset's order.
        if (cursor_) {
            xbase::TagCursor c(*table_, indexName_);
            c.setShowDeleted(TAdsSettings::engineShowsDeleted());
            scopeTo(c, range_);
            for (bool on = c.first(); on; on = c.next())
                if (matches(c.recno())) return c.recno();
            return 0u;
        }
        for (std::uint32_t r = 1; r <= table_->recordCount(); ++r)
            if (visible(r) && matches(r)) return r;
        return 0u;
    });
}

bool TAdsTable::doLocate(const std::vector<std::size_t>& cols,
                         const std::vector<db::Value>& values) {
    std::uint32_t r = search(cols, values);
    if (r == 0) return false;
    if (cursor_ && !engine([&] { return cursor_->gotoRecord(r); })) {
        // Found outside the dataset's order (a material of another group): not found here.
        engine([&] { return cursor_->gotoRecord(current_); });
        return false;
    }
    current_ = r;
    return true;
}

db::Value TAdsTable::doLookup(const std::vector<std::size_t>& cols,
                              const std::vector<db::Value>& values, std::size_t result) {
    std::uint32_t r = search(cols, values);
    if (r == 0) return db::Value{};
    std::uint32_t saved = current_;
    current_ = r;
    readingAll_ = true;
    std::vector<db::Value> row(columns_.size());
    try {
        doRead(row);
    } catch (...) {
        current_ = saved;
        readingAll_ = false;
        throw;
    }
    current_ = saved;
    readingAll_ = false;
    return row[result];
}

void TAdsTable::PackTable() {
    PackTable({});
}

void TAdsTable::PackTable(const xbase::Table::RecordRewrite& rewrite,
                          const std::string& keepOldIn) {
    if (!active()) return;
    engine([&] {
        builders_.clear();
        // The pack reads the table's header and field list anew: the columns are found again
        // by name instead of keeping pointers into the old list.
        std::vector<std::string> names;
        for (const xbase::Field* f : columns_)
            names.push_back(f->name);
        table_->pack(rewrite, keepOldIn);
        for (std::size_t c = 0; c < columns_.size(); ++c)
            columns_[c] = table_->field(names[c]);
        if (cursor_) {
            // The index was rebuilt: the order starts anew on it.
            cursor_ = std::make_unique<xbase::TagCursor>(*table_, indexName_);
            cursor_->setShowDeleted(TAdsSettings::engineShowsDeleted());
            scopeTo(*cursor_, range_);
        }
        return 0;
    });
    search_.reset();
    bool on = doFirst();
    fetched(on, true);
    setEofBof(!on, true);
    notify(db::DataEvent::DataSetChange);
}

void TAdsTable::goToRecord(std::uint32_t recno) {
    bool on = engine([&] {
        if (cursor_) return settle(cursor_->gotoRecord(recno));
        current_ = recno;
        return true;
    });
    if (!on) on = doFirst();
    fetched(on, true);
    setEofBof(!on, !on);
    notify(db::DataEvent::DataSetChange);
}

void TAdsTable::goToEnd(bool lastRecord) {
    if (lastRecord)
        last();
    else
        first();
}

bool LocateExpression(TAdsTable& t, const std::string& expression, bool forward) {
    if (!t.active()) t.fail(db::text::kClosed);
    if (t.state() == db::State::Edit || t.state() == db::State::Insert) t.post();
    (void)forward;  // the program searches forward only
    t.search_ = t.engine([&] {
        return std::make_unique<xbase::PhysicalSearch>(
            *t.table_,
            xbase::Expression::compile(expression, t.table_.get(), xbase::TextMode::Ansi),
            TAdsSettings::engineShowsDeleted());
    });
    std::uint32_t found = t.engine([&] { return t.search_->find(1); });
    t.searchAt_ = found ? found : t.table_->recordCount() + 1;
    if (found)
        t.goToRecord(found);
    else
        t.goToEnd(true);
    return found != 0;
}

bool ContinueExpression(TAdsTable& t) {
    if (!t.active()) t.fail(db::text::kClosed);
    if (!t.search_) return false;
    std::uint32_t from = t.searchAt_ + 1;
    std::uint32_t found =
        from > t.table_->recordCount() ? 0 : t.engine([&] { return t.search_->find(from); });
    t.searchAt_ = found ? found : t.table_->recordCount() + 1;
    if (found)
        t.goToRecord(found);
    else
        t.goToEnd(true);
    return found != 0;
}

}  // namespace ads
