#include "data/data.h"

#include <exception>
#include <filesystem>
#include <functional>

#include "xbase/codepage.h"
#include "xbase/file.h"
#include "xbase/fs_path.h"

namespace data {

std::string databasePathOfIni(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == '\n'))
        bytes.remove_suffix(1);
    return std::string(bytes);
}

namespace {
bool holdsFile(std::string dir, const char* name) {
    if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir += '/';
    const std::string found = xbase::resolvePath(dir + name);
    std::error_code ec;
    return !found.empty() && std::filesystem::is_regular_file(xbase::fsPath(found), ec);
}
}  // namespace

bool isAccountingDatabase(const std::string& dir) {
    return holdsFile(dir, "main.dbf");
}

bool isAnsiDatabase(const std::string& dir) {
    return holdsFile(dir, "lorf5.dbc");
}

namespace {

// The labels are Russian; text inside the program is ANSI.
std::string ansi(const char* utf8) {
    return *xbase::CodePage::get(xbase::kAnsiCodePage).fromUtf8(utf8);
}

db::FieldDef text(const char* name, std::uint32_t size, const char* label = nullptr) {
    db::FieldDef d;
    d.name = name;
    d.type = db::FieldType::String;
    d.size = size;
    if (label) d.displayLabel = ansi(label);
    return d;
}

db::FieldDef number(const char* name, std::uint32_t width = 0) {
    db::FieldDef d;
    d.name = name;
    d.type = db::FieldType::Float;
    d.displayWidth = width;
    return d;
}

db::FieldDef autoInc(const char* name) {
    db::FieldDef d;
    d.name = name;
    d.type = db::FieldType::AutoInc;
    return d;
}

void browsing(ads::TAdsTable& t, ads::TAdsConnection& con, const char* table, const char* index) {
    t.setAdsConnection(&con);
    t.setDatabaseName("AdsCon");
    t.setTableName(table);
    t.setTableType(ads::TAdsTableType::ttAdsVFP);
    t.setReadOnlyOpen(true);
    t.setSequenced(true);
    t.setIndexName(index);
}

}  // namespace

TData::TData() {
    applySettings();

    mlabelSrc.setDataset(&mlabel);
    mgrupSrc.setDataset(&mgrup);
    MlabelVSrc.setDataset(&MlabelV);
    TABLESSrc.setDataset(&TABLES);
    PLANSrc.setDataset(&PLAN);
    NMgrupSrc.setDataset(&NMgrup);
    MlabelThroughSrc.setDataset(&MlabelThrough);

    TABLES.setTableName("TABLES");
    TABLES.setIndexName("NAME");
    TABLES.addField(text("NAME", 255, "Название"));
    TABLES.addField(text("FILTR", 100, "Фильтр"));
    TABLES.addField(text("COMMENT", 50, "Комментарий"));
    TABLES.addField(autoInc("ID"));

    PLAN.setTableName("PLAN");
    PLAN.addField(autoInc("ID"));
    PLAN.addField(text("GRUP", 5, "Группа"));
    PLAN.addField(text("NNUM", 13, "Н/номер"));
    PLAN.addField(text("NAME", 60, "Название"));
    PLAN.addField(text("NGRUP", 5, "Нов группа"));
    PLAN.addField(text("NNNUM", 13, "Нов Н/номер"));

    MLabelMem.setTableName("ML");
    MLabelMem.setIndexName("ID");
    MLabelMem.addField(text("GRUP", 5));
    MLabelMem.addField(text("NNUM", 13));

    browsing(mlabel, AdsCon, "zapas\\mlabel.dbf", "MLABEL");
    db::FieldDef checked;
    checked.name = "Checked";
    checked.type = db::FieldType::Boolean;
    checked.calculated = true;
    checked.displayWidth = 5;
    mlabel.addField(checked);
    mlabel.addField(text("GRUP", 5, "Группа"));
    mlabel.addField(text("NNUM", 13, "Н/номер"));
    mlabel.addField(text("NAME", 60, "Название"));
    mlabel.addField(text("ED", 5, "Ед. изм"));
    mlabel.setMasterSource(&mgrupSrc, "CODE");
    mlabel.onCalcFields = [this](db::Dataset& d) { mlabelCalcFields(d); };

    browsing(mgrup, AdsCon, "zapas\\mgrup.dbf", "DODOD");
    mgrup.addField(text("CODE", 5));
    mgrup.addField(text("NAME", 34));

    browsing(MlabelV, AdsCon, "zapas\\mlabel.dbf", "MLABEL");
    for (auto [n, w] : {std::pair{"GRUP", 5u}, {"NNUM", 13u}, {"NAME", 60u}, {"ED", 5u}})
        MlabelV.addField(text(n, w));

    browsing(NMgrup, AdsCon, "zapas\\mgrup.dbf", "DODOD");
    NMgrup.addField(text("CODE", 5));
    NMgrup.addField(text("NAME", 34));
    NMgrup.addField(text("PRIM", 15));

    browsing(MlabelThrough, AdsCon, "zapas\\mlabel.dbf", "MLABEL");
    for (auto [n, w] : {std::pair{"GRUP", 5u}, {"NNUM", 13u}, {"NAME", 60u}, {"ED", 5u}})
        MlabelThrough.addField(text(n, w));
    MlabelThrough.addField(number("CENA", 10));
    MlabelThrough.addField(number("CENA0", 10));

    AdsTableR.setAdsConnection(&AdsCon);
    AdsTableR.setDatabaseName("AdsCon");
    AdsTableR.setTableType(ads::TAdsTableType::ttAdsCDX);
    AdsTableR.setExclusive(true);
    AdsTableR.setIndexCollationMismatch(ads::TIndexCollationMismatch::icmIgnore);
}

