#include "plan/plan.h"

#include <set>

#include "plan/texts.h"
#include "xbase/codepage.h"

namespace plan {

std::string ansi(const char* utf8) {
    return *xbase::CodePage::get(xbase::kAnsiCodePage).fromUtf8(utf8);
}

namespace {

db::Value asValue(const std::string& s) {
    return db::Value(s);
}

// Closes the progress window and resumes a grid's display however a pass ends.
class PassGuard {
  public:
    PassGuard(Port& port, db::Dataset* suspended) : port_(port), suspended_(suspended) {
        if (suspended_) suspended_->disableControls();
    }
    ~PassGuard() {
        if (!done_) {
            port_.progressClose();
            if (suspended_) suspended_->enableControls();
        }
    }
    // The normal end: the caller closes and resumes in its own order.
    void release() { done_ = true; }

  private:
    Port& port_;
    db::Dataset* suspended_;
    bool done_ = false;
};

}  // namespace

// ---- marks ------------------------------------------------------------------------------

bool Marks::findMark(const std::string& grup, const std::string& nnum) {
    return d_.MLabelMem.locate("GRUP;NNUM", {asValue(grup), asValue(nnum)});
}

void Marks::toggle() {
    // An empty group has no current material: nothing to mark.
    if (!d_.mlabel.active() || d_.mlabel.isEmpty()) return;
    std::string grup = d_.mlabel.fieldByName("GRUP").asString();
    std::string nnum = d_.mlabel.fieldByName("NNUM").asString();
    if (findMark(grup, nnum)) {
        d_.MLabelMem.remove();
    } else {
        d_.MLabelMem.append();
        d_.MLabelMem.fieldByName("GRUP").setAsString(grup);
        d_.MLabelMem.fieldByName("NNUM").setAsString(nnum);
        d_.MLabelMem.post();
    }
    port_.status();
}

void Marks::groupPass(bool mark) {
    port_.progressShow(std::string(), std::string(),
                       ansi(mark ? "Отметка записей" : "Снятие отметок"),
                       static_cast<int>(d_.mlabel.recordCount()));
    port_.processMessages();
    PassGuard guard(port_, &d_.mlabel);
    std::int64_t remembered = d_.mlabel.recNo();
    for (d_.mlabel.first(); !d_.mlabel.eof(); d_.mlabel.next()) {
        std::string grup = d_.mlabel.fieldByName("GRUP").asString();
        std::string nnum = d_.mlabel.fieldByName("NNUM").asString();
        bool found = findMark(grup, nnum);
        if (mark && !found) {
            d_.MLabelMem.append();
            d_.MLabelMem.fieldByName("GRUP").setAsString(grup);
            d_.MLabelMem.fieldByName("NNUM").setAsString(nnum);
            d_.MLabelMem.post();
        } else if (!mark && found) {
            d_.MLabelMem.remove();
        }
        port_.progressStep();
    }
    d_.mlabel.setRecNo(remembered);
    guard.release();
    port_.progressClose();
    port_.status();
    d_.mlabel.enableControls();
}

void Marks::markGroup() {
    groupPass(true);
}
void Marks::unmarkGroup() {
    groupPass(false);
}

void Marks::clearAll() {
    d_.MLabelMem.close();
    d_.MLabelMem.emptyTable();
    d_.MLabelMem.open();
    port_.status();
}

// ---- plan building ----------------------------------------------------------------------

std::string PlanBuilder::nameOf(const std::string& grup, const std::string& nnum) {
    return db::valueText(d_.MlabelV.lookup("GRUP;NNUM", {asValue(grup), asValue(nnum)}, "Name"));
}

bool PlanBuilder::taken(const std::string& ngrup, const std::string& nnum) {
    // The material table first, then the plan.
    return d_.MlabelV.locate("GRUP;NNUM", {asValue(ngrup), asValue(nnum)}) ||
           d_.PLAN.locate("NGRUP;NNNUM", {asValue(ngrup), asValue(nnum)});
}

void appendPlanRow(data::TData& d, const PlanRow& r) {
    d.PLAN.append();
    d.PLAN.fieldByName("GRUP").setAsString(r.grup);
    d.PLAN.fieldByName("NNUM").setAsString(r.nnum);
    d.PLAN.fieldByName("NAME").setAsString(r.name);
    d.PLAN.fieldByName("NGRUP").setAsString(r.ngrup);
    d.PLAN.fieldByName("NNNUM").setAsString(r.nnnum);
    d.PLAN.post();
}

std::vector<PlanRow> planRows(data::TData& d) {
    std::vector<PlanRow> rows;
    for (d.PLAN.first(); !d.PLAN.eof(); d.PLAN.next())
        rows.push_back(
            {d.PLAN.fieldByName("GRUP").asString(), d.PLAN.fieldByName("NNUM").asString(),
             d.PLAN.fieldByName("NAME").asString(), d.PLAN.fieldByName("NGRUP").asString(),
             d.PLAN.fieldByName("NNNUM").asString()});
    return rows;
}

std::vector<PlanBuilder::Refusal> PlanBuilder::addRows(const std::vector<PlanRow>& rows,
                                                       bool checkOnly) {
    std::vector<Refusal> refused;
    std::set<std::pair<std::string, std::string>> planned, targets;
    auto trimmed = [](const std::string& v) { return v.substr(0, v.find_last_not_of(' ') + 1); };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const PlanRow& r = rows[i];
        auto refuse = [&](const char* why) { refused.push_back({i, ansi(why)}); };
        if (trimmed(r.grup).empty() || trimmed(r.nnum).empty() || trimmed(r.ngrup).empty() ||
            trimmed(r.nnnum).empty())
            refuse(text::kRowEmptyValue);
        else if (r.grup.size() > 5 || r.ngrup.size() > 5)
            refuse(text::kRowGroupTooWide);
        else if (r.nnum.size() > 13 || r.nnnum.size() > 13)
            refuse(text::kRowNumberTooWide);
        else if (!d_.MlabelV.locate("GRUP;NNUM", {asValue(r.grup), asValue(r.nnum)}))
            refuse(text::kRowNoMaterial);
        else if (!planned.insert({trimmed(r.grup), trimmed(r.nnum)}).second ||
                 d_.PLAN.locate("GRUP;NNUM", {asValue(r.grup), asValue(r.nnum)}))
            refuse(text::kRowPlanned);
        else if (!targets.insert({trimmed(r.ngrup), trimmed(r.nnnum)}).second ||
                 taken(r.ngrup, r.nnnum))
            refuse(text::kRowPairTaken);
    }
    if (!refused.empty() || checkOnly) return refused;
    for (const PlanRow& r : rows)
        appendPlanRow(d_, {r.grup, r.nnum, nameOf(r.grup, r.nnum), r.ngrup, r.nnnum});
    return refused;
}

