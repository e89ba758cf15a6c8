#pragma once
// The vendor command protocol over one instrument: control requests, the
// instrument's main buffer, chunked memory reads and writes, the logged-data
// download and the identification read.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "records/device_info.h"
#include "records/info_ident.h"
#include "usb/usb_hardware.h"
#include "usb/vesk_usb_commons.h"

// Connection types returned by Apri.
enum : int {
    USB_CONN_D11_32 = 1,
    USB_CONN_D12_32 = 2,
    USB_CONN_D11_64 = 7,
    USB_CONN_D12_64 = 8,
    USB_CONN_CLOSED = -12,
    USB_CONN_NO_OPEN = -1,
    USB_CONN_NO_DESCRIPTOR = -4,
};

class IUSBConnection {
public:
    virtual ~IUSBConnection() = default;
    // Opens the instrument at the info's device path; returns the connection type (> 0 when open).
    virtual int Apri(const CDeviceInfo& info) = 0;
    virtual bool ApriConnessione(const CDeviceInfo& info) = 0;
    virtual void ChiudiUSB() = 0;
    virtual bool GetINFOIDENT(INFOIDENT& info) = 0;
    virtual bool CtrlWrite_Bulk(uint8_t direction, uint32_t address, uint16_t length) = 0;
    virtual bool CtrlWrite_Memory(uint8_t command, uint32_t address, uint16_t dati,
                                  uint8_t nslave) = 0;
    virtual bool ReadBulkPipe(uint8_t* buffer, uint32_t length) = 0;
    virtual bool WriteBulkPipe(const uint8_t* buffer, uint32_t length) = 0;
    virtual bool CtrlWrite_Quarv3(uint8_t command, uint16_t c1, uint16_t c2, uint16_t c3,
                                  uint16_t c4) = 0;
    virtual bool CtrlWrite_Booter(uint8_t command, uint32_t address, uint16_t value) = 0;
    virtual bool CtrlWrite_Debug(uint16_t value, uint16_t index, uint16_t length,
                                 const uint8_t* data) = 0;
    virtual bool CtrlWrite_GPS(uint16_t value, uint16_t index, uint16_t length,
                               const uint8_t* data) = 0;
    virtual bool CtrlWrite_CFG(uint16_t value, uint16_t index, uint16_t length,
                               const uint8_t* data) = 0;
    virtual bool ReadMEM_MainBuff(uint16_t length, uint8_t* dest) = 0;
    virtual bool WriteMEM_MainBuff(uint16_t length, const uint8_t* src) = 0;
    virtual bool ReadMEM_Slave(uint8_t nslave, uint32_t address, uint16_t length,
                               uint8_t* dest) = 0;
    virtual bool ReadMEM_Generic(uint32_t address, uint16_t length, uint8_t* dest) = 0;
    virtual bool WriteMEM_Generic(uint32_t address, uint16_t length, const uint8_t* src,
                                  bool toward_slaves) = 0;
    virtual bool ReadMEM_Bank1(uint32_t address, uint16_t length, uint8_t* dest) = 0;
    virtual bool WriteMEM_Bank1(uint32_t address, uint16_t length, const uint8_t* src,
                                bool toward_slaves) = 0;
    virtual bool ReadMEM_GPS(uint32_t address, uint16_t length, uint8_t* dest) = 0;
    virtual bool WriteMEM_GPS(uint32_t address, uint16_t length, const uint8_t* src) = 0;
    virtual bool ReadMEM_Download(uint32_t address, uint16_t length, uint8_t* dest) = 0;
    virtual bool WriteMEM_Download(uint32_t address, uint16_t length, const uint8_t* src) = 0;
    virtual bool CtrlWrite_Memory8(uint32_t address, uint8_t value, uint8_t nslave) = 0;
    virtual bool CtrlWrite_Memory16(uint32_t address, uint16_t value, uint8_t nslave) = 0;
    // dest holds 65536 bytes.
    virtual bool Download1Packet(uint16_t index, uint8_t* dest) = 0;
    // dest holds 8192 bytes.
    virtual bool DownloadConfig(uint8_t* dest) = 0;
    virtual bool GetMemoryUsedQuarv3(uint32_t& used) = 0;
    virtual bool CtrlWrite_Quarv3Cmd7() = 0;
    virtual bool CtrlWrite_MemoryCmd18() = 0;
    virtual bool CtrlWrite_BooterCmd15() = 0;
    virtual bool CtrlWrite_BooterCmd4() = 0;
    virtual bool GotoBooterSlave(uint8_t nslave) = 0;
    virtual bool GotoFirmwareSlave(uint8_t nslave) = 0;
    virtual bool CtrlWrite_MemoryCmd51() = 0;