TData::~TData() {
    try {
        closeAll();
    } catch (...) {
        // nothing can be said any more: the caller's closeAll reports it while it can
    }
}

void TData::closeAll() {
    // Every step runs; the first failure is raised at the end.
    std::exception_ptr first;
    auto step = [&](const std::function<void()>& f) {
        try {
            f();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    };
    for (ads::TAdsTable* t : {&AdsTableR, &MlabelThrough, &NMgrup, &MlabelV, &mgrup, &mlabel})
        step([t] { t->close(); });
    step([this] { AdsCon.disconnect(); });
    for (store::TABSTable* t : {&MLabelMem, &PLAN, &TABLES})
        step([t] { t->close(); });
    step([this] { KVD.close(); });
    storeLock_.reset();
    storeLockPath_.clear();
    if (first) std::rethrow_exception(first);
}

void TData::applySettings() {
    // In the order the data module lists them.
    AdsSettings1.setDateFormat("dd.MM.yyyy");
    AdsSettings1.setNumDecimals(2);
    AdsSettings1.setSetDelphiDate(true);
    AdsSettings1.setShowDeleted(false);
    AdsSettings1.setAdsServerTypes(ads::stADS_LOCAL);
    AdsSettings1.setNumCachedTables(0);
    AdsSettings1.setNumCachedCursors(25);
}

void TData::mlabelCalcFields(db::Dataset& d) {
    db::Value grup = d.fieldByName("GRUP").value();
    db::Value nnum = d.fieldByName("NNUM").value();
    bool marked = MLabelMem.locate("GRUP;NNUM", {grup, nnum});
    d.fieldByName("Checked").setValue(db::Value(marked));
}

void TData::openStore(const std::string& kvdPath, StoreUse use) {
    // The lock first, so that a refused open changes nothing; a store opened anew gives the
    // old one's lock up only once the new one is held.
    std::unique_ptr<store::StoreLock> lock;
    if (use != StoreUse::Read) {
        if (storeLock_ && storeLockPath_ == kvdPath)
            lock = std::move(storeLock_);  // the same store again: the lock is ours already
        else
            lock = std::make_unique<store::StoreLock>(kvdPath);
    }
    KVD.setDatabaseFileName(kvdPath);
    if (KVD.connected() && KVD.readOnly() != (use == StoreUse::Read)) {
        // Opened again in the way asked for, its datasets first.
        for (store::TABSTable* t : {&MLabelMem, &PLAN, &TABLES})
            t->close();
        KVD.close();
    }
    KVD.setReadOnly(use == StoreUse::Read);
    KVD.open();
    TABLES.open();
    PLAN.open();
    if (use == StoreUse::Window) {
        // A window's marks are its own: they start empty.
        MLabelMem.close();
        MLabelMem.emptyTable();
    }
    MLabelMem.open();
    storeLock_ = std::move(lock);
    storeLockPath_ = storeLock_ ? kvdPath : std::string();
}

void TData::openAccounting(const std::string& dbPath, bool isAnsi) {
    AdsCon.disconnect();
    AdsCon.setConnectPath(dbPath);
    AdsCon.connect();
    auto type = isAnsi ? ads::TAdsCharType::ANSI : ads::TAdsCharType::OEM;
    for (ads::TAdsTable* t : {&mlabel, &MlabelV, &MlabelThrough, &mgrup, &NMgrup}) {
        t->setCharType(type);
        t->open();
        if (t == &mlabel) mlabel.setIndexName("MLABEL");
    }
}

void TData::closeBrowsing() {
    for (ads::TAdsTable* t : {&mgrup, &mlabel, &MlabelThrough, &NMgrup, &MlabelV})
        t->close();
}

void TData::reopenBrowsing() {
    for (ads::TAdsTable* t : {&mgrup, &mlabel, &MlabelThrough, &NMgrup, &MlabelV})
        t->open();
}

}  // namespace data
