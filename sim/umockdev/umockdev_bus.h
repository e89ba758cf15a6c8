#pragma once
// Serves the instruments of a simulated bus as USB devices of a umockdev
// testbed: sysfs entries with their device and configuration descriptors, a
// device node per instrument whose usbdevfs requests the bus answers, and the
// "remove" and "add" uevents when an instrument leaves the bus and comes back
// (a mode switch, a restart, a cable). A program running under umockdev's
// preload with this testbed meets the instruments through the system's libusb
// as it would meet real ones.
//
// umockdev calls the request handler on its own worker thread; everything that
// touches the bus is serialised here, so code that drives the bus while devices
// are served goes through WithBus.
#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_bus.h"

namespace vesk::sim {

class UmockdevBus {
public:
    // Neither is owned; both must outlive this object. Takes the bus's
    // presence observer for itself.
    UmockdevBus(UMockdevTestbed* testbed, SimBus& bus);
    ~UmockdevBus();
    UmockdevBus(const UmockdevBus&) = delete;
    UmockdevBus& operator=(const UmockdevBus&) = delete;

    // Adds every instrument now on the bus (and the hubs its port chains go
    // through). False with *error when the testbed refuses a device.
    bool Start(std::string* error);

    // Lets due returns happen on the bus and mirrors every departure and return
    // since the last call into the testbed. Call it from the thread that made
    // the testbed, often (a few milliseconds apart) while a program runs.
    void Sync();

    // Runs f(bus) while no request is being answered.
    template <typename F>
    decltype(auto) WithBus(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(bus_);
    }

    // The device node ("/dev/bus/usb/001/002") that serves an instrument now;
    // empty while it is away from the bus.
    std::string DeviceNode(const std::string& path);

    // The device descriptor a served instrument reports.
    static std::vector<uint8_t> DeviceDescriptor(uint16_t product_id, uint8_t ep0_packet);

private:
    struct Node;
    struct Client;
    struct Change {
        bool arrived;
        std::string path;
    };

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void OnClientClosed(GObject* client, GParamSpec*, gpointer self);

    // All of these run with mutex_ held.
    Client& ClientFor(UMockdevIoctlClient* client);
    void OnPresence(bool arrived, const std::string& path);
    gboolean Handle(UMockdevIoctlClient* client);
    gboolean Submit(UMockdevIoctlClient* client, Client& c, Node& node);
    int ClaimFor(Client& c, const Node& node);
    // A program that ended while its request was being answered is never
    // told closed by the testbed: its socket is looked at instead, and what
    // it held is released, as the kernel does for a real device.
    void ReleaseEndedClients(const Client* asking = nullptr);
    void Reap(UMockdevIoctlClient* client, Client& c, bool gone);
    void Discard(UMockdevIoctlClient* client, Client& c);

    // Testbed changes; called without mutex_ held.
    bool AddDevice(const std::string& path, std::string* error);
    void RemoveDevice(const std::string& path);
    bool AddHubs(const std::string& path, std::string* error);

    UMockdevTestbed* testbed_;
    SimBus& bus_;
    UMockdevIoctlBase* handler_;
    std::mutex mutex_;
    std::deque<Change> changes_;
    // By device node; a node stays known (and dead) after its device left, so
    // that a program still holding it gets "no device".
    std::map<std::string, std::unique_ptr<Node>> nodes_;
    std::map<std::string, std::string> node_of_path_;  // instruments on the bus now
    std::map<const UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
    std::map<int, int> next_devnum_;  // per bus; a return gets a new address, as on real hardware
    std::vector<std::string> hubs_;
};

}  // namespace vesk::sim
