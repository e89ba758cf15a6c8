#include "ui/qt_app_toolkit.h"

#include <QMessageBox>

#include "ui/qt_text.h"
#include "ui/window_signals.h"

void CQtAppToolkit::MessageBox(const std::wstring& text, const std::wstring& caption) {
    QMessageBox::information(main_window_, Q(caption), Q(text));
}

CQtMainDialog::CQtMainDialog(CVESKFirmwareUpdaterDlg::Options options, CQtAppToolkit& toolkit)
    : dialog_(std::make_unique<CVESKFirmwareUpdaterDlg>(std::move(options))), toolkit_(toolkit) {
    toolkit_.SetMainWindow(dialog_.get());
}

CQtMainDialog::~CQtMainDialog() { toolkit_.SetMainWindow(nullptr); }

bool CQtMainDialog::RunModal() {
    if (!dialog_->Create()) return false;
    const CWindowSignals watch([this](int signal) { dialog_->OnSignal(signal); });
    dialog_->exec();
    return true;
}

void CQtMainDialog::Activate() {
    dialog_->setWindowState(dialog_->windowState() & ~Qt::WindowMinimized);
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}
