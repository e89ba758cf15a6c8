#pragma once
// The updater's application object: short name of the log file, the
// command-line options, and the main window it creates and runs.
#include <functional>
#include <memory>
#include <string>

#include "app/vesk_app_dlg.h"

// What the main window is created with, in this order.
struct MainDialogArgs {
    std::wstring main_folder{};
    bool autostart = false;
    bool debug_mode = false;
    bool advanced = false;
    std::wstring title{};
    // Every run is first rehearsed on a simulated copy of the instrument.
    bool rehearse = false;
    // Where the window keeps the main folder the user picks; empty: not kept.
    std::wstring folder_settings{};
};

class CVESKFirmwareUpdaterApp : public CVeskAppDlg {
public:
    // Makes the toolkit's main window.
    using DialogFactory = std::function<std::unique_ptr<IMainDialog>(const MainDialogArgs&)>;

    CVESKFirmwareUpdaterApp(IAppToolkit& toolkit, DialogFactory factory, Environment env = {});
    ~CVESKFirmwareUpdaterApp() override;

    // The start: single-instance check, language, options, main window run
    // modally. The exit status: 0 after the window closed or when another
    // instance was activated, 1 when the program could not start its window.
    int InitInstance(const std::wstring& command_line);

    IMainDialog* CreateMainDialog() override;
    void ParseOptions(const std::wstring& command_line) override;
    int GetAppLockId() const override { return 2; }

    const std::wstring& MainFolder() const { return main_folder_; }
    bool Autostart() const { return autostart_; }
    bool DebugMode() const { return debug_; }
    bool Advanced() const { return advanced_; }
    bool Rehearse() const { return rehearse_; }
    IMainDialog* MainDialog() { return main_dialog_.get(); }

private:
    DialogFactory factory_;
    std::unique_ptr<IMainDialog> main_dialog_;
    std::wstring main_folder_;
    bool autostart_ = false;
    bool debug_ = false;
    bool advanced_ = false;
    bool rehearse_ = false;
};
