// libFuzzer target: the language-file reader on arbitrary file contents.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/engine.h"
#include "log/evt_log.h"

namespace {
std::string g_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    const char* tmp = std::getenv("TMPDIR");
    g_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-fuzz-lang-" +
             std::to_string(::getpid()) + ".xml";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    CEngine engine;
    const bool clean = engine.LeggiXML(g_path);
    // A clean reading has no problems recorded; every problem is recorded.
    if (clean != engine.errors.empty()) std::abort();
    for (const auto& [key, value] : engine.table) {
        // A translation is never empty: an empty one stands for its key.
        if (value.empty() && !key.empty()) std::abort();
    }
    ::unlink(g_path.c_str());
    return 0;
}
