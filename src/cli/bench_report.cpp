#include "bench_report.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk::cli {

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Join(const std::vector<std::string>& parts, const char* between) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? between : "") + parts[i];
    return out;
}

bool WriteAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

const char* const kExists = ": exists already (a report is never written over anything): name a new file";

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The new name for the finished file, never over one that exists.
bool PlaceNew(const std::string& temp, const std::string& path) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: a hard link is made only where nothing is.
    if (::link(temp.c_str(), path.c_str()) != 0) return false;
    ::unlink(temp.c_str());
    return true;
}

}  // namespace

std::string CsvField(const std::string& text) {
    bool quote = false;
    for (const char c : text)
        if (c == ',' || c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) quote = true;
    if (!quote) return text;
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string CsvHeader() {
    return "time,serial,model,before,after,slaves,images,verified,outcome,backup,log\r\n";
}

std::string CsvLine(const BenchRow& row) {
    std::vector<std::string> slaves, images;
    for (const auto& s : row.slaves) slaves.push_back(std::to_string(s.serial) + " " + s.before + " -> " + s.after);
    for (const auto& i : row.images) images.push_back(std::to_string(i.serial) + " " + i.image + " " + i.version);
    const std::vector<std::string> fields = {
        row.time,       row.known ? std::to_string(row.serial) : "", row.model, row.before, row.after,
        Join(slaves, "; "), Join(images, "; "), row.verified ? "yes" : "no", row.outcome, row.backup, row.log};
    std::vector<std::string> quoted;
    for (const auto& f : fields) quoted.push_back(CsvField(f));
    return Join(quoted, ",") + "\r\n";
}

nlohmann::ordered_json RowJson(const BenchRow& row) {
    nlohmann::ordered_json slaves = nlohmann::ordered_json::array(), images = nlohmann::ordered_json::array();
    for (const auto& s : row.slaves) slaves.push_back({{"serial", s.serial}, {"before", s.before}, {"after", s.after}});
    for (const auto& i : row.images) images.push_back({{"serial", i.serial}, {"image", i.image}, {"version", i.version}});
    auto or_null = [](const std::string& s) { return s.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s); };
    return {{"time", row.time},
            {"serial", row.known ? nlohmann::ordered_json(row.serial) : nlohmann::ordered_json(nullptr)},
            {"model", row.model},
            {"before", row.before},
            {"after", row.after},
            {"slaves", slaves},
            {"images", images},
            {"verified", row.verified},
            {"outcome", row.outcome},
            {"backup", or_null(row.backup)},
            {"log", or_null(row.log)}};
}

BenchReport::~BenchReport() {
    if (fd_ >= 0) ::close(fd_);
}

bool BenchReport::Free(const std::string& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) {
        why = path + kExists;
        return false;
    }
    return true;
}

bool BenchReport::Create(const std::string& path, std::string& why) {
    if (!Free(path, why)) return false;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = folder + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC | O_APPEND);
    if (fd < 0) {
        why = Errno(path + ": cannot be made");
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    json_ = EndsWith(path, ".jsonl");
    if (::fchmod(fd, 0666 & ~mask) != 0 || !WriteAll(fd, json_ ? "" : CsvHeader()) || ::fsync(fd) != 0) {
        why = Errno(path + ": cannot be written");
    } else if (!PlaceNew(temp, path)) {
        why = errno == EEXIST ? path + kExists
                              : Errno(path + ": cannot be made");
    } else {
        if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        fd_ = fd;
        path_ = path;
        return true;
    }
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
}

bool BenchReport::Append(const BenchRow& row, std::string& why) {
    if (fd_ < 0) return true;
    const std::string line = json_ ? RowJson(row).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"
                                   : CsvLine(row);
    const off_t whole = ::lseek(fd_, 0, SEEK_END);
    if (whole < 0 || !WriteAll(fd_, line) || ::fsync(fd_) != 0) {
        const int error = errno;
        // Only whole rows stay: a part of this one would read as a row.
        if (whole >= 0 && ::ftruncate(fd_, whole) == 0) (void)::fsync(fd_);
        errno = error;
        why = Errno(path_ + ": the row of " + (row.known ? std::to_string(row.serial) : std::string("an instrument")) +
                    " cannot be written");
        return false;
    }
    return true;
}

}  // namespace vesk::cli
