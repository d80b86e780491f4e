// LORF_MGRUP: moves materials of the accounting system to other groups and renumbers them.
#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <cstdio>

#include "app/main_window.h"
#include "app/settings_dialogs.h"
#include "app/text.h"
#include "plan/numbers.h"

namespace {

// The journal after a run that moves the first three materials to new numbers in their own
// groups, and the ending of a run with errors. Rewrites the database: for a scratch copy only.
void transferShot(app::TMain& main, data::TData& d, const QString& dir) {
    app::setMessageSink([](const QString&, const QString&) {});  // the two boxes pass
    int n = 0;
    for (d.mlabel.first(); !d.mlabel.eof() && n < 3; d.mlabel.next(), ++n) {
        auto field = [&](const char* name) { return d.mlabel.fieldByName(name).asString(); };
        plan::appendPlanRow(d, {field("GRUP"), field("NNUM"), field("NAME"), field("GRUP"),
                                app::ansi("Н-") + std::to_string(n + 1)});
    }
    main.Status();
    // The plan check's report, as "Проверить план" shows it.
    main.fillPlanReport();
    main.PlanReport->show();
    QApplication::processEvents();
    main.PlanReport->grab().save(dir + "/plan-check.png");
    main.PlanReport->hide();
    main.Button5Click();
    QApplication::processEvents();
    main.grab().save(dir + "/journal-after-transfer.png");
    // The backup the run left, as "Восстановить таблицы..." lists it.
    main.fillRestore();
    main.Restore->show();
    QApplication::processEvents();
    main.Restore->grab().save(dir + "/restore.png");
    main.Restore->hide();

    // A second run with a listed table that is missing: the ending box says it ended with
    // errors and where the journal, the plan and the old files are.
    QString ending;
    app::setMessageSink([&ending](const QString&, const QString& text) { ending = text; });
    d.TABLES.append();
    d.TABLES.fieldByName("NAME").setAsString("zapas\\nosuch.dbf");
    d.TABLES.post();
    d.mlabel.first();
    plan::appendPlanRow(
        d, {d.mlabel.fieldByName("GRUP").asString(), d.mlabel.fieldByName("NNUM").asString(),
            d.mlabel.fieldByName("NAME").asString(), d.mlabel.fieldByName("GRUP").asString(),
            app::ansi("Н-9")});
    main.Status();
    main.Button5Click();
    QApplication::processEvents();
    auto box = app::messageBox(&main, ending);
    box->show();
    QApplication::processEvents();
    box->grab().save(dir + "/transfer-with-errors.png");
}

}  // namespace

