// The application object without a toolkit: folders, version file, language,
// options, fonts, the single-instance check and its handshake.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <filesystem>
#include <memory>
#include <thread>

#include "../support/temp_dir.h"
#include "update/settings/remembered_folder.h"
#include "update/settings/engine.h"
#include "common/clock.h"
#include "app/instance_channel.h"
#include "app/vesk_firmware_updater_app.h"
#include "hwdetect/hw_poll_loop.h"
#include "log/evt_log.h"
#include "common/str_conv.h"

namespace {

using vesk::test::TempDir;

class RecordingToolkit : public IAppToolkit {
public:
    void MessageBox(const std::wstring& text, const std::wstring& caption) override {
        boxes.push_back({text, caption});
    }
    std::vector<std::pair<std::wstring, std::wstring>> boxes;
};

class FakeDialog : public IMainDialog {
public:
    explicit FakeDialog(MainDialogArgs a) : args(std::move(a)) {}
    bool RunModal() override {
        ++runs;
        return create_ok;
    }
    void Activate() override { ++activations; }
    IHwEventLoop& EventLoop() override { return loop; }

    MainDialogArgs args;
    bool create_ok = true;
    int runs = 0;
    int activations = 0;
    CHwPollLoop loop;
};

// A program folder with the language files of the source tree.
class AppFrameTest : public ::testing::Test {
protected:
    AppFrameTest() {
        ::setenv("XDG_CONFIG_HOME", (home_.path() + "/config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (home_.path() + "/state").c_str(), 1);
    }
    ~AppFrameTest() override { vesk::SetLanguageFolderAndRead(VESK_SOURCE_DIR "/language", "English"); }

    void Languages() {
        std::filesystem::copy(VESK_SOURCE_DIR "/language", program_.file("language"));
    }
    void Settings(const std::string& language) {
        program_.write("user/ini/applang.ini", R"(<?xml version="1.0"?><FILE_INI><e c="LINGUE" i="0"><p n="LANG_SCELTA">)" +
                                                   language + "</p></e></FILE_INI>");
    }
    std::unique_ptr<CVESKFirmwareUpdaterApp> App(bool lock_object = true) {
        CVeskAppEnvironment env;
        env.exe = std::make_unique<CExePathName>(program_.file("vesk-firmup"));
        if (lock_object) env.locks = std::make_unique<CVeskSemafori>(Place());
        env.no_lock_object = !lock_object;
        return std::make_unique<CVESKFirmwareUpdaterApp>(
            toolkit_, [this](const MainDialogArgs& a) {
                auto d = std::make_unique<FakeDialog>(a);
                dialog_ = d.get();
                return d;
            },
            std::move(env));
    }
    CVeskSemafori::Place Place() const { return {locks_.path(), false, L"test", L"tester"}; }

    TempDir program_, home_, locks_;
    RecordingToolkit toolkit_;
    FakeDialog* dialog_ = nullptr;
    vesk::LogCapture log_;
};

TEST_F(AppFrameTest, DisplayNameAndTitleFromTheFirstVersionFile) {
    for (const auto& [file, product] : {std::pair{"a.xmv", L"Vesk Firmup"}, std::pair{"b.xmv", L"Second"}}) {
        CVersFile v;
        v.SetTipo(L"release");
        v.SetExeName(L"vesk-firmup");
        v.SetMinor(1);
        v.SetRevision(5);
        v.SetProductName(product);
        v.SetBuildDateTime(L"2026-01-02 03:04");
        v.SetSvnSoftware(L"11");
        v.SetSvnFwSw2(L"22");
        ASSERT_TRUE(v.SaveAllXmlNuovo(vesk::from_utf8(program_.file(file))));
    }
    auto app = App();
    ASSERT_NE(app->VersionFile(), nullptr);
    EXPECT_EQ(app->AppDisplayName(), L"Vesk Firmup") << "the first file in listing order";
    EXPECT_EQ(app->VersionFile()->GetVersionText(), L"3.01.05");
    EXPECT_EQ(app->InitInstance(L"vesk-firmup"), 0);
    ASSERT_NE(dialog_, nullptr);
    EXPECT_EQ(dialog_->args.title, L"Vesk Firmup " + app->VersionFile()->GetVersionText());
    app->ShowAbout();
    ASSERT_EQ(toolkit_.boxes.size(), 1u);
    EXPECT_EQ(toolkit_.boxes[0].second, L"Vesk Firmup");
    EXPECT_EQ(toolkit_.boxes[0].first, L"Vesk Firmup - " + app->VersionFile()->GetVersionText() +
                                           L"\nBuild date and time  " + app->VersionFile()->GetBuildDateTime() +
                                           L"\nSVN revisions  " + app->VersionFile()->GetSvnSoftware() + L" - " +
                                           app->VersionFile()->GetSvnFwSw2());
}

TEST_F(AppFrameTest, WithoutVersionFile) {
    auto app = App();
    EXPECT_EQ(app->AppDisplayName(), L"Vesk Application");
    EXPECT_EQ(app->VersionFile(), nullptr);
    EXPECT_EQ(app->InitInstance(L"vesk-firmup"), 0);
    EXPECT_EQ(dialog_->args.title, L"Vesk Application");
    app->ShowAbout();
    ASSERT_EQ(toolkit_.boxes.size(), 1u);
    EXPECT_EQ(toolkit_.boxes[0].first, L"Vesk Application");
}

TEST_F(AppFrameTest, FoldersAndLog) {
    auto app = App();
    const std::wstring folder = program_.wfolder();
    EXPECT_EQ(app->GetLanguageFolder(), folder + L"language/");
    EXPECT_EQ(app->GetUserFolder(), folder + L"user/");
    EXPECT_EQ(app->GetIniFolder(), folder + L"user/ini/");
    EXPECT_EQ(app->MainFolder(), folder);
    EXPECT_EQ(vesk::log_file_path().rfind(program_.path() + "/logs/zu_", 0), 0u) << vesk::log_file_path();
}

// An installed copy writes in the user's folders; its language files stay with the program.
TEST_F(AppFrameTest, InstalledCopyWritesInTheUsersFolders) {
    program_.write(vesk::kInstalledMark, "");
    Languages();
    auto app = App();
    EXPECT_EQ(app->GetUserFolder(), vesk::from_utf8(home_.path()) + L"/config/vesk-firmup/user/");
    EXPECT_EQ(app->GetIniFolder(), vesk::from_utf8(home_.path()) + L"/config/vesk-firmup/user/ini/");
    EXPECT_EQ(app->GetLanguageFolder(), program_.wfolder() + L"language/");
    EXPECT_EQ(vesk::log_file_path().rfind(home_.path() + "/state/vesk-firmup/logs/zu_", 0), 0u);
    // The choice is read from there.
    home_.write("config/vesk-firmup/user/ini/applang.ini",
                R"(<?xml version="1.0"?><FILE_INI><e c="LINGUE" i="0"><p n="LANG_SCELTA">Italiano</p></e></FILE_INI>)");
    EXPECT_EQ(app->InitInstance(L"vesk-firmup"), 0);
    EXPECT_EQ(vesk::Translate(L"Execute"), L"Esegui");
}

TEST_F(AppFrameTest, OptionsReachTheWindowInOrder) {
    auto app = App();
    EXPECT_EQ(app->InitInstance(L"/opt/ADVANCED/vesk-firmup Debug_mode UseFolder(/srv/fw)AsMain"), 0);
    ASSERT_NE(dialog_, nullptr);
    EXPECT_EQ(dialog_->args.main_folder, L"/srv/fw");
    EXPECT_FALSE(dialog_->args.autostart);
    EXPECT_TRUE(dialog_->args.debug_mode);
    EXPECT_TRUE(dialog_->args.advanced) << "the option counts anywhere in the line, also in the path";
    EXPECT_FALSE(dialog_->args.rehearse);
    EXPECT_EQ(dialog_->runs, 1);
    EXPECT_EQ(app->CreateMainDialog(), dialog_) << "the window is made once";
}

// The folder picked in the window is the main folder of the next start;
// "UseFolder(DIR)AsMain" still wins.
TEST_F(AppFrameTest, PickedFolderIsTheNextStartsMainFolder) {
    const std::wstring picked = L"/media/update files \u00e8";
    struct Case {
        const char* name;
        bool kept;
        std::wstring command_line;
        std::wstring main_folder;
    } cases[] = {
        {"nothing kept", false, L"vesk-firmup", program_.wfolder()},
        {"kept", true, L"vesk-firmup", picked},
        {"kept, UseFolder given", true, L"vesk-firmup UseFolder(/srv/fw)AsMain", L"/srv/fw"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto app = App();
        const std::wstring settings = vesk::FolderSettingsFile(app->GetIniFolder());
        std::filesystem::create_directories(vesk::to_utf8(app->GetIniFolder()));
        std::filesystem::remove(vesk::to_utf8(settings));
        if (c.kept) {
            ASSERT_TRUE(vesk::RememberFolder(settings, picked));
        }
        EXPECT_EQ(app->InitInstance(c.command_line), 0);
        ASSERT_NE(dialog_, nullptr);
        EXPECT_EQ(dialog_->args.main_folder, c.main_folder);
        EXPECT_EQ(dialog_->args.folder_settings, settings);
        app.reset();
    }
}

// The settings file is the program's own: a link in its place is never
// written through (the file it names is the user's), and a folder whose name
// the file cannot hold is not kept, rather than kept as another folder.
TEST(RememberedFolder, NeitherALinkedFileNorAnUnkeepableName) {
    vesk::test::TempDir dir;
    const std::string victim = dir.file("victim.ini");
    const std::string precious = "<FILE_INI><KEEP>precious user data</KEEP></FILE_INI>\n";
    dir.write("victim.ini", precious);
    ASSERT_EQ(::symlink(victim.c_str(), dir.file("firmup.ini").c_str()), 0);
    EXPECT_FALSE(vesk::RememberFolder(vesk::from_utf8(dir.file("firmup.ini")), L"/media/update files"));
    EXPECT_EQ(vesk::test::read_file(victim), precious);

    const std::wstring settings = vesk::from_utf8(dir.file("own.ini"));
    EXPECT_FALSE(vesk::RememberFolder(settings, L"/media/ctl\x01x"));
    EXPECT_FALSE(vesk::ReadRememberedFolder(settings).has_value());
    ASSERT_TRUE(vesk::RememberFolder(settings, L"/media/update files \u00e8"));
    EXPECT_EQ(vesk::ReadRememberedFolder(settings), std::optional<std::wstring>(L"/media/update files \u00e8"));
}

TEST_F(AppFrameTest, RehearseReachesTheWindow) {
    auto app = App();
    EXPECT_EQ(app->InitInstance(L"/opt/vesk/vesk-firmup Rehearse Autostart"), 0);
    ASSERT_NE(dialog_, nullptr);
    EXPECT_TRUE(dialog_->args.rehearse);
    EXPECT_TRUE(dialog_->args.autostart);
}

TEST_F(AppFrameTest, WindowThatCannotBeCreatedEndsWithFailure) {
    auto failing = std::make_unique<CVESKFirmwareUpdaterApp>(
        toolkit_,
        [this](const MainDialogArgs& a) {
            auto d = std::make_unique<FakeDialog>(a);
            d->create_ok = false;
            return d;
        },
        CVeskAppEnvironment{std::make_unique<CExePathName>(program_.file("x")), std::make_unique<CVeskSemafori>(Place()),
                            false});
    EXPECT_EQ(failing->InitInstance(L"x"), 1);
}

TEST_F(AppFrameTest, LanguageChosenInTheSettings) {
    struct Case {
        const char* name;
        bool language_folder;
        const char* settings;  // null: no settings file
        std::wstring current;
        std::wstring execute;  // the translation of "Execute"
    } cases[] = {
        {"Italian chosen", true, "Italiano", L"Italiano", L"Esegui"},
        {"no settings: English", true, nullptr, L"English", L"Execute"},
        {"a language without its file: English texts", true, "Klingon", L"Klingon", L"Execute"},
        {"no language folder: the texts themselves", false, "Italiano", L"Italiano", L"Execute"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(program_.file("language"));
        std::filesystem::remove_all(program_.file("user"));
        if (c.language_folder) Languages();
        if (c.settings) Settings(c.settings);
        auto app = App();
        EXPECT_EQ(app->InitInstance(L"vesk-firmup"), 0);
        ASSERT_NE(app->Languages(), nullptr);
        EXPECT_EQ(app->Languages()->CurrentLanguage(), c.current);
        EXPECT_EQ(vesk::Translate(L"Execute"), c.execute);
        EXPECT_EQ(vesk::Translate(L"Please wait..."), c.execute == L"Esegui" ? L"Attendere prego..." : L"Please wait...");
    }
}

TEST_F(AppFrameTest, Fonts) {
    struct Case {
        const char* language;
        int charset;
    } cases[] = {{"Japanese", 128}, {"japanese", 255}, {"Chinese", 134}, {"English", 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        Settings(c.language);
        auto app = App();
        EXPECT_EQ(app->GetFontCharset(), 255) << "no language manager before the start";
        app->InitInstance(L"vesk-firmup");
        EXPECT_EQ(app->GetFontCharset(), c.charset);
        const CVeskFont* f = app->GetFont(-12);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f, app->GetFont(-12)) << "kept in the cache";
        EXPECT_NE(f, app->GetFont(-13));
        EXPECT_EQ(f->face, L"Arial");
        EXPECT_EQ(f->weight, 400);
        EXPECT_EQ(f->charset, c.charset);
        const CVeskFont* bold = app->GetBoldFont();
        EXPECT_EQ(bold, app->GetBoldFont());
        EXPECT_EQ(bold->height, -15);
        EXPECT_EQ(bold->weight, 700);
    }
}

TEST_F(AppFrameTest, NoLockObjectRefusesTheStart) {
    auto app = App(false);
    EXPECT_EQ(app->InitInstance(L"vesk-firmup"), 1);
    EXPECT_EQ(dialog_, nullptr);
    ASSERT_EQ(toolkit_.boxes.size(), 1u);
    EXPECT_EQ(toolkit_.boxes[0].first, L"Error launching application: invalid semaphore.");
    EXPECT_TRUE(log_.contains("ERROR = Error launching application: invalid semaphore."));
}

// A poll loop on its own thread stands for the first instance's window.
class LoopThread {
public:
    explicit LoopThread(CHwPollLoop& loop) : thread_([this, &loop] {
        while (!stop_) loop.RunOnce(10);
    }) {}
    ~LoopThread() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(AppFrameTest, SecondStartActivatesTheFirstAndEnds) {
    auto first = App();
    ASSERT_EQ(first->InitInstance(L"vesk-firmup"), 0);
    FakeDialog* first_window = dialog_;
    ASSERT_NE(first_window, nullptr);
    ASSERT_EQ(first->Locks()->StoBloccando(2), 2);
    {
        LoopThread serving(first_window->loop);
        dialog_ = nullptr;
        auto second = App();
        EXPECT_EQ(second->InitInstance(L"vesk-firmup"), 0);
        EXPECT_EQ(dialog_, nullptr) << "no window for the second start";
        EXPECT_TRUE(toolkit_.boxes.empty()) << "and no message";
        // An unattended second start ran nothing: not a success for a script.
        auto unattended = App();
        EXPECT_EQ(unattended->InitInstance(L"vesk-firmup Autostart"), 1);
        EXPECT_EQ(dialog_, nullptr);
        EXPECT_TRUE(log_.contains("Autostart not run: the program is already running"));
        // The same question answered again: the instance's window id.
        EXPECT_TRUE(second->ActivateOtherInstance(333));
        const std::string chi =
            vesk::instance::SocketName(vesk::instance::kChiBlocca, first->Locks()->LockPath(2));
        EXPECT_EQ(vesk::instance::Ask(chi, "CHI_BLOCCA 2"), 2L);
        EXPECT_EQ(vesk::instance::Ask(chi, "CHI_BLOCCA 1"), 0L);
        EXPECT_EQ(vesk::instance::Ask(chi, "CHI_BLOCCA x"), std::nullopt) << "anything else is not answered";
    }
    EXPECT_EQ(first_window->activations, 3);
    EXPECT_TRUE(log_.contains("window brought forward"));
}

TEST_F(AppFrameTest, NobodyAnswersWithinTheWait) {
    vesk::VirtualClock clock;
    vesk::ScopedClock scoped(clock);
    const std::string name = vesk::instance::SocketName(vesk::instance::kAltraIstanza, "/nowhere/lock");
    // Nobody listens: no answer, at once.
    EXPECT_EQ(vesk::instance::Ask(name, "ALTRA_ISTANZA"), std::nullopt);
    EXPECT_EQ(clock.elapsed_ms(), 0u);
    // A hung instance: listens but never reads.
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    EXPECT_EQ(vesk::instance::Ask(name, "ALTRA_ISTANZA"), std::nullopt);
    EXPECT_GE(clock.elapsed_ms(), vesk::instance::kAnswerWaitMs);
    EXPECT_LT(clock.elapsed_ms(), vesk::instance::kAnswerWaitMs + 20);
    ::close(fd);
}

TEST_F(AppFrameTest, SilentPeersDoNotPileUp) {
    CHwPollLoop loop;
    vesk::instance::CInstanceServer server(loop, {.altra_istanza = [] { return 333L; }, .chi_blocca = {}});
    ASSERT_TRUE(server.Listen("/test/lock"));
    const std::string name = vesk::instance::SocketName(vesk::instance::kAltraIstanza, "/test/lock");
    std::vector<int> silent;
    for (int i = 0; i < 20; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())), 0);
        silent.push_back(fd);
        loop.RunOnce(0);
    }
    EXPECT_LE(server.PendingCount(), 8u);
    for (int fd : silent) ::close(fd);
    // A second server on the same names cannot start.
    CHwPollLoop other;
    vesk::instance::CInstanceServer second(other, {});
    EXPECT_FALSE(second.Listen("/test/lock"));
}

}  // namespace
