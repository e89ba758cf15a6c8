#include "sim/sim_fault.h"

namespace vesk::sim {

bool SimFault::Hit(int transfer_target, int transfer_command) {
    if (!IsTransferFault()) return false;
    if (target != kTargetAny && target != transfer_target) return false;
    if (command >= 0 && command != transfer_command) return false;
    ++seen;
    switch (when) {
    case FaultWhen::Once: return seen == 1;
    case FaultWhen::Always: return true;
    case FaultWhen::From: return seen >= n;
    }
    return false;
}

const char* FaultKindName(FaultKind k) {
    switch (k) {
    case FaultKind::DriverError: return "driver_error";
    case FaultKind::Stall: return "stall";
    case FaultKind::Short: return "short";
    case FaultKind::IdentityChanges: return "identity_changes";
    case FaultKind::NeverReturns: return "never_returns";
    case FaultKind::UnplugAfter: return "unplug_after";
    }
    return "?";
}

}  // namespace vesk::sim
