#pragma once
// The memory media found on an insertion, each with what its info file said.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct HW_DISKMEMORY_INFO {
    std::wstring root;            // mount point with a trailing '/'
    bool read_only = false;       // the volume is mounted read-only
    bool has_info_file = false;   // ".vesk_info.txt" was found and read
    std::vector<uint8_t> info;    // its bytes

    // Takes the info file's contents; nothing in it is interpreted yet.
    void ParseInfo(std::vector<uint8_t> bytes);
};

class CVeskDiskMemoryManager {
public:
    CVeskDiskMemoryManager() = default;
    virtual ~CVeskDiskMemoryManager();
    CVeskDiskMemoryManager(const CVeskDiskMemoryManager&) = delete;
    CVeskDiskMemoryManager& operator=(const CVeskDiskMemoryManager&) = delete;

    void Add(std::unique_ptr<HW_DISKMEMORY_INFO> record);
    // Deletes every record.
    void Clear();
    size_t Count() const;
    // Copies of the records, in the order they were added.
    std::vector<HW_DISKMEMORY_INFO> Records() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<HW_DISKMEMORY_INFO>> records_;
};
