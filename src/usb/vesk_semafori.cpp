#include "usb/vesk_semafori.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/str_conv.h"
#include "log/evt_log.h"

namespace {

// The names are read into buffers of this many characters, terminator included.
constexpr size_t kNameBuffer = 64;

// A '/' in the domain or user name would move the lock file out of its folder.
std::wstring FileNameSafe(std::wstring s) {
    for (auto& c : s)
        if (c == L'/') c = L'_';
    return s;
}

std::wstring Utf8Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? vesk::from_utf8(v) : std::wstring();
}

// The holder record: "<pid> <program>\n", never longer than this.
constexpr size_t kHolderMax = 256;

// Written in place under the lock: nobody else writes the file while we hold it.
void WriteHolder(int fd, const std::string& name) {
    std::string program = name.empty() ? std::string(program_invocation_short_name) : name;
    for (char& c : program)
        if (c == '\n') c = ' ';
    std::string line = std::to_string(::getpid()) + " " + program;
    line = line.substr(0, kHolderMax - 1) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, line.data(), line.size(), 0) != ssize_t(line.size()))
        VLOG_ERROR("CVeskSemafori::Blocca", "Lock holder not written: %s", std::strerror(errno));
}

}  // namespace

CVeskSemafori::Place CVeskSemafori::DefaultPlace() {
    Place p;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        p.folder = runtime;
    } else {
        p.folder = "/tmp/vesk-locks-" + std::to_string(::getuid());
        p.create_folder = true;
    }
    p.domain = Utf8Env("USERDOMAIN");
    if (p.domain.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0) p.domain = vesk::from_utf8(host);
    }
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_name && std::strlen(found->pw_name) < kNameBuffer)
        p.user = vesk::from_utf8(found->pw_name);
    return p;
}

CVeskSemafori::CVeskSemafori() : CVeskSemafori(DefaultPlace()) {}

CVeskSemafori::CVeskSemafori(Place place) : place_(std::move(place)) {
    const wchar_t* bases[] = {
        L"{70AA8F2F-4E07-42ce-829A-D999F7D3F11E}",
        L"{C35DA084-1C38-4D8F-8B81-38183A296AC2}",
        L"{F89ADE12-E3F3-4CC3-8D17-C3E7FBC0E70F}",
        L"{C39E6BDA-836F-462C-807D-5A290E25A5CB}",
    };
    int n = 1;
    for (const wchar_t* b : bases) {
        auto e = std::make_unique<Entry>();
        e->base_name = b;
        entries_[n++] = std::move(e);
    }
}

CVeskSemafori::~CVeskSemafori() {
    for (auto& [n, e] : entries_) Sblocca(n);
    entries_.clear();
}

std::wstring CVeskSemafori::LockName(int number) const {
    auto it = entries_.find(number);
    if (it == entries_.end()) return {};
    if (!place_.user || place_.user->size() >= kNameBuffer) return it->second->base_name;
    std::wstring domain = place_.domain.substr(0, kNameBuffer - 1);
    return it->second->base_name + L"-" + FileNameSafe(domain) + L"-" +
           FileNameSafe(*place_.user);
}

std::string CVeskSemafori::LockPath(int number) const {
    std::wstring name = LockName(number);
    if (name.empty()) return {};
    return place_.folder + "/" + vesk::to_utf8(name);
}

// Logs why a take is refused and keeps it for the caller to show.
void CVeskSemafori::Refuse(const char* format, ...) const {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    VLOG_ERROR("CVeskSemafori::Blocca", "%s", text);
    refusal_ = text;
}

