#pragma once

// The settings dialogs: the path chooser, the table list editor and the about box.

#include <QDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QToolButton>
#include <QTreeView>
#include <string>

#include "access/dbase_list.h"
#include "app/main_window.h"
#include "data/data.h"

namespace app {

// The program's picture: the about box shows it and every window has it as its icon.
QPixmap programPicture();

// "Путь к ЛОРФ": the user points at an installation directory, sees its list of databases
// (label.pro) and confirms one, which is left in ChosenPath.
class TVellPath : public QDialog {
    Q_OBJECT
  public:
    explicit TVellPath(QWidget* parent);
    ~TVellPath() override;

    QTreeView* Tree;
    QFileSystemModel* TreeModel;
    QLineEdit* Path;
    DatasetGrid* Grid;
    QPushButton *Button1, *Button2;
    ads::TDBaseList label_pro{"label_pro"};
    db::DataSource label_proSrc{"label_proSrc"};

    // The database directory last confirmed in this run (ANSI text), empty until then.
    std::string ChosenPath;

    void TreeChange(const QModelIndex& node);
    void PathChange();
    // Opens on the database in use (a folder, program text): the tree shows it and the path
    // names it, its list of databases shown.
    void openAt(const std::string& dir);
    void Button1Click();
    void Button2Click();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void FormShow();
    bool treeRead_ = false;  // the disk is read for the tree on the first showing
    bool homeShown_ = false;
};

// A record navigator: first, prior, next, last, insert, delete, edit, post, cancel, refresh;
// each button enabled only where it can act.
class DBNavigator : public QWidget, public db::DataLink {
    Q_OBJECT
  public:
    DBNavigator(db::DataSource& source, DatasetGrid* grid, QWidget* parent);
    ~DBNavigator() override;
    enum Button {
        nbFirst,
        nbPrior,
        nbNext,
        nbLast,
        nbInsert,
        nbDelete,
        nbEdit,
        nbPost,
        nbCancel,
        nbRefresh,
        nbCount
    };
    QToolButton* button(Button b) const { return buttons_[b]; }
    void click(Button b);
    void dataEvent(db::DataEvent e) override;
    void sourceDestroyed(db::DataSource*) override { source_ = nullptr; }
    void updateButtons();

  private:
    db::DataSource* source_;
    DatasetGrid* grid_;
    QToolButton* buttons_[nbCount];
};

// "SPR_TABLES": the list of accounting tables the transfer rewrites, edited in place.
class TSPR_TABLES : public QDialog {
    Q_OBJECT
  public:
    TSPR_TABLES(data::TData& module, QWidget* parent);
    DatasetGrid* Grid;
    DBNavigator* Navigator;
    QPushButton* Button1;
    void Button1Click();

  protected:
    void showEvent(QShowEvent* event) override;
    // Insert adds a row, Ctrl+Delete deletes one, Escape first cancels an edit in progress.
    void keyPressEvent(QKeyEvent* event) override;
};

// "О программе".
class TAboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit TAboutBox(QWidget* parent);
    QLabel *ProgramIcon, *ProductName, *Version, *Label1;
    QPushButton* OKButton;

  protected:
    void showEvent(QShowEvent* event) override;
};

}  // namespace app
