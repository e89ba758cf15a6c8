#pragma once
// The application object's toolkit on Qt: its message boxes and the main
// window it runs modally.
#include <QPointer>
#include <memory>

#include "app/vesk_app_dlg.h"
#include "ui/vesk_firmware_updater_dlg.h"

class CQtAppToolkit : public IAppToolkit {
public:
    void MessageBox(const std::wstring& text, const std::wstring& caption) override;
    // The owner of later message boxes.
    void SetMainWindow(QWidget* window) { main_window_ = window; }

private:
    QPointer<QWidget> main_window_;
};

class CQtMainDialog : public IMainDialog {
public:
    CQtMainDialog(CVESKFirmwareUpdaterDlg::Options options, CQtAppToolkit& toolkit);
    ~CQtMainDialog() override;

    bool RunModal() override;
    int ExitStatus() const override { return dialog_->ExitStatus(); }
    void Activate() override;
    IHwEventLoop& EventLoop() override { return dialog_->EventLoop(); }
    CVESKFirmwareUpdaterDlg& Dialog() { return *dialog_; }

private:
    std::unique_ptr<CVESKFirmwareUpdaterDlg> dialog_;
    CQtAppToolkit& toolkit_;
};
