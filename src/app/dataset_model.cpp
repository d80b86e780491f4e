#include "app/dataset_model.h"

#include <QFont>
#include <QTimer>

#include "app/text.h"

namespace app {

DatasetModel::DatasetModel(db::DataSource& source, std::vector<GridColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), source_(&source), columns_(std::move(columns)) {
    source_->addLink(this);
    reload();
}

DatasetModel::~DatasetModel() {
    if (source_) source_->removeLink(this);
}

db::Dataset* DatasetModel::dataset() const {
    return source_ ? source_->dataset() : nullptr;
}

void DatasetModel::reload() {
    // The grid shows the dataset's current view (a group's materials, the plan, the groups):
    // its records are read from the first on, a batch at a time, and read anew on every
    // change the dataset reports.
    beginResetModel();
    rows_.clear();
    recnos_.clear();
    current_ = -1;
    complete_ = true;
    insertRow_ = false;
    endResetModel();
    db::Dataset* ds = dataset();
    if (!ds || !ds->active() || ds->isEmpty()) {
        syncCurrent();
        return;
    }
    complete_ = false;
    readBatch();
    syncCurrent();
}

bool DatasetModel::readBatch() {
    db::Dataset* ds = dataset();
    if (!ds || !ds->active() || complete_ || busy_) return false;
    busy_ = true;
    std::vector<std::vector<QVariant>> rows;
    std::vector<std::int64_t> recnos;
    try {
        // Record numbers start at 0 in some orders: whether there was a record is kept apart.
        // A dataset that is not empty stands on a record, at its end too (after last()).
        bool onRecord = !ds->isEmpty();
        std::int64_t here = onRecord ? ds->recNo() : 0;
        ds->disableControls();
        if (recnos_.empty()) {
            ds->first();
        } else {
            ds->setRecNo(recnos_.back());
            ds->next();
        }
        for (int n = 0; !ds->eof() && n < kBatch; ++n, ds->next()) {
            std::vector<QVariant> row;
            for (const GridColumn& c : columns_) {
                db::Field* f = ds->findField(c.field);
                if (!f || f->isNull())
                    row.emplace_back();
                else if (c.check)
                    row.emplace_back(f->asBoolean());
                else
                    row.emplace_back(qs(f->asString()));
            }
            rows.push_back(std::move(row));
            recnos.push_back(ds->recNo());
        }
        complete_ = ds->eof();
        if (onRecord) ds->setRecNo(here);
        ds->enableControls();
    } catch (...) {
        busy_ = false;
        complete_ = true;
        ds->enableControls();
        throw;
    }
    busy_ = false;
    if (rows.empty()) return false;
    int first = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    for (auto& r : rows)
        rows_.push_back(std::move(r));
    recnos_.insert(recnos_.end(), recnos.begin(), recnos.end());
    endInsertRows();
    return true;
}

bool DatasetModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !complete_;
}

void DatasetModel::fetchMore(const QModelIndex& parent) {
    if (parent.isValid()) return;
    try {
        readBatch();
    } catch (const std::exception& e) {
        emit failed(errorText(e.what()));
    }
}

int DatasetModel::rowOf(std::int64_t recno) const {
    for (std::size_t i = 0; i < recnos_.size(); ++i)
        if (recnos_[i] == recno) return static_cast<int>(i);
    return -1;
}

void DatasetModel::syncCurrent() {
    db::Dataset* ds = dataset();
    int row = -1;
    if (ds && ds->active() && !ds->isEmpty()) {
        std::int64_t n = ds->recNo();
        row = rowOf(n);
        // A record further on than the grid has read (a search found it): read up to it.
        while (row < 0 && readBatch())
            row = rowOf(n);
    }
    current_ = row;
    emit currentRowChanged(row);
}

bool DatasetModel::editing() const {
    db::Dataset* ds = dataset();
    return ds && (ds->state() == db::State::Edit || ds->state() == db::State::Insert);
}

void DatasetModel::dataEvent(db::DataEvent e) {
    if (busy_) return;
    if (committing_) {
        // A value typed into the grid is being posted: its editor is still open, so the rows
        // are read again once the view has closed it.
        reloadPending_ = true;
        return;
    }
    // While a record is edited the grid keeps what it shows; the post that ends the edit
    // reports the change. A record being inserted gets a row of its own.
    db::Dataset* ds = dataset();
    if (ds && ds->state() == db::State::Insert && !postOnEdit_ && !insertRow_) {
        while (readBatch()) {
        }
        int row = static_cast<int>(rows_.size());
        beginInsertRows(QModelIndex(), row, row);
        rows_.emplace_back(columns_.size());
        recnos_.push_back(-1);
        endInsertRows();
        insertRow_ = true;
        current_ = row;
        emit currentRowChanged(row);
        emit headerDataChanged(Qt::Vertical, 0, row);
        return;
    }
    if (editing()) {
        if (e == db::DataEvent::StateChange && current_ >= 0)
            emit headerDataChanged(Qt::Vertical, current_, current_);
        return;
    }
    if (e == db::DataEvent::Scroll) {
        syncCurrent();
        return;
    }
    reload();
}

