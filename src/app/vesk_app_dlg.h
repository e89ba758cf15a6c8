#pragma once
// The application object's common base: folders relative to the executable,
// the program's version file, the language manager, the font cache, the
// single-instance check and the about box. Free of any toolkit: message
// boxes and the main window come through IAppToolkit and IMainDialog.
#include <map>
#include <memory>
#include <string>

#include "update/settings/files_lingue.h"
#include "common/exe_path_name.h"
#include "common/file_system.h"
#include "common/path_file.h"
#include "common/str_conv.h"
#include "firmware_files/vers_file.h"
#include "usb/vesk_semafori.h"

#include "app/instance_channel.h"

class IHwEventLoop;

// A font as the window toolkit is to create it.
struct CVeskFont {
    std::wstring face;
    int height = 0;  // negative: character height in pixels
    int weight = 400;
    int charset = 255;
};

// What the application object asks of the window toolkit.
class IAppToolkit {
public:
    virtual ~IAppToolkit() = default;
    // An information box captioned caption, owned by the main window when there is one.
    virtual void MessageBox(const std::wstring& text, const std::wstring& caption) = 0;
};

// The main window as the application object runs it.
class IMainDialog {
public:
    virtual ~IMainDialog() = default;
    // Creates the window and runs it until it closes; false when it could not be created.
    virtual bool RunModal() = 0;
    // The process's exit status once the window has closed.
    virtual int ExitStatus() const { return 0; }
    // Brings the window forward, restored when it is minimised.
    virtual void Activate() = 0;
    // Watches descriptors on the window's thread (the handshake is served there).
    virtual IHwEventLoop& EventLoop() = 0;
};

class CVeskAppSearcher {
public:
    virtual ~CVeskAppSearcher() = default;
    // Asks the running instance for its window id; true when it answered window_id
    // (it then brings its window forward itself).
    virtual bool ActivateOtherInstance(int window_id) = 0;
};

// What a test replaces in the application object; null members get the real ones.
struct CVeskAppEnvironment {
    std::unique_ptr<IExePathName> exe;
    std::unique_ptr<CVeskSemafori> locks;
    bool no_lock_object = false;  // start without one, as a failed creation would
};

class CVeskAppDlg : public CVeskAppSearcher {
public:
    using Environment = CVeskAppEnvironment;

    CVeskAppDlg(const std::wstring& short_name, IAppToolkit& toolkit, Environment env = {});
    ~CVeskAppDlg() override;
    CVeskAppDlg(const CVeskAppDlg&) = delete;
    CVeskAppDlg& operator=(const CVeskAppDlg&) = delete;

    virtual void ShowAbout();
    virtual bool Lock1();
    virtual void Unlock1();
    virtual bool Lock4();
    virtual void Unlock4();
    virtual IMainDialog* CreateMainDialog() { return nullptr; }
    // Lock GetAppLockId taken; otherwise the running instance is activated.
    virtual bool ControllaAltraIstanza();
    virtual int GetAppWindowId() const { return 333; }
    // The process locale from the user's environment; returns its name.
    virtual std::string SetUserLocale();
    virtual void ParseOptions(const std::wstring& /*command_line*/) {}
    virtual int GetAppLockId() const { return 0; }

    bool ActivateOtherInstance(int window_id) override;

    // Serves the handshake on the main window's loop; false when it cannot.
    bool ServeOtherInstances(IMainDialog& window);

    std::wstring GetLanguageFolder() const;
    std::wstring GetUserFolder() const;
    std::wstring GetIniFolder() const;
    const CVeskFont* GetFont(int height);
    const CVeskFont* GetBoldFont();
    int GetFontCharset() const;

    const std::wstring& AppDisplayName() const { return app_display_name_; }
    const CVersFile* VersionFile() const { return vers_file_.get(); }
    const IExePathName& ProgramPath() const { return *exe_; }
    CVeskSemafori* Locks() { return locks_.get(); }
    IFilesLingue* Languages() { return lingue_.get(); }
    IAppToolkit& Toolkit() { return toolkit_; }

protected:
    // Creates the language manager and loads the string table of its language.
    void LoadLanguage();
    // The error of a failed single-instance check: logged, shown, false.
    bool StartError(const std::wstring& text);

    std::wstring short_name_;
    std::wstring app_display_name_;
    bool single_instance_ = true;
    std::unique_ptr<CVeskSemafori> locks_;
    std::unique_ptr<StrConv> conv_;
    std::unique_ptr<IExePathName> exe_;
    std::unique_ptr<FS> fs_;
    std::unique_ptr<CPathFile> path_;
    std::unique_ptr<CVersFile> vers_file_;
    std::unique_ptr<CFilesLingue> lingue_;
    std::wstring logo_ = L"VESKLogo.jpg";
    std::map<int, std::unique_ptr<CVeskFont>> fonts_;
    std::map<int, std::unique_ptr<CVeskFont>> bold_fonts_;
    IAppToolkit& toolkit_;
    std::unique_ptr<vesk::instance::CInstanceServer> server_;
};
