#include "hwdetect/vesk_disk_memory_manager.h"

void HW_DISKMEMORY_INFO::ParseInfo(std::vector<uint8_t> bytes) {
    info = std::move(bytes);
    has_info_file = true;
}

CVeskDiskMemoryManager::~CVeskDiskMemoryManager() { Clear(); }

void CVeskDiskMemoryManager::Add(std::unique_ptr<HW_DISKMEMORY_INFO> record) {
    if (!record) return;
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(record));
}

void CVeskDiskMemoryManager::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

size_t CVeskDiskMemoryManager::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

std::vector<HW_DISKMEMORY_INFO> CVeskDiskMemoryManager::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HW_DISKMEMORY_INFO> out;
    for (const auto& r : records_) out.push_back(*r);
    return out;
}
