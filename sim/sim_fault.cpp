#include "sim/sim_fault.h"

namespace vesk::sim {

bool SimFault::Due() {
    ++seen;
    switch (when) {
    case FaultWhen::Once: return seen == 1;
    case FaultWhen::Always: return true;
    case FaultWhen::From: return seen >= n;
    case FaultWhen::At: return seen == n;
    }
    return false;
}

bool SimFault::Hit(int transfer_target, int transfer_command) {
    if (!IsTransferFault()) return false;
    if (target != kTargetAny && target != transfer_target) return false;
    if (command >= 0 && command != transfer_command) return false;
    return Due();
}

bool SimFault::HitReturn() { return IsReturnFault() && Due(); }

bool SimFault::Reached() const {
    return seen >= (when == FaultWhen::From || when == FaultWhen::At ? n : 1);
}

const char* FaultKindName(FaultKind k) {
    switch (k) {
    case FaultKind::DriverError: return "driver_error";
    case FaultKind::Stall: return "stall";
    case FaultKind::Short: return "short";
    case FaultKind::IdentityChanges: return "identity_changes";
    case FaultKind::NeverReturns: return "never_returns";
    case FaultKind::UnplugAfter: return "unplug_after";
    case FaultKind::Timeout: return "timeout";
    case FaultKind::Unplug: return "unplug";
    case FaultKind::SlowReturn: return "slow_return";
    case FaultKind::NewProductId: return "new_product_id";
    }
    return "?";
}

}  // namespace vesk::sim
