#include "usb/usb_hardware.h"

#include "log/evt_log.h"

using namespace vesk::usb;

CUSBHardware::CUSBHardware(IUsbDevice* device, bool is64, const USBChipParams& chip)
    : device_(device), is64_(is64), chip_(chip) {}

std::string CUSBHardware::Method(const char* op) const {
    return std::string(is64_ ? "CUSBHardware64::" : "CUSBHardware32::") + op;
}

uint16_t CUSBHardware::RoundToPacket(uint16_t length) const {
    const uint32_t p = chip_.packet_size;
    return static_cast<uint16_t>((length + p - 1) / p * p);
}

bool CUSBHardware::Control(const char* op, uint8_t request, uint16_t value, uint16_t index,
                           uint8_t* data, uint16_t length) {
    if (!device_) {
        VLOG_ERROR(Method(op).c_str(), "Invalid USB handle");
        return false;
    }
    USBRequestBlock b;
    b.request_type = kVendorOutRequestType;
    b.request = request;
    b.value = value;
    b.index = index;
    b.setup_length = length;
    b.buffer = data;
    b.buffer_length = length;
    if (USBDeviceIoControl(kIoctlControlTransfer, b) < 0) {
        VLOG_ERROR(Method(op).c_str(), "Data transmission failure");
        return false;
    }
    return true;
}

bool CUSBHardware::CtrlWrite_Booter(uint8_t command, uint32_t address, uint16_t value) {
    auto& d = booter_data_;
    d = {command, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16),
         uint8_t(value), uint8_t(value >> 8)};
    return Control("CtrlWrite_Booter", 0x0F, 0, 0, d.data(), uint16_t(d.size()));
}

bool CUSBHardware::CtrlWrite_Memory(uint8_t command, uint32_t address, uint16_t dati,
                                    uint8_t nslave) {
    auto& d = memory_data_;
    d = {command, uint8_t(address), uint8_t(address >> 8), nslave, uint8_t(dati),
         uint8_t(dati >> 8)};
    return Control("CtrlWrite_Memory", 0x0E, 0, uint16_t(address >> 16), d.data(),
                   uint16_t(d.size()));
}

bool CUSBHardware::CtrlWrite_Quarv3(uint8_t command, uint16_t c1, uint16_t c2, uint16_t c3,
                                    uint16_t c4) {
    auto& d = quarv3_data_;
    d = {command,       uint8_t(c1), uint8_t(c1 >> 8), uint8_t(c2), uint8_t(c2 >> 8),
         uint8_t(c3), uint8_t(c3 >> 8), uint8_t(c4), uint8_t(c4 >> 8)};
    return Control("CtrlWrite_Quarv3", 0x0D, 0, 0, d.data(), uint16_t(d.size()));
}

bool CUSBHardware::CtrlWrite_Bulk(uint8_t direction, uint32_t address, uint16_t length) {
    auto& d = bulk_data_;
    // The direction byte comes last here, unlike every other data stage.
    d = {uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), uint8_t(length),
         uint8_t(length >> 8), direction};
    return Control("CtrlWrite_Bulk", 0x0C, 0, 0x0471, d.data(), uint16_t(d.size()));
}

bool CUSBHardware::CtrlWrite_Debug(uint16_t value, uint16_t index, uint16_t length,
                                   const uint8_t* data) {
    return Control("CtrlWrite_Debug", 0x00, value, index, const_cast<uint8_t*>(data), length);
}

bool CUSBHardware::CtrlWrite_GPS(uint16_t value, uint16_t index, uint16_t length,
                                 const uint8_t* data) {
    return Control("CtrlWrite_GPS", 0x01, value, index, const_cast<uint8_t*>(data), length);
}

bool CUSBHardware::CtrlWrite_CFG(uint16_t value, uint16_t index, uint16_t length,
                                 const uint8_t* data) {
    return Control("CtrlWrite_CFG", 0x02, value, index, const_cast<uint8_t*>(data), length);
}

int CUSBHardware::ReadBulkPipe(uint8_t* buffer, uint32_t length) {
    USBRequestBlock b;
    b.endpoint = chip_.endpoint_in;
    b.buffer = buffer;
    b.buffer_length = length;
    return USBDeviceIoControl(kIoctlBulkTransfer, b);
}

int CUSBHardware::WriteBulkPipe(const uint8_t* buffer, uint32_t length) {
    USBRequestBlock b;
    b.endpoint = chip_.endpoint_out;
    b.buffer = const_cast<uint8_t*>(buffer);  // an OUT transfer only reads it
    b.buffer_length = length;
    return USBDeviceIoControl(kIoctlBulkTransfer, b);
}

int CUSBHardware::USBDeviceIoControl(uint32_t code, USBRequestBlock& b) {
    size_t done = 0;
    int r = kUsbErrorNoDevice;
    if (device_) {
        if (code == kIoctlControlTransfer)
            r = device_->ControlOut(b.request, b.value, b.index, b.buffer, b.setup_length,
                                    kControlTimeoutMs, &done);
        else if (b.endpoint & 0x80)
            r = device_->BulkIn(b.endpoint, b.buffer, b.buffer_length, kBulkTimeoutMs, &done);
        else
            r = device_->BulkOut(b.endpoint, b.buffer, b.buffer_length, kBulkTimeoutMs, &done);
    }
    b.transferred = static_cast<uint32_t>(done);
    last_outcome_ = r < 0 ? r : done < b.buffer_length ? kShortTransfer : kUsbOk;
    if (r == kUsbErrorPipe) {
        VLOG_ERROR(Method("USBDeviceIoControl").c_str(),
                   "Error related to bad data transmission at driver level");
        return -2;
    }
    if (r < 0) {
        VLOG_ERROR(Method("USBDeviceIoControl").c_str(), "Error at driver level: 0x%x",
                   static_cast<unsigned>(r));
        return -4;
    }
    // Bulk transfers carry no setup length, so a short bulk transfer passes here.
    if (b.setup_length != 0 && b.setup_length != static_cast<uint16_t>(b.transferred)) {
        VLOG_ERROR(Method("USBDeviceIoControl").c_str(), "Error: mismatch from");
        return -3;
    }
    return 1;
}
