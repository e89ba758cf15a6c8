// Every fault the simulator has, at every point of a reference run where it
// can strike: a master with three slaves whose firmware, booters and
// languages are due. Each cell is one run on the virtual clock, checked
// against the invariants of run_invariants.h.
//
// The default run samples the steps; VESK_FAULT_MATRIX=full runs every cell,
// each in a child process (a crash is a cell's outcome, not the end of the
// table), and prints the table (scripts/fault-matrix.sh).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "../support/run_invariants.h"
#include "../support/update_scenarios.h"
#include "sim/sim_fault.h"

namespace {

using vesk::sim::FaultKind;
using vesk::sim::FaultWhen;
using vesk::sim::SimFault;
using vesk::sim::SimInstrument;
using vesk::test::RunReport;
using vesk::test::Slave;
using vesk::test::SlaveUnderTest;

// The reference: a Pell DL whose firmware and language are due, a Lambda
// display (firmware and booter due), a GPS receiver (firmware and booter) and
// a Varnel dash (firmware, language and booter); all run their firmware.
std::string ReferenceScenario(const std::string& extra1 = "", const std::string& extra2 = "",
                              const std::string& extra3 = "") {
    return vesk::test::PellDL(Slave(1, 2006, 71, R"(, "booter": "01.00")" + extra1) + ", " +
                              Slave(2, 2017, 72, R"(, "booter": "01.00")" + extra2) + ", " +
                              Slave(3, 2021, 73, R"(, "booter": "01.00")" + extra3));
}

std::vector<SlaveUnderTest> ReferenceSlaves() { return {{1, 71}, {2, 72}, {3, 73}}; }

void ReferenceFiles(const vesk::test::TempDir& dir) {
    struct F {
        const char* name;
        uint32_t base;
        const char* version;
    } files[] = {
        {"Pell_460500_fw.mhx", 0xFE0000, "46.05.00"},
        {"Pell_460500_lng.mhx", 0xFC0000, "46.05.00"},
        {"Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10"},
        {"_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, "01.02"},
        {"Slv_GPS_020000_fw.mot", 0xE0000, "02.00.00"},
        {"_BOOTER/Booter_Dovo4eGPS0304_0105.mot", 0xFC000, "01.05"},
        {"Slv_Varnel_010600_fw.mhx", 0xFC0000, "01.06.00"},
        {"Slv_Varnel_010600_lng.mhx", 0xFC0000, "01.06.00"},
        {"_BOOTER/Booter_Slv_Varnel_0103.mhx", 0xDF0000, "01.03"},
    };
    for (const F& f : files) vesk::test::MakeFirmwareFile(dir, f.name, f.base, 0x400, f.version);
}

// What a step counts.
enum class Axis {
    Transfer,      // every control and bulk transfer, open and descriptor read of the master
    Departure,     // every time the master leaves the bus (mode switch, restart)
    IdentityRead,  // every MEM_READVERS of the master
    SlaveNumber,   // a fault of one slave for the whole run (steps 1..3)
};

SimFault TransferFault(FaultKind kind, FaultWhen when, uint32_t n) {
    SimFault f;
    f.kind = kind;
    f.when = when;
    f.n = n;
    return f;
}

// One row of the matrix: a fault, armed at step k (1-based) of its axis.
struct Row {
    std::string name;
    Axis axis;
    // Faults of the master, added after the plan.
    std::function<void(SimInstrument&, uint32_t k)> arm;
    // Or: the slave fault put into slave k's scenario entry.
    std::string slave_fault;
    bool may_stay_in_booter = false;
    bool answers = true;
};

std::vector<Row> Rows() {
    std::vector<Row> rows;
    auto at = [](FaultKind kind, FaultWhen when) {
        return [kind, when](SimInstrument& m, uint32_t k) { m.faults().push_back(TransferFault(kind, when, k)); };
    };
    rows.push_back({"driver_error at", Axis::Transfer, at(FaultKind::DriverError, FaultWhen::At), ""});
    rows.push_back({"stall at", Axis::Transfer, at(FaultKind::Stall, FaultWhen::At), ""});
    rows.push_back({"short at", Axis::Transfer, at(FaultKind::Short, FaultWhen::At), ""});
    rows.push_back({"timeout at", Axis::Transfer, at(FaultKind::Timeout, FaultWhen::At), ""});
    rows.push_back({"unplug at", Axis::Transfer, at(FaultKind::Unplug, FaultWhen::At), ""});
    rows.push_back({"stall from", Axis::Transfer, at(FaultKind::Stall, FaultWhen::From), ""});
    // A fault that strikes k counts of its axis after the run's start.
    auto after = [](FaultKind kind, uint32_t (SimInstrument::*counted)() const) {
        return [kind, counted](SimInstrument& m, uint32_t k) {
            SimFault f;
            f.kind = kind;
            f.n = (m.*counted)() + k;
            m.faults().push_back(f);
        };
    };
    rows.push_back({"unplug_after", Axis::Transfer, after(FaultKind::UnplugAfter, &SimInstrument::transfers), ""});
    auto ret = [](FaultKind kind, uint32_t ms) {
        return [kind, ms](SimInstrument& m, uint32_t k) {
            SimFault f = TransferFault(kind, FaultWhen::At, k);
            f.ms = ms;
            f.product_id = 4097;
            m.faults().push_back(f);
        };
    };
    rows.push_back({"never_returns at", Axis::Departure, ret(FaultKind::NeverReturns, 0), ""});
    rows.push_back({"slow_return 5 s at", Axis::Departure, ret(FaultKind::SlowReturn, 5000), ""});
    rows.push_back({"slow_return 30 s at", Axis::Departure, ret(FaultKind::SlowReturn, 30000), ""});
    rows.push_back({"new_product_id at", Axis::Departure, ret(FaultKind::NewProductId, 0), ""});
    rows.push_back(
        {"identity_changes", Axis::IdentityRead, after(FaultKind::IdentityChanges, &SimInstrument::identity_reads), ""});
    rows.push_back({"slave stays_in_booter", Axis::SlaveNumber, nullptr, R"(, "stays_in_booter": true)", true});
    rows.push_back({"slave stays_in_booter 3", Axis::SlaveNumber, nullptr, R"(, "stays_in_booter": 3)"});
    rows.push_back({"slave booter_never_takes", Axis::SlaveNumber, nullptr, R"(, "booter_never_takes": true)"});
    rows.push_back({"slave identity_changes", Axis::SlaveNumber, nullptr, R"(, "identity_changes": true)"});
    rows.push_back({"slave unreadable", Axis::SlaveNumber, nullptr, R"(, "unreadable": true)", false, false});
    rows.push_back({"slave net_code", Axis::SlaveNumber, nullptr, R"(, "net_code": 2013)"});
    return rows;
}

class FaultMatrix : public vesk::test::RobustRunFixture {
protected:
    void SetUp() override {
        RobustRunFixture::SetUp();
        ReferenceFiles(dir_);
        QuietConsole();
    }

    // The steps of each axis in the clean reference run.
    std::map<Axis, uint32_t> CountSteps() {
        Start(ReferenceScenario());
        Proc().AggiornaStrumentiCollegati();
        SimInstrument& m = Inst();
        const uint32_t reads = m.identity_reads();
        m.faults().push_back(TransferFault(FaultKind::Stall, FaultWhen::At, std::numeric_limits<uint32_t>::max()));
        m.faults().push_back(TransferFault(FaultKind::SlowReturn, FaultWhen::At, std::numeric_limits<uint32_t>::max()));
        Run();
        std::map<Axis, uint32_t> steps;
        steps[Axis::Transfer] = m.faults()[0].seen;
        steps[Axis::Departure] = m.faults()[1].seen;
        steps[Axis::IdentityRead] = m.identity_reads() - reads;
        steps[Axis::SlaveNumber] = 3;
        return steps;
    }

    RunReport RunCell(const Row& row, uint32_t k) {
        std::vector<SlaveUnderTest> slaves = ReferenceSlaves();
        if (row.axis == Axis::SlaveNumber) {
            std::string extra[3];
            extra[k - 1] = row.slave_fault;
            Start(ReferenceScenario(extra[0], extra[1], extra[2]));
            slaves[k - 1].may_stay_in_booter = row.may_stay_in_booter;
            slaves[k - 1].answers = row.answers;
            return RunAndCheck(slaves);
        }
        Start(ReferenceScenario());
        return RunAndCheck(slaves, [&] { row.arm(Inst(), k); });
    }

    // A cell in a child process, so that a crash is the cell's outcome; the
    // report comes back through a pipe.
    struct Child {
        pid_t pid;
        int fd;
        size_t row;
        uint32_t step;
    };
    Child StartCell(const std::vector<Row>& rows, size_t row, uint32_t k) {
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        std::fflush(stdout);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            ::alarm(600);  // a hang that never sleeps on the clock
            // Cells at once would share the backup folder of the same virtual
            // time, and take each other's USB lock.
            const std::string state = state_.path() + "/" + std::to_string(::getpid());
            ::setenv("XDG_STATE_HOME", state.c_str(), 1);
            lock_folder_ = lock_dir_.path() + "/" + std::to_string(::getpid());
            std::filesystem::create_directories(lock_folder_);
            ::chmod(lock_folder_.c_str(), 0700);
            const RunReport r = RunCell(rows[row], k);
            std::filesystem::remove_all(state);
            std::filesystem::remove_all(lock_folder_);
            std::string out(1, r.code);
            out += "\n" + r.outcome_text + "\n";
            for (const auto& v : r.violations) out += v + "\n";
            if (out.size() > 4000) out.resize(4000);
            if (::write(fds[1], out.data(), out.size()) < 0) _exit(3);
            _exit(0);
        }
        ::close(fds[1]);
        return {pid, fds[0], row, k};
    }
    static RunReport FinishCell(const Child& c) {
        std::string got;
        char buf[512];
        for (ssize_t n; (n = ::read(c.fd, buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
        ::close(c.fd);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        RunReport r;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got.empty()) {
            r.code = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? 'H' : 'X';
            r.violations.push_back(WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                                       : "exit status " + std::to_string(WEXITSTATUS(status)));
            return r;
        }
        std::vector<std::string> lines;
        for (size_t at = 0; at < got.size();) {
            const size_t e = got.find('\n', at);
            lines.push_back(got.substr(at, e - at));
            at = e == std::string::npos ? got.size() : e + 1;
        }
        r.code = lines[0][0];
        if (lines.size() > 1) r.outcome_text = lines[1];
        for (size_t i = 2; i < lines.size(); ++i) r.violations.push_back(lines[i]);
        return r;
    }
};

// The steps of one row that the default run takes: the first, the last and
// a few between. Short axes are taken whole.
std::vector<uint32_t> SampledSteps(uint32_t n, uint32_t samples) {
    std::vector<uint32_t> out;
    const uint32_t stride = n <= samples ? 1 : (n + samples - 1) / samples;
    for (uint32_t k = 1; k <= n; k += stride) out.push_back(k);
    if (out.back() != n) out.push_back(n);
    return out;
}

std::string Describe(const Row& row, uint32_t k, const RunReport& r) {
    std::string line = row.name + " " + std::to_string(k) + " (" + r.outcome_text + "):";
    for (const auto& v : r.violations) line += " [" + v + "]";
    return line;
}

// The clean reference run: everything due is written and every unit
// reports it. The matrix's cells are all measured against this run.
TEST_F(FaultMatrix, ReferenceRunWritesEverythingDue) {
    Start(ReferenceScenario());
    const RunReport r = RunAndCheck(ReferenceSlaves());
    EXPECT_EQ(r.code, '.') << r.outcome_text;
    for (const auto& v : r.violations) ADD_FAILURE() << v;
    EXPECT_TRUE(Proc().LastRun().Completed());
    EXPECT_TRUE(Proc().VerificaUnita());
    const struct {
        uint8_t number;
        const wchar_t* firmware;
        const wchar_t* booter;
    } expected[] = {{1, L" 1.05.10", L"01.02"}, {2, L" 2.00.00", L"01.05"}, {3, L" 1.06.00", L"01.03"}};
    for (const auto& e : expected) {
        SCOPED_TRACE(int(e.number));
        const INFOIDENT id = SlaveNow(e.number);
        EXPECT_EQ(id.FirmwareVersionText(), e.firmware);
        EXPECT_EQ(id.BooterVersionText(), e.booter);
    }
    const auto language = vesk::sim::SlaveLanguage(Inst(), 3);
    EXPECT_NE(std::count(language.begin(), language.end(), 0xFF), long(language.size())) << "Varnel language written";
    EXPECT_NE(std::count(Inst().flash()->language.begin(), Inst().flash()->language.end(), 0xFF),
              long(Inst().flash()->language.size()))
        << "master language written";
}

// Each row on a sample of its steps (the default test run).
class FaultMatrixRow : public FaultMatrix, public ::testing::WithParamInterface<size_t> {};

TEST_P(FaultMatrixRow, SampledSteps) {
    const std::vector<Row> rows = Rows();
    const Row& row = rows[GetParam()];
    const uint32_t n = CountSteps().at(row.axis);
    ASSERT_GE(n, row.axis == Axis::Transfer ? 100u : 3u);
    for (const uint32_t k : SampledSteps(n, 4)) {
        const RunReport r = RunCell(row, k);
        if (!r.violations.empty()) ADD_FAILURE() << Describe(row, k, r);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixRow, ::testing::Range<size_t>(0, Rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name = Rows()[info.param].name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// Every cell, with the table (VESK_FAULT_MATRIX=full; scripts/fault-matrix.sh).
// VESK_FAULT_MATRIX_JOBS runs that many cells at once (default 2).
TEST_F(FaultMatrix, FullTable) {
    const char* mode = std::getenv("VESK_FAULT_MATRIX");
    if (!mode || std::string(mode) != "full") GTEST_SKIP() << "VESK_FAULT_MATRIX=full runs the whole matrix";
    const char* jobs_env = std::getenv("VESK_FAULT_MATRIX_JOBS");
    const size_t jobs = jobs_env && std::atoi(jobs_env) > 0 ? size_t(std::atoi(jobs_env)) : 2;
    // VESK_FAULT_MATRIX_STRIDE=k takes every k-th step of the long rows (and the last).
    const char* stride_env = std::getenv("VESK_FAULT_MATRIX_STRIDE");
    const uint32_t stride = stride_env && std::atoi(stride_env) > 0 ? uint32_t(std::atoi(stride_env)) : 1;
    const std::map<Axis, uint32_t> steps = CountSteps();
    std::printf("Fault matrix: %u transfers, %u departures, %u identity reads in the reference run\n",
                steps.at(Axis::Transfer), steps.at(Axis::Departure), steps.at(Axis::IdentityRead));
    const std::vector<Row> rows = Rows();
    std::vector<std::string> strips(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) strips[r].assign(steps.at(rows[r].axis), '-');
    std::map<char, size_t> by_code;
    std::vector<std::string> failures;
    size_t cells = 0;
    std::vector<Child> running;
    auto finish_one = [&] {
        const Child c = running.front();
        running.erase(running.begin());
        const RunReport r = FinishCell(c);
        strips[c.row][c.step - 1] = r.code;
        ++cells;
        ++by_code[r.code];
        if (!r.violations.empty()) failures.push_back(Describe(rows[c.row], c.step, r));
    };
    for (size_t r = 0; r < rows.size(); ++r) {
        const uint32_t n = steps.at(rows[r].axis);
        for (uint32_t k = 1; k <= n; ++k) {
            if (n > 100 && k != n && (k - 1) % stride != 0) continue;
            if (running.size() >= jobs) finish_one();
            running.push_back(StartCell(rows, r, k));
        }
    }
    while (!running.empty()) finish_one();
    std::printf("\n%-26s  step  outcome of each step from there on\n", "fault");
    for (size_t r = 0; r < rows.size(); ++r) {
        std::printf("%-26s", rows[r].name.c_str());
        for (size_t i = 0; i < strips[r].size(); i += 100)
            std::printf("%s%6zu %s\n", i ? "                          " : "", i + 1, strips[r].substr(i, 100).c_str());
    }
    std::printf("\nOutcomes: '.' completed, every unit verified; 'e' ended with its errors named; 'a' aborted; "
                "'b' aborted with the master in its booter; 'r' net refused; 'H' hung; 'X' crashed; "
                "'!' an invariant failed; '-' not run\n");
    for (const auto& [code, count] : by_code) std::printf("  '%c' %zu\n", code, count);
    std::printf("Cells run: %zu, hung: %zu, crashed: %zu, invariant failures: %zu\n", cells, by_code['H'],
                by_code['X'], failures.size());
    for (const auto& f : failures) std::printf("  %s\n", f.c_str());
    std::fflush(stdout);
    EXPECT_EQ(failures.size(), 0u);
}

// One cell, its outcome, the messages and the log of its run, to look into a cell of the
// table: VESK_FAULT_MATRIX_CELL="<fault>:<step>", e.g. "stall at:451".
TEST_F(FaultMatrix, OneCell) {
    const char* cell = std::getenv("VESK_FAULT_MATRIX_CELL");
    if (!cell) GTEST_SKIP() << "VESK_FAULT_MATRIX_CELL=<fault>:<step> runs one cell";
    const std::string wanted(cell);
    const size_t colon = wanted.rfind(':');
    ASSERT_NE(colon, std::string::npos) << "expected <fault>:<step>";
    const std::vector<Row> rows = Rows();
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.name == wanted.substr(0, colon); });
    ASSERT_NE(row, rows.end()) << "no fault named " << wanted.substr(0, colon);
    const int k = std::atoi(wanted.c_str() + colon + 1);
    ASSERT_GT(k, 0) << "steps count from 1";
    const RunReport r = RunCell(*row, uint32_t(k));
    std::printf("%s\n", Describe(*row, uint32_t(k), r).c_str());
    for (const auto& m : Messages()) std::printf("  %ls\n", m.c_str());
    std::printf("Log:\n");
    for (const auto& l : log_.lines()) std::printf("  %s\n", l.c_str());
    EXPECT_TRUE(r.violations.empty());
}

}  // namespace
