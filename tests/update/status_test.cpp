// Msg, the status line, the progress wait and the restart timer, on the
// recording surface and the virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/procedure_bench.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "log/evt_log.h"

namespace {

using vesk::test::ProcedureBench;

std::vector<SurfaceOp> Ops(const RecordingSurface& s) {
    std::vector<SurfaceOp> ops;
    for (const auto& e : s.Events()) ops.push_back(e.op);
    return ops;
}

INFOIDENT Ident(uint32_t code, uint32_t serial) {
    INFOIDENT id;
    id.set_loggerCode(code);
    id.set_ID_logger(serial);
    return id;
}

TEST(Msg, LineWithAndWithoutIdentityAndDebugMode) {
    const INFOIDENT data_key = Ident(111, 1234);
    struct Case {
        const char* name;
        const INFOIDENT* ident;
        bool debug_mode;
        std::wstring line;
    } cases[] = {
        {"no identity", nullptr, false, L"Reconnected"},
        {"identity", &data_key, false, L"Reconnected Data Key - 1234"},
        {"no identity, debug", nullptr, true, L"Reconnected"},
        {"identity, debug", &data_key, true, L"Reconnected Data Key - 1234"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcedureBench b({.debug_mode = c.debug_mode});
        vesk::LogCapture log;
        b.procedure.SetStatus(L"Before", StatusColour::Red);
        b.surface.ClearEvents();
        b.procedure.Msg(c.ident, L"Reconnected");

        EXPECT_EQ(b.surface.State().messages, std::vector<std::wstring>{c.line});
        const auto appended = b.surface.EventsOf(SurfaceOp::AppendMessage);
        ASSERT_EQ(appended.size(), 1u);
        EXPECT_EQ(appended[0].text, c.line);
        // Debug_mode: the line is the status too, shown before it is listed, in the same colour.
        const std::wstring status = c.debug_mode ? c.line : L"Before";
        EXPECT_EQ(b.procedure.StatusText(), status);
        EXPECT_EQ(b.surface.State().status, status);
        EXPECT_EQ(b.surface.State().colour, StatusColour::Red);
        const std::vector<SurfaceOp> ops = c.debug_mode
                                               ? std::vector{SurfaceOp::SetStatus, SurfaceOp::AppendMessage}
                                               : std::vector{SurfaceOp::AppendMessage};
        EXPECT_EQ(Ops(b.surface), ops);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("CVESKFirmwareUpdaterDlg::Msg [", 0), 0u) << log.lines()[0];
        EXPECT_NE(log.lines()[0].find("] INFO = " + vesk::to_utf8(c.line) + "\n"), std::string::npos)
            << log.lines()[0];
    }
}

TEST(Msg, EveryLineIsKeptAndTheLastOneSelected) {
    ProcedureBench b({.debug_mode = true});
    b.procedure.Msg(nullptr, L"Processing");
    b.procedure.Msg(nullptr, L"Correctly into booter");
    EXPECT_EQ(b.surface.State().messages, (std::vector<std::wstring>{L"Processing", L"Correctly into booter"}));
    EXPECT_EQ(b.procedure.StatusText(), L"Correctly into booter");
}

TEST(AttesaConProgresso, StepsTheWaitBarOncePerTenMilliseconds) {
    struct Case {
        uint32_t ms;
        int steps;
    } cases[] = {{4400, 440}, {5, 0}, {0, 0}, {19, 1}, {550, 55}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        vesk::VirtualClock clock;
        vesk::ScopedClock scoped(clock);
        ProcedureBench b;
        b.procedure.AttesaConProgresso(c.ms, L"the test");

        EXPECT_EQ(clock.elapsed_ms(), uint64_t(c.steps) * 10);
        const SurfaceBar& bar = b.surface.Bar(ProgressBar::Wait);
        EXPECT_EQ(bar.upper, c.steps);
        EXPECT_EQ(bar.step, 1);
        EXPECT_EQ(bar.steps, c.steps);
        EXPECT_EQ(bar.pos, c.steps) << "left full";
        EXPECT_EQ(b.surface.Bar(ProgressBar::Overall).steps, 0);
        // Range and step, then a step and a push of the controls per slice, then the position.
        std::vector<SurfaceOp> expected{SurfaceOp::SetBarRange, SurfaceOp::SetBarStep};
        for (int i = 0; i < c.steps; ++i) {
            expected.push_back(SurfaceOp::StepBar);
            expected.push_back(SurfaceOp::PushControls);
        }
        expected.push_back(SurfaceOp::SetBarPos);
        EXPECT_EQ(Ops(b.surface), expected);
        EXPECT_EQ(b.surface.Events().back().value, c.steps);
    }
}

// Each step follows its slice's sleep. The control updates of a slice (and a
// sleep that oversleeps) take time: the slices end on the clock at 10, 20,
// 30 ms, so that time is not added to the wait; updates slower than a slice
// only make the next slices not sleep.
TEST(AttesaConProgresso, EachStepFollowsItsSliceOnTheClock) {
    struct Case {
        uint64_t push_ms;
        std::vector<uint64_t> steps_at;
        uint64_t end;
    } cases[] = {{0, {10, 20, 30}, 30}, {3, {10, 20, 30}, 33}, {25, {10, 35, 60}, 85}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.push_ms);
        vesk::VirtualClock clock;
        vesk::ScopedClock scoped(clock);
        ProcedureBench b;
        std::vector<uint64_t> at_step;
        b.surface.SetObserver([&](const SurfaceEvent& e) {
            if (e.op == SurfaceOp::StepBar) at_step.push_back(clock.elapsed_ms());
            if (e.op == SurfaceOp::PushControls) clock.advance_ms(c.push_ms);
        });
        b.procedure.AttesaConProgresso(30, L"the test");
        EXPECT_EQ(at_step, c.steps_at);
        EXPECT_EQ(clock.elapsed_ms(), c.end);
        EXPECT_EQ(b.surface.Bar(ProgressBar::Wait).steps, 3);
    }
}

