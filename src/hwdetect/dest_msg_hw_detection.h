#pragma once
// What hardware detection calls when an instrument or a memory medium comes or goes.
#include <string>

class CVeskDiskMemoryManager;

class IDestMsgHwDetection {
public:
    virtual ~IDestMsgHwDetection() = default;
    // arrived: true on arrival, false on removal; name: the device interface
    // name as received.
    virtual void OnDevice0101(bool arrived, const std::wstring& name) = 0;
    virtual void OnDevice0110(bool arrived, const std::wstring& name) = 0;
    virtual void OnDevice1001(bool arrived, const std::wstring& name) = 0;
    virtual void OnDevice2001(bool arrived, const std::wstring& name) = 0;
    virtual void OnDevice2002(bool arrived, const std::wstring& name) = 0;
    // list is valid only during the call and null on removal.
    virtual void OnMemoryDevice(bool arrived, const std::wstring& root,
                                CVeskDiskMemoryManager* list) = 0;
};