    // What kept instruments on USB out of a listing.
    struct ListingMisses {
        int busy = 0;        // held by another program
        int unanswered = 0;  // opened, but their identity could not be read
    };
    // Lists the connected instruments with their identity records; every one
    // is closed again before this returns. *misses (when given) counts those
    // left out.
    static bool GetListaDeviceCollegati(std::vector<CDeviceInfo>& out, ListingMisses* misses = nullptr);
};

class CUSBConnection : public IUSBConnection {
public:
    static constexpr size_t kTransferBufferSize = 512;
    static constexpr uint32_t kIdentConfirmWaitMs = 300;
    static constexpr int kIdentMaxAttempts = 10;

    explicit CUSBConnection(uint16_t packet_length = 256);
    ~CUSBConnection() override;
    CUSBConnection(const CUSBConnection&) = delete;
    CUSBConnection& operator=(const CUSBConnection&) = delete;

    int Apri(const CDeviceInfo& info) override;
    // The carrier's result of the last open (vesk::usb::kUsbError...).
    int LastOpenError() const { return commons_.LastError(); }
    bool ApriConnessione(const CDeviceInfo& info) override;
    void ChiudiUSB() override;
    bool GetINFOIDENT(INFOIDENT& info) override;
    bool CtrlWrite_Bulk(uint8_t direction, uint32_t address, uint16_t length) override;
    bool CtrlWrite_Memory(uint8_t command, uint32_t address, uint16_t dati,
                          uint8_t nslave) override;
    bool ReadBulkPipe(uint8_t* buffer, uint32_t length) override;
    bool WriteBulkPipe(const uint8_t* buffer, uint32_t length) override;
    bool CtrlWrite_Quarv3(uint8_t command, uint16_t c1, uint16_t c2, uint16_t c3,
                          uint16_t c4) override;
    bool CtrlWrite_Booter(uint8_t command, uint32_t address, uint16_t value) override;
    bool CtrlWrite_Debug(uint16_t value, uint16_t index, uint16_t length,
                         const uint8_t* data) override;
    bool CtrlWrite_GPS(uint16_t value, uint16_t index, uint16_t length,
                       const uint8_t* data) override;
    bool CtrlWrite_CFG(uint16_t value, uint16_t index, uint16_t length,
                       const uint8_t* data) override;
    bool ReadMEM_MainBuff(uint16_t length, uint8_t* dest) override;
    bool WriteMEM_MainBuff(uint16_t length, const uint8_t* src) override;
    bool ReadMEM_Slave(uint8_t nslave, uint32_t address, uint16_t length,
                       uint8_t* dest) override;
    bool ReadMEM_Generic(uint32_t address, uint16_t length, uint8_t* dest) override;
    bool WriteMEM_Generic(uint32_t address, uint16_t length, const uint8_t* src,
                          bool toward_slaves) override;
    bool ReadMEM_Bank1(uint32_t address, uint16_t length, uint8_t* dest) override;
    bool WriteMEM_Bank1(uint32_t address, uint16_t length, const uint8_t* src,
                        bool toward_slaves) override;
    bool ReadMEM_GPS(uint32_t address, uint16_t length, uint8_t* dest) override;
    bool WriteMEM_GPS(uint32_t address, uint16_t length, const uint8_t* src) override;
    bool ReadMEM_Download(uint32_t address, uint16_t length, uint8_t* dest) override;
    bool WriteMEM_Download(uint32_t address, uint16_t length, const uint8_t* src) override;
    bool CtrlWrite_Memory8(uint32_t address, uint8_t value, uint8_t nslave) override;
    bool CtrlWrite_Memory16(uint32_t address, uint16_t value, uint8_t nslave) override;
    bool Download1Packet(uint16_t index, uint8_t* dest) override;
    bool DownloadConfig(uint8_t* dest) override;
    bool GetMemoryUsedQuarv3(uint32_t& used) override;
    bool CtrlWrite_Quarv3Cmd7() override;
    bool CtrlWrite_MemoryCmd18() override;
    bool CtrlWrite_BooterCmd15() override;
    bool CtrlWrite_BooterCmd4() override;
    bool GotoBooterSlave(uint8_t nslave) override;
    bool GotoFirmwareSlave(uint8_t nslave) override;
    bool CtrlWrite_MemoryCmd51() override;