TEST(OverallProgress, RangeStepPositionAndMaximum) {
    ProcedureBench b;
    b.procedure.ProgressRange(148);
    b.procedure.ProgressStep();
    b.procedure.ProgressStep();
    EXPECT_EQ(b.surface.Bar(ProgressBar::Overall).pos, 2);
    b.procedure.ProgressPos(53);
    EXPECT_EQ(b.surface.Bar(ProgressBar::Overall).pos, 53);
    b.procedure.ProgressMax();
    EXPECT_EQ(b.surface.Bar(ProgressBar::Overall).pos, 148);
    EXPECT_EQ(b.surface.Bar(ProgressBar::Overall).step, 1);
    EXPECT_EQ(b.surface.Bar(ProgressBar::Wait).steps, 0);
}

TEST(RestartTimer, RestartPendingLastsUntilTheTimerFires) {
    ProcedureBench b;
    EXPECT_FALSE(b.procedure.RestartPending());
    b.procedure.AttendiRiavvio();
    EXPECT_TRUE(b.procedure.RestartPending());
    ASSERT_TRUE(b.surface.RestartTimerRunning());
    EXPECT_EQ(b.surface.RestartTimerMs(), 10000u);
    b.surface.FireRestartTimer();
    EXPECT_FALSE(b.procedure.RestartPending());
    EXPECT_FALSE(b.surface.RestartTimerRunning());
}

TEST(BehaviourRequest, AnswersOutsideTheThreeCountAsTheFirst) {
    const std::pair<int, int> cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 0}, {-1, 0}};
    for (const auto& [answer, behaviour] : cases) {
        ProcedureBench b;
        b.surface.QueueBehaviour(answer);
        EXPECT_EQ(b.procedure.RichiestaComportamento(), behaviour) << answer;
        EXPECT_EQ(b.surface.EventsOf(SurfaceOp::BehaviourRequest).size(), 1u);
    }
}

TEST(RecordingSurface, AnswersQuestionsInOrderThenTheDefaults) {
    RecordingSurface s;
    s.QueueYesNo(true);
    s.QueueBehaviour(kBehaviourNever);
    s.QueueDumpFile(L"/tmp/dump.bin");
    EXPECT_TRUE(s.MessageBoxYesNo(L"Master is in booter: are you sure you want to exit?"));
    EXPECT_FALSE(s.MessageBoxYesNo(L"again"));
    EXPECT_EQ(s.BehaviourRequest(), kBehaviourNever);
    EXPECT_EQ(s.BehaviourRequest(), kBehaviourIfOlder);
    EXPECT_EQ(s.AskDumpFile(), L"/tmp/dump.bin");
    EXPECT_EQ(s.AskDumpFile(), L"");
    const auto asked = s.EventsOf(SurfaceOp::MessageBoxYesNo);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].text, L"Master is in booter: are you sure you want to exit?");
    EXPECT_TRUE(asked[0].flag);
    EXPECT_FALSE(asked[1].flag);
}

TEST(RecordingSurface, VersionsListKeepsTopFirstAndItsSelection) {
    RecordingSurface s;
    s.AddVersionAtTop(L"01.04.00");
    s.SelectVersion(0);
    s.AddVersionAtTop(L"01.06.00");
    EXPECT_EQ(s.State().versions, (std::vector<std::wstring>{L"01.06.00", L"01.04.00"}));
    EXPECT_EQ(s.State().selected_version, 1);
    s.EmptyVersions();
    EXPECT_TRUE(s.State().versions.empty());
    EXPECT_EQ(s.State().selected_version, -1);
}

}  // namespace
