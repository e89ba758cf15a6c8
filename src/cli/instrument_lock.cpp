#include "instrument_lock.h"

#include <cstdio>
#include <optional>

#include "common/clock.h"
#include "common/str_conv.h"
#include "common/terminal_text.h"
#include "common/wait_notice.h"
#include "log/evt_log.h"
#include "update/stop_request.h"

namespace vesk::cli {

namespace {
constexpr int kInstrumentLock = 1;
constexpr uint32_t kRetryMs = 200;
}  // namespace

bool CommandLocks::TakeForCommand(const std::string& command, bool no_wait) {
    const std::string program = "vesk-firmup-cli " + command;
    locks_->SetHolderName(program);
    std::string said;
    // On a terminal the wait is said on one line with its time so far, else once per holder.
    std::optional<vesk::AnnouncedWait> wait;
    while (!locks_->Blocca(kInstrumentLock)) {
        if (!locks_->HeldByAnother(kInstrumentLock)) {
            const std::string& why = locks_->Refusal();
            vesk::TermPrint(stderr, "%s: the instrument lock cannot be taken: %s\n", program.c_str(),
                            why.empty() ? "see the log" : why.c_str());
            refused_ = true;
            return false;
        }
        const std::string what = locks_->HolderText(kInstrumentLock) + " to finish";
        if (what != said) {
            if (!vesk::wait_observer() || no_wait) vesk::TermPrint(stderr, "waiting for %s\n", what.c_str());
            VLOG_INFO("CommandLocks", "waiting for %s", what.c_str());
            said = what;
            wait.reset();
            wait.emplace(0, vesk::from_utf8(what));
        }
        if (no_wait) {
            vesk::TermPrint(stderr, "%s: not waiting (--no-wait)\n", program.c_str());
            return false;
        }
        if (vesk::update::StopRequested()) return false;
        wait->Sleep(kRetryMs);
    }
    command_holds_ = true;
    return true;
}

int CommandLocks::StoBloccando(int number) {
    if (number == kInstrumentLock && command_holds_) return lent_ ? number : 0;
    return locks_->StoBloccando(number);
}

bool CommandLocks::Blocca(int number) {
    if (number != kInstrumentLock || !command_holds_) return locks_->Blocca(number);
    if (lent_) return false;
    lent_ = true;
    return true;
}

void CommandLocks::Sblocca(int number) {
    if (number == kInstrumentLock && command_holds_) {
        lent_ = false;
        return;
    }
    locks_->Sblocca(number);
}

CommandLocks& ProcessLocks() {
    static CommandLocks locks(std::make_unique<CVeskSemafori>());
    return locks;
}

}  // namespace vesk::cli
