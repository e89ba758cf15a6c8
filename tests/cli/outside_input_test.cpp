// The terminal tool against files, folders and names no ordinary run uses:
// files it must not replace or read, names that carry terminal escapes, an
// instrument whose reads stall or that never comes back, a backup folder that
// cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/temp_dir.h"
#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

namespace fs = std::filesystem;
using vesk::test::Quote;
using vesk::test::read_file;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

// A Quarv4 master with its configuration and a GPS receiver for the finish lines.
std::string Quarv(const std::string& faults = "") {
    return R"({"instruments": [{"code": 62, "serial": 620, "firmware": "45.01.00", "net_rebuild_ms": 0,
      "memory": [{"address": 1073774592, "size": 24576, "seed": 3}],
      "slaves": [{"number": 3, "code": 2017, "serial": 73, "firmware": "02.00.00"}])" +
           (faults.empty() ? "" : ", \"faults\": [" + faults + "]") + "}]}";
}

// Every name under folder, depth first, with the kind of each.
std::vector<std::string> Tree(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        out.push_back(e.path().string() + (e.is_symlink() ? " link" : e.is_directory() ? " folder" : " file"));
    std::sort(out.begin(), out.end());
    return out;
}

class OutsideInput : public ::testing::Test {
protected:
    std::string Scenario(const std::string& text, const std::string& name = "s.json") {
        dir_.write(name, text);
        return Quote(dir_.file(name));
    }
    std::string File(const std::string& name) const { return dir_.file(name); }
    // env: variables; wrap: what starts the tool.
    vesk::test::ToolResult Update(const std::string& env, const std::string& args, const std::string& wrap = "") {
        return RunTool(env + " XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " " + wrap + kCli + " update " + args +
                       " --folder " + Quote(dir_.file("upd")) + " < /dev/null 2>&1");
    }

    vesk::test::TempDir dir_;
};

