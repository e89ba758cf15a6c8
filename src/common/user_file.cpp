#include "common/user_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk {

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

template <class Buffer>
bool read_into(const std::string& path, size_t max_bytes, Buffer& out, std::string& why) {
    // Not blocking: opening a FIFO would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (::fstat(fd, &st) != 0) {
        why = path + " cannot be read: " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = path + " is " + kind_of(st.st_mode) + ", not a regular file";
    } else if (static_cast<uintmax_t>(st.st_size) > max_bytes) {
        why = path + " has " + std::to_string(st.st_size) + " bytes, more than the " + std::to_string(max_bytes) +
              " accepted";
    } else {
        out.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        ok = true;
        while (got < out.size()) {
            const ssize_t n = ::read(fd, reinterpret_cast<char*>(out.data()) + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                why = path + " cannot be read: " + std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0) break;  // the file shrank meanwhile: what is there
            got += static_cast<size_t>(n);
        }
        out.resize(got);
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool read_user_file(const std::string& path, size_t max_bytes, std::string& out, std::string& why) {
    return read_into(path, max_bytes, out, why);
}

bool read_user_file(const std::string& path, size_t max_bytes, std::vector<uint8_t>& out, std::string& why) {
    return read_into(path, max_bytes, out, why);
}

}  // namespace vesk
