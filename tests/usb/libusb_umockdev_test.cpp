// The libusb carrier for real: libusb talks usbdevfs to a device node that
// umockdev serves, and behind the node a simulated instrument answers. Runs
// under umockdev-wrapper; without its preload the tests fail, never skip.
#include <errno.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>

#include "common/clock.h"
#include "log/evt_log.h"
#include "sim/sim_instrument.h"
#include "usb/backend/libusb_backend.h"
#include "usb/usb_connection.h"

namespace {

using vesk::sim::SimInstrument;

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) s += {d[b >> 4], d[b & 15]};
    return s;
}

// Answers libusb's usbdevfs requests on one device node with a simulated instrument.
class UsbDevfsServer {
public:
    explicit UsbDevfsServer(SimInstrument& inst) : inst_(inst) {
        handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbDevfsServer::OnIoctl), this);
    }
    ~UsbDevfsServer() {
        for (auto* u : reaped_later_) g_object_unref(u);
        g_object_unref(handler_);
    }
    UMockdevIoctlBase* handler() const { return handler_; }

private:
    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<UsbDevfsServer*>(self)->Handle(client);
    }

    gboolean Handle(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> lock(mutex_);
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        GError* error = nullptr;
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
            if (!caps) break;
            const uint32_t v = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION;
            std::memcpy(caps->data, &v, sizeof v);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: umockdev_ioctl_client_complete(client, -1, ENODATA); return TRUE;
        case USBDEVFS_CLAIMINTERFACE:
            // As the kernel does: one holder of interface 0 at a time.
            if (claimed_by_ && claimed_by_ != client) {
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return TRUE;
            }
            claimed_by_ = client;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_RELEASEINTERFACE:
            if (claimed_by_ == client) claimed_by_ = nullptr;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB: return Submit(client, arg);
        case USBDEVFS_REAPURBNDELAY: {
            if (reaped_later_.empty()) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return TRUE;
            }
            UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
            if (!slot) break;
            UMockdevIoctlData* urb = reaped_later_.front();
            reaped_later_.pop_front();
            umockdev_ioctl_data_set_ptr(slot, 0, urb);
            g_object_unref(urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB:  // every URB completes at once
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        default: return FALSE;
        }
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }

    static int Errno(int carrier_result) {
        switch (carrier_result) {
        case vesk::usb::kUsbOk: return 0;
        case vesk::usb::kUsbErrorPipe: return -EPIPE;
        case vesk::usb::kUsbErrorNoDevice: return -ESHUTDOWN;
        default: return -EPROTO;
        }
    }

    gboolean Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        GError* error = nullptr;
        UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (!urb_data) {
            g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urb_data->data);
        UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(
            urb_data, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length), &error);
        if (!buf) {
            g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        size_t done = 0;
        int r = vesk::usb::kUsbOk;
        std::string note;
        uint8_t* data = buf->data;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            const uint8_t type = data[0], req = data[1];
            const uint16_t value = uint16_t(data[2] | data[3] << 8);
            const uint16_t index = uint16_t(data[4] | data[5] << 8);
            const uint16_t length = uint16_t(data[6] | data[7] << 8);
            if (type == 0x80 && req == 6 && (value >> 8) == 2) {
                const auto d = inst_.ConfigDescriptor();
                done = std::min<size_t>(length, d.size());
                std::memcpy(data + 8, d.data(), done);
            } else if (type == 0x40) {
                vesk::sim::ControlRequest rq;
                rq.request = req;
                rq.value = value;
                rq.index = index;
                rq.data.assign(data + 8, data + 8 + length);
                r = inst_.Control(rq, length, 0, &done, &note);
                if (auto booter = inst_.TakePendingLeave()) inst_.SetMode(*booter);
            } else {
                r = vesk::usb::kUsbErrorPipe;
            }
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
            const uint32_t n = uint32_t(urb->buffer_length);
            r = (urb->endpoint & 0x80) ? inst_.BulkIn(urb->endpoint, data, n, 0, &done, &note)
                                       : inst_.BulkOut(urb->endpoint, data, n, 0, &done, &note);
        } else {
            r = vesk::usb::kUsbErrorIo;
        }
        urb->status = Errno(r);
        urb->actual_length = int(done);
        reaped_later_.push_back(UMOCKDEV_IOCTL_DATA(g_object_ref(urb_data)));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    SimInstrument& inst_;
    UMockdevIoctlBase* handler_;
    std::mutex mutex_;
    std::deque<UMockdevIoctlData*> reaped_later_;
    const UMockdevIoctlClient* claimed_by_ = nullptr;  // compared only, never used
};

