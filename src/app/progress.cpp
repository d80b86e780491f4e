#include "app/progress.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/text.h"

namespace app {

TProgress::TProgress(QWidget* mainWindow)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      main_(mainWindow) {
    setObjectName("Progress");
    setFixedSize(400, 110);
    setStyleSheet("QWidget#Progress { border: 1px solid palette(dark); }");
    auto* layout = new QVBoxLayout(this);
    Label3 = new QLabel(this);
    auto* line = new QHBoxLayout;
    auto* fixed = new QLabel(qs("Подождите..."), this);
    Label4 = new QLabel(this);
    line->addWidget(fixed);
    line->addWidget(Label4, 1);
    Label1 = new QLabel(this);
    Bar = new QProgressBar(this);
    Bar->setTextVisible(false);
    layout->addWidget(Label3);
    layout->addLayout(line);
    layout->addWidget(Label1);
    layout->addWidget(Bar);
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
