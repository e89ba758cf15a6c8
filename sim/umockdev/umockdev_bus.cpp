#include "sim/umockdev/umockdev_bus.h"

#include <dirent.h>
#include <errno.h>
#include <sys/socket.h>
// <linux/ioctl.h> must come first.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "usb/backend/usb_backend.h"

namespace vesk::sim {

using namespace vesk::usb;

namespace {

constexpr char kControllerPath[] = "/devices/pci0000:00/0000:00:14.0";
constexpr uint16_t kHubVendor = 0x05E3, kHubProduct = 0x0608;

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) s += {d[b >> 4], d[b & 15]};
    return s;
}

std::string Printf(const char* format, int a, int b) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

// "usb:1-1.4" -> bus 1, ports {1, 4}.
bool ParsePath(const std::string& path, int* bus, std::vector<int>* ports) {
    int b = 0, n = 0;
    if (std::sscanf(path.c_str(), "usb:%d-%n", &b, &n) != 1 || n == 0 || b < 1 || b > 255)
        return false;
    ports->clear();
    const char* p = path.c_str() + n;
    while (*p) {
        char* end = nullptr;
        const long v = std::strtol(p, &end, 10);
        if (end == p || v < 1 || v > 255) return false;
        ports->push_back(int(v));
        p = end;
        if (*p == '.') ++p;
        else if (*p) return false;
    }
    *bus = b;
    return !ports->empty();
}

// The first depth ports joined with '.' ("1.4").
std::string PortText(const std::vector<int>& ports, size_t depth) {
    std::string s;
    for (size_t i = 0; i < depth; ++i) {
        if (i) s += '.';
        s += std::to_string(ports[i]);
    }
    return s;
}

// The sysfs path below /sys of the device on that port chain:
// .../usb1/1-1/1-1.4 for bus 1, ports {1, 4}.
std::string SysPath(int bus, const std::vector<int>& ports, size_t depth) {
    std::string s = std::string(kControllerPath) + "/usb" + std::to_string(bus);
    for (size_t d = 1; d <= depth; ++d) {
        s += '/';
        s += std::to_string(bus);
        s += '-';
        s += PortText(ports, d);
    }
    return s;
}

// A device as umockdev-record would describe it. Without DEVTYPE, DEVNAME and
// busnum libusb does not see it; without dev its node outlives its removal.
std::string Describe(const std::string& syspath, int bus, int devnum, const std::string& ports,
                     uint16_t vendor, uint16_t product, uint8_t device_class,
                     const std::vector<uint8_t>& descriptors) {
    const std::string node = Printf("bus/usb/%03d/%03d", bus, devnum);
    char ids[64];
    std::snprintf(ids, sizeof ids, "%x/%x/100", vendor, product);
    char attrs[128];
    std::snprintf(attrs, sizeof attrs, "A: idVendor=%04x\nA: idProduct=%04x\nA: bDeviceClass=%02x\n",
                  vendor, product, device_class);
    const int minor = (bus - 1) * 128 + devnum - 1;
    return "P: " + syspath + "\nN: " + node +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/" + node +
           "\nE: PRODUCT=" + ids + "\nE: TYPE=" + std::to_string(device_class) + "/0/0" +
           "\nE: BUSNUM=" + Printf("%03d", bus, 0) + "\nE: DEVNUM=" + Printf("%03d", devnum, 0) +
           "\nE: MAJOR=189\nE: MINOR=" + std::to_string(minor) +
           // As sysfs writes them, with a newline (escaped in this format).
           "\nA: busnum=" + std::to_string(bus) + "\\n\nA: devnum=" + std::to_string(devnum) + "\\n" +
           "\nA: devpath=" + ports + "\n" + attrs +
           "A: bcdDevice=0100\nA: bNumConfigurations=1\nA: bConfigurationValue=1\nA: speed=12\\n"
           "\nA: dev=189:" + std::to_string(minor) +
           "\nH: descriptors=" + Hex(descriptors) + "\n";
}

// usbdevfs errors for the carrier's results.
int UrbStatus(int carrier_result) {
    switch (carrier_result) {
    case kUsbOk: return 0;
    case kUsbErrorPipe: return -EPIPE;
    case kUsbErrorNoDevice: return -ESHUTDOWN;
    case kUsbErrorOverflow: return -EOVERFLOW;
    default: return -EPROTO;
    }
}