// A read that fails leaves the file that was there; a target that is no
// regular file is refused before the instrument is read.
TEST_F(OutsideInput, AFailedReadKeepsTheEarlierFile) {
    dir_.write("config.bin", "an earlier good read");
    ASSERT_EQ(::mkfifo(File("fifo").c_str(), 0600), 0);
    dir_.mkdir("folder");
    // A device node of the test's own (the null device), where one can be made.
    const bool device = ::mknod(File("device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    const std::string stalls = Scenario(Quarv(R"({"kind": "stall", "request": "memory", "when": "from", "n": 3})"));
    struct Case {
        std::string args;
        std::string why;
    } cases[] = {
        {"read config " + Quote(File("config.bin")), "could not be read"},
        {"read config " + Quote(File("fifo")), File("fifo") + " is a FIFO, not a regular file: refused"},
        {"read config " + Quote(File("folder")), File("folder") + " is a folder, not a regular file: refused"},
        {"read config " + Quote(File("device")), File("device") + " is a device node, not a regular file: refused"},
    };
    for (const auto& k : cases) {
        if (!device && k.args.find("device") != std::string::npos) {
            continue;
        }
        const auto r = RunTool("timeout 60 " + kCli + " " + k.args + " --simulate " + stalls);
        EXPECT_EQ(r.status, 1) << k.args << "\n" << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << k.args << "\n" << r.output;
    }
    EXPECT_EQ(read_file(File("config.bin")), "an earlier good read");
    EXPECT_TRUE(fs::is_fifo(File("fifo")));
    if (device) {
        EXPECT_TRUE(fs::is_character_file(File("device")));
    }
    fs::remove(File("device"));
    EXPECT_EQ(Tree(dir_.path()), (std::vector<std::string>{File("config.bin") + " file", File("fifo") + " file",
                                                           File("folder") + " folder", File("s.json") + " file"}));
    // A good read through a link replaces the file it names; the link stays.
    fs::create_symlink(File("config.bin"), File("link.bin"));
    const auto r = RunTool(kCli + " read config " + Quote(File("link.bin")) + " --simulate " + Scenario(Quarv()));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fs::is_symlink(File("link.bin")));
    EXPECT_EQ(fs::file_size(File("config.bin")), 24576u);
}

// A device or a FIFO given to write is refused at once, before a byte is read.
TEST_F(OutsideInput, WriteRefusesWhatIsNoRegularFileAtOnce) {
    ASSERT_EQ(::mkfifo(File("fifo").c_str(), 0600), 0);
    dir_.write("huge.bin", std::string(2u << 20, '\0'));
    struct Case {
        std::string file, why;
    } cases[] = {
        {"/dev/zero", "/dev/zero is a device node, not a regular file"},
        {File("fifo"), File("fifo") + " is a FIFO, not a regular file"},
        {File("huge.bin"), File("huge.bin") + " has 2097152 bytes, more than the 1048576 accepted"},
    };
    for (const auto& k : cases) {
        // The timeout stops a tool that waits on the FIFO or reads /dev/zero for ever.
        const auto r = RunTool("timeout 20 " + kCli + " write config " + Quote(k.file) + " --simulate " +
                               Scenario(Quarv()));
        EXPECT_EQ(r.status, 1) << k.file << "\n" << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << r.output;
    }
}

// A dump with memory that could not be read is no dump.
TEST_F(OutsideInput, ADumpWithHolesFailsAndNamesThem) {
    dir_.write("d2.bin", "an earlier dump");
    const auto r = RunTool(kCli + " dump " + Quote(File("d2.bin")) + " --simulate " +
                           Scenario(Quarv(R"({"kind": "stall", "request": "memory", "when": "from", "n": 3})")));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.output.find("Dump performed"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("the memory at 0x"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("-0x7FFFFF"), std::string::npos) << "the last range is unread\n" << r.output;
    EXPECT_EQ(read_file(File("d2.bin")), "an earlier dump");
}

// Finish lines that restart the master are written only once it is back.
TEST_F(OutsideInput, FinishLinesOfAMasterThatNeverComesBackAreNotWritten) {
    dir_.write("lines.bin", std::string(8704, '\x5A'));
    const auto r = RunTool(kCli + " write finish-lines " + Quote(File("lines.bin")) + " --simulate " +
                           Scenario(Quarv(R"({"kind": "never_returns", "when": "once"})")));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("has not come back after its restart"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("and checked"), std::string::npos) << r.output;
}

// Names with terminal escapes are shown escaped, never sent to the terminal
// as they are: a file name in a folder list and plan search, a folder name
// they report, a file name dump reports.
TEST_F(OutsideInput, EscapesInNamesAreShownNeverSentToTheTerminal) {
    const std::string escapes = "\x1b]0;x\x07\x1b[2J", shown = "\\x1B]0;x\\x07\\x1B[2J";
    vesk::test::MakePellNetFolder(dir_);
    vesk::test::MakeFirmwareFile(dir_, "upd/Pell_470000" + escapes + "_fw.mhx", 0xFE0000, 0x400, "47.00.00");
    vesk::test::MakeFirmwareFile(dir_, "upd/Pell_470000_lng.mhx", 0xFC0000, 0x400, "47.00.00");
    const std::string scenario = Scenario(vesk::test::PellNet());
    struct Case {
        std::string args, shown;
    } cases[] = {
        {"list --folder " + Quote(File("upd")), ""},
        {"plan --folder " + Quote(File("upd")), ""},
        {"list --folder " + Quote(File("upd" + escapes)), "upd" + shown},
        {"plan --folder " + Quote(File("upd" + escapes)), "upd" + shown},
        {"dump " + Quote(File("d" + escapes + ".bin")), "d" + shown + ".bin"},
    };
    for (const auto& k : cases) {
        const auto r = RunTool(kCli + " " + k.args + " --simulate " + scenario + " 2>&1");
        EXPECT_EQ(r.output.find('\x1b'), std::string::npos) << k.args << "\n" << r.output;
        EXPECT_EQ(r.output.find('\x07'), std::string::npos) << k.args << "\n" << r.output;
        EXPECT_NE(r.output.find(k.shown), std::string::npos) << k.args << "\n" << r.output;
        // Text after the version's digits: the file is no update file.
        EXPECT_EQ(r.output.find("47.00.00"), std::string::npos) << k.args << "\n" << r.output;
    }
}

// Of two names for one version, list shows which one was passed over.
TEST_F(OutsideInput, ListShowsTheFilePassedOver) {
    vesk::test::MakePellNetFolder(dir_);
    vesk::test::MakeFirmwareFile(dir_, "upd/Pell_0460500_fw.mhx", 0xFE0000, 0x400, "46.05.00");
    const auto r = RunTool(kCli + " list --folder " + Quote(File("upd")) + " --simulate " +
                           Scenario(vesk::test::PellNet()) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("firmware Pell_460500_fw.mhx (46.05.00) [passed over: Pell_0460500_fw.mhx]"),
              std::string::npos)
        << r.output;
}

// The backup writes nothing into the update folder, never through a link
// there, and says what it saved; a backup that cannot be written stops the
// run before anything is written, unless --no-backup says to go on.
TEST_F(OutsideInput, TheBackupLeavesTheUpdateFolderAloneAndSaysWhatItSaved) {
    vesk::test::MakePellNetFolder(dir_);
    dir_.write("victim", "the user's own");
    for (const char* name : {"Leggi_Traguardi_GPS_Header.usb", "Leggi_Traguardi_GPS_LL.usb"})
        fs::create_symlink(File("victim"), File(std::string("upd/") + name));
    const auto before = Tree(File("upd"));
    const auto r = Update("XDG_STATE_HOME=" + Quote(File("state")), "--yes --simulate " +
                          Scenario(vesk::test::PellNet()));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Backup saved in " + File("state")), std::string::npos) << r.output;
    EXPECT_EQ(read_file(File("victim")), "the user's own");
    EXPECT_EQ(Tree(File("upd")), before);
}

TEST_F(OutsideInput, ABackupThatCannotBeWrittenStopsTheRunBeforeAnyWrite) {
    vesk::test::MakePellNetFolder(dir_);
    dir_.write("state-file", "x");
    struct Case {
        const char* what;
        std::string env, wrap;
        const char* why;
    } cases[] = {
        {"the state folder is a file", "XDG_STATE_HOME=" + Quote(File("state-file")), "", "cannot be created"},
        // Files of at most 8 KiB: the 32 KiB configuration does not fit.
        {"a full disk", "XDG_STATE_HOME=" + Quote(File("state")),
         "bash -c 'trap \"\" XFSZ; ulimit -f 8; exec \"$0\" \"$@\"' ", "could not be written"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        const std::string scenario = Scenario(vesk::test::PellNet(), std::string("s-") + k.what[4] + ".json");
        const auto r = Update(k.env, "--yes --simulate " + scenario, k.wrap);
        EXPECT_NE(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("Backup saved"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("Failure: the backup could not be written"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("Start write firmware"), std::string::npos) << r.output;
        const auto off = Update(k.env, "--yes --no-backup --simulate " + scenario, k.wrap);
        EXPECT_EQ(off.status, 0) << off.output;
        EXPECT_NE(off.output.find("Start write firmware"), std::string::npos) << off.output;
    }
    // No half-written file is left in the backup.
    for (const auto& e : fs::recursive_directory_iterator(File("state")))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

}  // namespace
