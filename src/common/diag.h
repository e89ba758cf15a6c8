#pragma once
// Error lines from the bottom layer. The common helpers sit below the event
// log, so they report through a sink the log installs; without one (a program
// that never links the log) the lines are dropped.
#include <string>

namespace vesk {

using DiagSink = void (*)(const char* method, int line, const std::string& message);

void set_diag_error_sink(DiagSink sink);

void diag_error(const char* method, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace vesk

#define VDIAG_ERROR(method, ...) ::vesk::diag_error(method, __LINE__, __VA_ARGS__)
