#include "app/vesk_app_dlg.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "update/settings/engine.h"
#include "update/settings/gestore_ini_lang.h"
#include "app/instance_channel.h"
#include "log/evt_log.h"

namespace {

constexpr const wchar_t* kDefaultDisplayName = L"Vesk Application";
constexpr int kBoldHeight = -15;

}  // namespace

CVeskAppDlg::CVeskAppDlg(const std::wstring& short_name, IAppToolkit& toolkit, Environment env)
    : short_name_(short_name), toolkit_(toolkit) {
    if (!env.no_lock_object) locks_ = env.locks ? std::move(env.locks) : std::make_unique<CVeskSemafori>();
    conv_ = std::make_unique<StrConv>();
    exe_ = env.exe ? std::move(env.exe) : std::make_unique<CExePathName>();
    fs_ = std::make_unique<FS>();
    path_ = std::make_unique<CPathFile>();

    SetUserLocale();

    // From here on the log lines reach the log file as well.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    const bool have_time = now != static_cast<std::time_t>(-1) && ::localtime_r(&now, &local);
    if (!exe_->FolderNoSlash().empty())
        CEvtLogUtils::SetupLogFileIn(vesk::writable_folder(exe_->Folder(), L"logs/"), short_name_,
                                     have_time ? &local : nullptr);

    std::vector<std::wstring> versions;
    fs_->ListFiles(exe_->Folder(), versions, L"*.xmv");
    if (!versions.empty()) {
        vers_file_ = std::make_unique<CVersFile>(path_->Join(exe_->Folder(), versions.front()));
        app_display_name_ = vers_file_->GetProductName();
    }
    if (app_display_name_.empty()) app_display_name_ = kDefaultDisplayName;

    // Desktop grouping by an explicit application identity has no counterpart here.
    std::srand(unsigned(std::time(nullptr)));
}

CVeskAppDlg::~CVeskAppDlg() {
    server_.reset();
    lingue_.reset();
    locks_.reset();
    conv_.reset();
    path_.reset();
    fs_.reset();
    exe_.reset();
    vers_file_.reset();
    fonts_.clear();
    bold_fonts_.clear();
    VLOG_INFO("CVeskAppDlg::~CVeskAppDlg", "Normal program end");
}

std::string CVeskAppDlg::SetUserLocale() {
    const char* name = std::setlocale(LC_ALL, "");
    return name ? name : "";
}

void CVeskAppDlg::ShowAbout() {
    if (!vers_file_) {
        toolkit_.MessageBox(app_display_name_, app_display_name_);
        return;
    }
    const std::wstring text = app_display_name_ + L" - " + vers_file_->GetVersionText() + L"\n" +
                              vesk::Translate(L"Build date and time") + L"  " + vers_file_->GetBuildDateTime() +
                              L"\n" + vesk::Translate(L"SVN revisions") + L"  " + vers_file_->GetSvnSoftware() +
                              L" - " + vers_file_->GetSvnFwSw2();
    toolkit_.MessageBox(text, app_display_name_);
}

bool CVeskAppDlg::Lock1() { return locks_ && locks_->Blocca(1); }
void CVeskAppDlg::Unlock1() {
    if (locks_) locks_->Sblocca(1);
}
bool CVeskAppDlg::Lock4() { return locks_ && locks_->Blocca(4); }
void CVeskAppDlg::Unlock4() {
    if (locks_) locks_->Sblocca(4);
}

bool CVeskAppDlg::StartError(const std::wstring& text) {
    const std::wstring shown = vesk::Translate(text);
    VLOG_ERROR("CVeskAppDlg::ControllaAltraIstanza", "%s", vesk::to_utf8(shown).c_str());
    toolkit_.MessageBox(shown, app_display_name_);
    return false;
}

bool CVeskAppDlg::ControllaAltraIstanza() {
    if (!single_instance_) return true;
    if (!locks_) return StartError(vesk::TextToTranslate(L"Error launching application: invalid semaphore."));
    if (GetAppLockId() <= 0)
        return StartError(vesk::TextToTranslate(L"Error launching application: invalid application ID."));
    if (locks_->Blocca(GetAppLockId())) return true;
    ActivateOtherInstance(GetAppWindowId());
    return false;
}

bool CVeskAppDlg::ActivateOtherInstance(int window_id) {
    if (!locks_ || GetAppLockId() <= 0) return false;
    const auto answer = vesk::instance::Ask(
        vesk::instance::SocketName(vesk::instance::kAltraIstanza, locks_->LockPath(GetAppLockId())),
        "ALTRA_ISTANZA");
    return answer && *answer == window_id;
}

bool CVeskAppDlg::ServeOtherInstances(IMainDialog& window) {
    if (!locks_ || GetAppLockId() <= 0) return false;
    server_ = std::make_unique<vesk::instance::CInstanceServer>(
        window.EventLoop(), vesk::instance::CInstanceServer::Handlers{
                                .altra_istanza =
                                    [this, &window]() -> long {
                                        VLOG_INFO("CVeskAppDlg::ServeOtherInstances", "%s",
                                                  "Another start of the program: window brought forward");
                                        window.Activate();
                                        return GetAppWindowId();
                                    },
                                .chi_blocca = [this](int n) -> long { return locks_ ? locks_->StoBloccando(n) : 0; },
                            });
    if (server_->Listen(locks_->LockPath(GetAppLockId()))) return true;
    server_.reset();
    return false;
}

void CVeskAppDlg::LoadLanguage() {
    lingue_ = std::make_unique<CFilesLingue>(GetLanguageFolder(), GetIniFolder());
    vesk::SetLanguageFolderAndRead(exe_->FolderA() + "language", vesk::to_utf8(lingue_->CurrentLanguage()));
}

std::wstring CVeskAppDlg::GetLanguageFolder() const { return path_->Join(exe_->Folder(), L"language/"); }

std::wstring CVeskAppDlg::GetUserFolder() const { return vesk::writable_folder(exe_->Folder(), L"user/"); }

std::wstring CVeskAppDlg::GetIniFolder() const { return path_->Join(GetUserFolder(), L"ini/"); }

int CVeskAppDlg::GetFontCharset() const {
    if (!lingue_) return 255;
    const std::wstring& name = lingue_->CurrentLanguage();
    if (name == L"Japanese") return 128;
    if (name == L"Chinese") return 134;
    return 255;
}

const CVeskFont* CVeskAppDlg::GetFont(int height) {
    auto& font = fonts_[height];
    if (!font) font = std::make_unique<CVeskFont>(CVeskFont{L"Arial", height, 400, GetFontCharset()});
    return font.get();
}

const CVeskFont* CVeskAppDlg::GetBoldFont() {
    auto& font = bold_fonts_[kBoldHeight];
    if (!font) font = std::make_unique<CVeskFont>(CVeskFont{L"Arial", kBoldHeight, 700, GetFontCharset()});
    return font.get();
}
