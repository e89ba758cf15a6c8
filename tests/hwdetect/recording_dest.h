#pragma once
// A destination that records every call with the thread it came on.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hwdetect/dest_msg_hw_detection.h"
#include "hwdetect/vesk_disk_memory_manager.h"

namespace vesk::test {

struct HwCall {
    std::string op;
    bool arrived = false;
    std::wstring text;
    bool has_list = false;
    std::vector<HW_DISKMEMORY_INFO> records;
    std::thread::id thread;
};

class RecordingDest : public IDestMsgHwDetection {
public:
    void OnDevice0101(bool a, const std::wstring& n) override { Add("0101", a, n); }
    void OnDevice0110(bool a, const std::wstring& n) override { Add("0110", a, n); }
    void OnDevice1001(bool a, const std::wstring& n) override { Add("1001", a, n); }
    void OnDevice2001(bool a, const std::wstring& n) override { Add("2001", a, n); }
    void OnDevice2002(bool a, const std::wstring& n) override { Add("2002", a, n); }
    void OnMemoryDevice(bool a, const std::wstring& root, CVeskDiskMemoryManager* list) override {
        HwCall c{"memory", a, root, list != nullptr, {}, std::this_thread::get_id()};
        if (list) c.records = list->Records();
        Push(std::move(c));
    }

    std::vector<HwCall> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    void Add(const char* op, bool a, const std::wstring& n) {
        Push(HwCall{op, a, n, false, {}, std::this_thread::get_id()});
    }
    void Push(HwCall c) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(c));
    }
    mutable std::mutex mutex_;
    std::vector<HwCall> calls_;
};

// Checks one call of a device operation.
inline void ExpectDeviceCall(const HwCall& call, const std::string& op, bool arrived,
                             const std::wstring& name) {
    EXPECT_EQ(call.op, op);
    EXPECT_EQ(call.arrived, arrived) << op;
    EXPECT_EQ(call.text, name) << op << ": the name is passed as received";
}

}  // namespace vesk::test
