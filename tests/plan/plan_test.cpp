#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <set>

#include "../common/test_text.h"
#include "../xbase/temp_dir.h"
#include "plan/plan.h"
#include "sample_db.h"
#include "xbase/codepage.h"

using db::Value;

namespace {

using testtext::ansi;

// The screen, scripted: answers come from queues, everything shown is recorded.
struct ScriptedPort : plan::Port {
    std::vector<std::string> journal, messages;
    std::vector<int> progressMax;
    int steps = 0, statusCalls = 0, planTab = 0, closes = 0;
    bool chooseAnswer = true;
    std::deque<std::optional<std::string>> numbers;  // nullopt: Cancel
    std::vector<plan::NewNumberRequest> requests;

    std::vector<std::optional<std::string>> uppers;
    void progressShow(const std::optional<std::string>& upper, const std::optional<std::string>&,
                      const std::string&, int max) override {
        progressMax.push_back(max);
        uppers.push_back(upper);
    }
    void progressStep() override { ++steps; }
    void progressClose() override { ++closes; }
    void processMessages() override {}
    void log(const std::string& t) override { journal.push_back(t); }
    void message(const std::string& t) override { messages.push_back(t); }
    bool chooseGroup() override { return chooseAnswer; }
    bool askNewNumber(const plan::NewNumberRequest& r, std::string& number) override {
        requests.push_back(r);
        if (numbers.empty()) ADD_FAILURE() << "an unexpected new-number dialog";
        auto answer = numbers.empty() ? std::nullopt : numbers.front();
        if (!numbers.empty()) numbers.pop_front();
        if (!answer) return false;
        number = *answer;
        return true;
    }
    void status() override { ++statusCalls; }
    void showPlanTab() override { ++planTab; }
};

class PlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sample::DemoOptions o;
        o.materials = 400;
        o.groups = 10;
        sample::writeDemo(dir.path(), o);
        store::createStore(dir.file("kvd.abs"));
        d = std::make_unique<data::TData>();
        d->openStore(dir.file("kvd.abs"));
        d->openAccounting(dir.path() + "/", true);
        marks = std::make_unique<plan::Marks>(*d, port);
        builder = std::make_unique<plan::PlanBuilder>(*d, port);
    }
    void goToGroup(const std::string& code) { ASSERT_TRUE(d->mgrup.locate("CODE", {Value(code)})); }
    std::vector<std::pair<std::string, std::string>> groupMaterials() {
        std::vector<std::pair<std::string, std::string>> out;
        for (d->mlabel.first(); !d->mlabel.eof(); d->mlabel.next())
            out.emplace_back(d->mlabel.fieldByName("GRUP").asString(),
                             d->mlabel.fieldByName("NNUM").asString());
        d->mlabel.first();
        return out;
    }
    std::multiset<std::pair<std::string, std::string>> markSet() {
        std::multiset<std::pair<std::string, std::string>> out;
        for (d->MLabelMem.first(); !d->MLabelMem.eof(); d->MLabelMem.next())
            out.emplace(d->MLabelMem.fieldByName("GRUP").asString(),
                        d->MLabelMem.fieldByName("NNUM").asString());
        return out;
    }
    struct Row {
        std::string grup, nnum, name, ngrup, nnnum;
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> planRows() {
        std::vector<Row> out;
        for (d->PLAN.first(); !d->PLAN.eof(); d->PLAN.next())
            out.push_back(
                {d->PLAN.fieldByName("GRUP").asString(), d->PLAN.fieldByName("NNUM").asString(),
                 d->PLAN.fieldByName("NAME").asString(), d->PLAN.fieldByName("NGRUP").asString(),
                 d->PLAN.fieldByName("NNNUM").asString()});
        return out;
    }
    // Marks the given materials by a double click each.
    void markByClick(const std::vector<std::pair<std::string, std::string>>& which) {
        for (const auto& [g, n] : which) {
            goToGroup(g);
            ASSERT_TRUE(d->mlabel.locate("GRUP;NNUM", {Value(g), Value(n)}));
            marks->toggle();
        }
    }
    TempDir dir;
    ScriptedPort port;
    std::unique_ptr<data::TData> d;
    std::unique_ptr<plan::Marks> marks;
    std::unique_ptr<plan::PlanBuilder> builder;
};

}  // namespace