    int GetConnectionType() const { return connection_type_; }
    // The open instrument's interface chip is a PDIUSBD11 (8-byte packets).
    bool IsD11() const { return connection_type_ == USB_CONN_D11_32 || connection_type_ == USB_CONN_D11_64; }
    // The product id the open instrument was enumerated under.
    bool GetProductId(uint16_t& product_id) { return commons_.LeggiProductId(product_id); }
    uint16_t GetPacketLength() const { return packet_length_; }
    bool Is64() const { return commons_.Is64(); }

    // Booter-family class of a tipoFamBoot value, or -1 when it is not in the table.
    static int BooterFamilyClass(uint16_t tipo_fam_boot);

    // What a retry's log line names: the request, its address and the slave (0: the unit itself).
    struct Request {
        const char* name;
        uint32_t address = 0;
        uint8_t nslave = 0;
    };
    // A transfer that fails once (stall, timeout, short transfer, driver
    // error) is tried again this many times at most.
    static constexpr int kTransientRetries = 2;
    // Runs a request that is safe to repeat (a read, a block written again
    // to the same address with the same data, an erase of the same region)
    // and runs it again after a transient fault, one log line each time.
    // Inside another such request it runs once: the outer one repeats.
    bool Repeatable(const Request& request, const std::function<bool()>& attempt);
    // The last transfer failed with a fault that may pass; a unit gone from
    // the bus is not one.
    bool LastFailureTransient() const;
    // The log line of one retry.
    void LogRetry(const Request& request, int retry) const;

protected:
    CUSBHardware* Hardware() const { return hardware_.get(); }
    // Logs "Bad device" when there is no driver access object.
    bool CheckDevice(const char* method) const;

private:
    // One try of Apri.
    int ApriUnaVolta(const CDeviceInfo& info);
    // Length rounded up to whole packets, without the 16-bit wrap.
    uint32_t RoundUp(uint32_t length) const;
    bool ReadChunked(const char* method, uint32_t address, uint16_t length, uint8_t* dest,
                     bool slave, uint8_t nslave);
    bool IdentityExtraReads(INFOIDENT& r);
    // The last bulk transfer moved fewer bytes than length: one log line, true.
    bool ShortTransfer(const char* method, uint32_t length) const;

    C_Vesk_USB_Commons commons_;
    std::unique_ptr<CUSBHardware> hardware_;
    std::unique_ptr<std::array<uint8_t, kTransferBufferSize>> buffer_;
    uint16_t packet_length_;
    int connection_type_ = USB_CONN_CLOSED;
    std::string unit_;  // the open device's path, for the retries' lines
    int repeat_depth_ = 0;
};
