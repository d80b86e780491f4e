#pragma once

// The data module: every dataset, data source, link and setting of the program, in the order
// the program declares them.

#include <memory>
#include <string>
#include <string_view>

#include "access/ads.h"
#include "db/dataset.h"
#include "store/store.h"

namespace data {

// Whether a directory is an accounting database: it holds main.dbf, a file. The directory may
// be written with '\' or '/', with or without its trailing delimiter; names are found in any
// letter case.
bool isAccountingDatabase(const std::string& dir);
// The character type the accounting tables of a directory are read with: ANSI when it holds
// lorf5.dbc (found as main.dbf is), OEM otherwise. The window, the path chooser and the
// command line all decide it here.
bool isAnsiDatabase(const std::string& dir);

// The database path path.ini holds (ANSI): its bytes up to a NUL, without the line breaks
// at the end. The window and the command line read it so.
std::string databasePathOfIni(std::string_view bytes);

class TData {
  public:
    TData();
    ~TData();
    TData(const TData&) = delete;
    TData& operator=(const TData&) = delete;

    db::DataSource mlabelSrc{"mlabelSrc"};
    db::DataSource mgrupSrc{"mgrupSrc"};
    db::DataSource MlabelVSrc{"MlabelVSrc"};  // over MlabelV
    store::TABSDatabase KVD{"KVD"};
    store::TABSTable TABLES{"TABLES", KVD};
    db::DataSource TABLESSrc{"TABLESSrc"};
    store::TABSTable PLAN{"PLAN", KVD};
    db::DataSource PLANSrc{"PLANSrc"};
    store::TABSTable MLabelMem{"MLabelMem", KVD};  // ML: the marks (group and number)
    db::DataSource NMgrupSrc{"NMgrupSrc"};         // over NMgrup, for the target-group chooser
    db::DataSource MlabelThroughSrc{"MlabelThroughSrc"};  // over MlabelThrough
    ads::TAdsTable mlabel{"mlabel"};
    ads::TAdsTable mgrup{"mgrup"};
    ads::TAdsTable MlabelV{"MlabelV"};  // all materials, no group range: pairs looked up
    ads::TAdsTable NMgrup{"NMgrup"};    // the groups again, for choosing a target group
    ads::TAdsTable MlabelThrough{"MlabelThrough"};  // the materials the search runs through
    ads::TAdsConnection AdsCon{"AdsCon"};
    ads::TAdsSettings AdsSettings1;
    ads::TAdsTable AdsTableR{"AdsTableR"};  // each listed table, rewritten by the transfer

  private:
    std::unique_ptr<store::StoreLock> storeLock_;
    std::string storeLockPath_;  // the store storeLock_ holds

  public:
    // Closes the accounting tables, the connection, the store's tables and the store (and gives
    // the store's lock up); a failure is raised. The destructor does the same and swallows it.
    void closeAll();

    // Computes `Checked` of the current mlabel record: whether ML holds its GRUP and NNUM.
    void mlabelCalcFields(db::Dataset& dataset);

    // Who opens the store: the window (it holds the store's lock and owns the marks), a
    // command that changes the list or the plan (it holds the lock, the marks untouched), or a
    // command that only reads (no lock, nothing written).
    enum class StoreUse { Window, Write, Read };
    // The local store at `kvdPath`, TABLES and PLAN open, ML open (the window empties it
    // first). Refused, naming the store, while another window or writing command holds it.
    void openStore(const std::string& kvdPath, StoreUse use = StoreUse::Window);
    // The accounting directory (ending in its delimiter) connected and the five browsing
    // datasets opened with the character type: mlabel, MlabelV, MlabelThrough, mgrup, NMgrup.
    void openAccounting(const std::string& dbPath, bool isAnsi);
    // Around a transfer: the browsing datasets closed, and opened again in the order mgrup,
    // mlabel, MlabelThrough, NMgrup, MlabelV.
    void closeBrowsing();
    void reopenBrowsing();

  private:
    void applySettings();
};

}  // namespace data
