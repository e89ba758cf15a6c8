#include "log/evt_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cwchar>

#include "common/diag.h"
#include "common/exe_path_name.h"
#include "common/file_system.h"
#include "common/path_file.h"
#include "common/str_conv.h"
#include "common/terminal_text.h"

namespace vesk {

namespace {

std::mutex g_path_mutex;
std::string g_log_path;
std::atomic<FILE*> g_console{stdout};

std::mutex g_capture_mutex;
std::vector<LogCapture*> g_captures;

const char* level_name(LogLevel l) { return l == LogLevel::Info ? "INFO" : "ERROR"; }

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

// One write with O_APPEND: lines of concurrent writers never interleave.
// The log's name is the program's own: a link or a FIFO under it is not
// written through.
void append_to_file(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) return;
    [[maybe_unused]] ssize_t w = ::write(fd, line.data(), line.size());
    ::close(fd);
}

// One event is one line: a line break or another control character in a
// message (a file name, a text from an instrument) is written escaped, as on
// a terminal, so no argument can end the line early or forge one.
std::string escape_controls(const std::string& message) { return vesk::ShowControls(message); }

void emit(LogLevel level, const char* method, int line, const std::string& raw_message,
          bool console) {
    const std::string message = escape_controls(raw_message);
    const std::string file_line = format_file_line(level, method, line, message);
    if (console) {
        if (FILE* out = g_console.load()) {
            const std::string c = format_console_line(level, method, line, message);
            std::fwrite(c.data(), 1, c.size(), out);
            std::fflush(out);
        }
    }
    const std::string path = log_file_path();
    if (!path.empty()) append_to_file(path, file_line);
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    for (auto* c : g_captures) c->add(file_line);
}

// The common helpers below the log report their errors through this sink.
void diag_to_log(const char* method, int line, const std::string& message) {
    emit(LogLevel::Error, method, line, message, true);
}
const bool g_diag_installed = (set_diag_error_sink(&diag_to_log), true);

}  // namespace

// Built by appending: chained operator+ trips a false -Wrestrict in GCC 12.
std::string format_console_line(LogLevel level, const char* method, int line,
                                const std::string& message) {
    std::string out = " ";
    out.append(method ? method : "").append(" [").append(std::to_string(line)).append("]: ");
    out.append(level_name(level)).append("; = ").append(message).append("\n\r");
    return out;
}

std::string format_file_line(LogLevel level, const char* method, int line,
                             const std::string& message) {
    std::string out(method ? method : "");
    out.append(" [").append(std::to_string(line)).append("] ");
    out.append(level_name(level)).append(" = ").append(message).append("\n");
    return out;
}

void log_event(LogLevel level, const char* method, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string msg = vformat(fmt, ap);
    va_end(ap);
    emit(level, method, line, msg, true);
}

void log_file_only(LogLevel level, const char* method, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string msg = vformat(fmt, ap);
    va_end(ap);
    emit(level, method, line, msg, false);
}

void set_log_console(FILE* stream) { g_console.store(stream); }

FILE* log_console() { return g_console.load(); }

void set_log_file_path(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_path_mutex);
    g_log_path = path;
}

std::string log_file_path() {
    std::lock_guard<std::mutex> lock(g_path_mutex);
    return g_log_path;
}

LogCapture::LogCapture() {
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    g_captures.push_back(this);
}

LogCapture::~LogCapture() {
    std::lock_guard<std::mutex> lock(g_capture_mutex);
    g_captures.erase(std::remove(g_captures.begin(), g_captures.end(), this), g_captures.end());
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

void LogCapture::add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
}

}  // namespace vesk

std::wstring CEvtLogUtils::LogFileName(const std::wstring& short_name, const std::tm* t) {
    std::wstring name = L"zu_";
    if (t) {
        wchar_t buf[32];
        std::swprintf(buf, 32, L"%04d%02d%02d_%02d%02d%02d_", t->tm_year + 1900, t->tm_mon + 1,
                      t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec);
        name += buf;
    }
    return name + short_name + L"_U.log";
}

void CEvtLogUtils::SetupLogFileIn(const std::wstring& folder, const std::wstring& short_name,
                                  const std::tm* local_time) {
    FS fs;
    CPathFile pf;
    // A link in our own folder's place: no log file rather than one written,
    // and old logs pruned, wherever it points.
    if (vesk::program_folder_is_link(folder)) return;
    // Creating folders ends with a fixed wait; a folder already there needs none.
    if (!fs.IsFolder(folder)) fs.CreateFolders(folder, true);
    std::vector<std::wstring> logs;
    fs.ListFiles(folder, logs, L"*.log");
    // Names start with the date and time, so the first listed are the oldest;
    // this run's file will be the tenth.
    if (logs.size() >= 10) {
        const size_t drop = logs.size() - 9;
        for (size_t i = 0; i < drop; ++i) ::unlink(vesk::to_utf8(pf.Join(folder, logs[i])).c_str());
    }
    vesk::set_log_file_path(vesk::to_utf8(pf.Join(folder, LogFileName(short_name, local_time))));
}

void CEvtLogUtils::SetupLogFile(const std::wstring& short_name) {
    CExePathName exe;
    if (exe.FolderNoSlash().empty()) return;
    const std::wstring folder = vesk::writable_folder(exe.Folder(), L"logs/");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    const bool have_time = now != static_cast<std::time_t>(-1) && ::localtime_r(&now, &local);
    SetupLogFileIn(folder, short_name, have_time ? &local : nullptr);
}

void CEvtLogUtils::ReleaseLogFile() { vesk::set_log_file_path(std::string()); }
