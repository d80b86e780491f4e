#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace app {

// The progress window: borderless, above the other windows, two text lines and a bar.
class TProgress : public QWidget {
    Q_OBJECT
  public:
    explicit TProgress(QWidget* mainWindow);
    QLabel* Label3;  // upper line
    QLabel* Label4;  // small line beside the fixed text
    QLabel* Label1;  // lower line
    QProgressBar* Bar;
    // Shows the window without blocking; centred on the main window the first time.
    void showOver();

  private:
    QWidget* main_;
    bool placed_ = false;
};

}  // namespace app
