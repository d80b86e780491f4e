#pragma once

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTranslator>
#include <functional>
#include <memory>
#include <string>

#include "app/dataset_model.h"
#include "app/progress.h"
#include "data/data.h"
#include "plan/backup.h"
#include "plan/plan.h"

namespace app {

inline constexpr const char* kApplicationTitle = "LORF_MGRUP_ZAPAS";

// The application: an exception that an event handler, a slot or a view lets through reaches
// the general error report instead of ending the program.
class Application : public QApplication {
  public:
    // Qt's own texts (the buttons of every box, the text boxes' menus, the file dialogs) in
    // Russian: qtbase_ru.qm from translations/ beside the program (the Windows build carries
    // it there), else from Qt's own translations.
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
    // Whether Qt's Russian texts were found.
    bool russian() const { return russian_; }

  private:
    QTranslator qtRussian_;
    bool russian_ = false;
};

// The general error report: a modal error box with the error's text, a full stop added when
// the text's last character sorts after '.'.
void reportError(QWidget* parent, const QString& text);
// The general error report's box for `text` (the full stop added), not yet shown.
std::unique_ptr<QMessageBox> errorBox(QWidget* parent, const QString& text);
// The program's plain information box, not yet shown.
std::unique_ptr<QMessageBox> messageBox(QWidget* parent, const QString& text);
// A plain message: no icon, one OK button, the application title as caption.
void plainMessage(QWidget* parent, const QString& text);
// Where both go instead of a box, when set (tests read them this way): kind is "error" or
// "message", text as the box would show it.
void setMessageSink(std::function<void(const QString& kind, const QString& text)> sink);
// A question with the buttons Yes and No; true for Yes. `yesByDefault` picks the default button.
bool askYesNo(QWidget* parent, const QString& text, bool yesByDefault = true);
// A plain message whose OK goes on: true for OK, false when the box was closed otherwise
// (Escape, the window's close button). With a message sink, the text goes there and the answer
// is the one set by setOkAnswer (OK unless set).
bool messageOk(QWidget* parent, const QString& text);
void setOkAnswer(bool ok);
// Who answers the questions instead of a box, when set.
void setQuestionSink(std::function<bool(const QString& text)> answer);
// Runs an action; a failure goes to the general error report. Returns whether it ran through.
bool reported(QWidget* parent, const std::function<void()>& action);

// A grid over a data source: whole rows, the grid's current row and the dataset's current
// record in step.
class DatasetGrid : public QTableView {
    Q_OBJECT
  public:
    DatasetGrid(db::DataSource& source, std::vector<GridColumn> columns, QWidget* parent);
    DatasetModel* datasetModel() const { return model_; }

  protected:
    // Ctrl+End goes to the last record: the rows not read yet are read first.
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

  private:
    DatasetModel* model_;
};

// The target-group chooser.
class TChooseGrup : public QDialog {
    Q_OBJECT
  public:
    TChooseGrup(data::TData& d, QWidget* parent);
    DatasetGrid* JvDBUltimGrid1;                // the groups to choose from
    void JvDBUltimGrid1TitleClick(int column);  // a title: ordered by code or by name

  protected:
    void showEvent(QShowEvent* event) override;  // centred on the screen

  private:
    data::TData& d_;
};

// The new item number dialog.
class TChGrupNnum : public QDialog {
    Q_OBJECT
  public:
    explicit TChGrupNnum(QWidget* parent);
    QLabel *lblTitle, *lblGrup, *lblNnum, *lblNgrup;
    QLineEdit* edNnnum;
};

// "Заменить символы": every occurrence of one text in the new item numbers replaced by
// another; OK may be pressed again, the close box ends it.
class TNewLetter : public QDialog {
    Q_OBJECT
  public:
    TNewLetter(data::TData& module, QWidget* parent);
    QLabel *Label1, *Label2;
    QLineEdit *edChto, *edNa;
    QPushButton* Button1;
    void Button1Click();

