#pragma once

// Marks and plan building: what the buttons and menu items of the first tab do, as logic over
// the data module. The screen is reached through a port, which the main window implements
// with Qt and the tests with a script.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "data/data.h"

namespace plan {

// What the new item number dialog shows and starts with.
struct NewNumberRequest {
    std::string title;  // two lines, separated by a carriage return
    std::string grup, nnum, ngrup;
    std::string candidate;  // the edit box's text
};

class Port {
  public:
    virtual ~Port() = default;
    // The progress window: its upper line and small line (left as they were when absent), its
    // lower line, the bar from 0 to max.
    virtual void progressShow(const std::optional<std::string>& upper,
                              const std::optional<std::string>& small, const std::string& lower,
                              int max) = 0;
    virtual void progressStep() = 0;
    virtual void progressClose() = 0;
    // Lets pending window messages run once.
    virtual void processMessages() = 0;
    // A journal line: time stamp, " : ", text.
    virtual void log(const std::string& text) = 0;
    // A plain message box.
    virtual void message(const std::string& text) = 0;
    // The target-group chooser, modal; true when the user pressed "Добавить". The chosen
    // group is the current row of NMgrup.
    virtual bool chooseGroup() = 0;
    // The new item number dialog, modal; true for OK with the entry in `number`.
    virtual bool askNewNumber(const NewNumberRequest& request, std::string& number) = 0;
    // The main window's status line and re-read of the materials.
    virtual void status() = 0;
    // The plan tab to the front.
    virtual void showPlanTab() = 0;
};

// The port of runs without a screen (scripts, benchmarks): no progress, no journal, and a
// dialog is always closed without a choice.
class SilentPort : public Port {
  public:
    void progressShow(const std::optional<std::string>&, const std::optional<std::string>&,
                      const std::string&, int) override {}
    void progressStep() override {}
    void progressClose() override {}
    void processMessages() override {}
    void log(const std::string&) override {}
    void message(const std::string&) override {}
    bool chooseGroup() override { return false; }
    bool askNewNumber(const NewNumberRequest&, std::string&) override { return false; }
    void status() override {}
    void showPlanTab() override {}
};

// Marks (the ML table) of the materials shown in the materials grid.
class Marks {
  public:
    Marks(data::TData& data, Port& port) : d_(data), port_(port) {}
    // Double click on the materials grid: the current material's mark on or off.
    void toggle();
    void markGroup();    // N6Click
    void unmarkGroup();  // N7Click
    void clearAll();     // N8Click

  private:
    void groupPass(bool mark);
    bool findMark(const std::string& grup, const std::string& nnum);
    data::TData& d_;
    Port& port_;
};

// The program's texts are Russian, written in UTF-8 here; inside the program text is ANSI.
std::string ansi(const char* utf8);

// A row of the plan: the old pair, the material's name, the new pair.
struct PlanRow {
    std::string grup, nnum, name, ngrup, nnnum;
};

// Appends `row` to the plan and posts it.
void appendPlanRow(data::TData& data, const PlanRow& row);
// The plan's rows, in its order.
std::vector<PlanRow> planRows(data::TData& data);

// Plan building and the plan's maintenance.
class PlanBuilder {
  public:
    PlanBuilder(data::TData& data, Port& port) : d_(data), port_(port) {}
    void toPlan();  // Button1Click, "В план"
    void toOtherGroup();  // Button2Click, "В другую группу", and the chooser's "Добавить"
    void clear();      // Button3Click, "Очистить"
    void deleteRow();  // Button4Click, "Удалить"

    // Rows given by hand (the command line; their names are looked up), each checked as plan
    // building checks its rows: the pair already planned, the new pair taken in the materials or
    // the plan (earlier rows of the same list included), or a value too wide for its field. All are
    // added, or none (none at all when `checkOnly`): the refusals come back with the index of their
    // row.
    struct Refusal {
        std::size_t row;
        std::string reason;
    };
    std::vector<Refusal> addRows(const std::vector<PlanRow>& rows, bool checkOnly = false);
    // Rows a transfer could not apply everywhere, put back as they were: unlike addRows, the
    // new pair may already be in the materials (the tables that took the row). A row whose
    // material is already planned is skipped. Names come from the material under its old pair,
    // or under its new one where the material table took the row. Returns how many were added.
    // With `returned`, notes per row whether it went back into the plan.
    std::size_t returnRows(const std::vector<PlanRow>& rows, std::vector<bool>* returned = nullptr);

  private:
    void buildIntoChosenGroup();
    std::string nameOf(const std::string& grup, const std::string& nnum);
    bool taken(const std::string& ngrup, const std::string& nnum);
    void finish();
    data::TData& d_;
    Port& port_;
};

}  // namespace plan
