#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

#include "access/ads.h"
#include "app/settings_dialogs.h"
#include "app/text.h"
#include "plan/numbers.h"
#include "plan/texts.h"
#include "plan/transfer.h"
#include "plan/verify.h"
#include "xbase/file.h"

namespace app {

namespace {
std::function<void(const QString&, const QString&)>& sink() {
    static std::function<void(const QString&, const QString&)> s;
    return s;
}
}  // namespace

void setMessageSink(std::function<void(const QString& kind, const QString& text)> s) {
    sink() = std::move(s);
}

namespace {
QString withFullStop(const QString& text) {
    QString shown = text;
    if (!shown.isEmpty() && shown.back() > QChar('.')) shown += '.';
    return shown;
}
}  // namespace

std::unique_ptr<QMessageBox> errorBox(QWidget* parent, const QString& text) {
    return std::make_unique<QMessageBox>(QMessageBox::Critical, kApplicationTitle,
                                         withFullStop(text), QMessageBox::Ok, parent);
}

void reportError(QWidget* parent, const QString& text) {
    if (sink()) return sink()("error", withFullStop(text));
    errorBox(parent, text)->exec();
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    for (const QString& dir : {QCoreApplication::applicationDirPath() + "/translations",
                               QLibraryInfo::path(QLibraryInfo::TranslationsPath)}) {
        if (qtRussian_.load(QLocale(QLocale::Russian, QLocale::Russia), "qtbase", "_", dir)) {
            russian_ = installTranslator(&qtRussian_);
            break;
        }
    }
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportError(activeWindow(), errorText(e.what()));
    } catch (...) {
        reportError(activeWindow(), qs("Неизвестная ошибка"));
    }
    return false;
}

bool reported(QWidget* parent, const std::function<void()>& action) {
    try {
        action();
        return true;
    } catch (const std::exception& e) {
        reportError(parent, errorText(e.what()));
        return false;
    }
}

namespace {
std::function<bool(const QString&)>& questionSink() {
    static std::function<bool(const QString&)> s;
    return s;
}
}  // namespace

void setQuestionSink(std::function<bool(const QString& text)> answer) {
    questionSink() = std::move(answer);
}

bool askYesNo(QWidget* parent, const QString& text, bool yesByDefault) {
    if (questionSink()) return questionSink()(text);
    QMessageBox box(QMessageBox::Question, kApplicationTitle, text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(yesByDefault ? QMessageBox::Yes : QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

namespace {
bool& okAnswer() {
    static bool ok = true;
    return ok;
}
}  // namespace

void setOkAnswer(bool ok) {
    okAnswer() = ok;
}

bool messageOk(QWidget* parent, const QString& text) {
    if (sink()) {
        sink()("message", text);
        return okAnswer();
    }
    // One visible button, OK; Escape and the close button go to a hidden one, which cancels.
    QMessageBox box(QMessageBox::NoIcon, kApplicationTitle, text, QMessageBox::Ok, parent);
    QAbstractButton* cancel = box.addButton(QMessageBox::Cancel);
    cancel->hide();
    box.setEscapeButton(cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Ok);
}

std::unique_ptr<QMessageBox> messageBox(QWidget* parent, const QString& text) {
    return std::make_unique<QMessageBox>(QMessageBox::NoIcon, kApplicationTitle, text,
                                         QMessageBox::Ok, parent);
}

void plainMessage(QWidget* parent, const QString& text) {
    if (sink()) return sink()("message", text);
    messageBox(parent, text)->exec();
}

// ---- grids ---------------------------------------------------------------------------------

namespace {

// The in-place editor of a grid takes no more characters than the field holds: nothing is cut
// without a word when the edit is posted.
class FieldWidthDelegate : public QStyledItemDelegate {
  public:
    FieldWidthDelegate(DatasetModel* model, QObject* parent)
        : QStyledItemDelegate(parent), model_(model) {}
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        auto* line = qobject_cast<QLineEdit*>(editor);
        if (const int n = model_->maxLength(index.column()); line && n > 0) line->setMaxLength(n);
        return editor;
    }

  private:
    DatasetModel* model_;
};

}  // namespace

DatasetGrid::DatasetGrid(db::DataSource& source, std::vector<GridColumn> columns, QWidget* parent)
    : QTableView(parent) {
    model_ = new DatasetModel(source, std::move(columns), this);
    setModel(model_);
    setItemDelegate(new FieldWidthDelegate(model_, this));
    // Tab goes on to the next control, as everywhere else in the window.
    setTabKeyNavigation(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    verticalHeader()->hide();
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(true);
    // The widths the layout asks for, but never narrower than the column's title.
    for (std::size_t i = 0; i < model_->columns().size(); ++i) {
        const GridColumn& c = model_->columns()[i];
        int title = horizontalHeader()->fontMetrics().horizontalAdvance(c.title) + 16;
        if (c.width > 0) setColumnWidth(static_cast<int>(i), std::max(c.width, title));
    }
    connect(model_, &DatasetModel::currentRowChanged, this, [this](int row) {
        if (row >= 0) {
            selectRow(row);
            scrollTo(model_->index(row, 0));
        } else {
            clearSelection();
        }
    });
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& now) { model_->setCurrentRow(now.row()); });
    connect(model_, &DatasetModel::modelReset, this, [this] {
        if (model_->currentRow() >= 0) selectRow(model_->currentRow());
    });
    connect(model_, &DatasetModel::failed, this,
            [this](const QString& t) { reportError(window(), t); });
}

QModelIndex DatasetGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    if (action == MoveEnd)
        while (model_->canFetchMore(QModelIndex()))
            model_->fetchMore(QModelIndex());
    return QTableView::moveCursor(action, modifiers);
}

