#pragma once
// A copy of what a master keeps besides its firmware (configuration, sensors,
// ECU driver, GPS finish lines), taken before an update writes anything:
// one folder per unit and time under the user's state folder,
// $XDG_STATE_HOME/vesk-firmup/backups/<serial>-<date>/, one raw file per area.
// A unit whose data cannot be read is still updated: the failures are
// reported. A backup folder that cannot be written is another matter: the run
// asks (the window) or stops (the terminal tool) before anything is written.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class IConnectionStrumento;

namespace vesk::update {

struct BackupResult {
    struct Failure {
        std::string area;  // as the terminal tool names it ("config", ...)
        std::string why;
    };
    std::wstring folder;             // where the files went; empty when none was written
    std::vector<std::string> saved;  // the areas saved, in order
    std::vector<Failure> failed;     // the areas the family keeps that could not be saved
    std::string skipped;             // why no backup was attempted; empty when one was
    std::string unwritable;          // why the backup folder or a file in it could not be written; empty: it could
    // Nothing the family keeps was left out.
    bool Complete() const { return failed.empty(); }
};

// How many backups of one unit are kept: taking another removes the oldest.
inline constexpr size_t kBackupsKept = 20;

// Backups of simulated instruments (--simulate, or a program served by
// vesk-sim run, which sets UMOCKDEV_DIR) go apart from the real ones.
void SetSimulatedBackups(bool simulated);

// The folder every backup goes under: $XDG_STATE_HOME/vesk-firmup/backups,
// or .../simulated-backups.
std::wstring BackupRoot();

// Saves what the family of the connected master can read; serial names the
// folder, when its time (local). Logs the folder and every failure.
BackupResult SalvaBackup(IConnectionStrumento& conn, uint32_t serial, std::time_t when = std::time(nullptr));

}  // namespace vesk::update
