#pragma once
// What the two progress bars say they count: the overall bar the run's
// steps, the wait bar the write going on or the wait.
#include <QProgressBar>
#include <QString>
#include <cstdint>
#include <string>

#include "device/write_progress.h"

// A progress bar that shows its text as it is: QProgressBar's own format
// would read "%v", "%m" and "%p" in a device's name as its placeholders.
class CTextBar : public QProgressBar {
public:
    explicit CTextBar(QWidget* parent = nullptr) : QProgressBar(parent) { setTextVisible(false); }
    void SetText(const QString& text);
    // setValue without its paint at once: a worker steps the wait bar every
    // 10 ms of a wait, and each paint held the window's thread; the new value
    // is painted with the next frame.
    void SetValue(int value);
    QString text() const override { return text_; }

private:
    QString text_;
};

namespace vesk::ui {

// "Step 53 of 123".
QString OverallBarText(int value, int maximum);
// "Firmware to Pell DL Logger 1001: 42 %".
QString WriteBarText(WriteKind what, const std::wstring& unit, uint32_t done, uint32_t total);
// "Waiting for Pell DL Logger 1001: 3 s", or "Waiting: 3 s" for an unnamed
// wait; the seconds left rounded up.
QString WaitBarText(const std::wstring& what, uint64_t remaining_ms);

}  // namespace vesk::ui