// ---- dialogs ---------------------------------------------------------------------------------

TChooseGrup::TChooseGrup(data::TData& d, QWidget* parent) : QDialog(parent), d_(d) {
    setWindowTitle(qs("Выберите группу"));
    setFixedSize(420, 460);
    auto* layout = new QVBoxLayout(this);
    JvDBUltimGrid1 = new DatasetGrid(
        d.NMgrupSrc, {{"CODE", qs("Код"), 60}, {"NAME", qs("Название"), 300}}, this);
    JvDBUltimGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(JvDBUltimGrid1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(qs("Добавить"), this);
    auto* cancel = new QPushButton(qs("Отмена"), this);
    buttons->addStretch();
    buttons->addWidget(add);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(JvDBUltimGrid1->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int c) { JvDBUltimGrid1TitleClick(c); });
}

void TChooseGrup::JvDBUltimGrid1TitleClick(int column) {
    DatasetModel* m = JvDBUltimGrid1->datasetModel();
    m->setBoldColumn(-1);
    std::string field = m->columns()[static_cast<std::size_t>(column)].field;
    try {
        if (field == "CODE") {
            d_.NMgrup.setIndexName("DODOD");
            m->setBoldColumn(column);
        } else if (field == "NAME") {
            d_.NMgrup.setIndexName("MGRUP_T");
            m->setBoldColumn(column);
        }
    } catch (const std::exception& e) {
        reportError(this, errorText(e.what()));
    }
}

