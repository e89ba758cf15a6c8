#include "instrument_lock.h"

#include <cstdio>

#include "common/clock.h"
#include "common/terminal_text.h"
#include "log/evt_log.h"

namespace vesk::cli {

namespace {
constexpr int kInstrumentLock = 1;
constexpr uint32_t kRetryMs = 200;
}  // namespace

bool CommandLocks::TakeForCommand(const std::string& command, bool no_wait) {
    const std::string program = "vesk-firmup-cli " + command;
    locks_->SetHolderName(program);
    std::string said;
    while (!locks_->Blocca(kInstrumentLock)) {
        if (!locks_->HeldByAnother(kInstrumentLock)) {
            vesk::TermPrint(stderr, "%s: the instrument lock cannot be taken (see the log)\n", program.c_str());
            return false;
        }
        const std::string line = "waiting for " + locks_->HolderText(kInstrumentLock) + " to finish";
        if (line != said) {
            vesk::TermPrint(stderr, "%s\n", line.c_str());
            VLOG_INFO("CommandLocks", "%s", line.c_str());
            said = line;
        }
        if (no_wait) {
            vesk::TermPrint(stderr, "%s: not waiting (--no-wait)\n", program.c_str());
            return false;
        }
        vesk::Sleep(kRetryMs);
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
