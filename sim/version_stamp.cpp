#include "version_stamp.h"

#include <cstring>

namespace vesk::sim {

namespace {
bool Printable(uint8_t c) { return c >= 0x20 && c < 0x7F; }
}  // namespace

std::vector<uint8_t> MakeVersionStamp(const std::string& version) {
    if (version.empty() || version.size() > kVersionStampMaxText) return {};
    std::vector<uint8_t> out(kVersionStampMagic, kVersionStampMagic + kVersionStampMagicSize);
    uint8_t sum = static_cast<uint8_t>(version.size());
    out.push_back(sum);
    for (const char ch : version) {
        const auto c = static_cast<uint8_t>(ch);
        if (!Printable(c)) return {};
        out.push_back(c);
        sum = static_cast<uint8_t>(sum + c);
    }
    out.push_back(static_cast<uint8_t>(0x100 - sum));
    return out;
}

bool FindVersionStamp(const uint8_t* image, size_t size, std::string& version, size_t* offset) {
    if (!image) return false;
    const uint8_t* p = image;
    const uint8_t* const stop = image + size;
    while (static_cast<size_t>(stop - p) >= kVersionStampMagicSize + 2) {
        const void* hit = std::memchr(p, kVersionStampMagic[0],
                                      static_cast<size_t>(stop - p) - kVersionStampMagicSize - 1);
        if (!hit) return false;
        p = static_cast<const uint8_t*>(hit);
        const size_t left = static_cast<size_t>(stop - p);
        if (std::memcmp(p, kVersionStampMagic, kVersionStampMagicSize) == 0) {
            const uint8_t len = p[kVersionStampMagicSize];
            if (len >= 1 && len <= kVersionStampMaxText && left >= kVersionStampMagicSize + len + 2) {
                const uint8_t* text = p + kVersionStampMagicSize + 1;
                uint8_t sum = len;
                bool ok = true;
                for (size_t i = 0; i < len; ++i) {
                    ok = ok && Printable(text[i]);
                    sum = static_cast<uint8_t>(sum + text[i]);
                }
                sum = static_cast<uint8_t>(sum + text[len]);
                if (ok && sum == 0) {
                    version.assign(reinterpret_cast<const char*>(text), len);
                    if (offset) *offset = static_cast<size_t>(p - image);
                    return true;
                }
            }
        }
        ++p;
    }
    return false;
}

}  // namespace vesk::sim
