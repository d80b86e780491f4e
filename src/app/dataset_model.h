#pragma once

// A Qt table model over a dataset: the grid's rows are the dataset's records in its order, and
// the grid's current row and the dataset's current record stay in step both ways.

#include <QAbstractTableModel>
#include <QString>
#include <vector>

#include "db/dataset.h"

namespace app {

struct GridColumn {
    std::string field;
    QString title;
    int width = 0;
    bool check = false;     // drawn as a check box (a logical field)
    bool editable = false;  // in-place editing
};

class DatasetModel : public QAbstractTableModel, public db::DataLink {
    Q_OBJECT
  public:
    DatasetModel(db::DataSource& source, std::vector<GridColumn> columns,
                 QObject* parent = nullptr);
    ~DatasetModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    // Records are read a batch at a time, as the grid scrolls towards them.
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    const std::vector<GridColumn>& columns() const { return columns_; }
    // Whether an edited cell is posted at once (the default). Without it the record stays in
    // edit state until it is posted by moving to another row or by the navigator; a record
    // being inserted shows as a row of its own at the end.
    void setPostOnEdit(bool on) { postOnEdit_ = on; }
    void setBoldColumn(int column);  // -1: none
    int currentRow() const { return current_; }
    // The grid moved to `row`: the dataset follows.
    void setCurrentRow(int row);
    void reload();

    void dataEvent(db::DataEvent e) override;
    void sourceDestroyed(db::DataSource*) override { source_ = nullptr; }

  signals:
    // The dataset moved: the grid follows.
    void currentRowChanged(int row);
    // An error inside the model (a failed post): for the general error report.
    void failed(const QString& text);

  public:
    // The characters column `column`'s field holds (string fields), 0 when it has no limit.
    int maxLength(int column) const;

  private:
    db::Dataset* dataset() const;
    void syncCurrent();
    // Reads the next batch of records after the last one read; false when there are no more.
    bool readBatch();
    int rowOf(std::int64_t recno) const;
    // Posts the record being edited and moves to `row` (a row of the view as it was).
    void postAndMove(int row);
    bool editing() const;
    static constexpr int kBatch = 256;
    db::DataSource* source_;
    std::vector<GridColumn> columns_;
    std::vector<std::vector<QVariant>> rows_;
    std::vector<std::int64_t> recnos_;
    int current_ = -1;
    int bold_ = -1;
    bool busy_ = false;
    bool committing_ = false;     // a value typed into the grid is being posted
    bool reloadPending_ = false;  // the rows are read again once its editor is closed
    bool complete_ = true;        // every record of the view is read
    bool postOnEdit_ = true;
    bool insertRow_ = false;  // the last row is the record being inserted
};

}  // namespace app