void DatasetModel::setCurrentRow(int row) {
    db::Dataset* ds = dataset();
    if (!ds || !ds->active() || row < 0 || row >= static_cast<int>(recnos_.size()) ||
        row == current_)
        return;
    if (editing()) {
        // Leaving a record being edited posts it; the grid may not be reset while it is
        // telling of the move, so that comes a moment later.
        QMetaObject::invokeMethod(
            this, [this, row] { postAndMove(row); }, Qt::QueuedConnection);
        return;
    }
    int previous = current_;
    busy_ = true;
    try {
        ds->setRecNo(recnos_[static_cast<std::size_t>(row)]);
    } catch (const std::exception& e) {
        busy_ = false;
        emit failed(errorText(e.what()));
        return;
    }
    busy_ = false;
    current_ = row;
    if (previous >= 0) emit headerDataChanged(Qt::Vertical, previous, previous);
    emit headerDataChanged(Qt::Vertical, row, row);
}

void DatasetModel::postAndMove(int row) {
    db::Dataset* ds = dataset();
    if (!ds || !editing()) return;
    std::int64_t target = row < static_cast<int>(recnos_.size()) && row != current_
                              ? recnos_[static_cast<std::size_t>(row)]
                              : -1;
    bool inserting = ds->state() == db::State::Insert;
    std::int64_t before = 0;
    try {
        if (!inserting) before = ds->recNo();
        ds->post();
    } catch (const std::exception& e) {
        // The record stays in its edit state, to be corrected or cancelled.
        emit currentRowChanged(current_);
        emit failed(errorText(e.what()));
        return;
    }
    // When the edited record kept its place, so did every other one and the move goes on;
    // after an insert, or when the record moved to another place, it stays current.
    bool kept = false;
    try {
        kept = !inserting && ds->recNo() == before;
    } catch (const std::exception&) {
    }
    if (kept && target > 0) {
        int at = rowOf(target);
        if (at >= 0) setCurrentRow(at);
    }
}

int DatasetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DatasetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant DatasetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const GridColumn& c = columns_[static_cast<std::size_t>(index.column())];
    const QVariant& v =
        rows_[static_cast<std::size_t>(index.row())][static_cast<std::size_t>(index.column())];
    if (c.check) {
        if (role == Qt::CheckStateRole) return v.toBool() ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::EditRole) return v;
    return {};
}

QVariant DatasetModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o == Qt::Vertical) {
        // The row indicator: the current record, marked as being edited or inserted.
        if (role != Qt::DisplayRole) return {};
        if (section != current_) return QString();
        db::Dataset* ds = dataset();
        if (ds && ds->state() == db::State::Insert) return QString::fromUtf8("✱");
        if (ds && ds->state() == db::State::Edit) return QString::fromUtf8("✎");
        return QString::fromUtf8("▶");
    }
    if (section < 0 || section >= static_cast<int>(columns_.size())) return {};
    if (role == Qt::DisplayRole) return columns_[static_cast<std::size_t>(section)].title;
    if (role == Qt::FontRole && section == bold_) {
        QFont f;
        f.setBold(true);
        return f;
    }
    return {};
}

void DatasetModel::setBoldColumn(int column) {
    bold_ = column;
    emit headerDataChanged(Qt::Horizontal, 0, static_cast<int>(columns_.size()) - 1);
}

int DatasetModel::maxLength(int column) const {
    db::Dataset* ds = dataset();
    if (!ds || !ds->active() || column < 0 || column >= static_cast<int>(columns_.size())) return 0;
    const db::Field& f = ds->fieldByName(columns_[static_cast<std::size_t>(column)].field);
    return f.type() == db::FieldType::String ? static_cast<int>(f.size()) : 0;
}

Qt::ItemFlags DatasetModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.isValid() && columns_[static_cast<std::size_t>(index.column())].editable)
        f |= Qt::ItemIsEditable;
    return f;
}

bool DatasetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid()) return false;
    db::Dataset* ds = dataset();
    const GridColumn& c = columns_[static_cast<std::size_t>(index.column())];
    if (!ds || !c.editable) return false;
    auto text = ansiOf(value.toString());
    if (!text) {
        emit failed(qs("В тексте есть символы, которых нет в кодовой странице Windows-1251"));
        return false;
    }
    if (!postOnEdit_) {
        // The value goes into the record being edited; the post comes later.
        if (index.row() != current_) return false;
        try {
            if (ds->state() == db::State::Browse) ds->edit();
            db::Field& f = ds->fieldByName(c.field);
            f.setAsString(*text);
            rows_[static_cast<std::size_t>(index.row())][static_cast<std::size_t>(index.column())] =
                qs(f.asString());
        } catch (const std::exception& e) {
            emit failed(errorText(e.what()));
            return false;
        }
        emit dataChanged(index, index);
        return true;
    }
    try {
        setCurrentRow(index.row());
        ds->edit();
        ds->fieldByName(c.field).setAsString(*text);
        committing_ = true;
        ds->post();
        committing_ = false;
        rows_[static_cast<std::size_t>(index.row())][static_cast<std::size_t>(index.column())] =
            qs(ds->fieldByName(c.field).asString());
    } catch (const std::exception& e) {
        committing_ = false;
        try {
            ds->cancel();
        } catch (...) {
        }
        emit failed(errorText(e.what()));
        return false;
    }
    emit dataChanged(index, index);
    if (reloadPending_) {
        reloadPending_ = false;
        QTimer::singleShot(0, this, [this] { reload(); });
    }
    return true;
}

}  // namespace app
