#include "app/vesk_firmware_updater_app.h"

#include "update/settings/remembered_folder.h"
#include "update/settings/start_options.h"
#include "log/evt_log.h"

CVESKFirmwareUpdaterApp::CVESKFirmwareUpdaterApp(IAppToolkit& toolkit, DialogFactory factory, Environment env)
    : CVeskAppDlg(L"VeskFirmwareUpdater", toolkit, std::move(env)),
      factory_(std::move(factory)),
      main_folder_(vesk::default_update_folder(exe_->Folder())) {}

CVESKFirmwareUpdaterApp::~CVESKFirmwareUpdaterApp() {
    // The handshake is served on the window's loop: it goes first.
    server_.reset();
    main_dialog_.reset();
    CEvtLogUtils::ReleaseLogFile();
}

int CVESKFirmwareUpdaterApp::InitInstance(const std::wstring& command_line) {
    if (!ControllaAltraIstanza()) {
        if (!locks_ || GetAppLockId() <= 0) return 1;
        // An unattended start that found the window open has run nothing: a
        // script must not read it as an update done.
        if (vesk::ParseStartOptions(command_line, main_folder_).autostart) {
            VLOG_ERROR("CVESKFirmwareUpdaterApp::InitInstance", "Autostart not run: the program is already running");
            return 1;
        }
        return 0;
    }
    LoadLanguage();
    ParseOptions(command_line);
    IMainDialog* window = CreateMainDialog();
    if (!window) return 1;
    // A second start that finds no server ends silently: the lock still keeps it out.
    ServeOtherInstances(*window);
    return window->RunModal() ? window->ExitStatus() : 1;
}

IMainDialog* CVESKFirmwareUpdaterApp::CreateMainDialog() {
    if (main_dialog_) return main_dialog_.get();
    std::wstring title = app_display_name_;
    if (vers_file_) title += L" " + vers_file_->GetVersionText();
    if (factory_)
        main_dialog_ = factory_({main_folder_, autostart_, debug_, advanced_, title, rehearse_,
                                 vesk::FolderSettingsFile(GetIniFolder())});
    return main_dialog_.get();
}

void CVESKFirmwareUpdaterApp::ParseOptions(const std::wstring& command_line) {
    // The folder picked in the window before; "UseFolder(DIR)AsMain" still wins.
    if (const auto picked = vesk::ReadRememberedFolder(vesk::FolderSettingsFile(GetIniFolder()))) main_folder_ = *picked;
    const vesk::StartOptions options = vesk::ParseStartOptions(command_line, main_folder_);
    main_folder_ = options.main_folder;
    autostart_ = options.autostart;
    debug_ = options.debug_mode;
    advanced_ = options.advanced;
    rehearse_ = options.rehearse;
}
