#include "common/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../support/temp_dir.h"
#include "common/clock.h"

namespace {

using vesk::test::TempDir;

class FSTest : public ::testing::Test {
protected:
    vesk::VirtualClock clock_;
    vesk::ScopedClock scope_{clock_};
    TempDir dir_;
    FS fs_;
};

TEST_F(FSTest, ListsMatchingFilesWithoutRegardToCaseSortedAndSkippingFolders) {
    dir_.write("b_0102.MHX", "x");
    dir_.write("a_0101.mhx", "x");
    dir_.write("Z.mhx", "x");
    dir_.write("notes.txt", "x");
    dir_.mkdir("folder.mhx");
    std::vector<std::wstring> out;
    ASSERT_TRUE(fs_.ListFiles(dir_.wpath(), out, L"*.mhx"));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"Z.mhx", L"a_0101.mhx", L"b_0102.MHX"}));

    out.clear();
    ASSERT_TRUE(fs_.ListFiles(dir_.wfolder(), out, std::vector<std::wstring>{L"*.txt", L"A_*"}));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"notes.txt", L"a_0101.mhx"}));

    out.clear();
    ASSERT_TRUE(fs_.ListFiles(dir_.wpath(), out, std::vector<std::wstring>{}));
    EXPECT_EQ(out.size(), 4u);  // "*.*" matches names without a dot too

    out.clear();
    ASSERT_TRUE(fs_.ListFolders(dir_.wpath(), out, L"*.MHX"));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"folder.mhx"}));

    out.clear();
    EXPECT_FALSE(fs_.ListFiles(dir_.wpath() + L"/missing", out, L"*"));
    EXPECT_TRUE(out.empty());
}

// A name that names no folder must not list the working folder in its place.
TEST_F(FSTest, NoFolderNameNeverListsTheWorkingFolder) {
    dir_.write("work/a_0101.mhx", "x");
    dir_.mkdir("work/sub");
    const std::wstring saved = fs_.CurrentFolder();
    ASSERT_TRUE(fs_.SetCurrentFolder(dir_.wpath() + L"/work"));
    const std::wstring names[] = {L"", std::wstring(1, wchar_t(0xD800)),
                                  dir_.wpath() + L"/work/" + wchar_t(0xDFFF)};
    for (const auto& folder : names) {
        std::vector<std::wstring> out;
        EXPECT_FALSE(fs_.ListFiles(folder, out, L"*")) << folder.size();
        EXPECT_FALSE(fs_.ListFolders(folder, out, L"*")) << folder.size();
        EXPECT_TRUE(out.empty()) << folder.size();
        EXPECT_EQ(fs_.Kind(folder), 2) << folder.size();
    }
    fs_.SetCurrentFolder(saved);
}

TEST_F(FSTest, ListsRecursively) {
    dir_.write("a.bin", "x");
    dir_.write("sub/b.bin", "x");
    dir_.write("sub/deeper/c.BIN", "x");
    dir_.write("sub/d.txt", "x");
    std::vector<std::wstring> out;
    ASSERT_TRUE(fs_.ListFilesRecursive(dir_.wpath(), out, L"*.bin"));
    EXPECT_EQ(out, (std::vector<std::wstring>{dir_.wpath() + L"/a.bin", dir_.wpath() + L"/sub/b.bin",
                                               dir_.wpath() + L"/sub/deeper/c.BIN"}));
}

TEST_F(FSTest, KindOfAPath) {
    dir_.write("file", "x");
    dir_.mkdir("folder");
    ::mkfifo(dir_.file("fifo").c_str(), 0600);
    struct {
        std::wstring path;
        int kind;
    } cases[] = {
        {dir_.wpath() + L"/file", 0},
        {dir_.wpath() + L"/folder", 1},
        {dir_.wpath() + L"/folder/", 1},
        {dir_.wpath() + L"\\folder\\", 1},
        {dir_.wpath() + L"/fifo", 2},
        {L"", 2},
        {dir_.wpath() + L"/missing", 3},
        {L"/", 1},
        {std::wstring(20000, L'a'), 3},
    };
    for (const auto& c : cases) EXPECT_EQ(fs_.Kind(c.path), c.kind) << c.path.size();
    EXPECT_TRUE(fs_.IsFile(dir_.wpath() + L"/file"));
    EXPECT_FALSE(fs_.IsFile(dir_.wpath() + L"/folder"));
    EXPECT_TRUE(fs_.IsFolder(dir_.wpath() + L"/folder/"));
}

