#include "app/settings_dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "app/text.h"
#include "xbase/file.h"

namespace app {

namespace {

// A directory with the separator of this platform at its end.
QString withSeparator(QString path) {
    if (!path.endsWith('/') && !path.endsWith('\\')) path += '/';
    return path;
}

// A database path of the list is taken as it stands when it names a drive ("C:..."), a
// network share ("\\server...") or the file-system root ("/..."); otherwise it is relative
// to the installation directory.
bool absoluteListPath(const std::string& v) {
    return (v.size() >= 2 && (v[1] == ':' || v[1] == '\\')) || (!v.empty() && v[0] == '/');
}

}  // namespace

QPixmap programPicture() {
    // Two crates with an arrow from one to the other, on a blue card.
    QPixmap picture(100, 102);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient card(0, 0, 0, 102);
    card.setColorAt(0, QColor(0x2f, 0x6f, 0xb5));
    card.setColorAt(1, QColor(0x1b, 0x3f, 0x73));
    p.setBrush(card);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(2, 2, 96, 98), 14, 14);
    auto crate = [&](QRectF r, QColor face) {
        p.setBrush(face);
        p.setPen(QPen(QColor(0x5a, 0x3a, 0x12), 2));
        p.drawRect(r);
        p.drawLine(r.topLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomLeft());
    };
    crate(QRectF(10, 56, 30, 30), QColor(0xd9, 0xa4, 0x5b));
    crate(QRectF(60, 56, 30, 30), QColor(0xf2, 0xc9, 0x7d));
    QPainterPath arrow;
    arrow.moveTo(25, 50);
    arrow.cubicTo(30, 18, 70, 18, 73, 44);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(arrow);
    QPolygonF head;
    head << QPointF(64, 40) << QPointF(82, 40) << QPointF(74, 54);
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawPolygon(head);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(15);
    p.setFont(f);
    p.drawText(QRectF(0, 8, 100, 18), Qt::AlignCenter, QString::fromUtf8("№"));
    return picture;
}

// ---- the path chooser --------------------------------------------------------------------------