  private:
    data::TData& d_;
};

// "Вставить сиволы": a text inserted into the new item numbers after a position.
class TInsertSimbols : public QDialog {
    Q_OBJECT
  public:
    TInsertSimbols(data::TData& module, QWidget* parent);
    QLabel *Label1, *Label2;
    QLineEdit *Edit1, *Edit2;
    QRadioButton *cutRight, *cutLeftOfRight;  // the items of "Если длина результата >13"
    QPushButton *Button1, *Button2;
    void Button1Click();

  private:
    data::TData& d_;
};

// "Проверка плана": the plan check's report, to read and copy.
class TPlanReport : public QDialog {
    Q_OBJECT
  public:
    explicit TPlanReport(QWidget* parent);
    QPlainTextEdit* Text;
    QPushButton* btnAddTables;  // "Добавить в список таблиц": the unlisted tables, in one step
};

// "Восстановление таблиц": the backups the transfers left, to put one back or remove it.
class TRestore : public QDialog {
    Q_OBJECT
  public:
    explicit TRestore(QWidget* parent);
    QTableWidget* Grid;  // a backup a row: date, tables, plan rows, error lines, rows not moved
    QPushButton* btnRestore;  // "Восстановить"
    QPushButton* btnReplan;  // "Вернуть строки в план": the rows its run could not move
    QPushButton* btnDelete;  // "Удалить копию"
};

class TVellPath;
class TSPR_TABLES;
class TAboutBox;

class TMain : public QMainWindow, public plan::Port {
    Q_OBJECT
  public:
    TMain();
    ~TMain() override;
    // The data module and the dialogs, created after the main window as the program starts.
    void attach(data::TData* module);

    // The program's directory (where path.ini and kvd.abs are); the executable's own unless
    // set (tests set it).
    void setProgramDirectory(const QString& dir) { programDir_ = dir; }

    std::string DBPath;
    std::vector<plan::BackupInfo> backups_;  // the rows of Restore
    std::vector<std::string> unlisted_;      // what the last plan check found unlisted
    QString busySaved_;                      // the status line while the store is waited for
    bool IsAnsi = false;
    bool SearchStarted = false;

    void FormShow();
    void OpenData();
    void Status();
    void Log(const QString& text);
    // The journal's time stamp: the short date, and the long time unless it is midnight.
    static QString timeStamp(const QDateTime& when);
    // Direct journal writing, line by line.
    void journalAppend(const QString& line);
    int journalLineCount() const;
    QString journalLine(int index) const;
    void journalReplace(int index, const QString& line);

    void Button1Click();  // "В план": the marked materials into the plan, group and number kept
    void Button2Click();  // "В другую группу": the marked materials into a chosen group
    void Button3Click();  // "Очистить": the plan emptied
    void Button4Click();  // "Удалить": the plan's current row deleted
    void Button5Click();  // "Начать перенос": the transfer run
    void Button6Click();  // "Найти": searches, or goes on with the search begun
    void Button7Click();  // "С начала": the search reset and its texts cleared
    void N4Click();       // "Помощь" → "О программе": the about box
    void N5Click();       // "Файл" → "Путь к БД": the path chooser
    void N10Click();      // "Справочники" → "Таблицы": the table list editor
    void N6Click();   // grids' menu "Отметить всю группу": marks the current group
    void N7Click();   // grids' menu "Снять отметки со всей группы"
    void N8Click();   // grids' menu "Снять все отметки"
    void N12Click();  // "Обработка Н/номеров" → "Прижать вправо"
    void N13Click();  // "Обработка Н/номеров" → "Прижать влево"
    void N14Click();  // "Обработка Н/номеров" → "Заменить символы": TNewLetter
    void N15Click();  // "Обработка Н/номеров" → "Вставить сиволы": TInsertSimbols
    void checkPlanClick();      // "Проверить план": the plan check's report
    void fillPlanReport();      // the report of the plan as it is, into PlanReport
    void restoreClick();        // "Файл" -> "Восстановить таблицы..."
    void fillRestore();         // the database's backups, into Restore
    void restoreBackupClick();  // puts the chosen backup back, after asking
    void deleteBackupClick();   // removes the chosen backup, after asking
    void replanClick();         // the chosen backup's rows not moved, back into the plan
    void addUnlistedClick();    // the tables the plan check found unlisted, into the list
    void restoreRowChanged();  // "Вернуть строки в план" only for a backup with such rows
    void groupsTitleClick(int column);  // a groups grid title: ordered by code or by name
    void materialsDoubleClick();        // a material's mark turned on or off