TEST_F(PlanTest, MarksByClickAndByGroup) {
    goToGroup("  2");
    auto group = groupMaterials();
    ASSERT_GE(group.size(), 4u);
    marks->toggle();
    EXPECT_EQ(markSet().size(), 1u);
    marks->toggle();  // twice: as before
    EXPECT_TRUE(markSet().empty());
    EXPECT_EQ(port.statusCalls, 2);

    d->mlabel.next();
    d->mlabel.next();
    std::string current = d->mlabel.fieldByName("NNUM").asString();
    marks->toggle();
    marks->markGroup();  // the one already marked is not added again
    auto set = markSet();
    EXPECT_EQ(set.size(), group.size());
    using Marks = std::multiset<std::pair<std::string, std::string>>;
    EXPECT_EQ(set, Marks(group.begin(), group.end()));
    EXPECT_EQ(d->mlabel.fieldByName("NNUM").asString(), current);  // back where it was
    EXPECT_EQ(port.progressMax.back(), d->mlabel.recordCount());   // the whole table's count
    EXPECT_EQ(port.steps, static_cast<int>(group.size()));
    EXPECT_EQ(port.uppers.back(), std::optional<std::string>(""));  // marking clears the upper line
    EXPECT_FALSE(d->mlabel.controlsDisabled());
    for (d->mlabel.first(); !d->mlabel.eof(); d->mlabel.next())
        EXPECT_TRUE(d->mlabel.fieldByName("Checked").asBoolean());

    // Another group's marks stay when this group is unmarked.
    goToGroup("  3");
    auto other = groupMaterials();
    ASSERT_FALSE(other.empty());
    marks->toggle();
    goToGroup("  2");
    marks->unmarkGroup();
    EXPECT_EQ(markSet(), Marks{other.front()});
    marks->clearAll();
    EXPECT_TRUE(markSet().empty());
    marks->clearAll();  // on an empty ML: no message, still empty
    EXPECT_TRUE(port.messages.empty());
}

TEST_F(PlanTest, InThePlanKeepsGroupAndNumber) {
    goToGroup("  4");
    auto group = groupMaterials();
    ASSERT_GE(group.size(), 2u);
    markByClick({group[1], group[0]});
    builder->toPlan();
    auto rows = planRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].nnum, group[1].second);  // in the order of marking
    EXPECT_EQ(rows[0].ngrup, rows[0].grup);
    EXPECT_EQ(rows[0].nnnum, rows[0].nnum);
    EXPECT_FALSE(rows[0].name.empty());
    EXPECT_TRUE(markSet().empty());
    EXPECT_EQ(port.planTab, 1);
    EXPECT_EQ(port.uppers.back(), std::nullopt);  // plan building leaves the upper line as it was
    // Again for the same material: two identical rows, no check.
    markByClick({group[1]});
    builder->toPlan();
    rows = planRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], rows[0]);
    // No marks: nothing added, no message, the plan tab still shown.
    builder->toPlan();
    EXPECT_EQ(planRows().size(), 3u);
    EXPECT_EQ(port.planTab, 3);
    builder->deleteRow();
    EXPECT_EQ(planRows().size(), 2u);
    builder->clear();
    EXPECT_TRUE(planRows().empty());
    std::string err;
    try {
        builder->deleteRow();
    } catch (const db::DatabaseError& e) {
        err = e.what();
    }
    EXPECT_EQ(err, "PLAN: Cannot perform this operation on an empty dataset");
}

