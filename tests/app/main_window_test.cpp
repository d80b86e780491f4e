// The main window, offscreen, through its real widgets.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <map>

#include "../xbase/format_builder.h"
#include "app/main_window.h"
#include "app/settings_dialogs.h"
#include "app/text.h"
#include "plan/plan.h"
#include "sample_db.h"
#include "store/store.h"
#include "xbase/check.h"
#include "xbase/codepage.h"
#include "xbase/dbf.h"

using app::qs;

class MainWindowTest : public QObject {
    Q_OBJECT
  private:
    QTemporaryDir programDir, dbDir;
    QStringList messages, errors;
    std::unique_ptr<app::TMain> main;
    std::unique_ptr<data::TData> d;
    // What the path chooser does when it comes up modally; closed with "Отмена" unless a case
    // says otherwise.
    std::function<void(app::TVellPath*)> onChooser;
    QTimer chooserDriver;

    void writeIni(const QByteArray& text) {
        QFile f(programDir.filePath("path.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    void start() {
        main = std::make_unique<app::TMain>();
        d = std::make_unique<data::TData>();
        main->setProgramDirectory(programDir.path());
        main->attach(d.get());
        main->show();
        QVERIFY(QTest::qWaitForWindowExposed(main.get()));
        main->FormShow();
    }
    // A demo database of its own in `db` (for cases that rewrite it), and the window on it.
    void startOnOwnDemo(const QTemporaryDir& db, std::uint32_t materials, std::uint32_t groups,
                        const std::string& collation = {}) {
        sample::DemoOptions o;
        o.materials = materials;
        o.groups = groups;
        o.collation = collation;
        sample::writeDemo(db.path().toStdString(), o);
        writeIni((db.path() + "/").toUtf8());
        start();
    }
    void stop() {
        main.reset();
        d.reset();
    }
    // A label.pro of the given rows (ANSI LBL_NAME, LBL_PATH) in `dir`/`sub`, its names in
    // code page `cp` with the header's mark (or a dBase 7 driver name).
    static void writeList(const QString& dir, const char* sub,
                          const std::vector<std::pair<std::string, std::string>>& rows,
                          std::uint8_t version = 0x03, std::uint8_t mark = 0, int cp = 1251,
                          const char* driver = "") {
        testfmt::TableSpec spec;
        spec.version = version;
        spec.codePageByte = mark;
        spec.tableFlags = 0;
        spec.driverName = driver;
        spec.fields = {{"LBL_NAME", 'C', 30}, {"LBL_PATH", 'C', 120}};
        const auto& to = xbase::Translation::between(1251, cp);
        for (const auto& [name, path] : rows)
            spec.records.push_back({to.apply(name), to.apply(path)});
        testfmt::writeFile(QDir(dir).filePath(QString(sub) + "/label.pro").toStdString(),
                           testfmt::buildDbf(spec));
    }
    // The rows the chooser's grid shows, "name|path" each.
    QStringList chooserRows() const {
        QStringList rows;
        auto* m = main->VellPath->Grid->model();
        for (int r = 0; r < m->rowCount(); ++r)
            rows << m->data(m->index(r, 0)).toString() + "|" + m->data(m->index(r, 1)).toString();
        return rows;
    }

  private slots:
    void initTestCase() {
        sample::DemoOptions o;
        o.materials = 300;
        o.groups = 12;
        sample::writeDemo(dbDir.path().toStdString(), o);
        app::setMessageSink([this](const QString& kind, const QString& text) {
            (kind == "error" ? errors : messages).append(text);
        });
        connect(&chooserDriver, &QTimer::timeout, this, [this] {
            if (!main || !main->VellPath || !main->VellPath->isVisible() ||
                QApplication::activeModalWidget() != main->VellPath)
                return;
            if (onChooser)
                onChooser(main->VellPath);
            else
                main->VellPath->Button2Click();
        });
        chooserDriver.start(10);
    }
    void init() {
        messages.clear();
        errors.clear();
        onChooser = nullptr;
        // Each case starts on an empty store: the plan would outlive a run.
        for (const char* f : {"kvd.abs", "kvd.abs-wal", "kvd.abs-shm"})
            QFile::remove(programDir.filePath(f));
        store::createStore(programDir.filePath("kvd.abs").toStdString());
    }
    void cleanup() { stop(); }

    // A second window on the store says whose store it is and closes; an exception a handler
    // lets through reaches the error box and the program goes on.
    void aSecondWindowIsRefusedAndNothingEscapes() {
        writeIni((dbDir.path() + "/").toUtf8());
        const std::string kvd = programDir.filePath("kvd.abs").toStdString();
        {
            store::StoreLock first(kvd);  // the first window
            start();
            QCOMPARE(errors.size(), 1);
            QVERIFY(errors[0].contains(QString::fromStdString("хранилище " + kvd + " занято")));
            QVERIFY(!main->isVisible());
            QVERIFY(!d->PLAN.active());
            stop();
        }
        errors.clear();
        start();
        QVERIFY(errors.isEmpty());
        QVERIFY(d->PLAN.active());

        QPushButton button;
        connect(&button, &QPushButton::clicked, [] { throw std::runtime_error("boom"); });
        connect(&button, &QPushButton::pressed, [] { throw 42; });
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(errors, (QStringList{qs("Неизвестная ошибка."), "boom."}));
    }

    void startsOnAValidPath() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        QVERIFY(errors.isEmpty());
        QCOMPARE(main->PageControl1->currentIndex(), 0);
        QVERIFY(main->windowTitle().endsWith(dbDir.path() + "/]"));
        QString expected = qs("Всего позиций :") + QString::number(d->mlabel.recordCount()) +
                           qs(" В текущей группе: ") + QString::number(d->mlabel.rangeCount()) +
                           qs(" Всего отмечено:0");
        QCOMPARE(main->statuslabel->text(), expected);
        QCOMPARE(main->lblPlanStatus->text(), qs("Всего операций :0"));
    }

    // A grid reads its records a batch at a time, and reads on to a record found far away.
    void gridsReadAsTheyScroll() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        app::DatasetModel model(d->MlabelVSrc, {{"NNUM", "NNUM", 90}});
        QCOMPARE(model.rowCount(), 256);
        QVERIFY(model.canFetchMore(QModelIndex()));
        d->MlabelV.last();
        QVERIFY(model.currentRow() > 256);
        QCOMPARE(model.data(model.index(model.currentRow(), 0), Qt::DisplayRole).toString(),
                 qs(d->MlabelV.fieldByName("NNUM").asString()));
        while (model.canFetchMore(QModelIndex()))
            model.fetchMore(QModelIndex());
        int visible = 0;
        for (d->MlabelV.first(); !d->MlabelV.eof(); d->MlabelV.next())
            ++visible;
        QCOMPARE(model.rowCount(), visible);
    }