int OpenErrno(int carrier_result) {
    switch (carrier_result) {
    case kUsbErrorBusy: return EBUSY;
    case kUsbErrorNoDevice: return ENODEV;
    case kUsbErrorAccess: return EACCES;
    default: return EIO;
    }
}


// The connection of a client just accepted: the one socket of this process
// to another program that no known client has. Accepts are announced one by
// one, so there is exactly one such socket when a client is announced.
std::pair<int, pid_t> NewPeerSocket(const std::set<int>& known) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return {-1, 0};
    std::pair<int, pid_t> found{-1, 0};
    while (const dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == ::dirfd(dir) || known.count(int(fd))) continue;
        // Request connections are streams; the testbed's uevent sockets to
        // the same programs are not.
        int type = 0;
        socklen_t type_len = sizeof type;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 || type != SOCK_STREAM) continue;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0 || cred.pid == ::getpid())
            continue;
        // A connection whose program has gone already is not the new one.
        char byte = 0;
        if (::recv(int(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) continue;
        // The newest connection has the highest number unless numbers were reused.
        if (int(fd) > found.first) found = {int(fd), cred.pid};
    }
    ::closedir(dir);
    return found;
}

// The program at the other end has ended: its end of the socket is closed
// (or the socket is no longer the one found, its number given to another).
bool PeerEnded(int fd, pid_t pid) {
    if (fd < 0) return false;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid != pid) return true;
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

struct UmockdevBus::Node {
    std::string path;     // the instrument's device path
    std::string syspath;  // below /sys
    bool alive = true;
};

// One open file descriptor of the program on a device node.
struct UmockdevBus::Client {
    UMockdevIoctlClient* client = nullptr;  // referenced
    gulong closed_handler = 0;
    std::string devnode;
    std::unique_ptr<IUsbDevice> handle;  // the interface claimed on the bus
    int socket = -1;                     // our end of its connection, when found
    pid_t pid = 0;                       // the program at the other end
    std::deque<UMockdevIoctlData*> done;  // URBs to reap, referenced
    std::deque<UMockdevIoctlData*> waiting;  // URBs the instrument leaves unanswered

    ~Client() {
        for (auto* u : done) g_object_unref(u);
        for (auto* u : waiting) g_object_unref(u);
        if (client) {
            g_signal_handler_disconnect(client, closed_handler);
            g_object_unref(client);
        }
    }
};

UmockdevBus::UmockdevBus(UMockdevTestbed* testbed, SimBus& bus)
    : testbed_(testbed), bus_(bus) {
    handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UmockdevBus::OnIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&UmockdevBus::OnClientConnected), this);
    // Every bus call happens with mutex_ held, so the observer runs with it too.
    bus_.set_presence_observer(
        [this](bool arrived, uint16_t, const std::string& path) { OnPresence(arrived, path); });
}

UmockdevBus::~UmockdevBus() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    std::vector<std::string> live;  // devices the testbed still has
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bus_.set_presence_observer(nullptr);
        for (const auto& [path, devnode] : node_of_path_) live.push_back(devnode);
        clients_.clear();
    }
    for (const auto& devnode : live) umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), nullptr);
    g_object_unref(handler_);
}

std::vector<uint8_t> UmockdevBus::DeviceDescriptor(uint16_t product_id, uint8_t ep0_packet) {
    return {18,   1,    0x10, 0x01, 0, 0, 0, ep0_packet, uint8_t(kVeskVendorId), uint8_t(kVeskVendorId >> 8),
            uint8_t(product_id), uint8_t(product_id >> 8), 0x00, 0x01, 0, 0, 0, 1};
}

bool UmockdevBus::Start(std::string* error) {
    std::vector<std::string> paths;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (SimInstrument* inst : bus_.Instruments())
            if (bus_.IsPresent(inst->path())) paths.push_back(inst->path());
    }
    for (const auto& p : paths)
        if (!AddDevice(p, error)) return false;
    return true;
}

void UmockdevBus::Sync() {
    std::deque<Change> todo;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ReleaseEndedClients();
        bus_.Tick();
        todo.swap(changes_);
    }
    for (const auto& c : todo) {
        if (c.arrived) AddDevice(c.path, nullptr);
        else RemoveDevice(c.path);
    }
}

std::string UmockdevBus::DeviceNode(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = node_of_path_.find(path);
    return it != node_of_path_.end() && nodes_[it->second]->alive ? it->second : std::string();
}