class LibusbUmockdev : public ::testing::Test {
protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        // Asked only after the testbed exists: the answer is cached.
        ASSERT_TRUE(umockdev_in_mock_environment())
            << "run under umockdev-wrapper (Debian package umockdev)";
    }
    void TearDown() override {
        // libusb goes before the testbed, or releasing the testbed hangs.
        backend_scope_.reset();
        backend_.reset();
        server_.reset();
        if (testbed_) g_object_unref(testbed_);
    }

    // Serves an instrument at bus 1, port 1 and installs a fresh libusb carrier.
    void Serve(const vesk::sim::SimInstrumentConfig& cfg) {
        inst_ = std::make_unique<SimInstrument>(cfg);
        const std::vector<uint8_t> device = {18, 1, 0x10, 0x01, 0, 0, 0, uint8_t(inst_->packet_size()),
                                             0xCC, 0x11, uint8_t(cfg.product_id), uint8_t(cfg.product_id >> 8),
                                             0, 1, 0, 0, 0, 1};
        auto config = inst_->ConfigDescriptor();
        std::vector<uint8_t> all = device;
        all.insert(all.end(), config.begin(), config.end());
        const std::string desc =
            "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
            "N: bus/usb/001/002\n"
            "E: SUBSYSTEM=usb\n"
            "E: DEVTYPE=usb_device\n"
            "E: DEVNAME=/dev/bus/usb/001/002\n"
            "E: BUSNUM=001\n"
            "E: DEVNUM=002\n"
            "A: busnum=1\n"
            "A: devnum=2\n"
            "A: speed=12\n"
            "A: dev=189:1\n"
            "H: descriptors=" + Hex(all) + "\n";
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, desc.c_str(), &error))
            << (error ? error->message : "");
        server_ = std::make_unique<UsbDevfsServer>(*inst_);
        ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, "/dev/bus/usb/001/002", server_->handler(), &error))
            << (error ? error->message : "");
        backend_ = std::make_unique<vesk::usb::CLibusbBackend>();
        backend_scope_.emplace(*backend_);
    }

    static vesk::sim::SimInstrumentConfig Config(bool d11) {
        vesk::sim::SimInstrumentConfig c;
        c.code = 300;
        c.serial = 424242;
        c.fw_major = 0x43, c.fw_minor = 0x04, c.fw_build = 0x01;
        c.boot_major = 0x02, c.boot_minor = 0x10;
        c.tipoFamBoot = 2;  // takes the extra identity reads
        c.d11 = d11;
        return c;
    }

    vesk::VirtualClock clock_;
    vesk::ScopedClock scoped_clock_{clock_};
    UMockdevTestbed* testbed_ = nullptr;
    std::unique_ptr<SimInstrument> inst_;
    std::unique_ptr<UsbDevfsServer> server_;
    std::unique_ptr<vesk::usb::CLibusbBackend> backend_;
    std::optional<vesk::usb::ScopedBackend> backend_scope_;
};

TEST_F(LibusbUmockdev, ListsOpensAndIdentifiesThroughLibusb) {
    Serve(Config(false));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IUSBConnection::GetListaDeviceCollegati(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].GetDevicePath(), L"usb:1-1");
    EXPECT_TRUE(list[0].Ident() == inst_->identity());
    EXPECT_EQ(list[0].Ident().ID_logger(), 424242u);
}

TEST_F(LibusbUmockdev, ChunkedTransfersAndChipChoice) {
    for (bool d11 : {true, false}) {
        SCOPED_TRACE(d11 ? "D11" : "D12");
        TearDown();
        SetUp();
        Serve(Config(d11));
        CUSBConnection conn;
        CDeviceInfo info;
        info.SetDevicePath(L"usb:1-1");
        const int type = conn.Apri(info);
        EXPECT_EQ(type, d11 ? (conn.Is64() ? 7 : 1) : (conn.Is64() ? 8 : 2));
        // Exclusive: a second open fails while the first holds the interface.
        CUSBConnection second;
        EXPECT_EQ(second.Apri(info), -1);
        std::vector<uint8_t> src(300);
        for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 5 + 1);
        ASSERT_TRUE(conn.WriteMEM_Generic(0x3000, uint16_t(src.size()), src.data(), false));
        EXPECT_EQ(inst_->memory().Read(0x3000, src.size()), src);
        std::vector<uint8_t> back(300);
        ASSERT_TRUE(conn.ReadMEM_Generic(0x3000, uint16_t(back.size()), back.data()));
        EXPECT_EQ(back, src);
        conn.ChiudiUSB();
        EXPECT_GT(second.Apri(info), 0);
    }
}

TEST_F(LibusbUmockdev, StallAndShortReplyGiveTheirResults) {
    auto cfg = Config(true);
    vesk::sim::SimFault stall;
    stall.kind = vesk::sim::FaultKind::Stall;
    stall.target = 0x0F;
    stall.when = vesk::sim::FaultWhen::Once;
    vesk::sim::SimFault shrt = stall;
    shrt.kind = vesk::sim::FaultKind::Short;
    shrt.target = 0x0D;
    cfg.faults = {stall, shrt};
    Serve(cfg);
    CUSBConnection conn;
    CDeviceInfo info;
    info.SetDevicePath(L"usb:1-1");
    ASSERT_GT(conn.Apri(info), 0);
    vesk::LogCapture log;
    // Booter command 3 means nothing to the unit: only the fault refuses it.
    EXPECT_FALSE(conn.CtrlWrite_Booter(3, 0, 0));
    EXPECT_TRUE(log.contains("Error related to bad data transmission at driver level"));
    EXPECT_FALSE(conn.CtrlWrite_Quarv3(27, 0, 0, 0, 0));
    EXPECT_TRUE(log.contains("Error: mismatch from"));
    EXPECT_TRUE(conn.CtrlWrite_Booter(3, 0, 0));
}

}  // namespace