TChGrupNnum::TChGrupNnum(QWidget* parent) : QDialog(parent) {
    setWindowTitle(qs("Измените номенклатурный номер"));
    setFixedSize(420, 230);
    auto* layout = new QVBoxLayout(this);
    lblTitle = new QLabel(this);
    lblTitle->setWordWrap(true);
    lblTitle->setMinimumHeight(40);
    lblGrup = new QLabel(this);
    lblNnum = new QLabel(this);
    lblNgrup = new QLabel(this);
    layout->addWidget(lblTitle);
    layout->addWidget(lblGrup);
    layout->addWidget(lblNnum);
    layout->addWidget(lblNgrup);
    layout->addStretch(1);
    auto* line = new QHBoxLayout;
    line->addWidget(new QLabel(qs("Н номер"), this));
    edNnnum = new QLineEdit(this);
    edNnnum->setMaxLength(13);
    line->addWidget(edNnnum, 1);
    layout->addLayout(line);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(qs("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(qs("Отмена"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

// ---- the item-number dialogs -----------------------------------------------------------------

namespace {

// A box's text in the table's code page; a character it lacks cannot match or be stored.
std::string ansiText(const QLineEdit* box) {
    auto a = ansiOf(box->text());
    if (!a)
        throw std::runtime_error("'" + box->text().toStdString() +
                                 "' has characters the item numbers cannot hold");
    return *a;
}

}  // namespace

TNewLetter::TNewLetter(data::TData& module, QWidget* parent) : QDialog(parent), d_(module) {
    setWindowTitle(qs("Преобразование н/номеров"));
    auto* line = new QHBoxLayout(this);
    Label1 = new QLabel(qs("Заменять"), this);
    edChto = new QLineEdit(" ", this);
    Label2 = new QLabel(qs("на"), this);
    edNa = new QLineEdit("0", this);
    Button1 = new QPushButton(qs("OK"), this);
    Button1->setDefault(true);
    for (QWidget* w : std::initializer_list<QWidget*>{Label1, edChto, Label2, edNa, Button1})
        line->addWidget(w);
    setFixedSize(sizeHint());
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TNewLetter::Button1Click() {
    reported(this, [this] {
        const std::string what = ansiText(edChto), with = ansiText(edNa);
        plan::reworkNumbers(d_,
                            [&](const std::string& v) { return plan::replaceAll(v, what, with); });
    });
}

TInsertSimbols::TInsertSimbols(data::TData& module, QWidget* parent) : QDialog(parent), d_(module) {
    setWindowTitle(qs("Вставить символы"));
    auto* layout = new QVBoxLayout(this);
    auto* line = new QHBoxLayout;
    Label1 = new QLabel(qs("С позиции"), this);
    Edit1 = new QLineEdit("2", this);
    Label2 = new QLabel(qs("вставить символы"), this);
    Edit2 = new QLineEdit("0", this);
    for (QWidget* w : std::initializer_list<QWidget*>{Label1, Edit1, Label2, Edit2})
        line->addWidget(w);
    layout->addLayout(line);
    auto* group = new QGroupBox(qs("Если длина результата >13"), this);
    auto* items = new QVBoxLayout(group);
    cutRight = new QRadioButton(qs("Отсекать справа"), group);
    cutLeftOfRight = new QRadioButton(qs("Отсекать слева из правой группы"), group);
    cutLeftOfRight->setChecked(true);
    items->addWidget(cutRight);
    items->addWidget(cutLeftOfRight);
    layout->addWidget(group);
    auto* buttons = new QHBoxLayout;
    Button1 = new QPushButton(qs("ОК"), this);
    Button1->setDefault(true);
    Button2 = new QPushButton(qs("Отмена"), this);
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    layout->addLayout(buttons);
    setFixedSize(sizeHint());
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TInsertSimbols::Button1Click() {
    bool done = reported(this, [this] {
        const std::string typed = Edit1->text().toStdString();
        std::optional<int> position = plan::parseInteger(typed);
        if (!position) throw std::runtime_error(plan::notAnInteger(typed));
        const std::string text = ansiText(Edit2);
        const plan::InsertCut cut =
            cutRight->isChecked() ? plan::InsertCut::Right : plan::InsertCut::LeftOfRight;
        plan::reworkNumbers(
            d_, [&](const std::string& v) { return plan::insertAt(v, *position, text, cut); });
    });
    if (done) accept();
}

// ---- the main window -----------------------------------------------------------------------

TMain::TMain() {
    setObjectName("Main");
    setWindowTitle(qs("ЛОРФ Замена группы материалов"));
    QFont font = QApplication::font();
    font.setPointSize(8);
    setFont(font);
    resize(782, 538 + menuBar()->sizeHint().height());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    PageControl1 = new QTabWidget(this);
    setCentralWidget(PageControl1);
    mLog = new QPlainTextEdit(this);  // the user may read, select and type in it
    mLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setWindowIcon(QIcon(programPicture()));
    buildMenus();
}

TMain::~TMain() {
    delete progress;
}

void TMain::attach(data::TData* module) {
    d_ = module;
    // While another program writes the store, the status line says so and the cursor waits.
    d_->KVD.setBusyNotice([this](bool waiting) {
        if (waiting) {
            busySaved_ = statuslabel ? statuslabel->text() : QString();
            QApplication::setOverrideCursor(Qt::WaitCursor);
            if (statuslabel) {
                statuslabel->setText(qs("Ожидание: локальная база занята другой программой..."));
                statuslabel->repaint();
            }
        } else {
            QApplication::restoreOverrideCursor();
            if (statuslabel) statuslabel->setText(busySaved_);
        }
    });
    marks_ = std::make_unique<plan::Marks>(*d_, *this);
    builder_ = std::make_unique<plan::PlanBuilder>(*d_, *this);
    tab1_ = new QWidget(this);
    auto* tab2 = new QWidget(this);
    buildTab1(tab1_);
    buildTab2(tab2);
    PageControl1->addTab(tab1_, qs("Отметка записей"));
    PageControl1->addTab(tab2, qs("План переноса"));
    PageControl1->addTab(mLog, qs("Журнал"));
    PageControl1->setCurrentIndex(1);  // the window's initial tab
    progress = new TProgress(this);
    chooser = new TChooseGrup(*d_, this);
    AboutBox = new TAboutBox(this);
    SPR_TABLES = new TSPR_TABLES(*d_, this);
    newNumber = new TChGrupNnum(this);
    VellPath = new TVellPath(this);
    NewLetter = new TNewLetter(*d_, this);
    InsertSimbols = new TInsertSimbols(*d_, this);
    PlanReport = new TPlanReport(this);
    Restore = new TRestore(this);
    connect(Restore->btnRestore, &QPushButton::clicked, this,
            [this] { guarded([this] { restoreBackupClick(); }); });
    connect(Restore->btnDelete, &QPushButton::clicked, this,
            [this] { guarded([this] { deleteBackupClick(); }); });
    connect(PlanReport->btnAddTables, &QPushButton::clicked, this,
            [this] { guarded([this] { addUnlistedClick(); }); });
    connect(Restore->btnReplan, &QPushButton::clicked, this,
            [this] { guarded([this] { replanClick(); }); });
    connect(Restore->Grid, &QTableWidget::currentCellChanged, this,
            [this] { guarded([this] { restoreRowChanged(); }); });
}

void TMain::buildMenus() {
    QMenu* file = menuBar()->addMenu(qs("Файл"));
    connect(file->addAction(qs("Путь к БД")), &QAction::triggered, this,
            [this] { guarded([this] { N5Click(); }); });
    connect(file->addAction(qs(plan::text::kRestoreMenu)), &QAction::triggered, this,
            [this] { guarded([this] { restoreClick(); }); });
    connect(file->addAction(qs("Выход")), &QAction::triggered, this, &QWidget::close);
    QMenu* books = menuBar()->addMenu(qs("Справочники"));
    connect(books->addAction(qs("Таблицы")), &QAction::triggered, this,
            [this] { guarded([this] { N10Click(); }); });
    QMenu* numbers = menuBar()->addMenu(qs("Обработка Н/номеров"));
    connect(numbers->addAction(qs("Прижать влево")), &QAction::triggered, this,
            [this] { guarded([this] { N13Click(); }); });
    connect(numbers->addAction(qs("Прижать вправо")), &QAction::triggered, this,
            [this] { guarded([this] { N12Click(); }); });
    connect(numbers->addAction(qs("Заменить символы")), &QAction::triggered, this,
            [this] { guarded([this] { N14Click(); }); });
    connect(numbers->addAction(qs("Вставить сиволы")), &QAction::triggered, this,
            [this] { guarded([this] { N15Click(); }); });
    QMenu* help = menuBar()->addMenu(qs("Помощь"));
    connect(help->addAction(qs("О программе")), &QAction::triggered, this,
            [this] { guarded([this] { N4Click(); }); });
}

void TMain::buildTab1(QWidget* tab) {
    auto* layout = new QVBoxLayout(tab);
    auto* search = new QHBoxLayout;
    edNNUM = new QLineEdit(tab);
    edNNUM->setMaxLength(13);
    edNNUM->setPlaceholderText(qs("Поиск по Н/номеру"));
    edName = new QLineEdit(tab);
    edName->setMaxLength(60);
    edName->setPlaceholderText(qs("Поиск по названию"));
    Button6 = new QPushButton(qs("Найти"), tab);
    Button7 = new QPushButton(qs("С начала"), tab);
    search->addWidget(edNNUM, 1);
    search->addWidget(edName, 3);
    search->addWidget(Button6);
    search->addWidget(Button7);
    layout->addLayout(search);
    edNNUM->installEventFilter(this);
    edName->installEventFilter(this);

    auto* grids = new QSplitter(Qt::Horizontal, tab);
    groupsGrid = new DatasetGrid(
        d_->mgrupSrc, {{"CODE", qs("Группа"), 56}, {"NAME", qs("Название группы"), 144}}, grids);
    groupsGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    materialsGrid = new DatasetGrid(d_->mlabelSrc,
                                    {{"Checked", qs("+\\-"), 22, true},
                                     {"NNUM", qs("Н/номер"), 94},
                                     {"NAME", qs("Название"), 315},
                                     {"ED", qs("Ед. изм"), 0}},
                                    grids);
    materialsGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    materialsGrid->installEventFilter(this);
    grids->addWidget(groupsGrid);
    grids->addWidget(materialsGrid);
    grids->setSizes({220, 560});
    layout->addWidget(grids, 1);

    auto* popup = new QMenu(this);
    connect(popup->addAction(qs("Отметить всю группу")), &QAction::triggered, this,
            [this] { guarded([this] { N6Click(); }); });
    connect(popup->addAction(qs("Снять отметки со всей группы")), &QAction::triggered, this,
            [this] { guarded([this] { N7Click(); }); });
    connect(popup->addAction(qs("Снять все отметки")), &QAction::triggered, this,
            [this] { guarded([this] { N8Click(); }); });
    for (QTableView* g :
         {static_cast<QTableView*>(groupsGrid), static_cast<QTableView*>(materialsGrid)}) {
        g->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(g, &QWidget::customContextMenuRequested, this,
                [g, popup](const QPoint& p) { popup->popup(g->viewport()->mapToGlobal(p)); });
    }
    connect(groupsGrid->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int c) { guarded([this, c] { groupsTitleClick(c); }); });
    connect(materialsGrid, &QAbstractItemView::doubleClicked, this,
            [this] { guarded([this] { materialsDoubleClick(); }); });

    auto* bottom = new QHBoxLayout;
    Button2 = new QPushButton(qs("В другую группу"), tab);
    Button2->setToolTip(qs("Добавление отмеченных записей в план"));
    Button1 = new QPushButton(qs("В план"), tab);
    statuslabel = new QLabel(tab);
    bottom->addWidget(Button2);
    bottom->addWidget(Button1);
    bottom->addWidget(statuslabel, 1);
    layout->addLayout(bottom);
    Label1 = new QLabel(qs("Обязательно сделайте резервную копию БД!"), tab);
    QFont warning = Label1->font();
    warning.setPointSize(12);
    warning.setBold(true);
    Label1->setFont(warning);
    layout->addWidget(Label1);

    connect(Button6, &QPushButton::clicked, this, [this] { guarded([this] { Button6Click(); }); });
    connect(Button7, &QPushButton::clicked, this, [this] { guarded([this] { Button7Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { guarded([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { guarded([this] { Button2Click(); }); });
}

void TMain::buildTab2(QWidget* tab) {
    auto* layout = new QVBoxLayout(tab);
    planGrid = new DatasetGrid(d_->PLANSrc,
                               {{"GRUP", qs("Группа"), 43},
                                {"NNUM", qs("Н/номер"), 94},
                                {"NAME", qs("Название"), 291},
                                {"NGRUP", qs("Нов группа"), 64},
                                {"NNNUM", qs("Нов Н/номер"), 97, false, true}},
                               tab);
    layout->addWidget(planGrid, 1);
    auto* bottom = new QHBoxLayout;
    Button3 = new QPushButton(qs("Очистить"), tab);
    Button4 = new QPushButton(qs("Удалить"), tab);
    Button5 = new QPushButton(qs("Начать перенос"), tab);
    btnCheckPlan = new QPushButton(qs("Проверить план"), tab);
    lblPlanStatus = new QLabel(tab);
    bottom->addWidget(Button3);
    bottom->addWidget(Button4);
    bottom->addWidget(btnCheckPlan);
    bottom->addWidget(Button5);
    bottom->addWidget(lblPlanStatus, 1);
    layout->addLayout(bottom);
    connect(Button5, &QPushButton::clicked, this, [this] { guarded([this] { Button5Click(); }); });
    connect(btnCheckPlan, &QPushButton::clicked, this,
            [this] { guarded([this] { checkPlanClick(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { guarded([this] { Button3Click(); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { guarded([this] { Button4Click(); }); });
}

template <class F>
void TMain::guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        if (progress) progress->hide();
        if (tab1_) holdInput(false);
        reportError(this, errorText(e.what()));
    }
}

QString TMain::programFile(const char* name) const {
    QString dir = programDir_.isEmpty() ? QCoreApplication::applicationDirPath() : programDir_;
    if (!dir.endsWith('/')) dir += '/';
    return dir + name;
}

std::string TMain::withDelimiter(std::string path) {
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '/';
    return path;
}

bool TMain::validDatabase(const std::string& path) const {
    return data::isAccountingDatabase(path);
}

void TMain::savePath() const {
    // Exactly the text of DBPath, with no line break.
    QFile out(programFile("path.ini"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw db::DatabaseError(out.fileName().toStdString() + ": " +
                                out.errorString().toStdString());
    out.write(DBPath.data(), static_cast<qint64>(DBPath.size()));
}

void TMain::FormShow() {
    // One window a store: a second one says whose store it is and closes.
    try {
        store::StoreLock probe(programFile("kvd.abs").toStdString());
    } catch (const db::DatabaseError& e) {
        reportError(this, errorText(e.what()));
        close();
        return;
    }
    // An error anywhere skips the rest: the window then stays on its initial tab.
    guarded([this] {
        QFile ini(programFile("path.ini"));
        std::string text;
        if (QFileInfo::exists(ini.fileName())) {
            if (!QFileInfo(ini.fileName()).isFile())
                throw db::DatabaseError("Cannot open file " + ini.fileName().toStdString() +
                                        ": it is no file");
            if (!ini.open(QIODevice::ReadOnly))
                throw db::DatabaseError("Cannot open file " + ini.fileName().toStdString() + ": " +
                                        ini.errorString().toStdString());
            text = data::databasePathOfIni(ini.readAll().toStdString());
        }
        DBPath = withDelimiter(text);
        IsAnsi = data::isAnsiDatabase(DBPath);
        if (validDatabase(DBPath)) {
            OpenData();
        } else {
            // However the chooser was closed, the directory last confirmed in it is tested.
            VellPath->exec();
            if (acceptChosenPath()) {
                savePath();
                OpenData();
            }
        }
        PageControl1->setCurrentIndex(0);
        Status();
    });
}

void TMain::OpenData() {
    d_->openStore(programFile("kvd.abs").toStdString());
    d_->openAccounting(qs(DBPath).toStdString(), IsAnsi);
    setWindowTitle(qs("ЛОРФ Замена группы материалов [") + qs(DBPath) + "]");
}

void TMain::Status() {
    if (!d_->mlabel.active()) return;
    d_->mlabel.refresh();
    QString s = qs("Всего позиций :") + QString::number(d_->mlabel.recordCount()) +
                qs(" В текущей группе: ") + QString::number(d_->mlabel.rangeCount()) +
                qs(" Всего отмечено:") + QString::number(d_->MLabelMem.recordCount());
    statuslabel->setText(s);
    lblPlanStatus->setText(qs("Всего операций :") + QString::number(d_->PLAN.recordCount()));
}

QString TMain::timeStamp(const QDateTime& when) {
    QString stamp = when.toString(QString::fromStdString(ads::TAdsSettings::shortDateFormat()));
    QTime t = when.time();
    if (t.hour() || t.minute() || t.second()) {
        // The locale's long time without its time zone.
        QString format = QLocale().timeFormat(QLocale::LongFormat);
        format.remove(QRegularExpression("\\s*t+\\s*$")).remove(QRegularExpression("^\\s*t+\\s*"));
        stamp += " " + when.toString(format.trimmed());
    }
    return stamp;
}

void TMain::Log(const QString& text) {
    journalAppend(timeStamp(QDateTime::currentDateTime()) + " : " + text);
}

void TMain::journalAppend(const QString& line) {
    mLog->appendPlainText(line);
}

int TMain::journalLineCount() const {
    return mLog->document()->isEmpty() ? 0 : mLog->document()->blockCount();
}

QString TMain::journalLine(int index) const {
    return mLog->document()->findBlockByNumber(index).text();
}

void TMain::journalReplace(int index, const QString& line) {
    QTextBlock block = mLog->document()->findBlockByNumber(index);
    if (!block.isValid()) return;
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(line);
}

// ---- search ---------------------------------------------------------------------------------

void TMain::Button6Click() {
    if (!SearchStarted) {
        auto quoted = [](const QString& raw) {
            QString t = raw.toUpper();
            int b = 0, e = static_cast<int>(t.size());
            while (b < e && t[b] <= QChar(' '))
                ++b;
            while (e > b && t[e - 1] <= QChar(' '))
                --e;
            t = t.mid(b, e - b);
            t.replace("'", "''");
            return "'" + t + "'";
        };
        QString condition;
        if (!edNNUM->text().isEmpty())
            condition = "AT(" + quoted(edNNUM->text()) + ",UPPER(NNUM))>0";
        if (!edName->text().isEmpty()) {
            if (!condition.isEmpty()) condition += ".AND.";
            condition += "AT(" + quoted(edName->text()) + ",UPPER(NAME))>0";
        }
        auto expr = ansiOf(condition);
        if (!expr)
            throw db::DatabaseError(
                ansi("В тексте поиска есть символы, которых нет в кодовой странице Windows-1251"));
        // Started once the search has run, whatever it found; an error leaves it unstarted.
        const bool found = ads::LocateExpression(d_->MlabelThrough, *expr);
        SearchStarted = true;
        if (!found) {
            plainMessage(this, qs("Не найдено!"));
            return;
        }
    } else if (!ads::ContinueExpression(d_->MlabelThrough)) {
        plainMessage(this, qs("Не найдено!"));
        return;
    }
    std::string grup = d_->MlabelThrough.fieldByName("GRUP").asString();
    std::string nnum = d_->MlabelThrough.fieldByName("NNUM").asString();
    if (d_->mgrup.locate("CODE", {db::Value(grup)}))
        d_->mlabel.locate("GRUP;NNUM", {db::Value(grup), db::Value(nnum)});
}

void TMain::Button7Click() {
    SearchStarted = false;
    edNNUM->clear();
    edName->clear();
}

bool TMain::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == edNNUM || watched == edName) && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            guarded([this] { Button6Click(); });
            return true;
        }
        // A key that types a character (Backspace too) starts the search anew; keys that type
        // none (Delete, Tab, arrows, and the control characters Qt reports as their text)
        // leave it as it is.
        const QString text = key->text();
        const bool typesCharacter =
            key->key() == Qt::Key_Backspace || key->matches(QKeySequence::Paste) ||
            (!text.isEmpty() && text[0] >= QChar(' ') && text[0] != QChar(0x7F));
        if (typesCharacter) SearchStarted = false;
    }
    // Space or Enter on a material marks it, as a double click does.
    if (watched == materialsGrid && event->type() == QEvent::KeyPress) {
        const int k = static_cast<QKeyEvent*>(event)->key();
        if (k == Qt::Key_Space || k == Qt::Key_Return || k == Qt::Key_Enter) {
            guarded([this] { materialsDoubleClick(); });
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMain::groupsTitleClick(int column) {
    DatasetModel* m = groupsGrid->datasetModel();
    m->setBoldColumn(-1);
    std::string field = m->columns()[static_cast<std::size_t>(column)].field;
    if (field == "CODE") {
        d_->mgrup.setIndexName("DODOD");
        m->setBoldColumn(column);
    } else if (field == "NAME") {
        d_->mgrup.setIndexName("MGRUP_T");
        m->setBoldColumn(column);
    }
}

// ---- marks and plan -------------------------------------------------------------------------

void TMain::materialsDoubleClick() {
    marks_->toggle();
}
void TMain::N6Click() {
    marks_->markGroup();
}
void TMain::N7Click() {
    marks_->unmarkGroup();
}
void TMain::N8Click() {
    marks_->clearAll();
}
void TMain::Button1Click() {
    builder_->toPlan();
}
void TMain::Button2Click() {
    builder_->toOtherGroup();
}
void TMain::Button3Click() {
    builder_->clear();
}
void TMain::Button4Click() {
    builder_->deleteRow();
}

bool TMain::acceptChosenPath() {
    // A chooser cancelled on the first run leaves the file-system root.
    DBPath = withDelimiter(VellPath->ChosenPath);
    IsAnsi = data::isAnsiDatabase(DBPath);
    if (validDatabase(DBPath)) return true;
    plainMessage(this, qs("БД не найдена!"));
    return false;
}

void TMain::N5Click() {
    // Cancelled, the chooser changes nothing: the open database, its marks and the plan stay.
    // It opens on the database in use.
    VellPath->openAt(DBPath);
    if (VellPath->exec() != QDialog::Accepted) return;
    const std::string previous = DBPath;
    const bool previousAnsi = IsAnsi;
    if (!acceptChosenPath()) {
        DBPath = previous;  // the rejected directory leaves the open one open
        IsAnsi = previousAnsi;
        return;
    }
    savePath();
    OpenData();
    Status();  // the marks are gone: the counts say so
}

void TMain::N10Click() {
    SPR_TABLES->exec();
}

void TMain::N4Click() {
    AboutBox->exec();
}

// ---- item-number processing ----------------------------------------------------------------

void TMain::N13Click() {
    plan::reworkNumbers(*d_, [](const std::string& v) { return plan::alignLeft(v); });
}

void TMain::N12Click() {
    plan::reworkNumbers(*d_, [](const std::string& v) { return plan::alignRight(v); });
}

void TMain::N14Click() {
    NewLetter->exec();
}

void TMain::N15Click() {
    InsertSimbols->exec();
}

namespace {
// A dialog's bottom row: its own buttons on the left, "Закрыть" (the default) on the right.
QHBoxLayout* buttonsAndClose(QDialog* dialog, std::initializer_list<QPushButton*> buttons) {
    auto* close = new QPushButton(qs("Закрыть"), dialog);
    close->setDefault(true);
    QObject::connect(close, &QPushButton::clicked, dialog, &QDialog::accept);
    auto* row = new QHBoxLayout;
    for (QPushButton* b : buttons)
        row->addWidget(b);
    row->addStretch(1);
    row->addWidget(close);
    return row;
}
}  // namespace

TPlanReport::TPlanReport(QWidget* parent) : QDialog(parent) {
    setWindowTitle(qs("Проверка плана"));
    auto* layout = new QVBoxLayout(this);
    Text = new QPlainTextEdit(this);
    Text->setReadOnly(true);  // selectable and copyable
    Text->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(Text, 1);
    btnAddTables = new QPushButton(qs(plan::text::kCheckAddTables), this);
    layout->addLayout(buttonsAndClose(this, {btnAddTables}));
    resize(640, 360);
}

// ---- the transfer ------------------------------------------------------------------------------

namespace {

// The transfer's view of the window: its boxes, the progress window and the journal.
class TransferScreen : public plan::TransferPort {
  public:
    explicit TransferScreen(TMain& window) : w_(window) {}
    void info(const std::string& text) override {
        w_.withProgressAside([&] { plainMessage(&w_, shown(text)); });
    }
    bool proceed(const std::string& text) override {
        return w_.withProgressAside([&] { return messageOk(&w_, shown(text)); });
    }
    bool ask(const std::string& text) override {
        return w_.withProgressAside([&] { return askYesNo(&w_, shown(text), false); });
    }
    void progressOpen(int max) override { w_.progressShow(std::nullopt, std::nullopt, " ", max); }
    void progressUpper(const std::string& text) override { w_.progress->Label3->setText(qs(text)); }
    void progressLower(const std::string& text) override { w_.progress->Label1->setText(qs(text)); }
    void progressAdvance(int steps) override {
        w_.progress->Bar->setValue(w_.progress->Bar->value() + steps);
    }
    void progressClose() override { w_.progressClose(); }
    void processMessages() override { w_.processMessages(); }
    std::string timeStamp() override {
        return ansi(TMain::timeStamp(QDateTime::currentDateTime()));
    }
    void journalAppend(const std::string& line) override { w_.journalAppend(qs(line)); }
    void journalReplaceLast(const std::string& line) override {
        w_.journalReplace(w_.journalLineCount() - 1, qs(line));
    }
    void showJournal() override { w_.PageControl1->setCurrentWidget(w_.mLog); }
    std::uint32_t ticks() override {
        using namespace std::chrono;
        return static_cast<std::uint32_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    char decimalSeparator() override {
        QString point = QLocale().decimalPoint();
        return point.size() == 1 && point[0].unicode() < 0x80
                   ? static_cast<char>(point[0].unicode())
                   : '.';
    }

  private:
    static QString shown(const std::string& text) {
        QString t = qs(text);
        t.replace("\r\n", "\n");
        return t;
    }
    // Journal text back to the table's code page; a character it lacks becomes '?'.
    static std::string ansi(const QString& s) {
        if (auto a = ansiOf(s)) return *a;
        QString safe;
        for (QChar c : s)
            safe += ansiOf(QString(c)) ? c : QChar('?');
        return ansiOf(safe).value_or(std::string());
    }
    TMain& w_;
};

}  // namespace

void TMain::Button5Click() {
    // The plan is checked first: a plan that would merge materials or leave a number empty
    // runs only when the user says so, "no" being the default.
    const plan::PlanCheck check = plan::checkPlan(*d_, DBPath, IsAnsi);
    if (check.needsConfirmation()) {
        QString text = qs(plan::text::kCheckFoundErrors);
        for (const std::string& line : plan::planReport(check))
            if (line.rfind(plan::ansi(plan::text::kCheckMerge), 0) == 0 ||
                line.rfind("    ", 0) == 0 ||
                line.rfind(plan::ansi(plan::text::kCheckBlank), 0) == 0)
                text += qs(line) + "\n";
        text += qs(plan::text::kCheckGoOn);
        if (!askYesNo(this, text, false)) return;
    }
    TransferScreen screen(*this);
    plan::Transfer(*d_, screen, IsAnsi).run();
    Status();
}

void TMain::fillPlanReport() {
    const plan::PlanCheck check = plan::checkPlan(*d_, DBPath, IsAnsi);
    QString text;
    for (const std::string& line : plan::planReport(check))
        text += qs(line) + "\n";
    PlanReport->Text->setPlainText(text);
    unlisted_ = check.unlisted;
    PlanReport->btnAddTables->setVisible(!unlisted_.empty());
}

void TMain::addUnlistedClick() {
    QString names;
    for (const std::string& t : unlisted_)
        names += qs(t) + "\n";
    if (unlisted_.empty() ||
        !askYesNo(PlanReport, qs("Добавить в список таблиц:\n") + names.trimmed() + "?", true))
        return;
    plan::addTables(*d_, unlisted_);
    fillPlanReport();
}

void TMain::checkPlanClick() {
    fillPlanReport();
    PlanReport->exec();
}

TRestore::TRestore(QWidget* parent) : QDialog(parent) {
    setWindowTitle(qs(plan::text::kRestoreTitle));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(qs(plan::text::kRestoreList), this));
    Grid = new QTableWidget(0, 5, this);
    QStringList columns;
    for (const char* c : plan::text::kRestoreColumns)
        columns << qs(c);
    Grid->setHorizontalHeaderLabels(columns);
    Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid->setSelectionMode(QAbstractItemView::SingleSelection);
    Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid->horizontalHeader()->setStretchLastSection(false);
    // The counts as wide as their headings, the date as its text; the tables take the rest.
    Grid->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    Grid->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    Grid->verticalHeader()->hide();
    layout->addWidget(Grid, 1);
    btnRestore = new QPushButton(qs(plan::text::kRestore), this);
    btnReplan = new QPushButton(qs(plan::text::kReplan), this);
    btnDelete = new QPushButton(qs(plan::text::kDeleteBackup), this);
    layout->addLayout(buttonsAndClose(this, {btnRestore, btnReplan, btnDelete}));
    resize(760, 300);
}

namespace {
std::string withoutDelimiter(std::string path) {
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/'))
        path.pop_back();
    return path;
}
}  // namespace

void TMain::fillRestore() {
    backups_ = DBPath.empty() ? std::vector<plan::BackupInfo>{}
                              : plan::listBackups(withoutDelimiter(DBPath));
    // The newest first: the one a user wants back is most often the last run.
    std::reverse(backups_.begin(), backups_.end());
    Restore->Grid->setRowCount(static_cast<int>(backups_.size()));
    for (int i = 0; i < static_cast<int>(backups_.size()); ++i) {
        const plan::BackupInfo& b = backups_[static_cast<std::size_t>(i)];
        QStringList tables;
        for (const std::string& t : b.tables)
            tables << qs(t);
        // The backup by the one name it has everywhere: its folder's, the run's start
        // (YYYY-MM-DD_HH-MM-SS), as the last box of the run and the command line name it.
        const QString when = QString::fromStdString(b.name);
        const QString cells[] = {when, tables.join(", "), QString::number(b.planRows),
                                 QString::number(b.errorLines), QString::number(b.failedRows)};
        for (int c = 0; c < 5; ++c)
            Restore->Grid->setItem(i, c, new QTableWidgetItem(cells[c]));
    }
    Restore->Grid->resizeColumnToContents(0);
    if (!backups_.empty()) Restore->Grid->selectRow(0);
    Restore->btnRestore->setEnabled(!backups_.empty());
    Restore->btnDelete->setEnabled(!backups_.empty());
    restoreRowChanged();
}

void TMain::restoreRowChanged() {
    const int row = Restore->Grid->currentRow();
    Restore->btnReplan->setEnabled(row >= 0 && row < static_cast<int>(backups_.size()) &&
                                   backups_[static_cast<std::size_t>(row)].failedRows > 0);
}

void TMain::replanClick() {
    const int row = Restore->Grid->currentRow();
    if (row < 0 || row >= static_cast<int>(backups_.size())) return;
    const plan::ReplanReport report =
        plan::replan(*d_, *this, backups_[static_cast<std::size_t>(row)]);
    QString text = qs(plan::text::kReplanned) + QString::number(report.added);
    for (const std::string& line : report.lines)
        text += "\n" + qs(line);
    plainMessage(Restore, text);
}

void TMain::restoreClick() {
    fillRestore();
    Restore->exec();
}

void TMain::restoreBackupClick() {
    const int row = Restore->Grid->currentRow();
    if (row < 0 || row >= static_cast<int>(backups_.size())) return;
    const plan::BackupInfo b = backups_[static_cast<std::size_t>(row)];
    const std::string dir = withoutDelimiter(DBPath);
    if (!askYesNo(Restore,
                  qs(plan::text::kRestoreAsk) + QString::fromStdString(b.name) + "?\n" +
                      qs(plan::text::kRestoreQuiet),
                  false))
        return;
    bool force = false;
    const std::vector<std::string> changed = plan::changedSince(dir, b);
    if (!changed.empty()) {
        QString list;
        for (const std::string& t : changed)
            list += qs(t) + "\n";
        force = askYesNo(
            Restore, qs(plan::text::kRestoreChanged) + list + qs(plan::text::kRestoreForce), false);
    }
    d_->closeBrowsing();
    plan::RestoreReport report;
    try {
        report = plan::restoreBackup(
            dir, b, force, ansiOf(timeStamp(QDateTime::currentDateTime()) + " : ").value_or(""));
    } catch (...) {
        d_->reopenBrowsing();
        throw;
    }
    d_->reopenBrowsing();
    Status();  // the tables put back hold other materials now
    QString text;
    for (const std::string& line : report.lines) {
        text += qs(line) + "\n";
        Log(qs(plan::text::kRestoreJournal) + QString::fromStdString(b.name) + ": " + qs(line));
    }
    plainMessage(Restore, text.trimmed());
    fillRestore();
}

void TMain::deleteBackupClick() {
    const int row = Restore->Grid->currentRow();
    if (row < 0 || row >= static_cast<int>(backups_.size())) return;
    const plan::BackupInfo& b = backups_[static_cast<std::size_t>(row)];
    if (!askYesNo(Restore, qs(plan::text::kDeleteBackupAsk) + QString::fromStdString(b.name) + "?",
                  false))
        return;
    plan::deleteBackup(b);
    fillRestore();
}

// ---- the port ---------------------------------------------------------------------------------

void TMain::holdInput(bool hold) {
    if (hold == running_) return;
    running_ = hold;
    centralWidget()->setEnabled(!hold);
    menuBar()->setEnabled(!hold);
    if (hold) {
        // A disabled action fires neither from its menu nor by its shortcut: those of the
        // menus and of the window's own pop-up menus (the dialogs a run shows keep theirs).
        heldActions_.clear();
        QList<QAction*> all = menuBar()->findChildren<QAction*>();
        for (QMenu* m : findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly))
            for (QAction* a : m->actions())
                all.push_back(a);
        for (QAction* a : actions())
            all.push_back(a);
        for (QAction* a : all) {
            if (std::any_of(heldActions_.begin(), heldActions_.end(),
                            [a](const auto& held) { return held.first == a; }))
                continue;
            heldActions_.emplace_back(a, a->isEnabled());
            a->setEnabled(false);
        }
    } else {
        for (const auto& [a, enabled] : heldActions_)
            a->setEnabled(enabled);
        heldActions_.clear();
    }
}

namespace {
// Puts a window in the middle of the screen it is on.
void centerOnScreen(QWidget* w) {
    if (QScreen* screen = w->screen()) {
        const QRect frame = w->frameGeometry();
        w->move(screen->availableGeometry().center() -
                QPoint(frame.width() / 2, frame.height() / 2));
    }
}

}  // namespace

void TMain::showEvent(QShowEvent* event) {
    if (!placed_) {
        placed_ = true;
        centerOnScreen(this);
    }
    QMainWindow::showEvent(event);
}

void TChooseGrup::showEvent(QShowEvent* event) {
    centerOnScreen(this);
    QDialog::showEvent(event);
}

void TMain::closeEvent(QCloseEvent* event) {
    // A run rewrites the accounting tables: the window stays until it is done.
    if (running_)
        event->ignore();
    else
        QMainWindow::closeEvent(event);
}

void TMain::progressShow(const std::optional<std::string>& upper,
                         const std::optional<std::string>& small, const std::string& lower,
                         int max) {
    // While a long operation runs, the window takes no input.
    holdInput(true);
    if (upper) progress->Label3->setText(qs(*upper));
    if (small) progress->Label4->setText(qs(*small));
    progress->Label1->setText(qs(lower));
    progress->Bar->setRange(0, max);
    progress->Bar->setValue(0);
    progress->showOver();
}

void TMain::progressStep() {
    progress->Bar->setValue(progress->Bar->value() + 1);
}

void TMain::progressClose() {
    progress->Bar->setValue(0);
    progress->hide();
    holdInput(false);
}

void TMain::processMessages() {
    QCoreApplication::processEvents();
}

void TMain::log(const std::string& text) {
    Log(qs(text));
}

void TMain::message(const std::string& text) {
    withProgressAside([&] { plainMessage(this, qs(text)); });
}

bool TMain::chooseGroup() {
    return withProgressAside([&] { return chooser->exec() == QDialog::Accepted; });
}

bool TMain::askNewNumber(const plan::NewNumberRequest& r, std::string& number) {
    QString title = qs(r.title);
    title.replace('\r', '\n');
    newNumber->lblTitle->setText(title);
    newNumber->lblGrup->setText(qs(r.grup));
    newNumber->lblNnum->setText(qs(r.nnum));
    newNumber->lblNgrup->setText(qs(r.ngrup));
    newNumber->edNnnum->setText(qs(r.candidate));
    if (!withProgressAside([&] { return newNumber->exec() == QDialog::Accepted; })) return false;
    auto entry = ansiOf(newNumber->edNnnum->text());
    if (!entry) {
        reportError(this, qs("В тексте есть символы, которых нет в кодовой странице Windows-1251"));
        return false;
    }
    number = *entry;
    return true;
}

}  // namespace app
