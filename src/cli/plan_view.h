#pragma once
// What plan and update share: their options, the checks made before any USB
// is touched, hardware detection as the window has it, and the plan printed
// as a table or as JSON.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hwdetect/dest_msg_hw_detection.h"
#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "update/hw_detection_switch.h"
#include "update/recording_surface.h"
#include "update/update_procedure.h"

namespace vesk::sim {
class SimBus;
}

namespace vesk::cli {

// "vesk-firmup-cli COMMAND: why" and the usage on standard error; the usage status.
int UsageError(const char* command, const char* usage, const std::string& why);

struct PlanRequest {
    bool json = false;
    bool advanced = false;
    std::string scenario_file;                 // --simulate, or VESK_SIMULATE
    std::optional<std::string> folder_option;  // --folder
    std::wstring start_options;                // UseFolder(...)AsMain, as the window takes it
    std::wstring folder;                       // the main folder, once resolved
    std::vector<CUpdateProcedure::RequestedChoice> choices;
};

// The option at args[i] when plan and update share it, with its value (i then
// points at the value): true. False for any other argument, or with error set
// for a shared option given a bad value.
bool ParsePlanOption(const std::vector<std::string>& args, size_t& i, PlanRequest& rq, std::string& error);

// The main folder and the choices, checked before anything is read from USB:
// -1 to go on, else the exit status (the reason is on standard error).
int CheckPlanRequest(const char* command, PlanRequest& rq);

// Hardware detection as the window has it: udev, or the plugs and unplugs of
// the simulated bus. It notes every arrival of an instrument.
class CliDetection : public IDestMsgHwDetection {
public:
    explicit CliDetection(vesk::sim::SimBus* bus);
    ~CliDetection() override;
    CliDetection(const CliDetection&) = delete;
    CliDetection& operator=(const CliDetection&) = delete;

    IHwDetectionSwitch& Switch() { return switch_; }
    // Delivers what has arrived since the last call (the bus first lets due
    // re-enumerations happen).
    void Poll();
    bool Arrived() const { return arrived_; }
    void ForgetArrivals() { arrived_ = changed_ = false; }
    // Blocks until detection hears an instrument arrive or leave (true), or
    // until stop_fd (watched from here on) becomes readable (false). No bus
    // is polled: on a real machine the wait is on detection's descriptors;
    // on a simulated bus the clock is moved to the bus's next change, so on
    // the virtual clock it takes no real time.
    bool WaitForChange(int stop_fd);
    // Detection of USB devices is running.
    bool Listening() const { return detection_.UsbDetectionOn; }

    void OnDevice0101(bool arrived, const std::wstring&) override { Note(arrived); }
    void OnDevice0110(bool arrived, const std::wstring&) override { Note(arrived); }
    void OnDevice1001(bool arrived, const std::wstring&) override { Note(arrived); }
    void OnDevice2001(bool arrived, const std::wstring&) override { Note(arrived); }
    void OnDevice2002(bool arrived, const std::wstring&) override { Note(arrived); }
    void OnMemoryDevice(bool, const std::wstring&, CVeskDiskMemoryManager*) override {}

private:
    void Note(bool arrived) {
        arrived_ = arrived_ || arrived;
        changed_ = true;
    }

    vesk::sim::SimBus* bus_;
    CHwPollLoop loop_;
    CVesk_HW_CheckDevice detection_;
    CHwDetectionSwitch switch_;
    bool arrived_ = false;
    bool changed_ = false;  // an arrival or a removal
    int stop_fd_ = -1;      // watched by loop_
    bool stopped_ = false;
};

// A version as JSON gives it: every part two digits or more, zeros in front
// (" 1.05.10" -> "01.05.10"); an empty text stays empty.
std::string VersionJson(const std::wstring& text);

// "master", "slave", "remove", "other_gauge".
const char* KindName(int kind);
// The object of plan --json.
nlohmann::ordered_json PlanJson(const CUpdateProcedure& proc, const SurfaceState& state);
// The images a run writes besides what the row's Action says, one line each
// ("    also: booter 01.00 -> 01.02").
std::vector<std::wstring> AlsoLines(const DeviceRowView& row);
// The folder searched, the device list as a table under its headers, then the
// status line; a plan that would write ends instead with the number of units
// to update and next_step.
void PrintPlan(const CUpdateProcedure& proc, const SurfaceState& state, const char* next_step);
// After a refresh whose net could not be read: says so on standard error
// and returns true.
bool SayNetUnread(const char* command, const CUpdateProcedure& proc);
// After a refresh: 2 (naming them) when requested choices were not found, else -1.
int ChoicesExit(const char* command, const CUpdateProcedure& proc);
// After a refresh: -1 when it planned the one instrument, else the exit
// status (the reason on standard error).
int RefreshExit(const char* command, CUpdateProcedure& proc);

}  // namespace vesk::cli
