#include "usb/vesk_semafori.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "log/evt_log.h"

namespace {

using vesk::test::TempDir;

constexpr const char* kDomain = "TESTDOM";

// A private lock folder, as the runtime folder would be.
class LockFolder : public TempDir {
public:
    LockFolder() { ::chmod(path().c_str(), 0700); }
    CVeskSemafori::Place Place(const std::wstring& user = L"alice") const {
        CVeskSemafori::Place p;
        p.folder = path();
        p.domain = L"TESTDOM";
        p.user = user;
        return p;
    }
};

// Another process running lock_holder on the same lock folder and user.
class Holder {
public:
    Holder(const std::string& folder, int number) {
        int to_child[2], from_child[2];
        // Close-on-exec, so that one holder does not keep another one's input open.
        if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(to_child[0], 0);
            ::dup2(from_child[1], 1);
            ::close(to_child[1]);
            ::close(from_child[0]);
            ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
            ::setenv("USERDOMAIN", kDomain, 1);
            std::string n = std::to_string(number);
            ::execl(VESK_LOCK_HOLDER, VESK_LOCK_HOLDER, n.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(to_child[0]);
        ::close(from_child[1]);
        in_ = ::fdopen(to_child[1], "w");
        out_ = ::fdopen(from_child[0], "r");
    }
    ~Holder() {
        Close();
        if (out_) std::fclose(out_);
        Wait();
    }
    std::string Ask(const char* cmd) {
        std::fprintf(in_, "%s\n", cmd);
        std::fflush(in_);
        char line[64] = {};
        if (!std::fgets(line, sizeof line, out_)) return "<no answer>";
        std::string s(line);
        while (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    // End of input: the holder returns from main.
    void Close() {
        if (in_) std::fclose(in_);
        in_ = nullptr;
    }
    void Kill() { ::kill(pid_, SIGKILL); }
    int Wait() {
        int status = 0;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

CVeskSemafori::Place HolderPlace(const std::string& folder) {
    CVeskSemafori::Place p = CVeskSemafori::DefaultPlace();
    p.folder = folder;
    p.create_folder = false;
    p.domain = L"TESTDOM";
    return p;
}

enum class HowFirstEnds { Releases, Exits, IsKilled };

class LockAcrossProcesses : public ::testing::TestWithParam<HowFirstEnds> {};

TEST_P(LockAcrossProcesses, SecondTakeFailsUntilTheFirstOwnerLetsGo) {
    LockFolder dir;
    Holder first(dir.path(), 1);
    Holder second(dir.path(), 1);
    CVeskSemafori here(HolderPlace(dir.path()));

    ASSERT_EQ(first.Ask("lock"), "1");
    EXPECT_EQ(second.Ask("lock"), "0");
    EXPECT_EQ(second.Ask("lock"), "0");
    EXPECT_FALSE(here.Blocca(1));
    EXPECT_EQ(here.StoBloccando(1), 0);

    switch (GetParam()) {
    case HowFirstEnds::Releases: EXPECT_EQ(first.Ask("unlock"), "ok"); break;
    case HowFirstEnds::Exits:
        first.Close();
        first.Wait();
        break;
    case HowFirstEnds::IsKilled:
        first.Kill();
        EXPECT_TRUE(WIFSIGNALED(first.Wait()));
        break;
    }
    EXPECT_EQ(second.Ask("lock"), "1");
    EXPECT_FALSE(here.Blocca(1));
    EXPECT_EQ(second.Ask("unlock"), "ok");
    EXPECT_TRUE(here.Blocca(1));
    EXPECT_EQ(second.Ask("lock"), "0");
}

INSTANTIATE_TEST_SUITE_P(Ends, LockAcrossProcesses,
                         ::testing::Values(HowFirstEnds::Releases, HowFirstEnds::Exits,
                                           HowFirstEnds::IsKilled));

TEST(VeskSemafori, OtherLocksOfTheSameUserAreIndependent) {
    LockFolder dir;
    Holder other(dir.path(), 2);
    CVeskSemafori here(HolderPlace(dir.path()));
    ASSERT_EQ(other.Ask("lock"), "1");
    EXPECT_TRUE(here.Blocca(1));
    EXPECT_FALSE(here.Blocca(2));
}

TEST(VeskSemafori, SecondTakeInTheSameProcessFailsAndKeepsTheLockHeld) {
    LockFolder dir;
    CVeskSemafori locks(dir.Place());
    ASSERT_TRUE(locks.Blocca(1));
    EXPECT_EQ(locks.StoBloccando(1), 1);
    EXPECT_FALSE(locks.Blocca(1));
    // The first take still owns the lock, so the process still reports it.
    EXPECT_EQ(locks.StoBloccando(1), 1);
    CVeskSemafori other(dir.Place());
    EXPECT_FALSE(other.Blocca(1));
    locks.Sblocca(1);
    EXPECT_EQ(locks.StoBloccando(1), 0);
    EXPECT_TRUE(other.Blocca(1));
}

TEST(VeskSemafori, ReleasingALockNotHeldIsHarmless) {
    LockFolder dir;
    CVeskSemafori locks(dir.Place());
    vesk::LogCapture log;
    locks.Sblocca(3);
    locks.Sblocca(3);
    EXPECT_EQ(locks.StoBloccando(3), 0);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(locks.Blocca(3));
    EXPECT_EQ(locks.StoBloccando(3), 3);
}

TEST(VeskSemafori, DestructionReleasesEveryHeldLock) {
    LockFolder dir;
    {
        CVeskSemafori locks(dir.Place());
        ASSERT_TRUE(locks.Blocca(1));
        ASSERT_TRUE(locks.Blocca(4));
    }
    CVeskSemafori next(dir.Place());
    EXPECT_TRUE(next.Blocca(1));
    EXPECT_TRUE(next.Blocca(4));
}

TEST(VeskSemafori, LockFileNamesCarryGuidDomainAndUser) {
    LockFolder dir;
    CVeskSemafori locks(dir.Place());
    const std::pair<int, std::wstring> names[] = {
        {1, L"{70AA8F2F-4E07-42ce-829A-D999F7D3F11E}-TESTDOM-alice"},
        {2, L"{C35DA084-1C38-4D8F-8B81-38183A296AC2}-TESTDOM-alice"},
        {3, L"{F89ADE12-E3F3-4CC3-8D17-C3E7FBC0E70F}-TESTDOM-alice"},
        {4, L"{C39E6BDA-836F-462C-807D-5A290E25A5CB}-TESTDOM-alice"},
    };
    for (const auto& [n, name] : names) {
        EXPECT_EQ(locks.LockName(n), name) << n;
        ASSERT_TRUE(locks.Blocca(n)) << n;
        EXPECT_TRUE(std::filesystem::exists(locks.LockPath(n))) << n;
        EXPECT_EQ(locks.LockPath(n), dir.path() + "/" + vesk::to_utf8(name));
    }
}

TEST(VeskSemafori, DifferentUsersGetDifferentLockFilesAndDoNotExcludeEachOther) {
    LockFolder dir;
    CVeskSemafori alice(dir.Place(L"alice"));
    CVeskSemafori bob(dir.Place(L"bob"));
    EXPECT_NE(alice.LockPath(1), bob.LockPath(1));
    EXPECT_TRUE(alice.Blocca(1));
    EXPECT_TRUE(bob.Blocca(1));
    EXPECT_TRUE(std::filesystem::exists(alice.LockPath(1)));
    EXPECT_TRUE(std::filesystem::exists(bob.LockPath(1)));
}

TEST(VeskSemafori, NameEdgeCases) {
    LockFolder dir;
    const std::wstring guid = L"{70AA8F2F-4E07-42ce-829A-D999F7D3F11E}";
    struct Case {
        const char* what;
        std::wstring domain;
        std::optional<std::wstring> user;
        std::wstring expected;
    } cases[] = {
        {"unknown user", L"TESTDOM", std::nullopt, guid},
        {"user name too long for its buffer", L"TESTDOM", std::wstring(64, L'u'), guid},
        {"longest user name", L"TESTDOM", std::wstring(63, L'u'),
         guid + L"-TESTDOM-" + std::wstring(63, L'u')},
        {"domain cut to its buffer", std::wstring(70, L'd'), L"alice",
         guid + L"-" + std::wstring(63, L'd') + L"-alice"},
        {"separator kept out of the name", L"../up", L"a/b", guid + L"-.._up-a_b"},
    };
    for (const auto& c : cases) {
        CVeskSemafori::Place p = dir.Place();
        p.domain = c.domain;
        p.user = c.user;
        CVeskSemafori locks(p);
        EXPECT_EQ(locks.LockName(1), c.expected) << c.what;
        EXPECT_TRUE(locks.Blocca(1)) << c.what;
        EXPECT_EQ(std::filesystem::path(locks.LockPath(1)).parent_path().string(), dir.path())
            << c.what;
    }
}

TEST(VeskSemafori, UnknownNumberIsAnInvalidRequest) {
    LockFolder dir;
    CVeskSemafori locks(dir.Place());
    vesk::LogCapture log;
    EXPECT_FALSE(locks.Blocca(7));
    ASSERT_EQ(log.lines().size(), 1u);
    const std::string line = log.lines()[0];
    EXPECT_EQ(line.rfind("CVeskSemafori::Blocca [", 0), 0u) << line;
    EXPECT_NE(line.find("] ERROR = Invalid request 7\n"), std::string::npos) << line;
    log.clear();
    EXPECT_EQ(locks.StoBloccando(7), 0);
    EXPECT_TRUE(log.contains("Invalid request 7"));
    log.clear();
    locks.Sblocca(0);
    EXPECT_TRUE(log.contains("Invalid request 0"));
}

TEST(VeskSemafori, AddedLocksTakeTheNumbersFromSixOn) {
    LockFolder dir;
    CVeskSemafori locks(dir.Place());
    EXPECT_EQ(locks.AggiungiSemaforo(L"{11111111-2222-3333-4444-555555555555}"), 6);
    EXPECT_EQ(locks.AggiungiSemaforo(L"{66666666-2222-3333-4444-555555555555}"), 7);
    EXPECT_EQ(locks.StoBloccando(6), 0);
    EXPECT_TRUE(locks.Blocca(7));
    EXPECT_EQ(locks.StoBloccando(7), 7);
    EXPECT_EQ(locks.LockName(7), L"{66666666-2222-3333-4444-555555555555}-TESTDOM-alice");
    CVeskSemafori other(dir.Place());
    other.AggiungiSemaforo(L"{11111111-2222-3333-4444-555555555555}");
    other.AggiungiSemaforo(L"{66666666-2222-3333-4444-555555555555}");
    EXPECT_FALSE(other.Blocca(7));
    EXPECT_TRUE(other.Blocca(6));
}

TEST(VeskSemafori, UnsafeLockFoldersAreRefused) {
    TempDir tmp;
    tmp.mkdir("loose");
    ::chmod(tmp.file("loose").c_str(), 0755);
    tmp.mkdir("group");
    ::chmod(tmp.file("group").c_str(), 0770);
    tmp.mkdir("private");
    ::chmod(tmp.file("private").c_str(), 0700);
    std::filesystem::create_directory_symlink(tmp.file("private"), tmp.file("link"));
    tmp.write("plain", "x");

    std::string foreign;
    if (::geteuid() == 0) {
        tmp.mkdir("foreign");
        ::chmod(tmp.file("foreign").c_str(), 0700);
        ASSERT_EQ(::chown(tmp.file("foreign").c_str(), 65534, 65534), 0);
        foreign = tmp.file("foreign");
    } else {
        foreign = "/";  // owned by root
    }
    std::vector<std::string> folders = {tmp.file("loose"), tmp.file("group"), tmp.file("link"),
                                        tmp.file("plain"), foreign, tmp.file("missing")};
    if (::geteuid() == 0) {
        // Shared and sticky, but its owner could still remove our lock files.
        tmp.mkdir("foreign_sticky");
        ::chmod(tmp.file("foreign_sticky").c_str(), 01777);
        ASSERT_EQ(::chown(tmp.file("foreign_sticky").c_str(), 65534, 65534), 0);
        folders.push_back(tmp.file("foreign_sticky"));
    }
    for (const std::string& folder : folders) {
        CVeskSemafori::Place p;
        p.folder = folder;
        p.domain = L"TESTDOM";
        p.user = L"alice";
        CVeskSemafori locks(p);
        vesk::LogCapture log;
        EXPECT_FALSE(locks.Blocca(1)) << folder;
        EXPECT_EQ(locks.StoBloccando(1), 0) << folder;
        EXPECT_EQ(log.lines().size(), 1u) << folder;
        EXPECT_TRUE(log.contains("Lock folder")) << folder;
        EXPECT_FALSE(std::filesystem::exists(locks.LockPath(1))) << folder;
    }
}

// A shared folder with the sticky bit, as /tmp is when XDG_RUNTIME_DIR points there.
TEST(VeskSemafori, SharedStickyFoldersAreUsed) {
    for (const mode_t mode : {01777, 01770, 01755}) {
        TempDir tmp;
        ASSERT_EQ(::chmod(tmp.path().c_str(), mode), 0);
        CVeskSemafori locks(HolderPlace(tmp.path()));
        vesk::LogCapture log;
        ASSERT_TRUE(locks.Blocca(2)) << std::oct << mode << "\n" << (log.lines().empty() ? "" : log.lines()[0]);
        EXPECT_EQ(locks.StoBloccando(2), 2);
        struct stat st {};
        ASSERT_EQ(::lstat(locks.LockPath(2).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_uid, ::geteuid());
        Holder other(tmp.path(), 2);
        EXPECT_EQ(other.Ask("lock"), "0") << std::oct << mode;
        locks.Sblocca(2);
        EXPECT_EQ(other.Ask("lock"), "1") << std::oct << mode;
        EXPECT_TRUE(log.lines().empty());
    }
}

// Whatever already sits under the lock file's name is never followed, never
// truncated and never taken for a lock file unless it is a regular file of
// this user.
TEST(VeskSemafori, HostileLockFilesAreRefusedAndLeftAsTheyAre) {
    LockFolder dir;
    const std::string victim = dir.file("victim");
    dir.write("victim", "keep me");
    const std::string lock = CVeskSemafori(dir.Place()).LockPath(1);
    struct Case {
        const char* what;
        std::function<void()> make;
        bool as_non_root = true;
    } cases[] = {
        {"link to a file", [&] { std::filesystem::create_symlink(victim, lock); }},
        {"dangling link", [&] { std::filesystem::create_symlink(dir.file("created"), lock); }},
        {"folder", [&] { std::filesystem::create_directory(lock); }},
        {"fifo", [&] { ::mkfifo(lock.c_str(), 0600); }},
        // Only root can hand a file to another user.
        {"another user's file",
         [&] {
             dir.write(std::filesystem::path(lock).filename().string(), "theirs");
             ::chmod(lock.c_str(), 0666);
             ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
         },
         false},
    };
    for (const Case& c : cases) {
        if (!c.as_non_root && ::geteuid() != 0) continue;
        std::filesystem::remove_all(lock);
        c.make();
        CVeskSemafori locks(dir.Place());
        vesk::LogCapture log;
        EXPECT_FALSE(locks.Blocca(1)) << c.what;
        EXPECT_EQ(locks.StoBloccando(1), 0) << c.what;
        ASSERT_EQ(log.lines().size(), 1u) << c.what;
        EXPECT_TRUE(log.contains("] ERROR = Lock file " + lock + " refused: not a regular file of this user"))
            << c.what << "\n" << log.lines()[0];
        EXPECT_EQ(vesk::test::read_file(victim), "keep me") << c.what;
        EXPECT_FALSE(std::filesystem::exists(dir.file("created"))) << c.what;
    }
}

TEST(VeskSemafori, MissingFallbackFolderIsCreatedPrivate) {
    TempDir tmp;
    CVeskSemafori::Place p;
    p.folder = tmp.file("vesk-locks");
    p.create_folder = true;
    p.domain = L"TESTDOM";
    p.user = L"alice";
    CVeskSemafori locks(p);
    ASSERT_TRUE(locks.Blocca(2));
    struct stat st {};
    ASSERT_EQ(::stat(p.folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

TEST(VeskSemafori, DefaultPlaceFollowsTheEnvironment) {
    const char* old_runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string saved = old_runtime ? old_runtime : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    ::setenv("USERDOMAIN", "CORP", 1);
    auto p = CVeskSemafori::DefaultPlace();
    EXPECT_EQ(p.folder, "/run/user/4242");
    EXPECT_FALSE(p.create_folder);
    EXPECT_EQ(p.domain, L"CORP");
    ::unsetenv("XDG_RUNTIME_DIR");
    ::unsetenv("USERDOMAIN");
    p = CVeskSemafori::DefaultPlace();
    EXPECT_EQ(p.folder, "/tmp/vesk-locks-" + std::to_string(::getuid()));
    EXPECT_TRUE(p.create_folder);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(p.domain, vesk::from_utf8(host));
    if (old_runtime) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

}  // namespace

namespace {

// Who holds a lock is read from its file by the others, who name it to the user.
TEST(VeskSemafori, TheHolderIsNamedInTheLockFile) {
    LockFolder dir;
    {
        Holder other(dir.path(), 1);
        ASSERT_EQ(other.Ask("lock"), "1");
        CVeskSemafori here(HolderPlace(dir.path()));
        EXPECT_FALSE(here.Blocca(1));
        EXPECT_TRUE(here.HeldByAnother(1));
        const auto holder = here.ReadHolder(1);
        ASSERT_TRUE(holder);
        EXPECT_GT(holder->pid, 0);
        EXPECT_NE(holder->pid, ::getpid());
        EXPECT_EQ(holder->program, "vesk_lock_holder");
    }
    struct Case {
        const char* what;
        std::string name;
        std::string shown;
    } cases[] = {
        {"spaces kept", "vesk-firmup-cli update", "vesk-firmup-cli update"},
        {"control characters escaped", std::string("a\x1b[2Jb\x7f\x01", 8), "a\\x1b[2Jb\\x7f\\x01"},
        {"a line break cannot end the record early", "one\ntwo", "one two"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CVeskSemafori holder(HolderPlace(dir.path()));
        holder.SetHolderName(c.name);
        ASSERT_TRUE(holder.Blocca(1));
        CVeskSemafori other(HolderPlace(dir.path()));
        EXPECT_FALSE(other.Blocca(1));
        const auto h = other.ReadHolder(1);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->pid, ::getpid());
        EXPECT_EQ(h->program, c.shown);
    }
}

TEST(VeskSemafori, ARefusedLockFolderIsNotAHolder) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);  // writable by anybody, no sticky bit
    CVeskSemafori::Place p = HolderPlace(dir.path());
    CVeskSemafori locks(p);
    EXPECT_FALSE(locks.Blocca(1));
    EXPECT_FALSE(locks.HeldByAnother(1));
    EXPECT_FALSE(locks.ReadHolder(1));
}

}  // namespace
