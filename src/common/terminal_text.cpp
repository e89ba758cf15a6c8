#include "common/terminal_text.h"

#include <cstdarg>

namespace vesk {

std::string ShowControls(std::string_view text, bool keep_newlines) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto hex = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\n') {
            out += keep_newlines ? "\n" : "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            hex(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // C1 controls (U+0080 to U+009F) are two bytes in UTF-8.
            hex(c);
            hex(next);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A byte that starts no valid UTF-8 sequence (a lone 0x9B is CSI on
            // an 8-bit terminal) is shown; a whole valid sequence stays.
            const size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            bool valid = len != 0 && i + len <= text.size();
            for (size_t k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (!valid) {
                hex(c);
                continue;
            }
            out.append(text.substr(i, len));
            i += len - 1;
        }
    }
    return out;
}

namespace term_detail {

std::string Format(const char* fmt, ...) {
    va_list ap, copy;
    va_start(ap, fmt);
    va_copy(copy, ap);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string s;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        s.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        s.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(s.data(), s.size(), fmt, ap);
        s.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return s;
}

void Put(FILE* out, const std::string& formatted) { std::fwrite(formatted.data(), 1, formatted.size(), out); }

}  // namespace term_detail

}  // namespace vesk