TEST_F(FSTest, CreatesNestedMissingFolders) {
    dir_.mkdir("base");
    const std::wstring target = dir_.wpath() + L"/base/one/two";
    EXPECT_EQ(fs_.CreateFolders(target, true), 0);
    EXPECT_TRUE(fs_.IsFolder(dir_.wpath() + L"/base/one"));
    EXPECT_TRUE(fs_.IsFolder(target));
    EXPECT_EQ(clock_.elapsed_ms(), 100u);
    // All there already: still 0.
    EXPECT_EQ(fs_.CreateFolders(target + L"/", true), 0);
    // The last part is a file name: only its folders are made.
    EXPECT_EQ(fs_.CreateFolders(dir_.wpath() + L"\\x\\y\\file.log", false), 0);
    EXPECT_TRUE(fs_.IsFolder(dir_.wpath() + L"/x/y"));
    EXPECT_FALSE(fs_.IsFolder(dir_.wpath() + L"/x/y/file.log"));
}

TEST_F(FSTest, CreateFoldersFailures) {
    dir_.write("afile", "x");
    EXPECT_EQ(fs_.CreateFolders(L"", true), 2);
    EXPECT_EQ(fs_.CreateFolders(dir_.wpath() + L"/afile/sub", true), 1);
    EXPECT_EQ(fs_.CreateFolders(L"/proc/vesk-not-allowed/x", true), 1);
}

TEST_F(FSTest, CopiesAndDeletesTrees) {
    dir_.write("src/a.txt", "alpha");
    dir_.write("src/sub/b.txt", "beta");
    ASSERT_TRUE(fs_.CopyFolderTree(dir_.wpath() + L"/src", dir_.wpath() + L"/dst"));
    EXPECT_EQ(vesk::test::read_file(dir_.file("dst/a.txt")), "alpha");
    EXPECT_EQ(vesk::test::read_file(dir_.file("dst/sub/b.txt")), "beta");

    ASSERT_TRUE(fs_.SetCurrentFolder(dir_.wpath() + L"/dst/sub"));
    EXPECT_TRUE(fs_.DeleteFolderTree(dir_.wpath() + L"/dst"));
    EXPECT_EQ(fs_.Kind(dir_.wpath() + L"/dst"), 3);
    EXPECT_EQ(fs_.CurrentFolder(), dir_.wpath() + L"/");
    EXPECT_FALSE(fs_.DeleteFolderTree(dir_.wpath() + L"/dst"));
}

TEST_F(FSTest, RenameOnlyRegularFiles) {
    dir_.write("a", "x");
    dir_.mkdir("d");
    EXPECT_TRUE(fs_.Rename(dir_.wpath() + L"/a", dir_.wpath() + L"/b"));
    EXPECT_TRUE(fs_.IsFile(dir_.wpath() + L"/b"));
    EXPECT_FALSE(fs_.Rename(dir_.wpath() + L"/d", dir_.wpath() + L"/e"));
    EXPECT_FALSE(fs_.Rename(dir_.wpath() + L"/missing", dir_.wpath() + L"/f"));
}

TEST_F(FSTest, ReadsAndWritesBytes) {
    const uint8_t data[] = {0x00, 0xFF, '\r', '\n', 0x41};
    const std::wstring p = dir_.wpath() + L"/bin";
    ASSERT_TRUE(fs_.WriteBytes(p, data, sizeof data));
    std::vector<uint8_t> back;
    ASSERT_TRUE(fs_.ReadBytes(p, back));
    EXPECT_EQ(back, std::vector<uint8_t>(data, data + sizeof data));
    size_t n = 0;
    auto buf = fs_.ReadBytes(p, n);
    ASSERT_TRUE(buf);
    EXPECT_EQ(n, sizeof data);
    EXPECT_EQ(buf[1], 0xFF);

    EXPECT_FALSE(fs_.WriteBytes(L"", data, 1));
    EXPECT_FALSE(fs_.WriteBytes(p, nullptr, 1));
    EXPECT_FALSE(fs_.WriteBytes(p, data, 0));
    EXPECT_FALSE(fs_.ReadBytes(dir_.wpath(), back));  // a folder is not a file
    EXPECT_FALSE(fs_.ReadBytes(dir_.wpath() + L"/missing", n));
}

TEST_F(FSTest, ReadsTextAndLines) {
    dir_.write("t.txt", "one\r\ntwo\n\nthree");
    std::string all;
    ASSERT_TRUE(fs_.ReadText(dir_.wpath() + L"/t.txt", all));
    EXPECT_EQ(all, "one\r\ntwo\n\nthree");
    std::vector<std::string> lines;
    ASSERT_TRUE(fs_.ReadLines(dir_.wpath() + L"/t.txt", lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "three"}));
}

}  // namespace
