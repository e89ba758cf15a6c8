#pragma once
// What the update procedure shows and asks, in one interface: the main
// window's status line, message list, progress bars, buttons, device and
// versions lists, message boxes, the Behaviour Request and the dump's file
// dialog. The Qt window, the terminal tool and the recording surface of the
// tests carry it; the procedure never names a toolkit.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/write_progress.h"
#include "update/device_row.h"

// Text colour of the status field: black for normal states, red for
// warnings and for the whole update run.
enum class StatusColour : uint32_t { Normal = 0, Red = 255 };

enum class ProgressBar {
    Wait,     // the fixed waits (control 1040)
    Overall,  // the progress of a run (control 1021)
};

// Answers of the Behaviour Request; anything else counts as the first.
enum BehaviourAnswer : int {
    kBehaviourIfOlder = 0,
    kBehaviourAlways = 1,
    kBehaviourNever = 2,
};

class IUpdateSurface {
public:
    virtual ~IUpdateSurface() = default;

    // The status field, shown at once.
    virtual void SetStatus(const std::wstring& text, StatusColour colour) = 0;
    // One more line at the end of the message list, selected so the list
    // scrolls to it.
    virtual void AppendMessage(const std::wstring& line) = 0;

    // Progress bars: range 0..upper, the step, one step forward, a position.
    virtual void SetBarRange(ProgressBar bar, int upper) = 0;
    virtual void SetBarStep(ProgressBar bar, int step) = 0;
    virtual void StepBar(ProgressBar bar) = 0;
    virtual void SetBarPos(ProgressBar bar, int pos) = 0;

    virtual void EnableExecute(bool enabled) = 0;
    // The Normal/Advanced button and its caption ("Advanced" or "Normal").
    virtual void EnableAdvanced(bool enabled) = 0;
    virtual void SetAdvancedCaption(const std::wstring& caption) = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;

    // The device list: rows appended in order; position is the row's place in it.
    virtual void EmptyDeviceList() = 0;
    virtual void AddDeviceRow(const DeviceRowView& row) = 0;
    virtual void RedrawDeviceRow(int position, const DeviceRowView& row) = 0;
    // Every row again: Action texts follow the mode and the installed table.
    virtual void RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) = 0;
    virtual void SelectDeviceRow(int position) = 0;

    // The versions list of advanced mode; positions count from the top.
    virtual void EmptyVersions() = 0;
    virtual void AddVersionAtTop(const std::wstring& text) = 0;
    virtual void SelectVersion(int position) = 0;

    // Modal questions; each blocks until answered.
    virtual void MessageBoxInfo(const std::wstring& text) = 0;
    virtual bool MessageBoxYesNo(const std::wstring& text) = 0;
    // The key device's behaviour: 0, 1 or 2 (closing the dialog gives 0).
    virtual int BehaviourRequest() = 0;
    // The file of a memory dump; empty when the user chose none.
    virtual std::wstring AskDumpFile() = 0;

    // A fixed wait of ms begins; the wait bar then steps ms / 10 times. what
    // is what is waited for ("Pell DL Logger 1001"), empty when it goes
    // unnamed. A surface that shows waits by their length takes them here.
    virtual void WaitBegins(uint32_t /*ms*/, const std::wstring& /*what*/) {}
    // An image write to the unit of serial unit is on the wait bar (range
    // 0..total, position done): called after the bar with every report of the
    // writer, and WriteEnded once it returns, before the bar is given back. A
    // surface that tells writes apart (the terminal) takes them here.
    virtual void ShowWrite(uint32_t /*unit*/, const WriteReport& /*report*/) {}
    virtual void WriteEnded() {}
    // Called between the slices of every wait: bring the controls up to date
    // (the status text among them) and repaint, without taking user input.
    virtual void PushControls() = 0;
    // Calls expired once, ms from now (a window timer, or a clock deadline
    // in the terminal); the procedure accepts the call from any thread.
    virtual void StartRestartTimer(uint32_t ms, std::function<void()> expired) = 0;
    // Places the controls; the versions list is shown or hidden.
    virtual void Layout(bool versions_visible) = 0;
};