void UmockdevBus::OnPresence(bool arrived, const std::string& path) {
    // A departure is seen by the program's open descriptors at once; the
    // testbed follows on the next Sync.
    if (!arrived)
        if (auto it = node_of_path_.find(path); it != node_of_path_.end()) nodes_[it->second]->alive = false;
    changes_.push_back({arrived, path});
}

bool UmockdevBus::AddHubs(const std::string& path, std::string* error) {
    int bus = 0;
    std::vector<int> ports;
    if (!ParsePath(path, &bus, &ports)) {
        if (error) *error = "cannot serve the device path " + path;
        return false;
    }
    // libusb finds the port chain through the parents, so every hub on the way exists.
    for (size_t depth = 1; depth < ports.size(); ++depth) {
        const std::string syspath = SysPath(bus, ports, depth);
        bool known = false;
        int devnum = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& h : hubs_) known = known || h == syspath;
            if (!known) {
                hubs_.push_back(syspath);
                devnum = next_devnum_.emplace(bus, 2).first->second++;
            }
        }
        if (known) continue;
        std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 9, 0, 1, 64, uint8_t(kHubVendor), uint8_t(kHubVendor >> 8),
                                  uint8_t(kHubProduct), uint8_t(kHubProduct >> 8), 0x00, 0x01, 0, 0, 0, 1};
        const std::vector<uint8_t> config = {9, 2, 25, 0, 1, 1, 0, 0xE0, 50, 9, 4, 0, 0, 1, 9, 0, 0, 0,
                                             7, 5, 0x81, 3, 1, 0, 12};
        d.insert(d.end(), config.begin(), config.end());
        GError* e = nullptr;
        const std::string desc = Describe(syspath, bus, devnum, PortText(ports, depth), kHubVendor, kHubProduct, 9, d);
        if (!umockdev_testbed_add_from_string(testbed_, desc.c_str(), &e)) {
            if (error) *error = e ? e->message : "the testbed refused a hub";
            if (e) g_error_free(e);
            return false;
        }
    }
    return true;
}

bool UmockdevBus::AddDevice(const std::string& path, std::string* error) {
    if (!AddHubs(path, error)) return false;
    std::string desc, devnode;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SimInstrument* inst = bus_.Find(path);
        int bus = 0;
        std::vector<int> ports;
        if (!inst || !ParsePath(path, &bus, &ports)) {
            if (error) *error = "cannot serve the device path " + path;
            return false;
        }
        // A device that comes back gets the next address, as the kernel gives it.
        int& next = next_devnum_.emplace(bus, 2).first->second;
        const int devnum = next;
        next = next >= 127 ? 2 : next + 1;
        const std::string syspath = SysPath(bus, ports, ports.size());
        devnode = "/dev/" + Printf("bus/usb/%03d/%03d", bus, devnum);
        const uint16_t product = inst->config().product_id;
        std::vector<uint8_t> d = DeviceDescriptor(product, uint8_t(inst->packet_size()));
        const auto config = inst->ConfigDescriptor();
        d.insert(d.end(), config.begin(), config.end());
        desc = Describe(syspath, bus, devnum, PortText(ports, ports.size()), kVeskVendorId, product, 0, d);
        auto node = std::make_unique<Node>();
        node->path = path;
        node->syspath = syspath;
        nodes_[devnode] = std::move(node);
        node_of_path_[path] = devnode;
    }
    // The handler listens before the device is announced, so a program that
    // reacts to the "add" event at once finds it answering.
    GError* e = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler_, &e) ||
        !umockdev_testbed_add_from_string(testbed_, desc.c_str(), &e)) {
        if (error) *error = e ? e->message : "the testbed refused " + path;
        if (e) g_error_free(e);
        return false;
    }
    return true;
}

void UmockdevBus::RemoveDevice(const std::string& path) {
    std::string devnode, syspath;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = node_of_path_.find(path);
        if (it == node_of_path_.end()) return;
        devnode = it->second;
        Node& node = *nodes_[devnode];
        node.alive = false;
        syspath = "/sys" + node.syspath;
        node_of_path_.erase(it);
    }
    // umockdev's removal sends no uevent of its own.
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), nullptr);
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

gboolean UmockdevBus::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* me = static_cast<UmockdevBus*>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    return me->Handle(client);
}