// Another user who could write in the folder could take our locks or replace
// the lock files. A private folder of this user is safe. So is a shared folder
// with the sticky bit, such as /tmp, where nobody but a file's owner can remove
// or rename it, provided the folder belongs to root or this user (its owner
// could). The lock file itself is checked when it is opened.
bool CVeskSemafori::FolderIsSafe() const {
    if (place_.folder.empty()) {
        Refuse("Lock folder not set");
        return false;
    }
    if (place_.create_folder && ::mkdir(place_.folder.c_str(), 0700) != 0 && errno != EEXIST) {
        Refuse("Lock folder %s cannot be created: %s", place_.folder.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(place_.folder.c_str(), &st) != 0) {
        Refuse("Lock folder %s unusable: %s", place_.folder.c_str(), std::strerror(errno));
        return false;
    }
    const bool ours = st.st_uid == ::geteuid();
    const bool private_folder = ours && (st.st_mode & 077) == 0;
    const bool sticky_shared = (st.st_mode & S_ISVTX) != 0 && (ours || st.st_uid == 0);
    if (!S_ISDIR(st.st_mode) || !(private_folder || sticky_shared)) {
        Refuse("Lock folder %s refused: neither a private folder of this user nor a shared "
               "folder with the sticky bit (mode %o)",
               place_.folder.c_str(), static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    return true;
}

// In a shared folder the name may already be taken by something else: only a
// regular file of this user is a lock file. A link is never followed, and a
// FIFO cannot block the open.
int CVeskSemafori::OpenLockFile(int number) const {
    const std::string path = LockPath(number);
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    // A link (ELOOP with O_NOFOLLOW) or a folder under the name is refused below.
    if (fd < 0 && errno != ELOOP && errno != EISDIR) {
        Refuse("Lock file %s cannot be opened: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        Refuse("Lock file %s refused: not a regular file of this user", path.c_str());
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

bool CVeskSemafori::HeldByAnother(int number) const {
    auto it = entries_.find(number);
    return it != entries_.end() && it->second->busy;
}

std::optional<CVeskSemafori::Holder> CVeskSemafori::ReadHolder(int number) const {
    const std::string path = LockPath(number);
    if (path.empty()) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    char buf[kHolderMax + 1] = {};
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) n = ::pread(fd, buf, kHolderMax, 0);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    const std::string text(buf, size_t(n));
    const size_t space = text.find(' ');
    const size_t end = text.find('\n');
    if (space == std::string::npos || end == std::string::npos || space > end) return std::nullopt;
    Holder h;
    for (size_t i = 0; i < space; ++i) {
        if (text[i] < '0' || text[i] > '9' || h.pid > 99999999) return std::nullopt;
        h.pid = h.pid * 10 + (text[i] - '0');
    }
    if (h.pid <= 0) return std::nullopt;
    for (const unsigned char c : text.substr(space + 1, end - space - 1)) {
        if (c >= 0x20 && c != 0x7f) {
            h.program += char(c);
            continue;
        }
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", c);
        h.program += esc;
    }
    return h;
}

bool CVeskSemafori::Blocca(int number) {
    auto it = entries_.find(number);
    if (it == entries_.end()) {
        VLOG_ERROR("CVeskSemafori::Blocca", "Invalid request %d", number);
        return false;
    }
    Entry& e = *it->second;
    refusal_.clear();
    if (!FolderIsSafe()) {
        e.held = e.fd >= 0;
        return false;
    }
    // Each take opens its own descriptor: flock locks belong to the open file,
    // so a second take of a held lock fails inside this process too.
    const int fd = OpenLockFile(number);
    // A failed take leaves a lock this process already holds held: its first
    // descriptor still owns it.
    if (fd < 0) {
        e.held = e.fd >= 0;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        e.busy = errno == EWOULDBLOCK;
        ::close(fd);
        e.held = e.fd >= 0;
        return false;
    }
    e.busy = false;
    WriteHolder(fd, holder_name_);
    // A second successful take would otherwise leak the first descriptor.
    if (e.fd >= 0) ::close(e.fd);
    e.fd = fd;
    e.held = true;
    return true;
}

void CVeskSemafori::Sblocca(int number) {
    auto it = entries_.find(number);
    if (it == entries_.end()) {
        VLOG_ERROR("CVeskSemafori::Sblocca", "Invalid request %d", number);
        return;
    }
    Entry& e = *it->second;
    if (e.fd >= 0 && ::flock(e.fd, LOCK_UN) == 0) {
        ::close(e.fd);
        e.fd = -1;
    }
    e.held = false;
}

int CVeskSemafori::StoBloccando(int number) {
    auto it = entries_.find(number);
    if (it == entries_.end()) {
        VLOG_ERROR("CVeskSemafori::StoBloccando", "Invalid request %d", number);
        return 0;
    }
    return it->second->held ? number : 0;
}

int CVeskSemafori::AggiungiSemaforo(const std::wstring& base_name) {
    int n = 6;
    while (entries_.count(n)) ++n;
    auto e = std::make_unique<Entry>();
    e->base_name = base_name;
    entries_[n] = std::move(e);
    return n;
}

std::string CVeskSemafori::HolderText(int number) const {
    const auto holder = ReadHolder(number);
    return holder ? holder->program + " (pid " + std::to_string(holder->pid) + ")" : std::string("another program");
}
