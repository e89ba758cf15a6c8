#pragma once
// The dialog base with hardware detection: owns the detection object, starts
// it when the window is created and stops it when the window goes; the
// notifications are socket notifiers on the window's thread, so every
// callback arrives there.
#include <QDialog>
#include <memory>

#include "hwdetect/dest_msg_hw_detection.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "ui/qt_event_loop.h"

class CVeskDialogExHwDetection : public QDialog, public IDestMsgHwDetection {
    Q_OBJECT
public:
    // sources null: udev and the mount table.
    explicit CVeskDialogExHwDetection(std::shared_ptr<IHwEventSourceFactory> sources, QWidget* parent = nullptr);
    ~CVeskDialogExHwDetection() override;

    // The window's creation: detection starts. False when the window cannot be made.
    virtual bool Create();

    CVesk_HW_CheckDevice& Detection() { return detection_; }
    CQtEventLoop& EventLoop() { return loop_; }

    void OnDevice0101(bool, const std::wstring&) override {}
    void OnDevice0110(bool, const std::wstring&) override {}
    void OnDevice1001(bool, const std::wstring&) override {}
    void OnDevice2001(bool, const std::wstring&) override {}
    void OnDevice2002(bool, const std::wstring&) override {}
    void OnMemoryDevice(bool, const std::wstring&, CVeskDiskMemoryManager*) override {}

protected:
    bool auto_start_ = true;

private:
    // Declared first: detection unwatches its sources from it when it goes.
    CQtEventLoop loop_;
    CVesk_HW_CheckDevice detection_;
};