void UmockdevBus::OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* me = static_cast<UmockdevBus*>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->ClientFor(client);
}

UmockdevBus::Client& UmockdevBus::ClientFor(UMockdevIoctlClient* client) {
    auto& c = clients_[client];
    if (!c) {
        std::set<int> known;
        for (const auto& [k, other] : clients_)
            if (other) known.insert(other->socket);
        c = std::make_unique<Client>();
        const auto [fd, pid] = NewPeerSocket(known);
        c->socket = fd;
        c->pid = pid;
        c->client = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
        c->devnode = umockdev_ioctl_client_get_devnode(client);
        c->closed_handler =
            g_signal_connect(client, "notify::connected", G_CALLBACK(&UmockdevBus::OnClientClosed), this);
    }
    return *c;
}

void UmockdevBus::OnClientClosed(GObject* client, GParamSpec*, gpointer self) {
    auto* c = UMOCKDEV_IOCTL_CLIENT(client);
    if (umockdev_ioctl_client_get_connected(c)) return;
    auto* me = static_cast<UmockdevBus*>(self);
    // Closing the descriptor releases its interface, as the kernel does; the
    // bus is told with the lock held.
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->clients_.erase(c);
}

void UmockdevBus::ReleaseEndedClients(const Client* asking) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        // The client whose request is being answered is in use; if its
        // program has ended, the next Sync releases it.
        if (!it->second || it->second.get() == asking || !PeerEnded(it->second->socket, it->second->pid)) {
            ++it;
            continue;
        }
        // The testbed cannot close such a client's stream and complains when
        // the client object goes: it is kept, not used, until the process ends.
        static auto* kept = new std::vector<UMockdevIoctlClient*>();
        kept->push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(it->second->client)));
        it = clients_.erase(it);
    }
}

int UmockdevBus::ClaimFor(Client& c, const Node& node) {
    if (c.handle) return 0;
    ReleaseEndedClients(&c);
    int error = kUsbErrorOther;
    c.handle = bus_.Open(node.path, &error);
    return c.handle ? 0 : OpenErrno(error);
}

gboolean UmockdevBus::Handle(UMockdevIoctlClient* client) {
    Client& c = ClientFor(client);
    auto nit = nodes_.find(c.devnode);
    Node* node = nit != nodes_.end() ? nit->second.get() : nullptr;
    // A device that left the bus answers nothing but the reaping of what it left behind.
    const bool gone = !node || !node->alive;
    const gulong request = umockdev_ioctl_client_get_request(client);
    auto complete = [client](int errno_value) {
        umockdev_ioctl_client_complete(client, errno_value ? -1 : 0, errno_value);
        return TRUE;
    };
    switch (request) {
    case USBDEVFS_REAPURBNDELAY: Reap(client, c, gone); return TRUE;
    case USBDEVFS_DISCARDURB: Discard(client, c); return TRUE;
    case USBDEVFS_RELEASEINTERFACE: c.handle.reset(); return complete(0);
    default: break;
    }
    if (gone) return complete(ENODEV);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        GError* error = nullptr;
        UMockdevIoctlData* caps =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(uint32_t), &error);
        if (!caps) {
            if (error) g_error_free(error);
            return complete(EFAULT);
        }
        // Scatter-gather: libusb sends a bulk transfer as one URB, as the
        // instrument's announced length expects.
        const uint32_t v = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
        std::memcpy(caps->data, &v, sizeof v);
        return complete(0);
    }
    case USBDEVFS_GETDRIVER: return complete(ENODATA);  // no kernel driver bound
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: return complete(ClaimFor(c, *node));
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET: return complete(0);
    case USBDEVFS_SUBMITURB: return Submit(client, c, *node);
    default: return FALSE;
    }
}