int main(int argc, char** argv) {
    app::Application application(argc, argv);
    {
        // The program's own options (Qt has taken its own out of the list by now): anything
        // else, --help included, gets the usage and status 2.
        const QStringList args = QApplication::arguments();
        bool usage = false;
        for (qsizetype i = 1; i < args.size(); ++i) {
            if (args[i] == "--screenshots" && i + 1 < args.size())
                ++i;
            else if (args[i] != "--with-transfer")
                usage = true;
        }
        if (usage) {
            std::fputs(
                "usage: lorf-mgrup [--screenshots DIR [--with-transfer]]\n"
                "  the window; path.ini and kvd.abs are beside the program\n"
                "  --screenshots DIR  saves a picture of each tab and dialog into DIR\n"
                "  --with-transfer    with them, a transfer on the database (a scratch "
                "copy only)\n",
                stderr);
            return 2;
        }
    }
    // The application title names the task bar button and the message boxes; it is no display
    // name, which Qt would append to every window's caption.
    QApplication::setApplicationName(app::kApplicationTitle);
    QApplication::setWindowIcon(QIcon(app::programPicture()));
    // The main window first (it is the application's main window), then the data module,
    // then the dialogs, which stay hidden until called.
    app::TMain main;
    std::unique_ptr<data::TData> data;
    try {
        data = std::make_unique<data::TData>();
    } catch (const std::exception& e) {
        app::reportError(nullptr, app::errorText(e.what()));
        return 1;
    }
    main.attach(data.get());
    main.show();
    QTimer::singleShot(0, &main, [&main] { main.FormShow(); });
    // --screenshots DIR: after start-up, a picture of each tab and dialog goes to DIR and the
    // program ends, changing nothing. With --with-transfer (for a scratch copy only) it also
    // lists two tables and runs a transfer for the journal's picture.
    const QStringList args = QApplication::arguments();
    qsizetype at = args.indexOf("--screenshots");
    if (at >= 0 && at + 1 < args.size()) {
        QString dir = args[at + 1];
        QTimer::singleShot(500, &main, [&main, &data, dir] {
            const char* names[] = {"main-marks.png", "main-plan.png", "main-journal.png"};
            for (int tab = 0; tab < 3; ++tab) {
                main.PageControl1->setCurrentIndex(tab);
                QApplication::processEvents();
                main.grab().save(dir + "/" + names[tab]);
            }
            main.PageControl1->setCurrentIndex(0);
            // The dialogs as they first appear.
            main.chooser->show();
            QApplication::processEvents();
            main.chooser->grab().save(dir + "/choose-group.png");
            main.chooser->hide();
            main.newNumber->lblTitle->setText(app::qs(
                "Комбинация группы   1 и н/номера уже есть в номенклатуре или в плане операций\n"
                "Введите новый н/номер."));
            main.newNumber->lblGrup->setText("  1");
            main.newNumber->lblNnum->setText("100169");
            main.newNumber->lblNgrup->setText("  1");
            main.newNumber->edNnnum->setText("100169");
            main.newNumber->show();
            QApplication::processEvents();
            main.newNumber->grab().save(dir + "/new-number.png");
            main.newNumber->hide();
            // The number tools, filled in, and the box a position that is no number gives.
            main.NewLetter->edChto->setText(app::qs("Н"));
            main.NewLetter->edNa->setText("N");
            main.NewLetter->show();
            QApplication::processEvents();
            main.NewLetter->grab().save(dir + "/replace-characters.png");
            main.NewLetter->hide();
            main.InsertSimbols->Edit1->setText("3");
            main.InsertSimbols->Edit2->setText("-A");
            main.InsertSimbols->show();
            QApplication::processEvents();
            main.InsertSimbols->grab().save(dir + "/insert-characters.png");
            main.InsertSimbols->hide();
            auto box = app::errorBox(&main, QString::fromStdString(plan::notAnInteger("3a")));
            box->show();
            QApplication::processEvents();
            box->grab().save(dir + "/position-not-a-number.png");
            box->hide();
            main.progressShow(std::string(), std::string(), app::ansi("Отметка записей"), 100);
            main.progress->Bar->setValue(40);
            QApplication::processEvents();
            main.progress->grab().save(dir + "/progress.png");
            main.progressClose();
            // The settings dialogs: the chooser on the demo's own list, the table list (on a
            // scratch copy with the two tables the transfer below rewrites), the about box.
            const bool scratch = QApplication::arguments().contains("--with-transfer");
            main.VellPath->show();
            main.VellPath->Path->setText(app::qs(main.DBPath));
            QElapsedTimer treeRead;  // the folder tree is read and sorted in the background
            treeRead.start();
            while (treeRead.elapsed() < 500)
                QApplication::processEvents(QEventLoop::AllEvents, 50);
            main.VellPath->grab().save(dir + "/path-chooser.png");
            main.VellPath->hide();
            if (scratch && data->TABLES.active() && data->TABLES.isEmpty()) {
                for (auto [t, c] : {std::pair{"zapas\\mlabel.dbf", "материалы"},
                                    std::pair{"zapas\\prihod.dbf", "приходы"}}) {
                    data->TABLES.append();
                    data->TABLES.fieldByName("NAME").setAsString(t);
                    data->TABLES.fieldByName("COMMENT").setAsString(app::ansi(c));
                    data->TABLES.post();
                }
            }
            main.SPR_TABLES->show();
            QApplication::processEvents();
            main.SPR_TABLES->grab().save(dir + "/table-list.png");
            main.SPR_TABLES->hide();
            main.AboutBox->show();
            QApplication::processEvents();
            main.AboutBox->grab().save(dir + "/about.png");
            main.AboutBox->hide();
            if (scratch) transferShot(main, *data, dir);
            QApplication::quit();
        });
    }
    int code = application.exec();
    // The shutdown: the data module closes its tables and the store here, where a failure
    // still reaches the error box, before the window and the module go.
    if (!app::reported(nullptr, [&] { data->closeAll(); })) code = code ? code : 1;
    return code;
}
