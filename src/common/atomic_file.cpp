#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vesk {

namespace {

// Flushes the folder so that the rename itself survives a power loss; a
// folder that cannot be flushed does not undo the save.
void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool AtomicFileWriter::Fail(const std::string& why) {
    error_ = why;
    Discard();
    return false;
}

bool AtomicFileWriter::Open(const std::string& path, FileTarget target) {
    Discard();
    error_.clear();
    target_ = path;
    if (path.empty() || path.back() == '/') return Fail("\"" + path + "\" names no file");
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            if (target == FileTarget::OwnName) return Fail(path + " is a symbolic link: refused");
            // The file the link names is replaced; the link stays.
            char resolved[PATH_MAX];
            if (!::realpath(path.c_str(), resolved) || ::stat(resolved, &st) != 0)
                return Fail(path + " is a link to nothing: refused");
            if (!S_ISREG(st.st_mode))
                return Fail(path + " is a link to " + kind_of(st.st_mode) + ", not a regular file: refused");
            target_ = resolved;
        } else if (!S_ISREG(st.st_mode)) {
            return Fail(path + " is " + kind_of(st.st_mode) + ", not a regular file: refused");
        }
    } else if (errno != ENOENT) {
        return Fail(path + ": " + std::strerror(errno));
    }
    const size_t slash = target_.rfind('/');
    folder_ = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    const std::string prefix = (slash == std::string::npos ? std::string() : folder_) + "." + name + ".";
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = prefix + std::to_string(::getpid()) + "." + std::to_string(attempt) + ".tmp";
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd_ < 0 && errno != EEXIST) {
            const int e = errno;
            temp_.clear();
            return Fail(path + " cannot be created: " + std::strerror(e));
        }
    }
    if (fd_ < 0) {
        temp_.clear();
        return Fail(path + " cannot be created: no free temporary name");
    }
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd_, old.st_mode & 07777);
    return true;
}

bool AtomicFileWriter::Write(const void* data, size_t size) {
    if (fd_ < 0) return error_.empty() ? Fail(target_ + " is not open") : false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail(target_ + " could not be written: " + std::strerror(n < 0 ? errno : ENOSPC));
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool AtomicFileWriter::Commit() {
    if (fd_ < 0) return error_.empty() ? Fail(target_ + " is not open") : false;
    if (::fsync(fd_) != 0) return Fail(target_ + " could not be written: " + std::strerror(errno));
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Fail(target_ + " could not be written: " + std::strerror(errno));
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        return Fail(target_ + " could not be replaced: " + std::strerror(errno));
    temp_.clear();
    sync_folder(folder_);
    return true;
}

bool write_file_atomically(const std::string& path, const void* data, size_t size, FileTarget target,
                           std::string* why) {
    AtomicFileWriter w;
    const bool ok = w.Open(path, target) && w.Write(data, size) && w.Commit();
    if (!ok && why) *why = w.Error();
    return ok;
}

}  // namespace vesk
