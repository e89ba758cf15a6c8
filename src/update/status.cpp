// The status line, the message list, the waits and the progress bars.
#include <algorithm>
#include <utility>

#include "common/clock.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "log/evt_log.h"
#include "records/model_names.h"
#include "update/hw_detection_switch.h"
#include "update/run_state.h"
#include "update/update_procedure.h"

namespace {
constexpr uint32_t kRestartMs = 10000;  // timer 3333
constexpr uint32_t kSliceMs = 10;
}  // namespace

CUpdateProcedure::CUpdateProcedure(IUpdateSurface& surface, IHwDetectionSwitch& detection,
                                   IVeskSemafori* locks, Settings settings)
    : surface_(surface),
      detection_(detection),
      locks_(locks),
      before_writing_(std::move(settings.before_writing)),
      main_folder_(std::move(settings.main_folder)),
      debug_mode_(settings.debug_mode),
      advanced_mode_(settings.advanced_mode),
      advanced_allowed_(settings.advanced_allowed),
      backup_(settings.backup) {}

CUpdateProcedure::~CUpdateProcedure() = default;

void CUpdateProcedure::Msg(const INFOIDENT* ident, const std::wstring& text) {
    std::wstring line = text;
    if (ident)
        line += L" " + GetNomeStrumento(ident->loggerCode()) + L" - " + std::to_wstring(ident->ID_logger());
    if (debug_mode_) SetStatus(line, status_colour_);
    VLOG_INFO("CVESKFirmwareUpdaterDlg::Msg", "%s", vesk::to_utf8(line).c_str());
    surface_.AppendMessage(line);
}

void CUpdateProcedure::SetStatus(const std::wstring& text, StatusColour colour) {
    status_text_ = text;
    status_colour_ = colour;
    surface_.SetStatus(status_text_, status_colour_);
}

void CUpdateProcedure::AttesaConProgresso(uint32_t ms) {
    const int n = int(ms / kSliceMs);
    surface_.WaitBegins(ms, L"");
    BarraAttesa(n);
    // Each slice sleeps up to its own end on the clock, so the time a sleep
    // oversleeps and the control updates take is not added to the wait.
    const uint64_t start = vesk::process_clock().now_ms();
    for (int i = 0; i < n; ++i) {
        const uint64_t slice_end = start + uint64_t(i + 1) * kSliceMs;
        const uint64_t now = vesk::process_clock().now_ms();
        if (now < slice_end) vesk::Sleep(uint32_t(slice_end - now));
        PassoBarraAttesa();
        surface_.PushControls();
    }
    PosBarraAttesa(n);
}

void CUpdateProcedure::BarraAttesa(int upper) {
    barra_attesa_ = StatoBarraAttesa{upper, std::clamp(barra_attesa_ ? barra_attesa_->pos : 0, 0, std::max(upper, 0))};
    surface_.SetBarRange(ProgressBar::Wait, upper);
    surface_.SetBarStep(ProgressBar::Wait, 1);
}

void CUpdateProcedure::PassoBarraAttesa() {
    if (barra_attesa_) barra_attesa_->pos = std::min(barra_attesa_->pos + 1, std::max(barra_attesa_->upper, 0));
    surface_.StepBar(ProgressBar::Wait);
}

void CUpdateProcedure::PosBarraAttesa(int pos) {
    if (barra_attesa_) barra_attesa_->pos = pos;
    surface_.SetBarPos(ProgressBar::Wait, pos);
}

bool CUpdateProcedure::ScritturaConProgresso(IAggiornaFW& fw, uint32_t unit, const std::function<bool()>& write) {
    int shown_total = -1;
    // Taken off the connection however the write ends.
    struct Ascolto {
        IAggiornaFW& fw;
        ~Ascolto() { fw.SetWriteProgress(nullptr); }
    } ascolto{fw};
    fw.SetWriteProgress([&](const WriteReport& report) {
        if (int(report.total) != shown_total) {
            shown_total = int(report.total);
            surface_.SetBarRange(ProgressBar::Wait, shown_total);
        }
        surface_.SetBarPos(ProgressBar::Wait, int(report.done));
        surface_.ShowWrite(unit, report);
        surface_.PushControls();
    });
    const bool written = write();
    if (shown_total < 0) return written;
    surface_.WriteEnded();
    // The wait bar back to what the run had on it.
    if (barra_attesa_) {
        surface_.SetBarRange(ProgressBar::Wait, barra_attesa_->upper);
        surface_.SetBarPos(ProgressBar::Wait, barra_attesa_->pos);
    } else {
        surface_.SetBarPos(ProgressBar::Wait, 0);
    }
    return written;
}

void CUpdateProcedure::ProgressRange(int upper) {
    overall_upper_ = upper;
    overall_pos_ = std::clamp(overall_pos_, 0, std::max(upper, 0));
    surface_.SetBarRange(ProgressBar::Overall, upper);
    surface_.SetBarStep(ProgressBar::Overall, 1);
}

void CUpdateProcedure::ProgressStep() {
    overall_pos_ = std::min(overall_pos_ + 1, std::max(overall_upper_, 0));
    surface_.StepBar(ProgressBar::Overall);
}

void CUpdateProcedure::ProgressPos(int pos) {
    overall_pos_ = pos;
    surface_.SetBarPos(ProgressBar::Overall, pos);
}

void CUpdateProcedure::ProgressMax() { ProgressPos(overall_upper_); }

void CUpdateProcedure::EnableExecute(bool enabled) { surface_.EnableExecute(enabled); }

void CUpdateProcedure::EnableAdvanced(bool enabled) { surface_.EnableAdvanced(enabled); }

void CUpdateProcedure::BeginWaitCursor() { surface_.BeginWaitCursor(); }

void CUpdateProcedure::EndWaitCursor() { surface_.EndWaitCursor(); }

int CUpdateProcedure::RichiestaComportamento() {
    const int answer = surface_.BehaviourRequest();
    return answer == kBehaviourAlways || answer == kBehaviourNever ? answer : kBehaviourIfOlder;
}

void CUpdateProcedure::AttendiRiavvio() {
    restart_pending_ = true;
    surface_.StartRestartTimer(kRestartMs, [this] { restart_pending_ = false; });
}
