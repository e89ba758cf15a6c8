#pragma once
// Lock 1, the instrument's lock, for the commands that open an instrument:
// taken before the command touches USB and held to its end. A lock held by
// another process is waited for with a line naming its holder, or with
// --no-wait not at all. The update run takes the same lock: while the command
// holds it, the run's own take is granted from the command's hold.
#include <memory>
#include <string>

#include "usb/vesk_semafori.h"

namespace vesk::cli {

// The locks every part of the command sees.
class CommandLocks : public IVeskSemafori {
public:
    explicit CommandLocks(std::unique_ptr<CVeskSemafori> locks) : locks_(std::move(locks)) {}

    // Takes lock 1 for the command (waiting, unless no_wait); false when it
    // was not taken: the reason has been printed.
    bool TakeForCommand(const std::string& command, bool no_wait);
    // The last TakeForCommand failed on the lock's folder or file, not on
    // another holder.
    bool Refused() const { return refused_; }

    int StoBloccando(int number) override;
    bool Blocca(int number) override;
    void Sblocca(int number) override;
    int AggiungiSemaforo(const std::wstring& base_name) override { return locks_->AggiungiSemaforo(base_name); }

private:
    std::unique_ptr<CVeskSemafori> locks_;
    bool command_holds_ = false;  // lock 1, for the whole command
    bool lent_ = false;           // and the run has taken it from the command
    bool refused_ = false;
};

// The process's locks.
CommandLocks& ProcessLocks();

}  // namespace vesk::cli
