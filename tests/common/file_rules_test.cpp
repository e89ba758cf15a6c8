// The rules for what the program writes, reads from the user and prints to
// a terminal: every file replaced whole or not at all, nothing but a regular
// file replaced or read, control characters shown.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/full_disk.h"
#include "../support/temp_dir.h"
#include "common/atomic_file.h"
#include "common/terminal_text.h"
#include "common/user_file.h"

namespace {

namespace fs = std::filesystem;
using vesk::AtomicFileWriter;
using vesk::FileTarget;
using vesk::test::read_file;

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class FileRules : public ::testing::Test {
protected:
    vesk::test::TempDir dir_;
};

TEST_F(FileRules, WhatIsNotARegularFileIsNeverReplaced) {
    dir_.mkdir("folder");
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    struct Case {
        std::string target;
        const char* why;
    } cases[] = {
        {"/dev/null", "is a device node, not a regular file: refused"},
        {dir_.file("fifo"), "is a FIFO, not a regular file: refused"},
        {dir_.file("folder"), "is a folder, not a regular file: refused"},
    };
    for (const auto& k : cases) {
        std::string why;
        EXPECT_FALSE(vesk::write_file_atomically(k.target, "x", 1, FileTarget::UserNamed, &why)) << k.target;
        EXPECT_NE(why.find(k.target + " " + k.why), std::string::npos) << why;
    }
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_TRUE(fs::is_fifo(dir_.file("fifo")));
    EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"fifo", "folder"})) << "a temporary file was left";
}

TEST_F(FileRules, LinksAreFollowedOnlyWhereTheUserNamedTheFile) {
    dir_.write("victim", "the user's own");
    fs::create_symlink(dir_.file("victim"), dir_.file("link"));
    fs::create_symlink(dir_.file("nothing"), dir_.file("dangling"));
    std::string why;
    // A name of the program's own choosing: the link and what it names stay.
    EXPECT_FALSE(vesk::write_file_atomically(dir_.file("link"), "new", 3, FileTarget::OwnName, &why));
    EXPECT_NE(why.find("is a symbolic link: refused"), std::string::npos) << why;
    EXPECT_EQ(read_file(dir_.file("victim")), "the user's own");
    EXPECT_FALSE(vesk::write_file_atomically(dir_.file("dangling"), "new", 3, FileTarget::UserNamed, &why));
    EXPECT_FALSE(fs::exists(dir_.file("nothing")));
    // A name the user gave: the file the link names is replaced, the link stays.
    ASSERT_TRUE(vesk::write_file_atomically(dir_.file("link"), "new", 3, FileTarget::UserNamed, &why)) << why;
    EXPECT_TRUE(fs::is_symlink(dir_.file("link")));
    EXPECT_EQ(read_file(dir_.file("victim")), "new");
}

TEST_F(FileRules, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
    dir_.write("config.bin", "an earlier good read");
    ::chmod(dir_.file("config.bin").c_str(), 0640);
    {
        AtomicFileWriter w;
        ASSERT_TRUE(w.Open(dir_.file("config.bin"), FileTarget::UserNamed)) << w.Error();
        ASSERT_TRUE(w.Write("half", 4));
        // Never committed: a read that stalled.
    }
    EXPECT_EQ(read_file(dir_.file("config.bin")), "an earlier good read");
    {
        const std::string big(8192, '\xFF');
        vesk::test::ScopedFullDisk full(4096);
        std::string why;
        EXPECT_FALSE(vesk::write_file_atomically(dir_.file("config.bin"), big.data(), big.size(),
                                                 FileTarget::UserNamed, &why));
        EXPECT_NE(why.find("could not be written"), std::string::npos) << why;
    }
    EXPECT_EQ(read_file(dir_.file("config.bin")), "an earlier good read");
    EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"config.bin"});
    // A good write replaces it and keeps its permissions.
    ASSERT_TRUE(vesk::write_file_atomically(dir_.file("config.bin"), "new", 3));
    EXPECT_EQ(read_file(dir_.file("config.bin")), "new");
    EXPECT_EQ(fs::status(dir_.file("config.bin")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(FileRules, UserFilesAreCheckedBeforeAByteIsRead) {
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    dir_.write("big.bin", std::string(1025, 'x'));
    dir_.write("ok.bin", std::string(1024, 'x'));
    fs::create_symlink(dir_.file("ok.bin"), dir_.file("link.bin"));
    struct Case {
        std::string path;
        bool ok;
        const char* why;
    } cases[] = {
        {"/dev/zero", false, "/dev/zero is a device node, not a regular file"},
        {dir_.file("fifo"), false, "fifo is a FIFO, not a regular file"},
        {dir_.path(), false, "is a folder, not a regular file"},
        {dir_.file("big.bin"), false, "big.bin has 1025 bytes, more than the 1024 accepted"},
        {dir_.file("missing"), false, "missing cannot be read: No such file or directory"},
        {dir_.file("ok.bin"), true, ""},
        {dir_.file("link.bin"), true, ""},
    };
    for (const auto& k : cases) {
        std::vector<uint8_t> data;
        std::string why;
        EXPECT_EQ(vesk::read_user_file(k.path, 1024, data, why), k.ok) << k.path;
        if (k.ok) {
            EXPECT_EQ(data.size(), 1024u) << k.path;
        } else {
            EXPECT_NE(why.find(k.why), std::string::npos) << k.path << ": " << why;
        }
    }
}

TEST(TerminalText, ControlCharactersAreShownNeverActedOn) {
    struct Case {
        std::string in, shown;
    } cases[] = {
        {"Pell_470000\x1b]0;x\x07\x1b[2J_fw.mhx", "Pell_470000\\x1B]0;x\\x07\\x1B[2J_fw.mhx"},
        {"a\nall units verified\r", "a\\nall units verified\\r"},
        {"tab\there, del\x7f", "tab\\x09here, del\\x7F"},
        {"csi \xc2\x9b" "2J, \xc3\xa8 stays", "csi \\xC2\\x9B2J, \xc3\xa8 stays"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        // Not UTF-8: a lone 8-bit CSI, stray bytes, a sequence cut short.
        {"8-bit \x9b" "2J \xff\xfe end \xe2\x82", "8-bit \\x9B2J \\xFF\\xFE end \\xE2\\x82"},
        {"\xe2\x82\xac and \xf0\x9f\x98\x80 stay", "\xe2\x82\xac and \xf0\x9f\x98\x80 stay"},
    };
    for (const auto& k : cases) EXPECT_EQ(vesk::ShowControls(k.in), k.shown) << k.in;
    EXPECT_EQ(vesk::ShowControls("one\ntwo\x1b", true), "one\ntwo\\x1B");
}

TEST(TerminalText, PrintShowsTheArgumentsAndKeepsItsOwnLineEnds) {
    vesk::test::TempDir dir;
    FILE* out = std::fopen(dir.file("out").c_str(), "w");
    ASSERT_TRUE(out);
    vesk::TermPrint(out, "file %s, %d bytes\n", "x\n\x1b[2Jy", 12);
    vesk::TermPrint(out, "%s\n", vesk::TermLines{"usage\n  \x1b[1mline"});
    std::fclose(out);
    EXPECT_EQ(read_file(dir.file("out")), "file x\\n\\x1B[2Jy, 12 bytes\nusage\n  \\x1B[1mline\n");
}

}  // namespace
