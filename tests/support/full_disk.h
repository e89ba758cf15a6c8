#pragma once
// A disk that fills up after a given number of bytes per file, without root:
// the file-size limit of this process, with SIGXFSZ ignored so that a write
// past it fails with EFBIG as a write to a full disk fails with ENOSPC.
#include <signal.h>
#include <sys/resource.h>

namespace vesk::test {

class ScopedFullDisk {
public:
    explicit ScopedFullDisk(rlim_t bytes_per_file) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes_per_file;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~ScopedFullDisk() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        ::signal(SIGXFSZ, old_handler_);
    }
    ScopedFullDisk(const ScopedFullDisk&) = delete;
    ScopedFullDisk& operator=(const ScopedFullDisk&) = delete;

private:
    rlimit old_{};
    sighandler_t old_handler_ = SIG_DFL;
};

}  // namespace vesk::test
