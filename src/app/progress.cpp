#include "app/progress.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/text.h"

namespace app {

TProgress::TProgress(QWidget* mainWindow)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      main_(mainWindow) {
    setObjectName("Progress");
    setFixedSize(412, 137);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    outer->addWidget(panel);
    auto* layout = new QVBoxLayout(panel);
    auto sized = [](QLabel* l, int points) {
        QFont f = l->font();
        f.setPointSize(points);
        l->setFont(f);
        return l;
    };
    auto* line = new QHBoxLayout;
    line->addWidget(new QLabel(qs("Ждите, идет обработка"), panel));
    Label4 = sized(new QLabel(panel), 12);
    line->addWidget(Label4, 1);
    Label3 = sized(new QLabel(panel), 14);
    Bar = new QProgressBar(panel);
    Bar->setTextVisible(false);
    Label1 = sized(new QLabel(panel), 12);
    layout->addLayout(line);
    layout->addWidget(Label3);
    layout->addWidget(Bar);
    layout->addWidget(Label1);
}

void TProgress::showOver() {
    if (!placed_ && main_) {
        QRect r = main_->frameGeometry();
        move(r.center() - QPoint(width() / 2, height() / 2));
        placed_ = true;
    }
    show();
    raise();
}

}  // namespace app