    // Ctrl+End in a grid goes to the last record at once, though the rows are read lazily.
    void ctrlEndGoesToTheLastRecord() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        app::DatasetGrid grid(d->MlabelVSrc, {{"NNUM", "NNUM", 90}}, nullptr);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        QCOMPARE(grid.model()->rowCount(), 256);
        grid.setCurrentIndex(grid.model()->index(0, 0));
        QTest::keyClick(&grid, Qt::Key_End, Qt::ControlModifier);
        const int rows = grid.model()->rowCount();
        QVERIFY(rows > 256);
        QCOMPARE(grid.currentIndex().row(), rows - 1);
    }

    void aTrailingLineBreakIsNoPartOfThePath() {
        writeIni((dbDir.path() + "/\r\n").toUtf8());
        start();
        QVERIFY(messages.isEmpty());
        QVERIFY(d->mlabel.active());
    }

    void noDatabaseSaysSo() {
        QFile::remove(programDir.filePath("path.ini"));
        start();
        QCOMPARE(messages, QStringList{qs("БД не найдена!")});
        QVERIFY(!d->mlabel.active());
        QCOMPARE(main->PageControl1->currentIndex(), 0);
        QVERIFY(!QFile::exists(programDir.filePath("path.ini")));
    }

    void missingStoreStopsOpenData() {
        writeIni((dbDir.path() + "/").toUtf8());
        QFile::rename(programDir.filePath("kvd.abs"), programDir.filePath("kvd.bak"));
        start();
        QFile::rename(programDir.filePath("kvd.bak"), programDir.filePath("kvd.abs"));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors[0],
                 "KVD: Database file '" + programDir.filePath("kvd.abs") + "' does not exist.");
        QVERIFY(!d->mlabel.active());
        QCOMPARE(main->PageControl1->currentIndex(), 1);  // the initial tab, the plan
    }

    // A directory with main.dbf but without the material table: OpenData stops with the
    // dataset's error, in the general error report.
    void aDirectoryWithoutTheMaterialTable() {
        QTemporaryDir bare;
        QFile(bare.filePath("main.dbf")).open(QIODevice::WriteOnly);
        writeIni((bare.path() + "/").toUtf8());
        start();
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith("mlabel: "), qPrintable(errors[0]));
        QVERIFY(errors[0].endsWith("."));
        QVERIFY(!d->mlabel.active());
        QVERIFY(d->PLAN.active());  // the store opened before the accounting tables
    }

    // Typed into the plan grid's own editor and committed with Enter: stored, and the view
    // closes its editor without a word from Qt.
    void thePlanGridEditorClosesCleanly() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        main->materialsDoubleClick();
        main->Button1Click();
        main->PageControl1->setCurrentIndex(1);
        static QStringList warnings;
        warnings.clear();
        QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& text) {
                if (type == QtWarningMsg) warnings << text;
            });
        QTableView* view = main->planGrid;
        const QModelIndex at = view->model()->index(0, 4);
        view->setCurrentIndex(at);
        view->edit(at);
        auto* editor = view->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->setText("TYPED-1");
        QTest::keyClick(editor, Qt::Key_Return);
        QApplication::processEvents();
        qInstallMessageHandler(previous);
        QCOMPARE(qs(d->PLAN.fieldByName("NNNUM").asString()), QString("TYPED-1"));
        QCOMPARE(view->model()->data(view->model()->index(0, 4)).toString(), QString("TYPED-1"));
        for (const QString& w : warnings)
            QVERIFY2(!w.contains("closeEditor"), qPrintable(w));
    }

    // Only the new item number can be typed into the plan grid; it is stored as typed.
    void thePlanGridEditsOnlyTheNewNumber() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        main->materialsDoubleClick();
        main->Button1Click();
        auto* m = main->planGrid->datasetModel();
        QCOMPARE(m->rowCount(), 1);
        QVERIFY(!(m->flags(m->index(0, 0)) & Qt::ItemIsEditable));
        QVERIFY(m->flags(m->index(0, 4)) & Qt::ItemIsEditable);
        QVERIFY(m->setData(m->index(0, 4), qs("Ж-12345678901234"), Qt::EditRole));
        QCOMPARE(qs(d->PLAN.fieldByName("NNNUM").asString()),
                 qs("Ж-12345678901"));  // 13 characters
        QVERIFY(
            !m->setData(m->index(0, 4), QString::fromUtf8("日本"), Qt::EditRole));  // not in ANSI
        QCOMPARE(errors.size(), 1);
    }

    // The keyboard as a user expects it: the plan grid's editor takes no more than the field
    // holds, Tab leaves a grid, Space or Enter marks a material, Ctrl+V starts a search anew,
    // and the search boxes say what they search.
    void keyboardAndInput() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        // "Путь к БД" opens on the database in use.
        QString shownPath;
        onChooser = [&](app::TVellPath* chooser) {
            shownPath = chooser->Path->text();
            chooser->Button2Click();
        };
        main->N5Click();
        onChooser = nullptr;
        QCOMPARE(shownPath, dbDir.path() + "/");
        // The window opened in the middle of the screen.
        const QPoint off =
            main->frameGeometry().center() - main->screen()->availableGeometry().center();
        QVERIFY2(off.manhattanLength() <= 4, qPrintable(QString::number(off.manhattanLength())));
        // Space marks the current material, Enter the next one, as a double click does.
        main->materialsGrid->setFocus();
        QTest::keyClick(main->materialsGrid, Qt::Key_Space);
        QVERIFY(main->statuslabel->text().endsWith(qs("Всего отмечено:1")));
        d->mlabel.next();
        QTest::keyClick(main->materialsGrid, Qt::Key_Return);
        QVERIFY(main->statuslabel->text().endsWith(qs("Всего отмечено:2")));
        // Tab goes on to another control.
        main->materialsGrid->setFocus();
        QTest::keyClick(main->materialsGrid, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != main->materialsGrid);

        main->Button1Click();  // the marks into the plan
        QTableView* view = main->planGrid;
        auto* m = main->planGrid->datasetModel();
        QVERIFY(m->rowCount() >= 1);
        view->setFocus();
        view->setCurrentIndex(m->index(0, 4));
        view->edit(m->index(0, 4));
        auto* editor = view->findChild<QLineEdit*>();
        QVERIFY(editor);
        QCOMPARE(editor->maxLength(), 13);
        view->closePersistentEditor(m->index(0, 4));

        QVERIFY(!main->edNNUM->placeholderText().isEmpty());
        QVERIFY(!main->edName->placeholderText().isEmpty());
        main->SearchStarted = true;
        QApplication::clipboard()->setText(qs("труба"));
        main->edName->setFocus();
        QTest::keyClick(main->edName, Qt::Key_V, Qt::ControlModifier);
        QVERIFY(!main->SearchStarted);
    }

    void searchFindsContinuesAndResets() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        main->edName->setText(qs("труба"));  // lower case finds upper case names
        QTest::mouseClick(main->Button6, Qt::LeftButton);
        QVERIFY(messages.isEmpty());
        QVERIFY(main->SearchStarted);
        QString first = d->mlabel.fieldByName("NAME").asString().empty()
                            ? QString()
                            : qs(d->mlabel.fieldByName("NAME").asString());
        QVERIFY(first.toUpper().contains(qs("ТРУБА")));
        QCOMPARE(qs(d->mgrup.fieldByName("CODE").asString()),
                 qs(d->mlabel.fieldByName("GRUP").asString()));
        for (int i = 0; i < 500 && messages.isEmpty(); ++i)
            QTest::keyClick(main->edName, Qt::Key_Return);
        QCOMPARE(messages.last(), qs("Не найдено!"));
        QTest::keyClick(main->edName, Qt::Key_Return);
        QCOMPARE(messages.size(), 2);  // still not found until reset
        QTest::keyClick(main->edName, Qt::Key_Backspace);
        QVERIFY(!main->SearchStarted);
        QTest::mouseClick(main->Button7, Qt::LeftButton);
        QVERIFY(main->edName->text().isEmpty());
    }

    // The character type is found as main.dbf is: LORF5.DBC in capitals, a path.ini whose
    // letter case differs from the disk's.
    void theCharacterTypeIsFoundLikeTheDatabase() {
        QTemporaryDir other;
        std::filesystem::copy(dbDir.path().toStdString(), other.filePath("Demo").toStdString(),
                              std::filesystem::copy_options::recursive);
        QVERIFY(QFile::rename(other.filePath("Demo/lorf5.dbc"), other.filePath("Demo/LORF5.DBC")));
        writeIni((other.path() + "/demo/").toUtf8());
        start();
        QVERIFY(errors.isEmpty());
        QVERIFY(main->IsAnsi);
        QVERIFY(d->mlabel.active());
    }

    // An error of start-up skips the rest of it: the window stays on its initial tab, the plan.
    void aStartUpErrorLeavesThePlanTab() {
        QFile::remove(programDir.filePath("path.ini"));
        QVERIFY(QDir(programDir.path()).mkdir("path.ini"));  // a path.ini that cannot be read
        start();
        QDir(programDir.path()).rmdir("path.ini");
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].contains("path.ini"));
        QVERIFY(messages.isEmpty());  // no chooser, no "БД не найдена!"
        QVERIFY(!d->mlabel.active());
        QCOMPARE(main->PageControl1->currentIndex(), 1);
    }

    // A search that fails with an error has not started: "Найти" then builds its condition
    // anew. Keys that type no character leave a started search as it is.
    void searchStartsOnlyWhenItRan() {
        QFile::remove(programDir.filePath("path.ini"));
        start();  // no database: the search fails on the closed dataset
        errors.clear();
        main->edNNUM->setText("1");
        QTest::mouseClick(main->Button6, Qt::LeftButton);
        QCOMPARE(errors.size(), 1);
        QVERIFY(!main->SearchStarted);
        stop();

        writeIni((dbDir.path() + "/").toUtf8());
        start();
        main->edNNUM->setText("1");
        QTest::mouseClick(main->Button6, Qt::LeftButton);
        QVERIFY(main->SearchStarted);
        for (Qt::Key k :
             {Qt::Key_Delete, Qt::Key_Tab, Qt::Key_Left, Qt::Key_Home, Qt::Key_Escape}) {
            main->edNNUM->setFocus();
            QTest::keyClick(main->edNNUM, k);
            QVERIFY2(main->SearchStarted, qPrintable(QString::number(k)));
        }
        QTest::keyClick(main->edNNUM, Qt::Key_2);
        QVERIFY(!main->SearchStarted);
    }

    void groupsOrderByTitle() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        main->groupsTitleClick(1);
        QCOMPARE(d->mgrup.indexName(), std::string("MGRUP_T"));
        auto* m = main->groupsGrid->datasetModel();
        QVERIFY(m->headerData(1, Qt::Horizontal, Qt::FontRole).value<QFont>().bold());
        main->groupsTitleClick(0);
        QCOMPARE(d->mgrup.indexName(), std::string("DODOD"));
        QVERIFY(!m->headerData(1, Qt::Horizontal, Qt::FontRole).isValid());
    }

    // "В другую группу" through the real dialogs: the chooser, then the new number dialog for a
    // taken pair, which comes back with the mark's own number after a taken entry.
    void intoAnotherGroupThroughTheDialogs() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        QVERIFY(main->materialsGrid->model()->rowCount() > 1);
        std::string nnum = d->mlabel.fieldByName("NNUM").asString();
        d->mlabel.next();
        std::string other = d->mlabel.fieldByName("NNUM").asString();
        d->mlabel.first();
        main->materialsDoubleClick();
        QStringList seen;  // what each dialog showed when it came up
        // The progress window, which stays on top, steps aside while a dialog asks.
        int progressOver = 0;
        std::vector<std::function<void(QWidget*)>> script = {
            [&](QWidget* w) {
                QCOMPARE(w, static_cast<QWidget*>(main->chooser));
                progressOver += main->progress->isVisible();
                const QPoint off =
                    w->frameGeometry().center() - w->screen()->availableGeometry().center();
                QVERIFY(off.manhattanLength() <= 4);
                main->chooser->accept();
            },
            [&](QWidget* w) {
                QCOMPARE(w, static_cast<QWidget*>(main->newNumber));
                progressOver += main->progress->isVisible();
                seen << main->newNumber->edNnnum->text();
                main->newNumber->edNnnum->setText(qs(other));  // taken too
                main->newNumber->accept();
            },
            [&](QWidget*) {
                progressOver += main->progress->isVisible();
                seen << main->newNumber->edNnnum->text();
                main->newNumber->edNnnum->setText("NEW-1");
                main->newNumber->accept();
            }};
        std::size_t step = 0;
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && step < script.size() && modal->isVisible()) script[step++](modal);
        });
        driver.start(10);
        QTest::mouseClick(main->Button2, Qt::LeftButton);
        driver.stop();
        QCOMPARE(step, script.size());
        QCOMPARE(progressOver, 0);
        QVERIFY(!main->progress->isVisible());
        QCOMPARE(seen, (QStringList{qs(nnum), qs(nnum)}));  // the mark's number both times
        QCOMPARE(main->PageControl1->currentIndex(), 1);
        QCOMPARE(qs(d->PLAN.fieldByName("NNNUM").asString()), QString("NEW-1"));
        QVERIFY(main->statuslabel->text().endsWith(qs("Всего отмечено:0")));

        // The same material again: already planned, a journal line and no row.
        main->PageControl1->setCurrentIndex(0);
        d->mlabel.first();
        main->materialsDoubleClick();
        step = 0;
        script = {[&](QWidget*) { main->chooser->accept(); }};
        driver.start(10);
        QTest::mouseClick(main->Button2, Qt::LeftButton);
        driver.stop();
        QCOMPARE(main->lblPlanStatus->text(), qs("Всего операций :1"));
        QVERIFY(main->mLog->toPlainText().contains(
            qs(" уже есть в плане операций и не будет перемещена в группу ")));
        QVERIFY(
            main->mLog->toPlainText().contains(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d{4} ")));
    }

    void journalLines() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        QDateTime midnight(QDate(2026, 12, 31), QTime(0, 0, 0));
        QCOMPARE(app::TMain::timeStamp(midnight), QString("31.12.2026"));
        QVERIFY(app::TMain::timeStamp(midnight.addSecs(1)).startsWith("31.12.2026 "));
        // The time stands without a zone, in the C locale as in Russian.
        for (const char* name : {"C", "ru_RU"}) {
            QLocale::setDefault(QLocale(name));
            QString stamp = app::TMain::timeStamp(midnight.addSecs(3723));
            QVERIFY2(stamp.contains(QRegularExpression("^31\\.12\\.2026 0?1:02:03$")),
                     qPrintable(stamp));
        }
        QLocale::setDefault(QLocale::c());
        main->journalAppend("first");
        main->Log("second");
        QCOMPARE(main->journalLineCount(), 2);
        QVERIFY(main->journalLine(1).endsWith(" : second"));
        main->journalReplace(0, "first, 3 s");
        QCOMPARE(main->journalLine(0), QString("first, 3 s"));
        QVERIFY(!main->mLog->isReadOnly());
    }

    void marksAndThePlan() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        QVERIFY(main->materialsGrid->model()->rowCount() > 0);
        main->materialsDoubleClick();
        QVERIFY(main->statuslabel->text().endsWith(qs("Всего отмечено:1")));
        QVERIFY(main->materialsGrid->model()->data(main->materialsGrid->model()->index(0, 0),
                                                   Qt::CheckStateRole) == Qt::Checked);
        QTest::mouseClick(main->Button1, Qt::LeftButton);
        QCOMPARE(errors.join("|"), QString());
        QCOMPARE(main->PageControl1->currentIndex(), 1);
        QCOMPARE(main->lblPlanStatus->text(), qs("Всего операций :1"));
        QVERIFY(main->statuslabel->text().endsWith(qs("Всего отмечено:0")));
        QTest::mouseClick(main->Button3, Qt::LeftButton);
        QCOMPARE(main->lblPlanStatus->text(), qs("Всего операций :0"));
        QTest::mouseClick(main->Button4, Qt::LeftButton);
        QCOMPARE(errors, QStringList{"PLAN: Cannot perform this operation on an empty dataset."});
    }
    // "Начать перенос" checks the plan first: a plan that would merge two materials asks, "no"
    // keeps everything; the box that asks for a quiet database closed otherwise than with OK
    // cancels the run; "Проверить план" shows the report.
    void theTransferChecksThePlanAndCanBeCancelled() {
        QTemporaryDir db;  // the run rewrites the tables: a database of its own
        startOnOwnDemo(db, 200, 6);
        const std::string g1 = d->mlabel.fieldByName("GRUP").asString();
        const std::string n1 = d->mlabel.fieldByName("NNUM").asString();
        d->mlabel.next();
        const std::string g2 = d->mlabel.fieldByName("GRUP").asString();
        const std::string n2 = d->mlabel.fieldByName("NNUM").asString();
        d->TABLES.append();
        d->TABLES.fieldByName("NAME").setAsString("zapas\\mlabel.dbf");
        d->TABLES.post();
        plan::appendPlanRow(*d, {g1, n1, "x", g2, n2});  // onto a pair another material keeps
        const QString file = db.path() + "/zapas/mlabel.dbf";
        auto bytes = [&] {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        const QByteArray before = bytes();

        QStringList asked;
        app::setQuestionSink([&](const QString& q) {
            asked << q;
            return false;  // "no", the default
        });
        QTest::mouseClick(main->Button5, Qt::LeftButton);
        app::setQuestionSink(nullptr);
        QCOMPARE(asked.size(), 1);
        QVERIFY(asked[0].contains(qs("Слияние: пару ") + qs(g2) + "/" + qs(n2)));
        QVERIFY(messages.isEmpty());
        QCOMPARE(d->PLAN.recordCount(), 1);
        QCOMPARE(bytes(), before);

        // A plan that merges nothing, and the quiet-database box closed with Escape.
        d->PLAN.first();
        d->PLAN.edit();
        d->PLAN.fieldByName("NNNUM").setAsString("FREE-1");
        d->PLAN.post();
        app::setOkAnswer(false);
        QTest::mouseClick(main->Button5, Qt::LeftButton);
        app::setOkAnswer(true);
        QCOMPARE(messages, QStringList{qs("Убедитесь что никто не работает в базе\nи нажмите ОК")});
        QVERIFY(main->mLog->toPlainText().isEmpty());
        QCOMPARE(d->PLAN.recordCount(), 1);
        QCOMPARE(bytes(), before);
        QVERIFY(d->mlabel.active());

        // The real box: Escape closes it and cancels, as the close button would.
        app::setMessageSink(nullptr);
        QTimer::singleShot(50, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                QTest::keyClick(box, Qt::Key_Escape);
        });
        QTest::mouseClick(main->Button5, Qt::LeftButton);
        app::setMessageSink([this](const QString& kind, const QString& text) {
            (kind == "error" ? errors : messages).append(text);
        });
        QVERIFY(main->mLog->toPlainText().isEmpty());
        QCOMPARE(bytes(), before);

        // The report, on demand.
        QTimer::singleShot(0, [&] { main->PlanReport->accept(); });
        QTest::mouseClick(main->btnCheckPlan, Qt::LeftButton);
        const QString report = main->PlanReport->Text->toPlainText();
        QVERIFY(report.startsWith(qs("Проверка плана: позиций 1, таблиц 1")));
        QVERIFY(report.contains(qs("zapas\\mlabel.dbf: будет изменено записей: 1")));

        // The demo's other tables hold materials' pairs: one step puts them all in the list.
        const int unlisted = static_cast<int>(report.count(qs("Не в списке таблиц")));
        QVERIFY(unlisted > 0);
        QVERIFY(!main->PlanReport->btnAddTables->isHidden());
        QStringList adding;
        app::setQuestionSink([&](const QString& q) {
            adding << q;
            return true;
        });
        QTest::mouseClick(main->PlanReport->btnAddTables, Qt::LeftButton);
        app::setQuestionSink(nullptr);
        QCOMPARE(adding.size(), 1);
        QCOMPARE(adding[0].count('\n'), unlisted);
        QCOMPARE(d->TABLES.recordCount(), 1 + unlisted);
        QVERIFY(!main->PlanReport->Text->toPlainText().contains(qs("Не в списке таблиц")));
        QVERIFY(main->PlanReport->btnAddTables->isHidden());
    }

    // "Начать перенос": both boxes, the journal with the elapsed time per table and an error
    // line for a missing table, the plan emptied, the materials reopened, the journal shown.
    void theTransferRun() {
        QTemporaryDir db;  // the run rewrites the tables: a database of its own
        startOnOwnDemo(db, 200, 6);
        std::string grup = d->mlabel.fieldByName("GRUP").asString();
        std::string nnum = d->mlabel.fieldByName("NNUM").asString();
        for (const char* t : {"zapas\\mlabel.dbf", "zapas\\nosuch.dbf"}) {
            d->TABLES.append();
            d->TABLES.fieldByName("NAME").setAsString(t);
            d->TABLES.post();
        }
        d->PLAN.append();
        d->PLAN.fieldByName("GRUP").setAsString(grup);
        d->PLAN.fieldByName("NNUM").setAsString(nnum);
        d->PLAN.fieldByName("NAME").setAsString("x");
        d->PLAN.fieldByName("NGRUP").setAsString("ZZ");
        d->PLAN.fieldByName("NNNUM").setAsString("MOVED-1");
        d->PLAN.post();
        main->Status();
        main->mLog->clear();

        QTest::mouseClick(main->Button5, Qt::LeftButton);
        QCOMPARE(errors.join("|"), QString());
        // The missing table made an error line: the last box says so, and keeps the row.
        // The last box names the folder with the journal, the plan and the old files.
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[0], qs("Убедитесь что никто не работает в базе\nи нажмите ОК"));
        const QString ending = messages[1];
        QString folder = ending.section(qs("Журнал, план и копии таблиц: "), 1);
        QCOMPARE(ending, qs("Перенос завершён с ошибками: 1\n"
                            "Строки плана, которые не удалось перенести, оставлены в плане;\n"
                            "подробности в журнале.\n"
                            "Журнал, план и копии таблиц: ") +
                             folder.section('\n', 0, 0) + "\n" +
                             qs("Их можно вернуть в план: «Файл», «Восстановить таблицы...»"));
        folder = folder.section('\n', 0, 0);
        QVERIFY(folder.startsWith(db.path() + "/lorf-backup/"));
        QVERIFY(QFile::exists(folder + "/journal.txt"));
        QStringList lines = main->mLog->toPlainText().split('\n');
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines[0].endsWith(qs(": Запущен перенос 1 позиций")));
        QVERIFY(lines[1].contains(
            QRegularExpression(qs(":Обрабатывается zapas\\\\mlabel\\.dbf ;[0-9.,]+ сек$"))));
        // A table's check runs beside the next table, and says its result when that is done.
        QVERIFY(lines[2].endsWith(qs(":Обрабатывается zapas\\nosuch.dbf")));
        QVERIFY(lines[3].contains(qs(":Grup:") + qs(grup) + ",Nnum:" + qs(nnum) + " "));
        QVERIFY(lines[3].contains(QRegularExpression(qs(" ;[0-9.,]+ сек$"))));
        QVERIFY(lines[4].endsWith(qs(":Индексы проверены zapas\\mlabel.dbf")));
        QVERIFY(lines[5].endsWith(qs(": Перенос завершен")));
        QCOMPARE(main->PageControl1->currentWidget(), static_cast<QWidget*>(main->mLog));
        QCOMPARE(main->lblPlanStatus->text(), qs("Всего операций :1"));
        QVERIFY(d->mlabel.active() && d->mgrup.active() && d->MlabelV.active());

        // The row not moved goes back into an emptied plan from the backup's row.
        d->PLAN.close();
        d->PLAN.emptyTable();
        d->PLAN.open();
        main->fillRestore();
        QCOMPARE(main->Restore->Grid->item(0, 4)->text(), "1");
        QVERIFY(main->Restore->btnReplan->isEnabled());
        messages.clear();
        QTest::mouseClick(main->Restore->btnReplan, Qt::LeftButton);
        // It says which table did not take the row; asked again, why nothing goes back.
        QCOMPARE(messages,
                 QStringList{qs("Возвращено строк в план: 1\n") + qs(grup) + "/" + qs(nnum) +
                             qs(" -> ZZ/MOVED-1: не перенесена в ") + "zapas\\nosuch.dbf"});
        messages.clear();
        QTest::mouseClick(main->Restore->btnReplan, Qt::LeftButton);
        QCOMPARE(messages, QStringList{qs("Возвращено строк в план: 0\n") + qs(grup) + "/" +
                                       qs(nnum) + qs(": уже есть в плане, не возвращена")});
        QCOMPARE(d->PLAN.recordCount(), 1);
        QCOMPARE(d->PLAN.fieldByName("NNNUM").asString(), std::string("MOVED-1"));

        main.reset();
        d.reset();
        auto t = xbase::Table::open((db.path() + "/zapas/mlabel.dbf").toStdString());
        QVERIFY(xbase::checkTable(*t).strict());
        const xbase::Field* g = t->field("GRUP");
        const xbase::Field* n = t->field("NNUM");
        int moved = 0, left = 0;
        for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
            auto value = [&](const xbase::Field* f) {
                std::string v(t->raw(t->record(r), *f));
                return v.substr(0, v.find_last_not_of(' ') + 1);
            };
            moved += value(g) == "ZZ" && value(n) == "MOVED-1";
            left += value(g) == grup && value(n) == nnum;
        }
        QVERIFY(moved > 0);
        QCOMPARE(left, 0);
    }
    // Qt's own texts are Russian: the buttons of a question say "Да" and "Нет", and Enter
    // answers "no" where that is the default.
    void qtsOwnTextsAreRussian() {
        QVERIFY(static_cast<app::Application*>(qApp)->russian());
        QMessageBox box(QMessageBox::Question, "t", "q", QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box.button(QMessageBox::Yes)->text().remove('&'), qs("Да"));
        QCOMPARE(box.button(QMessageBox::No)->text().remove('&'), qs("Нет"));
        QStringList buttons;
        QTimer::singleShot(50, [&] {
            if (auto* asked = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                for (QAbstractButton* b : asked->buttons())
                    buttons << b->text().remove('&');
                QTest::keyClick(asked, Qt::Key_Return);
            }
        });
        QVERIFY(!app::askYesNo(nullptr, qs("Продолжить?"), false));
        buttons.sort();
        QCOMPARE(buttons, (QStringList{qs("Да"), qs("Нет")}));
    }

    // While a transfer runs nothing else does: the menus, their shortcuts and the window's
    // close are held until it ends ("Путь к БД" mid-run would rewrite the remaining tables in
    // another database).
    void nothingElseRunsDuringARun() {
        QTemporaryDir db;
        startOnOwnDemo(db, 200, 6);
        d->TABLES.append();
        d->TABLES.fieldByName("NAME").setAsString("zapas\\mlabel.dbf");
        d->TABLES.post();
        plan::appendPlanRow(*d, {d->mlabel.fieldByName("GRUP").asString(),
                                 d->mlabel.fieldByName("NNUM").asString(), "x", "ZZ", "M-1"});
        QAction* path = nullptr;
        for (QAction* a : main->menuBar()->findChildren<QAction*>())
            if (a->text() == qs("Путь к БД")) path = a;
        QVERIFY(path);
        bool sawRun = false, menusLive = true, pathLive = true, chooserShown = false;
        bool closed = false;
        QTimer::singleShot(0, [&] {
            sawRun = main->running();
            menusLive = main->menuBar()->isEnabled();
            pathLive = path->isEnabled();
            path->trigger();
            QTest::keyClick(main.get(), Qt::Key_F, Qt::AltModifier);
            chooserShown = main->VellPath && main->VellPath->isVisible();
            main->close();
            closed = !main->isVisible();
        });
        QTest::mouseClick(main->Button5, Qt::LeftButton);
        QVERIFY(sawRun);
        QVERIFY(!menusLive);
        QVERIFY(!pathLive);
        QVERIFY(!chooserShown);
        QVERIFY(!closed);
        QCOMPARE(errors.join("|"), QString());
        // Afterwards everything is as it was.
        QVERIFY(!main->running());
        QVERIFY(main->menuBar()->isEnabled());
        QVERIFY(path->isEnabled());
        QVERIFY(main->mLog->toPlainText().contains(qs(": Перенос завершен")));
    }

    // A database whose tags are built under RUSSIAN, which ignores letter case: every group
    // shows its own materials though "АБ" and "аб" share their keys, a search lands on the
    // material in its own group, and a transfer between such groups runs clean.
    void aDatabaseUnderACollation() {
        QTemporaryDir db;
        startOnOwnDemo(db, 400, 12, "RUSSIAN");
        QVERIFY(errors.isEmpty());
        std::map<std::string, std::vector<std::string>> numbers;  // by group, not deleted
        {
            auto t = xbase::Table::open((db.path() + "/zapas/mlabel.dbf").toStdString());
            for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
                const char* rec = t->record(r);
                if (rec[0] != '*')
                    numbers[t->text(rec, *t->field("GRUP"))].push_back(
                        t->text(rec, *t->field("NNUM")));
            }
        }
        app::DatasetModel model(d->mlabelSrc, {{"GRUP", "GRUP", 40}, {"NNUM", "NNUM", 90}});
        std::string moved, movedGroup;
        for (const char* code : {"АБ", "аб", "Е1", "Ё1"}) {
            const std::string grup = *xbase::CodePage::get(1251).fromUtf8(code);
            QVERIFY(d->mgrup.locate("CODE", {db::Value(grup)}));
            QCOMPARE(d->mgrup.fieldByName("CODE").asString(), grup);
            while (model.canFetchMore(QModelIndex()))
                model.fetchMore(QModelIndex());
            QCOMPARE(model.rowCount(), static_cast<int>(numbers[grup].size()));
            for (int row = 0; row < model.rowCount(); ++row)
                QCOMPARE(model.data(model.index(row, 0), Qt::DisplayRole).toString(), qs(grup));
            if (moved.empty()) {
                moved = numbers[grup].front();
                movedGroup = grup;
            }
        }
        // The number search finds a material of "аб", not of "АБ".
        const std::string lower = *xbase::CodePage::get(1251).fromUtf8("аб");
        const std::string unique = [&] {
            std::map<std::string, int> seen;
            for (const auto& [g, list] : numbers)
                for (const auto& n : list)
                    ++seen[n];
            for (const auto& n : numbers[lower])
                if (seen[n] == 1) return n;
            return std::string();
        }();
        QVERIFY(!unique.empty());
        main->edNNUM->setText(qs(unique));
        QTest::mouseClick(main->Button6, Qt::LeftButton);
        QVERIFY(messages.isEmpty());
        QCOMPARE(d->mgrup.fieldByName("CODE").asString(), lower);
        QCOMPARE(d->mlabel.fieldByName("GRUP").asString(), lower);
        QCOMPARE(d->mlabel.fieldByName("NNUM").asString(), unique);

        // A transfer from "АБ" into "Ё1".
        d->TABLES.append();
        d->TABLES.fieldByName("NAME").setAsString("zapas\\mlabel.dbf");
        d->TABLES.post();
        plan::appendPlanRow(
            *d, {movedGroup, moved, "x", *xbase::CodePage::get(1251).fromUtf8("Ё1"), "MOVED-1"});
        QTest::mouseClick(main->Button5, Qt::LeftButton);
        QCOMPARE(errors.join("|"), QString());
        QVERIFY(main->mLog->toPlainText().contains(qs("Индексы проверены zapas\\mlabel.dbf")));
        QVERIFY(!main->mLog->toPlainText().contains(":Grup:"));
        QCOMPARE(d->PLAN.recordCount(), 0);
        stop();
        auto t = xbase::Table::open((db.path() + "/zapas/mlabel.dbf").toStdString());
        QVERIFY(xbase::checkTable(*t).strict());
        for (const xbase::TagInfo& tag : t->index()->tags())
            QCOMPARE(QString::fromStdString(tag.collation),
                     tag.keyKind == 'C' ? QString("RUSSIAN") : QString("MACHINE"));
    }

    // The list lookup: the first of pro, s_pro, z_pro that holds a list, in any letter case,
    // every dBase variant in its own code page; a damaged list is an error and no list.
    void thePathChooserFindsTheList() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        app::TVellPath* chooser = main->VellPath;
        const std::vector<std::pair<std::string, std::string>> rows = {
            {app::ansi("Склад «Север»"), "db1"}, {app::ansi("  Цех №2"), "C:\\LORF\\DB2"}};
        const QStringList shown = {qs("Склад «Север»|db1"), qs("  Цех №2|C:\\LORF\\DB2")};
        struct Case {
            const char* what;
            std::function<void(const QString& dir)> write;
            QStringList rows;
            QString error;  // the start of the error box's text
        };
        const std::vector<Case> cases = {
            {"s_pro before z_pro, names in any case",
             [&](const QString& dir) {
                 writeList(dir, "z_pro", {{"Z", "z"}});
                 writeList(dir, "s_pro", rows);
                 QDir(dir).rename("s_pro", "S_PRO");
                 QFile::rename(dir + "/S_PRO/label.pro", dir + "/S_PRO/LABEL.PRO");
             },
             shown,
             {}},
            {"pro first",
             [&](const QString& dir) {
                 writeList(dir, "z_pro", {{"Z", "z"}});
                 writeList(dir, "pro", {{"P", "p"}});
             },
             {"P|p"},
             {}},
            {"code page 866 (mark 38)",
             [&](const QString& dir) { writeList(dir, "pro", rows, 0x03, 0x26, 866); },
             shown,
             {}},
            {"dBase IV, code page 866 (mark 101)",
             [&](const QString& dir) { writeList(dir, "pro", rows, 0x8B, 0x65, 866); },
             shown,
             {}},
            {"dBase 7, driver DB866RU0",
             [&](const QString& dir) { writeList(dir, "pro", rows, 0x04, 0, 866, "DB866RU0"); },
             shown,
             {}},
            {"FoxPro, code page 1251",
             [&](const QString& dir) { writeList(dir, "pro", rows, 0xF5, 0xC9, 1251); },
             shown,
             {}},
            {"truncated",
             [&](const QString& dir) {
                 writeList(dir, "pro", rows);
                 QFile f(dir + "/pro/label.pro");
                 QVERIFY(f.resize(f.size() - 40));
             },
             {},
             "label_pro: "},
        };
        for (const Case& c : cases) {
            QTemporaryDir install;
            c.write(install.path());
            errors.clear();
            chooser->Path->setText(install.path());
            QCOMPARE(chooserRows(), c.rows);
            if (c.error.isNull()) {
                QVERIFY2(errors.isEmpty(), c.what);
                QVERIFY(chooser->label_pro.active());
            } else {
                QCOMPARE(errors.size(), 1);
                QVERIFY2(errors[0].startsWith("label_pro: " + install.path() + "/pro/label.pro: "),
                         qPrintable(errors[0]));
                QVERIFY(errors[0].contains("records but the file holds"));
                QVERIFY(!chooser->label_pro.active());
            }
            chooser->Path->setText(install.path() + "/nothing-here");
            QCOMPARE(chooserRows(), QStringList());
        }
    }

    // OK takes LBL_PATH of the current row: as it stands when absolute, else after the
    // installation directory; without a list the previous choice stays.
    void choosingFromTheList() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        app::TVellPath* chooser = main->VellPath;
        QTemporaryDir install;
        const std::string dir = install.path().toStdString() + "/";
        writeList(install.path(), "pro",
                  {{"rel", "demo"},
                   {"sub", "base\\Demo"},
                   {"drive", "C:\\LORF\\DB1"},
                   {"share", "\\\\server\\lorf"},
                   {"root", dbDir.path().toStdString()},
                   {"empty", ""}});
        const std::vector<std::string> expected = {
            dir + "demo",       dir + "base\\Demo",         "C:\\LORF\\DB1",
            "\\\\server\\lorf", dbDir.path().toStdString(), dir};
        chooser->Path->setText(install.path());
        for (int row = 0; row < static_cast<int>(expected.size()); ++row) {
            chooser->Grid->selectRow(row);
            chooser->Button1Click();
            QCOMPARE(chooser->ChosenPath, expected[static_cast<std::size_t>(row)]);
        }
        // Typing a database's own directory, which holds no list, does not choose it.
        QTemporaryDir bare;
        QFile(bare.filePath("main.dbf")).open(QIODevice::WriteOnly);
        chooser->Path->setText(bare.path());
        chooser->Button1Click();
        QCOMPARE(chooser->ChosenPath, dir);
        // A list without LBL_PATH: the error names the field, the choice stays.
        testfmt::TableSpec spec;
        spec.version = 0x03;
        spec.codePageByte = 0;
        spec.tableFlags = 0;
        spec.fields = {{"LBL_NAME", 'C', 30}};
        spec.records = {{"A"}};
        QTemporaryDir other;
        testfmt::writeFile(other.filePath("z_pro/label.pro").toStdString(),
                           testfmt::buildDbf(spec));
        chooser->Path->setText(other.path());
        chooser->Button1Click();
        QCOMPARE(errors, QStringList{"label_pro: Field 'LBL_PATH' not found."});
        QCOMPARE(chooser->ChosenPath, dir);
        // Showing the dialog again empties the grid; Path keeps its text.
        chooser->show();
        QCOMPARE(chooserRows(), QStringList());
        QCOMPARE(chooser->Path->text(), other.path());
        chooser->hide();
        // A folder chosen in the tree: its path with the separator.
        chooser->TreeChange(chooser->TreeModel->index(install.path()));
        QCOMPARE(chooser->Path->text(), install.path() + "/");
        QCOMPARE(chooserRows().size(), 6);
        chooser->TreeChange(QModelIndex());
        QCOMPARE(chooser->Path->text(), QString("/"));
    }

    // "Путь к БД": cancelled, it changes nothing (no message, the open database and its marks
    // stay); a database of a list is opened; cancelled again, the marks made since stay too.
    void changingThePathAtRunTime() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        const QString title = main->windowTitle();
        main->materialsDoubleClick();
        QCOMPARE(d->MLabelMem.recordCount(), 1);
        main->N5Click();
        QCOMPARE(messages, QStringList());
        QCOMPARE(errors, QStringList());
        QVERIFY(d->mlabel.active());
        QCOMPARE(d->MLabelMem.recordCount(), 1);
        QCOMPARE(main->windowTitle(), title);

        QTemporaryDir install;
        // A copy, not a link: a link is a shortcut file on Windows.
        std::filesystem::copy(dbDir.path().toStdString(), install.filePath("Demo").toStdString(),
                              std::filesystem::copy_options::recursive);
        writeList(install.path(), "pro", {{app::ansi("Демо"), "DEMO"}});
        onChooser = [&](app::TVellPath* chooser) {
            chooser->Path->setText(install.path());
            chooser->Grid->selectRow(0);
            QTest::mouseClick(chooser->Button1, Qt::LeftButton);
        };
        messages.clear();
        main->N5Click();
        QCOMPARE(messages, QStringList());
        QCOMPARE(errors, QStringList());
        const QString chosen = install.path() + "/DEMO/";
        QCOMPARE(main->windowTitle(), qs("ЛОРФ Замена группы материалов [") + chosen + "]");
        QFile ini(programDir.filePath("path.ini"));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(ini.readAll(), chosen.toUtf8());
        ini.close();
        QVERIFY(d->mlabel.active() && d->mlabel.recordCount() > 0);

        main->materialsDoubleClick();
        QCOMPARE(d->MLabelMem.recordCount(), 1);
        QFile::remove(programDir.filePath("path.ini"));
        onChooser = nullptr;  // "Отмена"
        main->N5Click();
        QCOMPARE(messages, QStringList());
        QCOMPARE(d->MLabelMem.recordCount(), 1);
        QVERIFY(!QFile::exists(programDir.filePath("path.ini")));
        QVERIFY(d->mlabel.active());
        QCOMPARE(main->windowTitle(), qs("ЛОРФ Замена группы материалов [") + chosen + "]");
    }

    // The chooser at start-up, when path.ini names no database: the choice is remembered.
    void theChooserAtStartUp() {
        QTemporaryDir install;
        writeList(install.path(), "pro", {{"db", dbDir.path().toStdString()}});
        writeIni("/nowhere/");
        onChooser = [&](app::TVellPath* chooser) {
            chooser->Path->setText(install.path());
            QTest::mouseDClick(
                chooser->Grid->viewport(), Qt::LeftButton, {},
                chooser->Grid->visualRect(chooser->Grid->model()->index(0, 0)).center());
        };
        start();
        QCOMPARE(messages, QStringList());
        QVERIFY(d->mlabel.active());
        QFile ini(programDir.filePath("path.ini"));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(ini.readAll(), (dbDir.path() + "/").toUtf8());
    }

    // The table list editor: rows inserted, renamed and deleted through the grid and the
    // navigator, in name order, and the transfer works on the list as it now is.
    void theTableListEditor() {
        QTemporaryDir db;  // the run rewrites the tables: a database of its own
        startOnOwnDemo(db, 60, 3);
        app::TSPR_TABLES* editor = main->SPR_TABLES;
        editor->show();
        QVERIFY(QTest::qWaitForWindowExposed(editor));
        auto* grid = editor->Grid;
        auto* model = grid->model();
        auto* nav = editor->Navigator;
        using N = app::DBNavigator;
        auto names = [&] {
            QStringList v;
            for (int r = 0; r < model->rowCount(); ++r)
                v << model->data(model->index(r, 0)).toString();
            return v;
        };
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), qs("Название"));
        QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), qs("Комментарий"));
        QVERIFY(!nav->button(N::nbDelete)->isEnabled());
        QVERIFY(!nav->button(N::nbPost)->isEnabled());
        for (const char* name : {"zapas\\prihod.dbf", "zapas\\nosuch.dbf", "zapas\\mlabel.dbf"}) {
            QTest::mouseClick(nav->button(N::nbInsert), Qt::LeftButton);
            QVERIFY(nav->button(N::nbPost)->isEnabled());
            QVERIFY(!nav->button(N::nbInsert)->isEnabled());
            int row = model->rowCount() - 1;
            QCOMPARE(model->headerData(row, Qt::Vertical).toString(), QString::fromUtf8("✱"));
            QVERIFY(model->setData(model->index(row, 0), QString(name)));
            QTest::mouseClick(nav->button(N::nbPost), Qt::LeftButton);
        }
        QCOMPARE(errors, QStringList());
        QCOMPARE(names(),
                 (QStringList{"zapas\\mlabel.dbf", "zapas\\nosuch.dbf", "zapas\\prihod.dbf"}));
        // Renamed, then posted by moving to another row: it moves to its place.
        grid->selectRow(2);
        QVERIFY(model->setData(model->index(2, 0), QString("a\\prihod.dbf")));
        QVERIFY(model->setData(model->index(2, 2), qs("приход")));
        QCOMPARE(d->TABLES.state(), db::State::Edit);
        grid->selectRow(0);
        QTRY_COMPARE(d->TABLES.state(), db::State::Browse);
        QCOMPARE(names(), (QStringList{"a\\prihod.dbf", "zapas\\mlabel.dbf", "zapas\\nosuch.dbf"}));
        QCOMPARE(model->data(model->index(0, 2)).toString(), qs("приход"));
        // An edit cancelled leaves the row as it was.
        grid->selectRow(1);
        QVERIFY(model->setData(model->index(1, 1), QString("x")));
        QTest::mouseClick(nav->button(N::nbCancel), Qt::LeftButton);
        QCOMPARE(model->data(model->index(1, 1)).toString(), QString());
        // The keys: Insert begins a row, Escape cancels it without closing the editor.
        QTest::keyClick(editor, Qt::Key_Insert);
        QCOMPARE(d->TABLES.state(), db::State::Insert);
        QCOMPARE(model->rowCount(), 4);
        QTest::keyClick(editor, Qt::Key_Escape);
        QCOMPARE(d->TABLES.state(), db::State::Browse);
        QCOMPARE(model->rowCount(), 3);
        QVERIFY(editor->isVisible());
        // Deleting asks first.
        QStringList asked;
        bool answer = false;
        app::setQuestionSink([&](const QString& q) {
            asked << q;
            return answer;
        });
        grid->selectRow(0);
        QTest::mouseClick(nav->button(N::nbDelete), Qt::LeftButton);
        QCOMPARE(names().size(), 3);
        answer = true;
        QTest::mouseClick(nav->button(N::nbDelete), Qt::LeftButton);
        app::setQuestionSink(nullptr);
        QCOMPARE(asked, (QStringList{qs("Удалить запись?"), qs("Удалить запись?")}));
        QCOMPARE(names(), (QStringList{"zapas\\mlabel.dbf", "zapas\\nosuch.dbf"}));
        // Closing does not post a row being edited; it is still there when the editor opens.
        grid->selectRow(1);
        QVERIFY(model->setData(model->index(1, 2), QString("pending")));
        QTest::mouseClick(editor->Button1, Qt::LeftButton);
        QVERIFY(!editor->isVisible());
        QCOMPARE(d->TABLES.state(), db::State::Edit);
        editor->show();
        QCOMPARE(model->data(model->index(1, 2)).toString(), QString("pending"));
        QVERIFY(nav->button(N::nbPost)->isEnabled());
        QTest::mouseClick(nav->button(N::nbCancel), Qt::LeftButton);
        editor->hide();

        // The transfer sees the two rows at once.
        d->mlabel.first();
        plan::appendPlanRow(
            *d, {d->mlabel.fieldByName("GRUP").asString(), d->mlabel.fieldByName("NNUM").asString(),
                 "x", d->mlabel.fieldByName("GRUP").asString(), "NEW-1"});
        main->mLog->clear();
        main->Button5Click();
        QStringList lines = main->mLog->toPlainText().split('\n');
        QCOMPARE(lines.filter(qs(":Обрабатывается ")).size(), 2);
        QVERIFY(lines[1].contains(qs(":Обрабатывается zapas\\mlabel.dbf ;")));
        QVERIFY(lines[2].endsWith(qs(":Обрабатывается zapas\\nosuch.dbf")));
        QVERIFY(lines.filter(qs(":Индексы проверены zapas\\mlabel.dbf")).size() == 1);
    }

    // "Восстановить таблицы..." lists the backup a transfer left and puts the table back byte
    // for byte after asking ("no", the default, keeps the table as the run left it); a table
    // changed since the run is put back only when the second question says so.
    void restoringABackup() {
        QTemporaryDir db;
        startOnOwnDemo(db, 200, 6);
        const std::string g = d->mlabel.fieldByName("GRUP").asString();
        const std::string n = d->mlabel.fieldByName("NNUM").asString();
        d->TABLES.append();
        d->TABLES.fieldByName("NAME").setAsString("zapas\\mlabel.dbf");
        d->TABLES.post();
        plan::appendPlanRow(*d, {g, n, "x", g, "FREE-1"});
        auto bytes = [&](const char* name) {
            QFile f(db.path() + "/zapas/" + name);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        const QByteArray dbf = bytes("mlabel.dbf"), cdx = bytes("mlabel.cdx");
        main->Button5Click();
        QVERIFY(bytes("mlabel.dbf") != dbf);
        const QByteArray afterRun = bytes("mlabel.dbf");

        main->fillRestore();
        QTableWidget* grid = main->Restore->Grid;
        QCOMPARE(grid->rowCount(), 1);
        QCOMPARE(grid->item(0, 1)->text(), QString("zapas\\mlabel.dbf"));
        QCOMPARE(grid->item(0, 2)->text(), QString("1"));
        QCOMPARE(grid->item(0, 3)->text(), QString("0"));
        QStringList asked;
        std::vector<bool> answers;
        app::setQuestionSink([&](const QString& q) {
            asked << q;
            const bool a = !answers.empty() && answers.front();
            if (!answers.empty()) answers.erase(answers.begin());
            return a;
        });
        messages.clear();
        QTest::mouseClick(main->Restore->btnRestore, Qt::LeftButton);
        QCOMPARE(asked.size(), 1);
        QCOMPARE(bytes("mlabel.dbf"), afterRun);

        // Somebody works in the table after the run: "no" to the second question keeps it.
        d->closeBrowsing();
        {
            xbase::OpenOptions o;
            o.readOnly = false;
            o.share = xbase::Share::Exclusive;
            xbase::Table::open((db.path() + "/zapas/mlabel.dbf").toStdString(), o)
                ->setDeleted(1, true);
        }
        d->reopenBrowsing();
        const QByteArray changed = bytes("mlabel.dbf");
        asked.clear();
        answers = {true, false};
        QTest::mouseClick(main->Restore->btnRestore, Qt::LeftButton);
        QCOMPARE(asked.size(), 2);
        QVERIFY(asked[1].startsWith(qs("Таблицы изменены после переноса:\nzapas\\mlabel.dbf")));
        QCOMPARE(bytes("mlabel.dbf"), changed);
        QCOMPARE(messages.last(),
                 qs("zapas\\mlabel.dbf: изменена после переноса, не восстановлена"));

        answers = {true, true};
        QTest::mouseClick(main->Restore->btnRestore, Qt::LeftButton);
        QCOMPARE(messages.last(), qs("zapas\\mlabel.dbf: восстановлена"));
        QCOMPARE(bytes("mlabel.dbf"), dbf);
        QCOMPARE(bytes("mlabel.cdx"), cdx);
        QVERIFY(d->mlabel.active());

        // Removing the backup asks too.
        answers = {true};
        QTest::mouseClick(main->Restore->btnDelete, Qt::LeftButton);
        app::setQuestionSink(nullptr);
        QCOMPARE(grid->rowCount(), 0);
        QVERIFY(!main->Restore->btnRestore->isEnabled());
        QVERIFY(!QDir(db.path() + "/lorf-backup").exists() ||
                QDir(db.path() + "/lorf-backup").isEmpty());
    }

    // Without a database the table list is closed: an empty grid, every button disabled.
    void theEditorWithoutADatabase() {
        QFile::remove(programDir.filePath("path.ini"));
        start();
        QVERIFY(!d->TABLES.active());
        main->SPR_TABLES->show();
        QCOMPARE(main->SPR_TABLES->Grid->model()->rowCount(), 0);
        for (int b = 0; b < app::DBNavigator::nbCount; ++b)
            QVERIFY(!main->SPR_TABLES->Navigator->button(static_cast<app::DBNavigator::Button>(b))
                         ->isEnabled());
        main->SPR_TABLES->hide();
        QCOMPARE(main->AboutBox->ProductName->text(), QString("LORF_MGRUP"));
        QCOMPARE(main->AboutBox->Version->text(), qs("Версия 1.4"));
        QVERIFY(main->AboutBox->OKButton->isDefault());
    }

    // The item-number menu: alignment, then the two dialogs with their own texts.
    void itemNumberProcessing() {
        writeIni((dbDir.path() + "/").toUtf8());
        start();
        for (const char* n : {"ABCDE", "\tAB"}) {
            d->PLAN.append();
            d->PLAN.fieldByName("GRUP").setAsString("1");
            d->PLAN.fieldByName("NNUM").setAsString("N");
            d->PLAN.fieldByName("NNNUM").setAsString(n);
            d->PLAN.post();
        }
        auto numbers = [this] {
            QStringList v;
            for (d->PLAN.first(); !d->PLAN.eof(); d->PLAN.next())
                v << qs(d->PLAN.fieldByName("NNNUM").asString());
            return v;
        };
        main->N12Click();
        QCOMPARE(numbers(), (QStringList{"        ABCDE", "           AB"}));
        QCOMPARE(main->NewLetter->edChto->text(), QString(" "));
        main->NewLetter->Button1Click();
        QCOMPARE(numbers(), (QStringList{"00000000ABCDE", "00000000000AB"}));

        main->InsertSimbols->Edit1->setText("2 ");
        main->InsertSimbols->Button1Click();
        QCOMPARE(errors,
                 QStringList{"'2 ' is not a valid integer value."});  // the box adds the stop
        QCOMPARE(numbers(), (QStringList{"00000000ABCDE", "00000000000AB"}));
        main->InsertSimbols->Edit1->setText("$0");
        main->InsertSimbols->Edit2->setText("X");
        main->InsertSimbols->Button1Click();
        QCOMPARE(main->InsertSimbols->result(), int(QDialog::Accepted));
        QCOMPARE(numbers(), (QStringList{"X0000000ABCDE", "X0000000000AB"}));
        main->N13Click();
        QCOMPARE(numbers(), (QStringList{"X0000000ABCDE", "X0000000000AB"}));
        QCOMPARE(errors.size(), 1);
    }
};

// The program's own application class, so that what it catches is tested too.
int main(int argc, char** argv) {
    app::Application application(argc, argv);
    application.setAttribute(Qt::AA_Use96Dpi, true);
    MainWindowTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "main_window_test.moc"
