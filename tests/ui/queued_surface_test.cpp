// The surface a worker thread sees: its calls reach the window's thread in
// order, and the positions of a long write do not pile up in the queue.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ui/queued_surface.h"
#include "update/recording_surface.h"

namespace {

struct Seen {
    SurfaceOp op;
    ProgressBar bar;
    int value;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* os) {
    *os << SurfaceOpName(s.op) << (s.bar == ProgressBar::Wait ? " wait " : " overall ") << s.value;
}

std::vector<Seen> BarCalls(const RecordingSurface& window) {
    std::vector<Seen> out;
    for (const SurfaceEvent& e : window.Events())
        if (e.op == SurfaceOp::SetBarRange || e.op == SurfaceOp::StepBar || e.op == SurfaceOp::SetBarPos ||
            e.op == SurfaceOp::AppendMessage)
            out.push_back({e.op, e.bar, e.op == SurfaceOp::AppendMessage ? int(e.text.size()) : e.value});
    return out;
}

// The window's thread is busy while the worker writes thousands of blocks:
// each run of positions reaches it as its last value, and nothing else is
// merged or moved.
TEST(QueuedSurface, PositionsOfAWriteAreMergedAndTheOrderKept) {
    RecordingSurface window;
    QObject on_window_thread;
    CQueuedSurface queued(window, &on_window_thread);
    std::thread worker([&] {
        queued.SetBarRange(ProgressBar::Wait, 2048);
        for (int done = 0; done <= 2048; ++done) queued.SetBarPos(ProgressBar::Wait, done);
        queued.SetBarPos(ProgressBar::Overall, 53);
        queued.SetBarPos(ProgressBar::Wait, 7);
        queued.SetBarPos(ProgressBar::Wait, 8);
        queued.AppendMessage(L"ab");
        queued.SetBarPos(ProgressBar::Wait, 9);
        queued.SetBarRange(ProgressBar::Wait, 32);
        queued.SetBarPos(ProgressBar::Wait, 5);
        queued.SetBarStep(ProgressBar::Wait, 1);
        queued.StepBar(ProgressBar::Wait);
    });
    worker.join();
    EXPECT_TRUE(window.Events().empty()) << "nothing reaches the window before its thread runs";
    QCoreApplication::processEvents();
    const std::vector<Seen> expected = {
        {SurfaceOp::SetBarRange, ProgressBar::Wait, 2048}, {SurfaceOp::SetBarPos, ProgressBar::Wait, 2048},
        {SurfaceOp::SetBarPos, ProgressBar::Overall, 53},  {SurfaceOp::SetBarPos, ProgressBar::Wait, 8},
        {SurfaceOp::AppendMessage, ProgressBar::Wait, 2},  {SurfaceOp::SetBarPos, ProgressBar::Wait, 9},
        {SurfaceOp::SetBarRange, ProgressBar::Wait, 32},   {SurfaceOp::SetBarPos, ProgressBar::Wait, 5},
        {SurfaceOp::StepBar, ProgressBar::Wait, 6},
    };
    EXPECT_EQ(BarCalls(window), expected);
    EXPECT_EQ(window.State().wait.pos, 6);
}

// A position the window has shown is never changed afterwards: the next one
// is queued anew.
TEST(QueuedSurface, PositionAfterOneShownIsQueuedAgain) {
    RecordingSurface window;
    QObject on_window_thread;
    CQueuedSurface queued(window, &on_window_thread);
    auto from_worker = [&](int pos) {
        std::thread([&] { queued.SetBarPos(ProgressBar::Wait, pos); }).join();
    };
    window.SetBarRange(ProgressBar::Wait, 10);
    window.ClearEvents();
    from_worker(3);
    QCoreApplication::processEvents();
    from_worker(4);
    QCoreApplication::processEvents();
    EXPECT_EQ(BarCalls(window), (std::vector<Seen>{{SurfaceOp::SetBarPos, ProgressBar::Wait, 3},
                                                   {SurfaceOp::SetBarPos, ProgressBar::Wait, 4}}));
}

// A write reports every block: the reports reach the window merged like the
// positions sent with them (neither stops the other's merging), the last one
// of a write always shown, and the next write's reports never merged into a
// write that has ended.
TEST(QueuedSurface, WriteReportsAreMergedAndEndInOrder) {
    RecordingSurface window;
    QObject on_window_thread;
    CQueuedSurface queued(window, &on_window_thread);
    std::thread worker([&] {
        queued.SetBarRange(ProgressBar::Wait, 2048);
        for (uint32_t done = 0; done <= 2048; ++done) {
            queued.SetBarPos(ProgressBar::Wait, int(done));
            queued.ShowWrite(71, WriteReport{WriteKind::Firmware, done, 2048, done * 256});
        }
        queued.WriteEnded();
        queued.ShowWrite(0, WriteReport{WriteKind::Booter, 0, 10, 0});
        queued.ShowWrite(0, WriteReport{WriteKind::Booter, 1, 10, 256});
    });
    worker.join();
    QCoreApplication::processEvents();
    std::vector<std::string> seen;
    for (const SurfaceEvent& e : window.Events()) {
        std::string line = SurfaceOpName(e.op);
        if (e.op == SurfaceOp::ShowWrite)
            line += std::string(" ") + WriteKindName(e.write.what) + " " + std::to_string(e.unit) + " " +
                    std::to_string(e.write.done) + "/" + std::to_string(e.write.total);
        else if (e.op != SurfaceOp::WriteEnded)
            line += " " + std::to_string(e.value);
        seen.push_back(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"SetBarRange 2048", "SetBarPos 2048", "ShowWrite firmware 71 2048/2048",
                                              "WriteEnded", "ShowWrite booter 0 1/10"}));
}

// On the window's own thread every call goes straight through.
TEST(QueuedSurface, CallsOnTheWindowsThreadAreNotQueued) {
    RecordingSurface window;
    QObject on_window_thread;
    CQueuedSurface queued(window, &on_window_thread);
    queued.SetBarRange(ProgressBar::Wait, 10);
    queued.SetBarPos(ProgressBar::Wait, 1);
    queued.SetBarPos(ProgressBar::Wait, 2);
    EXPECT_EQ(BarCalls(window), (std::vector<Seen>{{SurfaceOp::SetBarRange, ProgressBar::Wait, 10},
                                                   {SurfaceOp::SetBarPos, ProgressBar::Wait, 1},
                                                   {SurfaceOp::SetBarPos, ProgressBar::Wait, 2}}));
}

}  // namespace
