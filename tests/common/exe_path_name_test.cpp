#include "common/exe_path_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "common/str_conv.h"
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

// An update folder that cannot be made is named where the making failed:
// the first folder along the path that is missing or no folder.
TEST(DefaultUpdateFolder, NamesTheFolderThatCouldNotBeMade) {
    vesk::test::TempDir dir;
    dir.write("bin/" + std::string(vesk::kInstalledMark), "");
    const struct {
        const char* name;
        const char* home;      // XDG_DATA_HOME, below dir
        const char* file;      // made a plain file, below dir
        const char* at_fault;  // named in the problem, below dir
    } cases[] = {
        {"updates is a file", "data 1", "data 1/vesk-firmup/updates", "data 1/vesk-firmup/updates/"},
        {"the data home is a file", "data 2", "data 2", "data 2/"},
        {"_BOOTER is a file", "data 3", "data 3/vesk-firmup/updates/_BOOTER", "data 3/vesk-firmup/updates/_BOOTER/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write(c.file, "x");
        setenv("XDG_DATA_HOME", dir.file(c.home).c_str(), 1);
        std::wstring problem;
        vesk::default_update_folder(vesk::from_utf8(dir.file("bin")), &problem);
        const std::string expected = dir.file(c.at_fault) + " cannot be created: ";
        EXPECT_EQ(vesk::to_utf8(problem).substr(0, expected.size()), expected) << vesk::to_utf8(problem);
    }
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
