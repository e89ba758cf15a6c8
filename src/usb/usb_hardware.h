#pragma once
// Driver access: one object per opened instrument, made for its interface chip
// and the host's word size. It turns each protocol request into one transfer
// on the carrier and maps the carrier's outcome to the results 1 / -2 / -3 / -4.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "usb/backend/usb_backend.h"

// What a chip class fixes.
struct USBChipParams {
    uint16_t packet_size;
    uint16_t chunk_size;
    uint8_t endpoint_in;
    uint8_t endpoint_out;
};

// Request codes kept from the original driver interface; they select the kind of transfer.
constexpr uint32_t kIoctlGetConfigDescriptor = 0x220000;
constexpr uint32_t kIoctlControlTransfer = 0x22000C;
constexpr uint32_t kIoctlBulkTransfer = 0x220010;

// One transfer as handed to USBDeviceIoControl. Control transfers carry the
// setup fields (request type 0x40); bulk transfers an endpoint and zero setup.
struct USBRequestBlock {
    uint8_t endpoint = 0;
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t setup_length = 0;
    uint8_t* buffer = nullptr;
    uint32_t buffer_length = 0;
    uint32_t transferred = 0;  // filled by the transfer
};

class CUSBHardware {
public:
    virtual ~CUSBHardware() = default;
    CUSBHardware(const CUSBHardware&) = delete;
    CUSBHardware& operator=(const CUSBHardware&) = delete;

    virtual bool CtrlWrite_Booter(uint8_t command, uint32_t address, uint16_t value);
    virtual bool CtrlWrite_Memory(uint8_t command, uint32_t address, uint16_t dati,
                                  uint8_t nslave);
    virtual bool CtrlWrite_Quarv3(uint8_t command, uint16_t c1, uint16_t c2, uint16_t c3,
                                  uint16_t c4);
    virtual bool CtrlWrite_Bulk(uint8_t direction, uint32_t address, uint16_t length);
    virtual bool CtrlWrite_Debug(uint16_t value, uint16_t index, uint16_t length,
                                 const uint8_t* data);
    virtual bool CtrlWrite_GPS(uint16_t value, uint16_t index, uint16_t length,
                               const uint8_t* data);
    virtual bool CtrlWrite_CFG(uint16_t value, uint16_t index, uint16_t length,
                               const uint8_t* data);
    virtual int ReadBulkPipe(uint8_t* buffer, uint32_t length);
    virtual int WriteBulkPipe(const uint8_t* buffer, uint32_t length);
    virtual uint16_t GetChunkSize() const { return chip_.chunk_size; }
    // Rounded up to whole packets, as a 16-bit value.
    virtual uint16_t RoundToPacket(uint16_t length) const;
    // 1 on success; -4 carrier error, -2 stall, -3 control transfer of another length.
    virtual int USBDeviceIoControl(uint32_t code, USBRequestBlock& block);

    // What the last transfer came to: kUsbOk, the carrier's error, or
    // kShortTransfer when it moved fewer bytes than it was given.
    int LastOutcome() const { return last_outcome_; }
    static constexpr int kShortTransfer = -1000;

    uint16_t GetPacketSize() const { return chip_.packet_size; }
    uint8_t GetEndpointIn() const { return chip_.endpoint_in; }
    uint8_t GetEndpointOut() const { return chip_.endpoint_out; }
    bool Is64() const { return is64_; }

protected:
    CUSBHardware(vesk::usb::IUsbDevice* device, bool is64, const USBChipParams& chip);

private:
    bool Control(const char* op, uint8_t request, uint16_t value, uint16_t index,
                 uint8_t* data, uint16_t length);
    std::string Method(const char* op) const;

    vesk::usb::IUsbDevice* device_;  // not owned: the connection's open device
    bool is64_;
    USBChipParams chip_;
    std::array<uint8_t, 6> booter_data_{};
    std::array<uint8_t, 6> memory_data_{};
    std::array<uint8_t, 9> quarv3_data_{};
    std::array<uint8_t, 6> bulk_data_{};
    int last_outcome_ = vesk::usb::kUsbOk;
};

constexpr USBChipParams kPDIUSBD11{8, 16, 0x81, 0x01};
constexpr USBChipParams kPDIUSBD12{64, 128, 0x82, 0x02};

class CUSBSerial_PDIUSBD11_32 : public CUSBHardware {
public:
    explicit CUSBSerial_PDIUSBD11_32(vesk::usb::IUsbDevice* d) : CUSBHardware(d, false, kPDIUSBD11) {}
};
class CUSBParall_PDIUSBD12_32 : public CUSBHardware {
public:
    explicit CUSBParall_PDIUSBD12_32(vesk::usb::IUsbDevice* d) : CUSBHardware(d, false, kPDIUSBD12) {}
};
class CUSBSerial_PDIUSBD11_64 : public CUSBHardware {
public:
    explicit CUSBSerial_PDIUSBD11_64(vesk::usb::IUsbDevice* d) : CUSBHardware(d, true, kPDIUSBD11) {}
};
class CUSBParall_PDIUSBD12_64 : public CUSBHardware {
public:
    explicit CUSBParall_PDIUSBD12_64(vesk::usb::IUsbDevice* d) : CUSBHardware(d, true, kPDIUSBD12) {}
};