gboolean UmockdevBus::Submit(UMockdevIoctlClient* client, Client& c, Node& node) {
    GError* error = nullptr;
    UMockdevIoctlData* urb_data =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb), &error);
    auto fail = [&](int errno_value) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, errno_value);
        return TRUE;
    };
    if (!urb_data) return fail(EFAULT);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urb_data->data);
    if (urb->buffer_length < 0) return fail(EINVAL);
    UMockdevIoctlData* buf = nullptr;
    if (urb->buffer_length > 0) {
        buf = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length),
                                          &error);
        if (!buf) return fail(EFAULT);
    }
    uint8_t none = 0;
    uint8_t* data = buf ? buf->data : &none;
    size_t done = 0;
    int r = kUsbOk;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->buffer_length < 8) return fail(EINVAL);
        const uint8_t type = data[0], req = data[1];
        const uint16_t value = uint16_t(data[2] | data[3] << 8);
        const uint16_t index = uint16_t(data[4] | data[5] << 8);
        const uint16_t length = std::min<uint16_t>(uint16_t(data[6] | data[7] << 8), uint16_t(urb->buffer_length - 8));
        SimInstrument* inst = bus_.Find(node.path);
        if (type == 0x80 && req == 6 && (value >> 8) == 1 && inst) {
            const auto d = DeviceDescriptor(inst->config().product_id, uint8_t(inst->packet_size()));
            done = std::min<size_t>(length, d.size());
            std::memcpy(data + 8, d.data(), done);
        } else if (type == 0x80 && req == 6 && (value >> 8) == 2 && c.handle) {
            r = c.handle->ReadConfigDescriptor(data + 8, length, &done);
        } else if (type == 0x80 && req == 6 && (value >> 8) == 2 && inst) {
            // Anyone may read it without claiming the interface.
            const auto d = inst->ConfigDescriptor();
            done = std::min<size_t>(length, d.size());
            std::memcpy(data + 8, d.data(), done);
        } else if (type == 0x80 && req == 0) {
            // GET_STATUS: bus powered, no remote wake-up.
            done = std::min<size_t>(length, 2);
            std::memset(data + 8, 0, done);
        } else if (type == kVendorOutRequestType) {
            if (const int e = ClaimFor(c, node)) return fail(e);
            r = c.handle->ControlOut(req, value, index, data + 8, length, kControlTimeoutMs, &done);
        } else if (!(type & 0x80)) {
            // Standard requests without a data stage (features, interfaces) change nothing here.
        } else {
            r = kUsbErrorPipe;
        }
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
        if (const int e = ClaimFor(c, node)) return fail(e);
        const uint32_t n = uint32_t(urb->buffer_length);
        // A URB carries no timeout: an unanswered transfer stays pending until
        // libusb gives up and discards it.
        r = (urb->endpoint & 0x80) ? c.handle->BulkIn(urb->endpoint, data, n, 0, &done)
                                   : c.handle->BulkOut(urb->endpoint, data, n, 0, &done);
    } else {
        return fail(EINVAL);
    }
    if (r == kUsbErrorNoDevice) {
        // It left the bus; its descriptors meet "no device" from now on.
        node.alive = false;
        return fail(ENODEV);
    }
    urb->actual_length = int(done);
    urb->status = UrbStatus(r);
    auto* kept = UMOCKDEV_IOCTL_DATA(g_object_ref(urb_data));
    if (r == kUsbErrorTimeout) c.waiting.push_back(kept);
    else c.done.push_back(kept);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

void UmockdevBus::Reap(UMockdevIoctlClient* client, Client& c, bool gone) {
    if (c.done.empty() && gone && !c.waiting.empty()) {
        // What was still pending when the device left ends as the kernel ends it.
        auto* urb = reinterpret_cast<usbdevfs_urb*>(c.waiting.front()->data);
        urb->status = -ESHUTDOWN;
        urb->actual_length = 0;
        c.done.push_back(c.waiting.front());
        c.waiting.pop_front();
    }
    if (c.done.empty()) {
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    GError* error = nullptr;
    UMockdevIoctlData* slot =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), &error);
    if (!slot) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    UMockdevIoctlData* urb = c.done.front();
    c.done.pop_front();
    umockdev_ioctl_data_set_ptr(slot, 0, urb);
    g_object_unref(urb);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UmockdevBus::Discard(UMockdevIoctlClient* client, Client& c) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong addr = 0;
    std::memcpy(&addr, arg->data, std::min(sizeof addr, size_t(arg->data_len)));
    for (auto it = c.waiting.begin(); it != c.waiting.end(); ++it) {
        if ((*it)->client_addr != addr) continue;
        // A discarded URB is still reaped, with -ENOENT.
        auto* urb = reinterpret_cast<usbdevfs_urb*>((*it)->data);
        urb->status = -ENOENT;
        urb->actual_length = 0;
        c.done.push_back(*it);
        c.waiting.erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    // Already completed: nothing to discard.
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

}  // namespace vesk::sim
