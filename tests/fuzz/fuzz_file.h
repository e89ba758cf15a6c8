#pragma once
// The fuzz targets hand their input to the readers as a file: a per-process
// path under TMPDIR (or /tmp), written afresh for every input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vesk::fuzz {

inline std::string TempPath(const std::string& stem, const std::string& extension) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-fuzz-" + stem + "-" +
           std::to_string(::getpid()) + extension;
}

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace vesk::fuzz
