#include "common/exe_path_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "../support/temp_dir.h"

namespace {

TEST(CExePathName, ReducesDotSegmentsAndKeepsCase) {
    CExePathName p("C:\\Prog\\.\\Sub\\..\\Vesk\\FirmUp.EXE");
    EXPECT_EQ(p.FullPath(), L"C:/Prog/Vesk/FirmUp.EXE");
    EXPECT_EQ(p.FileName(), L"FirmUp.EXE");
    EXPECT_EQ(p.FolderNoSlash(), L"C:/Prog/Vesk");
    EXPECT_EQ(p.Folder(), L"C:/Prog/Vesk/");
    EXPECT_EQ(p.FolderA(), "C:/Prog/Vesk/");
    EXPECT_EQ(p.FileNameA(), "FirmUp.EXE");
}

TEST(CExePathName, NormaliseCases) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"/a/./b/c", "/a/b/c"},
        {"/a/b/../c", "/a/c"},
        {"/a/b/c/../../d", "/a/d"},
        {"/../x", "/x"},
        {"/opt/Vesk/bin", "/opt/Vesk/bin"},
    };
    for (const auto& c : cases) EXPECT_EQ(CExePathName::Normalise(c.in), c.out) << c.in;
}

TEST(CExePathName, FindsThisProgram) {
    CExePathName p;
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    ASSERT_GT(n, 0);
    buf[n] = 0;
    EXPECT_EQ(p.FullPathA(), buf);
    EXPECT_EQ(p.FileNameA(), "test_common");
    EXPECT_EQ(p.FolderA().back(), '/');
}

TEST(WritableFolder, ProgramFolderWhenWritableElseXdg) {
    vesk::test::TempDir dir;
    EXPECT_EQ(vesk::writable_folder(dir.wfolder(), L"logs/"), dir.wfolder() + L"logs/");

    // A folder that cannot be written (or does not exist) sends files to the user's XDG folders.
    setenv("XDG_STATE_HOME", "/xdg/state", 1);
    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(vesk::writable_folder(L"/nonexistent/prog/", L"logs/"), L"/xdg/state/vesk-firmup/logs/");
    EXPECT_EQ(vesk::writable_folder(L"/nonexistent/prog/", L"user/"), L"/xdg/config/vesk-firmup/user/");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(vesk::writable_folder(L"/nonexistent/prog/", L"logs/"), L"/home/u/.local/state/vesk-firmup/logs/");
    unsetenv("XDG_CONFIG_HOME");
}

TEST(WritableFolder, InstalledCopyWritesToXdgEvenWhenItsFolderIsWritable) {
    vesk::test::TempDir dir;
    dir.write(vesk::kInstalledMark, "");
    setenv("XDG_STATE_HOME", "/xdg/state", 1);
    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(vesk::writable_folder(dir.wfolder(), L"logs/"), L"/xdg/state/vesk-firmup/logs/");
    EXPECT_EQ(vesk::writable_folder(dir.wpath(), L"user/"), L"/xdg/config/vesk-firmup/user/");
    unsetenv("XDG_STATE_HOME");
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