    // The widgets, by the names the program gives them.
    QTabWidget* PageControl1;
    QLineEdit *edNNUM, *edName;
    QPushButton *Button1, *Button2, *Button3, *Button4, *Button5, *Button6, *Button7;
    QPushButton* btnCheckPlan;  // "Проверить план"
    DatasetGrid *groupsGrid = nullptr, *materialsGrid = nullptr, *planGrid = nullptr;
    QLabel *statuslabel = nullptr, *Label1 = nullptr, *lblPlanStatus = nullptr;
    QPlainTextEdit* mLog;
    TProgress* progress = nullptr;
    TChooseGrup* chooser = nullptr;
    TChGrupNnum* newNumber = nullptr;
    TNewLetter* NewLetter = nullptr;
    TInsertSimbols* InsertSimbols = nullptr;
    TPlanReport* PlanReport = nullptr;
    TRestore* Restore = nullptr;
    TVellPath* VellPath = nullptr;
    TSPR_TABLES* SPR_TABLES = nullptr;
    TAboutBox* AboutBox = nullptr;

    // plan::Port
    void progressShow(const std::optional<std::string>& upper,
                      const std::optional<std::string>& small, const std::string& lower,
                      int max) override;
    void progressStep() override;
    void progressClose() override;
    void processMessages() override;
    void log(const std::string& text) override;
    void message(const std::string& text) override;
    bool chooseGroup() override;
    bool askNewNumber(const plan::NewNumberRequest& request, std::string& number) override;
    void status() override { Status(); }
    void showPlanTab() override { PageControl1->setCurrentIndex(1); }
    // Whether a run (plan building, the transfer, marking) holds the window: its menus,
    // shortcuts and widgets take no input, and it does not close, until the run ends.
    bool running() const { return running_; }
    // Runs `ask`, a dialog the user must answer, with the progress window out of its way: it
    // stays above the main window and would cover the dialog. It comes back afterwards.
    template <class F>
    auto withProgressAside(F&& ask) {
        const bool shown = progress && progress->isVisible();
        if (shown) progress->hide();
        struct Back {
            TProgress* p;
            bool shown;
            ~Back() {
                if (shown) p->showOver();
            }
        } back{progress, shown};
        return ask();
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;  // centred on the screen the first time

  private:
    // Runs a handler; an error ends it and goes to the general error report.
    template <class F>
    void guarded(F&& f);
    QString programFile(const char* name) const;
    void savePath() const;
    // Takes what the path chooser left in ChosenPath into DBPath and IsAnsi; true when that is
    // a database, which the caller opens, else "БД не найдена!" is said.
    bool acceptChosenPath();
    bool validDatabase(const std::string& path) const;
    static std::string withDelimiter(std::string path);
    void buildTab1(QWidget* tab);
    void buildTab2(QWidget* tab);
    void buildMenus();
    // Takes every input away from the window for a run, or gives it back as it was.
    void holdInput(bool hold);

    data::TData* d_ = nullptr;
    std::unique_ptr<plan::Marks> marks_;
    std::unique_ptr<plan::PlanBuilder> builder_;
    QString programDir_;
    QWidget* tab1_ = nullptr;
    bool running_ = false;
    bool placed_ = false;
    std::vector<std::pair<QAction*, bool>> heldActions_;  // each action's state before the run
};

}  // namespace app
