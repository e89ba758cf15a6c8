#include "log/evt_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "../support/console_capture.h"
#include "../support/temp_dir.h"
#include "common/clock.h"

namespace {

using vesk::test::ConsoleCapture;
using vesk::test::read_file;
using vesk::test::TempDir;

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { CEvtLogUtils::ReleaseLogFile(); }
    vesk::VirtualClock clock_;
    vesk::ScopedClock scope_{clock_};
    TempDir dir_;
};

TEST_F(LogTest, BothLineFormatsByteForByte) {
    vesk::set_log_file_path(dir_.file("run.log"));
    ConsoleCapture console;
    vesk::log_event(vesk::LogLevel::Info, "CVeskApp::~CVeskApp", 42, "Normal program end");
    vesk::log_event(vesk::LogLevel::Error, "CUSBConnection::Apri", 7, "errorcode = %u (0x%x)", 5u, 255u);
    EXPECT_EQ(console.text(),
              " CVeskApp::~CVeskApp [42]: INFO; = Normal program end\n\r"
              " CUSBConnection::Apri [7]: ERROR; = errorcode = 5 (0xff)\n\r");
    EXPECT_EQ(read_file(dir_.file("run.log")),
              "CVeskApp::~CVeskApp [42] INFO = Normal program end\n"
              "CUSBConnection::Apri [7] ERROR = errorcode = 5 (0xff)\n");
}

TEST_F(LogTest, MacrosPassTheCallSiteLine) {
    vesk::set_log_file_path(dir_.file("run.log"));
    ConsoleCapture console;
    const int line = __LINE__ + 1;
    VLOG_INFO("CTest::method", "value %d", 3);
    const std::string n = std::to_string(line);
    EXPECT_EQ(console.text(), " CTest::method [" + n + "]: INFO; = value 3\n\r");
    EXPECT_EQ(read_file(dir_.file("run.log")), "CTest::method [" + n + "] INFO = value 3\n");
}

TEST_F(LogTest, FileOnlyFormSkipsTheConsole) {
    vesk::set_log_file_path(dir_.file("run.log"));
    ConsoleCapture console;
    VLOG_FILE_ERROR("CVesk_HW_CheckDevice::UpdateDevice", "bad name");
    EXPECT_EQ(console.text(), "");
    EXPECT_NE(read_file(dir_.file("run.log")).find("] ERROR = bad name\n"), std::string::npos);
}

TEST_F(LogTest, WithoutFileOrWithAnUnwritableFileTheConsoleLineStays) {
    ConsoleCapture console;
    vesk::log_event(vesk::LogLevel::Info, "C::m", 1, "before setup");
    vesk::set_log_file_path("/proc/no-such-folder/x.log");
    vesk::log_event(vesk::LogLevel::Info, "C::m", 2, "unwritable");
    EXPECT_EQ(console.text(), " C::m [1]: INFO; = before setup\n\r C::m [2]: INFO; = unwritable\n\r");
}

TEST_F(LogTest, LongMessagesAreNotCut) {
    vesk::set_log_file_path(dir_.file("run.log"));
    vesk::set_log_console(nullptr);
    const std::string big(5000, 'x');
    vesk::log_event(vesk::LogLevel::Info, "C::m", 1, "%s", big.c_str());
    vesk::set_log_console(stdout);
    EXPECT_EQ(read_file(dir_.file("run.log")), "C::m [1] INFO = " + big + "\n");
}

TEST_F(LogTest, CaptureSeesFileLines) {
    vesk::LogCapture cap;
    vesk::set_log_console(nullptr);
    vesk::log_event(vesk::LogLevel::Error, "C::m", 9, "oops %s", "here");
    vesk::set_log_console(stdout);
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0], "C::m [9] ERROR = oops here\n");
    EXPECT_TRUE(cap.contains("oops here"));
}

