#pragma once
// An update procedure on a recording surface, with hardware detection on
// queued sources and a poll loop, as the terminal tool runs it.
#include <memory>
#include <string>

#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/hw_queued_event_source.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "update/hw_detection_switch.h"
#include "update/recording_surface.h"
#include "update/update_procedure.h"

namespace vesk::test {

struct ProcedureBench {
    explicit ProcedureBench(CUpdateProcedure::Settings settings = {}, IVeskSemafori* locks = nullptr)
        : procedure(surface, detection_switch, locks, std::move(settings)) {}

    std::shared_ptr<CHwQueuedSourceFactory> sources = std::make_shared<CHwQueuedSourceFactory>();
    CHwPollLoop loop;
    CVesk_HW_CheckDevice detection{nullptr, sources};
    CHwDetectionSwitch detection_switch{detection, loop};
    RecordingSurface surface;
    CUpdateProcedure procedure;
};

}  // namespace vesk::test