TVellPath::TVellPath(QWidget* parent) : QDialog(parent) {
    setObjectName("VellPath");
    setWindowTitle(qs("Путь к ЛОРФ"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    resize(520, 560);
    label_proSrc.setDataset(&label_pro);

    auto* layout = new QVBoxLayout(this);
    Tree = new QTreeView(this);
    TreeModel = new QFileSystemModel(this);
    TreeModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    Tree->setModel(TreeModel);
    for (int c = 1; c < TreeModel->columnCount(); ++c)
        Tree->hideColumn(c);
    Tree->setHeaderHidden(true);
    // The tree opens on the home folder, without choosing it: each folder on the way is
    // expanded as it is read. The disk is read when the chooser is first shown.
    const QString home = QDir::homePath();
    connect(TreeModel, &QFileSystemModel::directoryLoaded, this, [this, home](const QString& dir) {
        if (!home.startsWith(dir) || homeShown_) return;
        QModelIndex at = TreeModel->index(home);
        for (QModelIndex i = at.parent(); i.isValid(); i = i.parent())
            Tree->expand(i);
        Tree->scrollTo(at, QAbstractItemView::PositionAtCenter);
        homeShown_ = dir == home || at.parent() == TreeModel->index(dir);
    });
    layout->addWidget(Tree, 3);

    Path = new QLineEdit(this);
    layout->addWidget(Path);
    Grid = new DatasetGrid(
        label_proSrc, {{"LBL_NAME", qs("Наименование"), 200}, {"LBL_PATH", qs("Путь"), 200}}, this);
    Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(Grid, 2);

    auto* buttons = new QHBoxLayout;
    Button1 = new QPushButton(qs("OK"), this);
    Button2 = new QPushButton(qs("Отмена"), this);
    Button1->setDefault(true);
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    layout->addLayout(buttons);

    // A chosen folder, not the focus landing in the tree, sets the path.
    connect(Tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& now) {
                if (!now.indexes().isEmpty()) TreeChange(now.indexes().front());
            });
    connect(Path, &QLineEdit::textChanged, this, [this] { PathChange(); });
    connect(Grid, &QAbstractItemView::doubleClicked, this, [this] { Button1Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

TVellPath::~TVellPath() {
    label_proSrc.setDataset(nullptr);
}

void TVellPath::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TVellPath::FormShow() {
    if (!treeRead_) {
        treeRead_ = true;
        TreeModel->setRootPath(QDir::rootPath());
        TreeModel->index(QDir::homePath());
    }
    label_pro.close();
}

void TVellPath::openAt(const std::string& dir) {
    if (dir.empty()) return;
    FormShow();
    QString folder = qs(dir);
    while (folder.size() > 1 && (folder.endsWith('/') || folder.endsWith('\\')))
        folder.chop(1);
    const QModelIndex node = TreeModel->index(folder);
    if (node.isValid()) {
        Tree->setCurrentIndex(node);
        Tree->scrollTo(node);
    }
    Path->setText(withSeparator(folder));
}

void TVellPath::TreeChange(const QModelIndex& node) {
    // A node that is no folder gives an empty path, so Path gets the bare separator.
    QString path = node.isValid() && TreeModel->isDir(node) ? TreeModel->filePath(node) : "";
    Path->setText(withSeparator(path));
}

void TVellPath::PathChange() {
    label_pro.close();
    const std::string dir = withSeparator(Path->text()).toStdString();
    // The first of the three folders that holds a list is the one shown.
    for (const char* sub : {"pro", "s_pro", "z_pro"}) {
        std::string file = xbase::resolvePath(dir + sub + "/label.Pro");
        if (file.empty() || !QFileInfo(QString::fromStdString(file)).isFile()) continue;
        reported(this, [&] {
            label_pro.setDatabaseName(dir + sub);
            label_pro.setTableName("label.pro");
            label_pro.open();
        });
        return;
    }
}

void TVellPath::Button1Click() {
    bool done = reported(this, [this] {
        if (!label_pro.active()) return;  // nothing to choose: the previous choice stands
        db::Field& path = label_pro.fieldByName("LBL_PATH");
        std::string v = label_pro.isEmpty() ? std::string() : path.asString();
        if (absoluteListPath(v)) {
            ChosenPath = v;
            return;
        }
        auto dir = ansiOf(withSeparator(Path->text()));
        if (!dir)
            throw std::runtime_error(
                Path->text().toStdString() +
                ": the path has characters the Windows-1251 code page cannot hold");
        ChosenPath = *dir + v;
    });
    if (done) accept();
}

void TVellPath::Button2Click() {
    reject();
}

// ---- the record navigator ---------------------------------------------------------------------

DBNavigator::DBNavigator(db::DataSource& source, DatasetGrid* grid, QWidget* parent)
    : QWidget(parent), source_(&source), grid_(grid) {
    struct Look {
        const char* glyph;
        const char* hint;
    };
    static const Look looks[nbCount] = {{"|◀", "Первая запись"},     {"◀", "Предыдущая запись"},
                                        {"▶", "Следующая запись"},   {"▶|", "Последняя запись"},
                                        {"+", "Вставить запись"},    {"−", "Удалить запись"},
                                        {"▲", "Изменить запись"},    {"✔", "Сохранить изменения"},
                                        {"✘", "Отменить изменения"}, {"⟳", "Обновить данные"}};
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    for (int b = 0; b < nbCount; ++b) {
        buttons_[b] = new QToolButton(this);
        buttons_[b]->setText(QString::fromUtf8(looks[b].glyph));
        buttons_[b]->setToolTip(qs(looks[b].hint));
        buttons_[b]->setFixedSize(28, 24);
        row->addWidget(buttons_[b]);
        connect(buttons_[b], &QToolButton::clicked, this,
                [this, b] { click(static_cast<Button>(b)); });
    }
    source_->addLink(this);
    updateButtons();
}

DBNavigator::~DBNavigator() {
    if (source_) source_->removeLink(this);
}

void DBNavigator::click(Button b) {
    db::Dataset* ds = source_ ? source_->dataset() : nullptr;
    if (!ds) return;
    reported(window(), [&] {
        switch (b) {
            case nbFirst:
                ds->first();
                break;
            case nbPrior:
                ds->prior();
                break;
            case nbNext:
                ds->next();
                break;
            case nbLast:
                ds->last();
                break;
            case nbInsert:
                ds->append();
                break;
            case nbDelete:
                if (askYesNo(window(), qs("Удалить запись?"))) ds->remove();
                break;
            case nbEdit:
                ds->edit();
                break;
            case nbPost:
                ds->post();
                break;
            case nbCancel:
                ds->cancel();
                break;
            case nbRefresh:
                ds->refresh();
                break;
            case nbCount:
                break;
        }
    });
    updateButtons();
    if (grid_ && (b == nbInsert || b == nbEdit)) grid_->setFocus();
}

void DBNavigator::dataEvent(db::DataEvent) {
    updateButtons();
}

void DBNavigator::updateButtons() {
    db::Dataset* ds = source_ ? source_->dataset() : nullptr;
    const bool active = ds && ds->active();
    const bool editing =
        active && (ds->state() == db::State::Edit || ds->state() == db::State::Insert);
    const bool empty = !active || ds->isEmpty();
    const bool canModify = active && !ds->readOnly();
    const bool upOk = active && !ds->bof();
    const bool downOk = active && !ds->eof();
    buttons_[nbFirst]->setEnabled(upOk);
    buttons_[nbPrior]->setEnabled(upOk);
    buttons_[nbNext]->setEnabled(downOk);
    buttons_[nbLast]->setEnabled(downOk);
    buttons_[nbInsert]->setEnabled(canModify && !editing);
    buttons_[nbDelete]->setEnabled(canModify && !empty && !editing);
    buttons_[nbEdit]->setEnabled(canModify && !empty && !editing);
    buttons_[nbPost]->setEnabled(editing);
    buttons_[nbCancel]->setEnabled(editing);
    buttons_[nbRefresh]->setEnabled(active && !editing);
}

// ---- the table list editor ---------------------------------------------------------------------

TSPR_TABLES::TSPR_TABLES(data::TData& module, QWidget* parent) : QDialog(parent) {
    setObjectName("SPR_TABLES");
    setWindowTitle(qs("SPR_TABLES"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMaximizeButtonHint);
    setSizeGripEnabled(true);
    resize(640, 380);
    auto label = [&](const char* field) {
        for (const db::FieldDef& def : module.TABLES.fieldDefs())
            if (def.name == field) return qs(def.displayLabel);
        return QString::fromLatin1(field);
    };
    auto* layout = new QVBoxLayout(this);
    Grid = new DatasetGrid(module.TABLESSrc,
                           {{"NAME", label("NAME"), 260, false, true},
                            {"FILTR", label("FILTR"), 160, false, true},
                            {"COMMENT", label("COMMENT"), 160, false, true}},
                           this);
    Grid->datasetModel()->setPostOnEdit(false);
    Grid->verticalHeader()->show();
    Grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Grid->verticalHeader()->setMinimumWidth(18);
    layout->addWidget(Grid, 1);
    auto* bottom = new QHBoxLayout;
    Navigator = new DBNavigator(module.TABLESSrc, Grid, this);
    Button1 = new QPushButton(qs("Закрыть"), this);
    Button1->setAutoDefault(false);
    bottom->addWidget(Navigator);
    bottom->addStretch();
    bottom->addWidget(Button1);
    layout->addLayout(bottom);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TSPR_TABLES::showEvent(QShowEvent* event) {
    // The grid has followed TABLES all along; a row still being edited stays as it was left.
    QDialog::showEvent(event);
    Navigator->updateButtons();
}

void TSPR_TABLES::keyPressEvent(QKeyEvent* event) {
    auto use = [&](DBNavigator::Button b) {
        if (Navigator->button(b)->isEnabled()) Navigator->click(b);
        event->accept();
    };
    if (event->key() == Qt::Key_Insert && event->modifiers() == Qt::NoModifier)
        return use(DBNavigator::nbInsert);
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::ControlModifier)
        return use(DBNavigator::nbDelete);
    if (event->key() == Qt::Key_Escape && Navigator->button(DBNavigator::nbCancel)->isEnabled())
        return use(DBNavigator::nbCancel);
    QDialog::keyPressEvent(event);
}

void TSPR_TABLES::Button1Click() {
    close();
}

// ---- the about box
// --------------------------------------------------------------------------------

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutBox");
    setWindowTitle(qs("О программе"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto* layout = new QVBoxLayout(this);
    auto* panel = new QFrame(this);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    auto* grid = new QHBoxLayout(panel);
    ProgramIcon = new QLabel(panel);
    ProgramIcon->setPixmap(programPicture());
    ProgramIcon->setFixedSize(100, 102);
    ProgramIcon->setScaledContents(true);
    auto* texts = new QVBoxLayout;
    ProductName = new QLabel(qs("LORF_MGRUP"), panel);
    QFont big = ProductName->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.6);
    ProductName->setFont(big);
    Version = new QLabel(qs("Версия 1.4"), panel);
    Label1 = new QLabel(qs("Изменение группы и н/номера материалов"), panel);
    Label1->setWordWrap(true);
    // Two lines, broken after "и".
    const QFontMetrics fm = Label1->fontMetrics();
    Label1->setFixedWidth(std::max(fm.horizontalAdvance(qs("Изменение группы и")),
                                   fm.horizontalAdvance(qs("н/номера материалов"))) +
                          4);
    texts->addWidget(ProductName);
    texts->addWidget(Version);
    texts->addSpacing(8);
    texts->addWidget(Label1);
    texts->addStretch();
    grid->addWidget(ProgramIcon, 0, Qt::AlignTop);
    grid->addSpacing(10);
    grid->addLayout(texts);
    layout->addWidget(panel);
    OKButton = new QPushButton(qs("OK"), this);
    OKButton->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(OKButton);
    bottom->addStretch();
    layout->addLayout(bottom);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Centred on the screen, not on the main window.
    if (QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

}  // namespace app