std::size_t PlanBuilder::returnRows(const std::vector<PlanRow>& rows, std::vector<bool>* returned) {
    std::size_t added = 0;
    if (returned) returned->assign(rows.size(), false);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const PlanRow& r = rows[i];
        if (d_.PLAN.locate("GRUP;NNUM", {asValue(r.grup), asValue(r.nnum)})) continue;
        if (returned) (*returned)[i] = true;
        std::string name = nameOf(r.grup, r.nnum);
        if (name.empty()) name = nameOf(r.ngrup, r.nnnum);
        appendPlanRow(d_, {r.grup, r.nnum, name, r.ngrup, r.nnnum});
        ++added;
    }
    return added;
}

void PlanBuilder::finish() {
    // Every mark is consumed, skipped and cancelled ones too.
    d_.MLabelMem.close();
    d_.MLabelMem.emptyTable();
    d_.MLabelMem.open();
    port_.status();
    d_.PLAN.first();
    port_.showPlanTab();
    port_.progressClose();
}

void PlanBuilder::toPlan() {
    port_.progressShow(std::nullopt, std::nullopt, ansi("Формирование плана операций"),
                       static_cast<int>(d_.MLabelMem.recordCount()));
    port_.processMessages();
    PassGuard guard(port_, nullptr);
    for (d_.MLabelMem.first(); !d_.MLabelMem.eof(); d_.MLabelMem.next()) {
        std::string grup = d_.MLabelMem.fieldByName("GRUP").asString();
        std::string nnum = d_.MLabelMem.fieldByName("NNUM").asString();
        appendPlanRow(d_, {grup, nnum, nameOf(grup, nnum), grup, nnum});
        port_.progressStep();
    }
    guard.release();
    finish();
}

void PlanBuilder::toOtherGroup() {
    if (d_.MLabelMem.recordCount() == 0) {
        port_.message(ansi("Нет отмеченных позиций"));
        return;
    }
    if (port_.chooseGroup()) buildIntoChosenGroup();
}

void PlanBuilder::buildIntoChosenGroup() {
    port_.progressShow(std::nullopt, std::nullopt, ansi("Формирование плана операций"),
                       static_cast<int>(d_.MLabelMem.recordCount()));
    port_.processMessages();
    PassGuard guard(port_, nullptr);
    const std::string ngrup = d_.NMgrup.fieldByName("CODE").asString();
    for (d_.MLabelMem.first(); !d_.MLabelMem.eof(); d_.MLabelMem.next()) {
        std::string grup = d_.MLabelMem.fieldByName("GRUP").asString();
        std::string nnum = d_.MLabelMem.fieldByName("NNUM").asString();
        std::string name = nameOf(grup, nnum);
        if (d_.PLAN.locate("GRUP;NNUM", {asValue(grup), asValue(nnum)})) {
            port_.log(ansi("Позиция ") + grup + " " + nnum + " " + name +
                      ansi(" уже есть в плане операций и не будет перемещена в группу ") + ngrup);
            port_.progressStep();
            continue;
        }
        std::string number = nnum;
        bool skipped = false;
        while (taken(ngrup, number)) {
            NewNumberRequest request;
            request.title = ansi("Комбинация группы ") + ngrup +
                            ansi(" и н/номера уже есть в номенклатуре или в плане операций") +
                            "\r" + ansi("Введите новый н/номер.");
            request.grup = grup;
            request.nnum = nnum;
            request.ngrup = ngrup;
            request.candidate = nnum;  // the mark's own number, not a rejected entry
            std::string entry;
            if (!port_.askNewNumber(request, entry)) {
                skipped = true;
                break;
            }
            number = entry;
        }
        if (!skipped) appendPlanRow(d_, {grup, nnum, name, ngrup, number});
        port_.progressStep();
    }
    guard.release();
    finish();
}

void PlanBuilder::clear() {
    d_.PLAN.close();
    d_.PLAN.emptyTable();
    d_.PLAN.open();
    port_.status();
}

void PlanBuilder::deleteRow() {
    d_.PLAN.remove();
}

}  // namespace plan
