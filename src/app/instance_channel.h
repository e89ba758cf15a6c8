#pragma once
// The two registered messages of the single-instance handshake,
// "ALTRA_ISTANZA-{...}" (which window is the running instance?) and
// "CHI_BLOCCA-{...}" (does that instance hold lock n?), carried on per-user
// Unix sockets in the abstract namespace. The running instance serves them on
// its window's event loop; a second start asks and waits at most 200 ms on the
// process clock for the answer.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

class IHwEventLoop;

namespace vesk {
class IClock;
}

namespace vesk::instance {

inline constexpr const wchar_t* kAltraIstanza = L"ALTRA_ISTANZA-{75E82CA0-002E-47bb-BAAB-EFC2373EC66D}";
inline constexpr const wchar_t* kChiBlocca = L"CHI_BLOCCA-{E9BC501E-98E7-4685-AA35-5674EC0187C5}";
// The longest a second start waits for an answer.
inline constexpr uint32_t kAnswerWaitMs = 200;

// The abstract socket name (without its leading NUL) of message for the
// instances that share the single-instance lock file lock_path: two programs
// that could not see each other's lock never meet on the socket either.
std::string SocketName(const std::wstring& message, const std::string& lock_path);

// Sends request on the socket and returns the number answered; none when
// nobody listens, the peer closes without answering, or no answer came within
// kAnswerWaitMs of the process clock.
std::optional<long> Ask(const std::string& socket_name, const std::string& request);
// The same, waiting on the given clock.
std::optional<long> Ask(const std::string& socket_name, const std::string& request, vesk::IClock& clock);

// Serves both messages on an event loop. Only peers of this user are
// answered; anything but the two requests is dropped unanswered.
class CInstanceServer {
public:
    struct Handlers {
        // "ALTRA_ISTANZA": bring the window forward and return the window id.
        std::function<long()> altra_istanza;
        // "CHI_BLOCCA n": the lock object's StoBloccando(n).
        std::function<long(int)> chi_blocca;
    };

    CInstanceServer(IHwEventLoop& loop, Handlers handlers);
    ~CInstanceServer();
    CInstanceServer(const CInstanceServer&) = delete;
    CInstanceServer& operator=(const CInstanceServer&) = delete;

    // Starts listening on the two sockets named after lock_path; false (with
    // an ERROR line) when a socket cannot be bound, for example because
    // another instance serves it.
    bool Listen(const std::string& lock_path);
    // Requests being read, not yet answered.
    size_t PendingCount() const { return pending_.size(); }

private:
    void Accept(int listen_fd, bool altra_istanza);
    void Serve(int fd, bool altra_istanza);
    void Drop(int fd);

    IHwEventLoop& loop_;
    Handlers handlers_;
    int altra_fd_ = -1;
    int chi_fd_ = -1;
    // Accepted connections still waiting for their request, oldest first by serial.
    std::map<int, uint64_t> pending_;
    uint64_t next_serial_ = 0;
};

}  // namespace vesk::instance
