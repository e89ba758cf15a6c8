#include "common/diag.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace vesk {
namespace {
std::atomic<DiagSink> g_sink{nullptr};
}

void set_diag_error_sink(DiagSink sink) { g_sink.store(sink); }

void diag_error(const char* method, int line, const char* fmt, ...) {
    const DiagSink sink = g_sink.load();
    if (!sink) return;
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string message;
    if (n > 0) {
        message.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(message.data(), message.size(), fmt, ap);
        message.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    sink(method, line, message);
}

}  // namespace vesk
