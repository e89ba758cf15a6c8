#include "firmware_files/update_folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "common/file_system.h"
#include "common/str_conv.h"
#include "firmware_files/firmup_files_info.h"

namespace {

using vesk::test::TempDir;

TEST(UpdateFolders, BelowTheMainFolderAndNothingBelowNoName) {
    const UpdateFolders f = UpdateFoldersOf(L"/upd/");
    EXPECT_EQ(f.main, L"/upd/");
    EXPECT_EQ(f.booter, L"/upd/_BOOTER");
    EXPECT_EQ(f.accessori, L"/upd/_ACCESSORI");
    const UpdateFolders none = UpdateFoldersOf(L"");
    EXPECT_TRUE(none.main.empty() && none.booter.empty() && none.accessori.empty());
}

TEST(UpdateFolders, EachFolderState) {
    TempDir dir;
    dir.mkdir("ok");
    dir.write("file", "x");
    ::mkfifo(dir.file("fifo").c_str(), 0600);
    std::filesystem::create_symlink("ok", dir.file("link_to_ok"));
    std::filesystem::create_symlink("loop", dir.file("loop"));
    std::filesystem::create_symlink("missing", dir.file("dangling"));
    dir.mkdir("closed");
    ::chmod(dir.file("closed").c_str(), 0);
    dir.mkdir("no_search");
    ::chmod(dir.file("no_search").c_str(), 0444);
    const std::wstring d = dir.wpath();
    const bool root = ::geteuid() == 0;  // root reads any folder
    const struct {
        std::wstring path;
        FolderState state;
    } cases[] = {
        {d + L"/ok", FolderState::Ok},
        {d + L"\\ok\\", FolderState::Ok},
        {d + L"/link_to_ok", FolderState::Ok},
        {L"", FolderState::NoName},
        {d + L"/missing", FolderState::Missing},
        {d + L"/dangling", FolderState::Missing},
        {d + L"/file/below", FolderState::Missing},
        {d + L"/file", FolderState::NotAFolder},
        {d + L"/fifo", FolderState::NotAFolder},
        {d + L"/loop", FolderState::Unreadable},
        {d + L"/ok/" + wchar_t(0xD800), FolderState::Unreadable},
        {d + L"/closed", root ? FolderState::Ok : FolderState::Unreadable},
        {d + L"/no_search", root ? FolderState::Ok : FolderState::Unreadable},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckFolder(c.path), c.state) << vesk::to_utf8(c.path) << " (" << c.path.size() << ")";
    ::chmod(dir.file("closed").c_str(), 0755);
    ::chmod(dir.file("no_search").c_str(), 0755);
}

TEST(UpdateFolders, ProblemsInTheOrderMainBooterAccessori) {
    TempDir dir;
    dir.mkdir("upd/_ACCESSORI");
    dir.write("upd/_BOOTER", "x");
    const std::wstring main = dir.wpath() + L"/upd";
    const auto problems = CheckUpdateFolders(UpdateFoldersOf(main));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].path, main + L"/_BOOTER");
    EXPECT_EQ(problems[0].state, FolderState::NotAFolder);
    EXPECT_STREQ(FolderStateText(problems[0].state), "is not a folder");

    const auto missing = CheckUpdateFolders(UpdateFoldersOf(dir.wpath() + L"/none"));
    ASSERT_EQ(missing.size(), 3u);
    EXPECT_EQ(missing[0].path, dir.wpath() + L"/none");
    EXPECT_EQ(missing[2].path, dir.wpath() + L"/none/_ACCESSORI");

    const auto unnamed = CheckUpdateFolders(UpdateFoldersOf(L""));
    ASSERT_EQ(unnamed.size(), 1u);
    EXPECT_EQ(unnamed[0].state, FolderState::NoName);

    dir.mkdir("upd2/_BOOTER");
    dir.mkdir("upd2/_ACCESSORI");
    EXPECT_TRUE(CheckUpdateFolders(UpdateFoldersOf(dir.wpath() + L"/upd2")).empty());
}

// The scans of the catalogue, given no folder name, find nothing: never the
// files of the working folder.
TEST(UpdateFolders, AnEmptyFolderNameListsNoFile) {
    TempDir dir;
    dir.write("X_010507_fw.mhx", "S9030000FC\n");
    dir.write("X_010507_lng.mhx", "S9030000FC\n");
    FS fs;
    const std::wstring saved = fs.CurrentFolder();
    ASSERT_TRUE(fs.SetCurrentFolder(dir.wpath()));
    EXPECT_TRUE(CFirmupFilesInfo::ListaFile(L"", L"*").empty());
    FirmupFileList list{{7, L"stale", L"", L"", 1}};
    CFirmupFilesInfo::ScanSingolo(L"", L"X_*_fw.mhx", list, 1);
    EXPECT_TRUE(list.empty());
    CFirmupFilesInfo::ScanFwLingua(L"", L"X_*_fw.mhx", L"X_*_lng.mhx", list, 1);
    EXPECT_TRUE(list.empty());
    CFirmupFilesInfo::ScanBooter(L"", L"X_*", list, 1);
    EXPECT_TRUE(list.empty());
    // The same folder by its name is listed.
    EXPECT_EQ(CFirmupFilesInfo::ListaFile(dir.wpath(), L"X_*_fw.mhx").size(), 1u);
    fs.SetCurrentFolder(saved);
}

}  // namespace
