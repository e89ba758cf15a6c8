#include "device/write_progress.h"

const char* WriteKindName(WriteKind what) {
    switch (what) {
    case WriteKind::Firmware: return "firmware";
    case WriteKind::Booter: return "booter";
    case WriteKind::Language: return "language";
    case WriteKind::Accessory: return "accessory";
    case WriteKind::Other: return "other";
    }
    return "?";
}

BlockCount::BlockCount(const WriteProgressCallback& callback, WriteKind what, uint32_t total)
    : callback_(callback) {
    report_.what = what;
    report_.total = total;
    Report();
}

void BlockCount::Handled(uint32_t sent) {
    if (report_.done == report_.total) return;
    ++report_.done;
    report_.bytes += sent;
    Report();
}

void BlockCount::AllHandled() {
    if (report_.done == report_.total) return;
    report_.done = report_.total;
    Report();
}

void BlockCount::Report() const {
    if (callback_ && report_.total != 0) callback_(report_);
}
