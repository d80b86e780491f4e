#pragma once

// A small dBase table read whole and read-only: the list of an installation's databases. Any
// variant the engine reads (dBase III, dBase IV, dBase 7, FoxPro, Visual FoxPro); rows in the
// file's order, deleted rows left out, character fields converted from the code page the
// header names to the ANSI code page.

#include <string>
#include <vector>

#include "db/dataset.h"

namespace ads {

class TDBaseList : public db::Dataset {
  public:
    explicit TDBaseList(std::string name) : db::Dataset(std::move(name)) { setReadOnly(true); }
    ~TDBaseList() override;

    // The directory and the file name inside it (any letter case, '\' or '/').
    void setDatabaseName(std::string dir) { databaseName_ = std::move(dir); }
    void setTableName(std::string name) { tableName_ = std::move(name); }
    const std::string& databaseName() const { return databaseName_; }
    const std::string& tableName() const { return tableName_; }

    std::int64_t recordCount() override;
    std::int64_t recNo() override;
    void setRecNo(std::int64_t n) override;

    // The code page a header's code-page mark names in the dBase formats: the standard
    // assignments of the language-driver byte (87 is Windows ANSI 1252 there), 0 for none.
    static int codePageOfMark(std::uint8_t mark);

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

  private:
    std::string databaseName_, tableName_;
    std::vector<std::vector<db::Value>> rows_;
    std::size_t pos_ = 0;
};

}  // namespace ads
