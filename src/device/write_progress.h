#pragma once
// How far an image write has got. A writer counts the blocks it handles out
// of the blocks it has to handle and tells the callback its connection was
// given; without one it counts for nobody.
#include <cstdint>
#include <functional>

enum class WriteKind { Firmware, Booter, Language, Accessory, Other };

// "firmware", "booter", "language", "accessory", "other".
const char* WriteKindName(WriteKind what);

struct WriteReport {
    WriteKind what = WriteKind::Firmware;
    uint32_t done = 0;   // blocks handled: sent, or passed over because erased
    uint32_t total = 0;  // blocks the write handles; done reaches it only when all went
    uint64_t bytes = 0;  // bytes sent so far
};

using WriteProgressCallback = std::function<void(const WriteReport&)>;

// The count of one write: 0 of total when it starts, one more with each block
// handled. A write of no blocks reports nothing.
class BlockCount {
public:
    BlockCount(const WriteProgressCallback& callback, WriteKind what, uint32_t total);
    // One block done; sent is what of it reached the unit (0: passed over).
    void Handled(uint32_t sent);
    // Every block left, none of them sent: the unit holds them already.
    void AllHandled();

private:
    void Report() const;

    WriteProgressCallback callback_;
    WriteReport report_;
};