// A file name (or any other argument) with a line break must not start a new
// log line: control characters are written escaped, in both destinations.
TEST_F(LogTest, ControlCharactersInArgumentsAreEscaped) {
    struct Case {
        const char* what;
        std::string argument;
        std::string written;
    };
    const Case cases[] = {
        {"forged line", "a.mhx\nCFake::m [1] INFO = update done", "a.mhx\\nCFake::m [1] INFO = update done"},
        {"carriage return", "a\r\nb", "a\\r\\nb"},
        {"other controls", std::string("t\tb\x1b[2Jz\x7f", 9) + std::string(1, '\0') + "x",
         "t\\x09b\\x1B[2Jz\\x7F"},
        {"C1 control in UTF-8", "a\xC2\x85" "b", "a\\xC2\\x85b"},
        {"text that needs nothing", "Caf\xC3\xA8 \\n stays", "Caf\xC3\xA8 \\n stays"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        vesk::set_log_file_path(dir.file("run.log"));
        ConsoleCapture console;
        vesk::log_event(vesk::LogLevel::Error, "C::m", 3, "Cannot open file %s", c.argument.c_str());
        EXPECT_EQ(console.text(), " C::m [3]: ERROR; = Cannot open file " + c.written + "\n\r");
        EXPECT_EQ(read_file(dir.file("run.log")), "C::m [3] ERROR = Cannot open file " + c.written + "\n");
    }
    CEvtLogUtils::ReleaseLogFile();
}

TEST(LogFileName, Form) {
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 1;
    EXPECT_EQ(CEvtLogUtils::LogFileName(L"VeskFirmwareUpdater", &t),
              L"zu_20240131_235901_VeskFirmwareUpdater_U.log");
    t.tm_mon = 8;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 3;
    t.tm_sec = 9;
    EXPECT_EQ(CEvtLogUtils::LogFileName(L"X", &t), L"zu_20240905_070309_X_U.log");
    EXPECT_EQ(CEvtLogUtils::LogFileName(L"VeskFirmwareUpdater", nullptr),
              L"zu_VeskFirmwareUpdater_U.log");
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

TEST_F(LogTest, RotationKeepsNineOldFiles) {
    struct {
        int existing;
        int deleted;
    } cases[] = {{12, 3}, {10, 1}, {9, 0}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.existing);
        TempDir d;
        const std::string logs = d.path() + "/logs";
        for (int i = 0; i < c.existing; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "logs/zu_202401%02d_000000_P_U.log", i + 1);
            d.write(name, "old");
        }
        d.write("logs/other.txt", "kept");
        d.mkdir("logs/x.log");  // a folder is neither counted nor deleted
        CEvtLogUtils::SetupLogFileIn(d.wpath() + L"/logs/", L"P", nullptr);
        const auto left = names_in(logs);
        EXPECT_EQ(left.size(), static_cast<size_t>(c.existing - c.deleted + 2));
        for (int i = 0; i < c.existing; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "zu_202401%02d_000000_P_U.log", i + 1);
            EXPECT_EQ(left.count(name), i < c.deleted ? 0u : 1u) << name;
        }
        EXPECT_EQ(left.count("x.log"), 1u);
        EXPECT_EQ(left.count("other.txt"), 1u);
        // The file of this run appears with its first event.
        EXPECT_EQ(vesk::log_file_path(), logs + "/zu_P_U.log");
        EXPECT_EQ(left.count("zu_P_U.log"), 0u);
    }
}

TEST_F(LogTest, SetupCreatesMissingFolders) {
    CEvtLogUtils::SetupLogFileIn(dir_.wpath() + L"/a/b/logs/", L"P", nullptr);
    vesk::set_log_console(nullptr);
    vesk::log_event(vesk::LogLevel::Info, "C::m", 1, "first");
    vesk::set_log_console(stdout);
    EXPECT_EQ(read_file(dir_.file("a/b/logs/zu_P_U.log")), "C::m [1] INFO = first\n");
}

TEST_F(LogTest, TwoStartsInOneSecond) {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mday = 1;
    const std::wstring folder = dir_.wpath() + L"/logs/";
    CEvtLogUtils::SetupLogFileIn(folder, L"One", &t);
    const std::string first = vesk::log_file_path();
    CEvtLogUtils::SetupLogFileIn(folder, L"Two", &t);
    const std::string second = vesk::log_file_path();
    CEvtLogUtils::SetupLogFileIn(folder, L"One", &t);
    EXPECT_NE(first, second);
    EXPECT_EQ(first, vesk::log_file_path());
}

TEST_F(LogTest, ConcurrentProcessesNeverInterleaveInsideALine) {
    const std::string path = dir_.file("shared.log");
    constexpr int kLines = 400;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = ::fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            vesk::set_log_console(nullptr);
            vesk::set_log_file_path(path);
            const std::string payload(200, static_cast<char>('a' + k));
            for (int i = 0; i < kLines; ++i)
                vesk::log_event(vesk::LogLevel::Info, "C::m", k, "%d %s", i, payload.c_str());
            ::_exit(0);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        ::waitpid(kid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream in(read_file(path));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        const char k = line.rfind("C::m [0]", 0) == 0 ? 'a' : 'b';
        const std::string tail = line.substr(line.rfind(' ') + 1);
        EXPECT_EQ(tail, std::string(200, k)) << "line " << count;
    }
    EXPECT_EQ(count, 2 * kLines);
}

}  // namespace