TEST_F(PlanTest, IntoAnotherGroup) {
    port.chooseAnswer = true;
    builder->toOtherGroup();  // no marks
    EXPECT_EQ(port.messages, (std::vector<std::string>{ansi("Нет отмеченных позиций")}));

    goToGroup("  6");
    auto five = groupMaterials();
    ASSERT_GE(five.size(), 3u);
    // Into its own group: every pair exists, so a new number is asked for each.
    markByClick({five[0], five[1]});
    ASSERT_TRUE(d->NMgrup.locate("CODE", {Value(std::string("  6"))}));
    port.numbers = {five[2].second /* taken */, std::string("NEW-1"), std::nullopt /* cancel */};
    builder->toOtherGroup();
    ASSERT_EQ(port.requests.size(), 3u);
    EXPECT_EQ(port.requests[0].title,
              ansi("Комбинация группы ") + "  6" +
                  ansi(" и н/номера уже есть в номенклатуре или в плане операций") + "\r" +
                  ansi("Введите новый н/номер."));
    EXPECT_EQ(port.requests[1].candidate,
              five[0].second);  // the mark's number, not the rejected one
    EXPECT_EQ(port.requests[2].nnum, five[1].second);
    auto rows = planRows();
    ASSERT_EQ(rows.size(), 1u);  // the cancelled mark made no row
    EXPECT_EQ(rows[0].nnnum, "NEW-1");
    EXPECT_EQ(rows[0].ngrup, "  6");
    EXPECT_TRUE(markSet().empty());  // every mark is gone

    // Already planned: a journal line and no row.
    markByClick({five[0]});
    ASSERT_TRUE(d->NMgrup.locate("CODE", {Value(std::string("  9"))}));
    builder->toOtherGroup();
    ASSERT_EQ(port.journal.size(), 1u);
    EXPECT_EQ(port.journal[0].rfind(ansi("Позиция ") + "  6 " + five[0].second + " ", 0), 0u);
    EXPECT_NE(port.journal[0].find(
                  ansi(" уже есть в плане операций и не будет перемещена в группу ") + "  9"),
              std::string::npos);
    EXPECT_EQ(planRows().size(), 1u);

    // A cancelled chooser builds nothing and keeps the marks.
    markByClick({five[2]});
    port.chooseAnswer = false;
    builder->toOtherGroup();
    EXPECT_EQ(markSet().size(), 1u);
}

TEST_F(PlanTest, TheSameNumberFromTwoGroupsIntoAFreeGroup) {
    goToGroup("  7");
    auto seven = groupMaterials();
    goToGroup("  8");
    auto eight = groupMaterials();
    ASSERT_FALSE(seven.empty());
    ASSERT_FALSE(eight.empty());
    // The first material of group 8 gets the item number of the first of group 7.
    d->closeBrowsing();
    {
        xbase::OpenOptions rw;
        rw.share = xbase::Share::Exclusive;
        rw.readOnly = false;
        auto t = xbase::Table::open(dir.file("zapas/mlabel.dbf"), rw);
        for (std::uint32_t r = 1; r <= t->recordCount(); ++r) {
            const char* rec = t->record(r);
            if (rec[0] == '*' || t->text(rec, *t->field("GRUP")) != eight[0].first ||
                t->text(rec, *t->field("NNUM")) != eight[0].second)
                continue;
            std::string changed(rec, t->recordLength());
            t->setText(changed, *t->field("NNUM"), seven[0].second);
            t->update(r, changed);
        }
    }
    d->reopenBrowsing();
    eight[0].second = seven[0].second;
    markByClick({seven[0], eight[0]});
    // Into a group without materials: the first keeps its number, the second finds it taken
    // by the first one's plan row; an empty number is free there.
    d->NMgrup.last();
    std::string target = d->NMgrup.fieldByName("CODE").asString();
    port.numbers = {std::string("")};
    builder->toOtherGroup();
    auto rows = planRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].nnnum, seven[0].second);
    EXPECT_EQ(rows[1].ngrup, target);
    EXPECT_EQ(rows[1].nnnum, "");
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(port.requests[0].grup, "  8");
}
