#include "app/instance_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "common/str_conv.h"
#include "hwdetect/hw_event_source.h"
#include "log/evt_log.h"

namespace vesk::instance {

namespace {

constexpr const char* kAltraRequest = "ALTRA_ISTANZA";
constexpr const char* kChiRequest = "CHI_BLOCCA ";
constexpr size_t kMaxRequest = 64;
// Connections that opened and sent nothing yet; the oldest goes when one more comes.
constexpr size_t kMaxPending = 8;
constexpr uint32_t kSliceMs = 5;

socklen_t Address(const std::string& name, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t len = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), len);  // sun_path[0] = 0: abstract
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + len);
}

int NewSocket() { return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

// The whole text as a decimal number.
std::optional<long> Number(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno || end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

bool SameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

}  // namespace

std::string SocketName(const std::wstring& message, const std::string& lock_path) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : lock_path) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return vesk::to_utf8(message) + "-" + hex;
}

std::optional<long> Ask(const std::string& socket_name, const std::string& request) {
    return Ask(socket_name, request, process_clock());
}

std::optional<long> Ask(const std::string& socket_name, const std::string& request, IClock& clock) {
    const int fd = NewSocket();
    if (fd < 0) return std::nullopt;
    sockaddr_un addr;
    const socklen_t len = Address(socket_name, addr);
    std::optional<long> answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        const uint64_t deadline = clock.now_ms() + kAnswerWaitMs;
        for (;;) {
            char buf[32];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                answer = Number(std::string(buf, size_t(n)));
                break;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
            if (clock.now_ms() >= deadline) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) continue;
            clock.sleep_ms(kSliceMs);
        }
    }
    ::close(fd);
    return answer;
}

CInstanceServer::CInstanceServer(IHwEventLoop& loop, Handlers handlers)
    : loop_(loop), handlers_(std::move(handlers)) {}

CInstanceServer::~CInstanceServer() {
    while (!pending_.empty()) Drop(pending_.begin()->first);
    for (int fd : {altra_fd_, chi_fd_}) {
        if (fd < 0) continue;
        loop_.Unwatch(fd);
        ::close(fd);
    }
}

bool CInstanceServer::Listen(const std::string& lock_path) {
    const char* method = "CInstanceServer::Listen";
    for (const bool altra : {true, false}) {
        const std::string name = SocketName(altra ? kAltraIstanza : kChiBlocca, lock_path);
        const int fd = NewSocket();
        sockaddr_un addr;
        const socklen_t len = Address(name, addr);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 8) != 0 ||
            !loop_.Watch(fd, POLLIN, [this, fd, altra] { Accept(fd, altra); })) {
            VLOG_ERROR(method, "Can't serve %s: %s", name.c_str(), std::strerror(errno));
            if (fd >= 0) ::close(fd);
            return false;
        }
        (altra ? altra_fd_ : chi_fd_) = fd;
    }
    return true;
}

void CInstanceServer::Accept(int listen_fd, bool altra_istanza) {
    for (;;) {
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!SameUser(fd)) {
            ::close(fd);
            continue;
        }
        if (pending_.size() >= kMaxPending) {
            auto oldest = pending_.begin();
            for (auto it = pending_.begin(); it != pending_.end(); ++it)
                if (it->second < oldest->second) oldest = it;
            Drop(oldest->first);
        }
        if (!loop_.Watch(fd, POLLIN, [this, fd, altra_istanza] { Serve(fd, altra_istanza); })) {
            ::close(fd);
            continue;
        }
        pending_[fd] = next_serial_++;
    }
}

void CInstanceServer::Serve(int fd, bool altra_istanza) {
    char buf[kMaxRequest];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    std::optional<long> answer;
    const std::string request = n > 0 ? std::string(buf, size_t(n)) : std::string();
    if (altra_istanza && request == kAltraRequest && handlers_.altra_istanza) {
        answer = handlers_.altra_istanza();
    } else if (!altra_istanza && request.rfind(kChiRequest, 0) == 0 && handlers_.chi_blocca) {
        const auto lock = Number(request.substr(std::strlen(kChiRequest)));
        if (lock && *lock >= 0 && *lock <= 0x7FFFFFFF) answer = handlers_.chi_blocca(int(*lock));
    }
    if (answer) {
        const std::string text = std::to_string(*answer);
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    Drop(fd);
}

void CInstanceServer::Drop(int fd) {
    if (pending_.erase(fd) == 0) return;
    loop_.Unwatch(fd);
    ::close(fd);
}

}  // namespace vesk::instance
