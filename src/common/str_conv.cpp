#include "common/str_conv.h"

#include <cwchar>
#include <locale>
#include <sstream>

namespace {

bool valid_scalar(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

}  // namespace

namespace vesk {

std::string to_utf8(const std::wstring& s) {
    std::string out;
    if (s.empty()) return out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
        auto c = static_cast<uint32_t>(wc);
        if (!valid_scalar(c)) return {};
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring from_utf8(const std::string& s) {
    std::wstring out;
    if (s.empty()) return out;
    out.reserve(s.size());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const auto b0 = static_cast<uint8_t>(s[i]);
        uint32_t c;
        size_t len;
        if (b0 < 0x80) {
            c = b0;
            len = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            c = b0 & 0x1F;
            len = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            c = b0 & 0x0F;
            len = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            c = b0 & 0x07;
            len = 4;
        } else {
            return {};
        }
        if (len > n - i) return {};
        for (size_t k = 1; k < len; ++k) {
            const auto b = static_cast<uint8_t>(s[i + k]);
            if ((b & 0xC0) != 0x80) return {};
            c = (c << 6) | (b & 0x3F);
        }
        // Overlong forms and values outside Unicode are invalid.
        if ((len == 3 && c < 0x800) || (len == 4 && c < 0x10000) || !valid_scalar(c)) return {};
        out.push_back(static_cast<wchar_t>(c));
        i += len;
    }
    return out;
}

}  // namespace vesk

std::string StrConv::WideToUtf8(const std::wstring& s) const { return vesk::to_utf8(s); }

std::wstring StrConv::Utf8ToWide(const std::string& s) const { return vesk::from_utf8(s); }

std::string StrConv::WideToAnsi(const std::wstring& s) const {
    std::string out;
    if (s.empty()) return out;
    std::mbstate_t st{};
    char buf[MB_LEN_MAX];
    for (wchar_t wc : s) {
        const size_t r = std::wcrtomb(buf, wc, &st);
        if (r == static_cast<size_t>(-1)) return {};
        out.append(buf, r);
    }
    return out;
}

std::wstring StrConv::AnsiToWide(const std::string& s) const {
    std::wstring out;
    if (s.empty()) return out;
    std::mbstate_t st{};
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        wchar_t wc = 0;
        size_t r = std::mbrtowc(&wc, p, left, &st);
        if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) return {};
        if (r == 0) r = 1;  // an embedded NUL is one byte
        out.push_back(wc);
        p += r;
        left -= r;
    }
    return out;
}

std::string StrConv::Utf8ToAnsi(const std::string& s) const { return WideToAnsi(Utf8ToWide(s)); }

std::string StrConv::AnsiToUtf8(const std::string& s) const { return WideToUtf8(AnsiToWide(s)); }

namespace {

// Number texts never depend on the user's locale (no digit grouping).
template <typename T>
std::wstring stream_out(T v, int precision = -1, bool fixed = false) {
    std::wostringstream os;
    os.imbue(std::locale::classic());
    if (fixed) os << std::fixed;
    if (precision >= 0) os.precision(precision);
    os << v;
    return os.str();
}

template <typename T>
T stream_in(const std::wstring& s) {
    std::wistringstream is(s);
    is.imbue(std::locale::classic());
    T v{};
    is >> v;
    return v;
}

}  // namespace

std::wstring StrConvNum::IntToText(int32_t v) const {
    wchar_t buf[13];
    if (std::swprintf(buf, 13, L"%d", v) < 0) return {};
    return buf;
}

int32_t StrConvNum::TextToInt(const std::wstring& s) const { return stream_in<int32_t>(s); }

std::wstring StrConvNum::DoubleToText(double v, int precision, bool fixed) const {
    return stream_out(v, precision, fixed);
}

std::wstring StrConvNum::DoubleToText(double v) const { return stream_out(v); }

double StrConvNum::TextToDouble(const std::wstring& s) const { return stream_in<double>(s); }

std::wstring StrConvNum::UIntToText(uint32_t v) const { return stream_out(v); }

uint32_t StrConvNum::TextToUInt(const std::wstring& s) const { return stream_in<uint32_t>(s); }

std::wstring StrConvNum::FloatToText(float v) const { return stream_out(v, 6, true); }

float StrConvNum::TextToFloat(const std::wstring& s) const { return stream_in<float>(s); }

std::unique_ptr<IStrConv> CreateStrConv() { return std::make_unique<StrConv>(); }

std::unique_ptr<IStrConvNum> CreateStrConvNum() { return std::make_unique<StrConvNum>(); }
