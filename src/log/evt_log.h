#pragma once
// The event log. Every event is one console line and, once a log file is set
// up, one line appended to that file:
//   console: " <method> [<line>]: INFO; = <message>\n\r"
//   file:    "<method> [<line>] INFO = <message>\n"
// Use the VLOG_* macros; they pass the call site's line number.
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vesk {

enum class LogLevel { Info, Error };

// Writes the console line and the file line.
void log_event(LogLevel level, const char* method, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Writes the file line only (components that log outside the console).
void log_file_only(LogLevel level, const char* method, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Where console lines go: stdout by default; the terminal tool sends them to
// stderr, or nowhere without --verbose. nullptr turns them off.
void set_log_console(FILE* stream);
FILE* log_console();

// The process-wide log file path (UTF-8); empty turns file logging off.
void set_log_file_path(const std::string& path);
std::string log_file_path();

// The two line forms, for one event whose message is already formatted.
std::string format_console_line(LogLevel level, const char* method, int line,
                                const std::string& message);
std::string format_file_line(LogLevel level, const char* method, int line,
                             const std::string& message);

// Records every file line written while it lives (also when file logging is
// off), for tests and for the surfaces that show the log.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // True when some captured line contains text.
    bool contains(const std::string& text) const;
    void clear();

    void add(const std::string& line);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace vesk

#define VLOG_INFO(method, ...) ::vesk::log_event(::vesk::LogLevel::Info, method, __LINE__, __VA_ARGS__)
#define VLOG_ERROR(method, ...) ::vesk::log_event(::vesk::LogLevel::Error, method, __LINE__, __VA_ARGS__)
#define VLOG_FILE_INFO(method, ...) \
    ::vesk::log_file_only(::vesk::LogLevel::Info, method, __LINE__, __VA_ARGS__)
#define VLOG_FILE_ERROR(method, ...) \
    ::vesk::log_file_only(::vesk::LogLevel::Error, method, __LINE__, __VA_ARGS__)

class CEvtLogUtils {
public:
    virtual ~CEvtLogUtils() = default;

    // Prepares the log folder (program folder "logs/", or the per-user state
    // folder when the program folder is not writable), keeps at most nine old
    // "*.log" files there and sets the log file path for this run.
    static void SetupLogFile(const std::wstring& short_name);
    // The same in a given folder at a given local time (nullptr: time unknown).
    static void SetupLogFileIn(const std::wstring& folder, const std::wstring& short_name,
                               const std::tm* local_time);
    // "zu_YYYYMMDD_HHMMSS_<short name>_U.log"; without the date part when the time is unknown.
    static std::wstring LogFileName(const std::wstring& short_name, const std::tm* local_time);
    // Turns file logging off.
    static void ReleaseLogFile();
};
