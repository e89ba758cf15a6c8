#pragma once
// Sends the event log's console lines to a temporary file and restores stdout afterwards.
#include <cstdio>
#include <string>

#include "log/evt_log.h"

namespace vesk::test {

class ConsoleCapture {
public:
    ConsoleCapture() : file_(std::tmpfile()) { vesk::set_log_console(file_); }
    ~ConsoleCapture() {
        vesk::set_log_console(stdout);
        std::fclose(file_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
        return s;
    }

private:
    FILE* file_;
};

}  // namespace vesk::test
