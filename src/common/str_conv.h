#pragma once
// Text conversions between the program's wide strings and the narrow forms it
// meets at its edges: UTF-8 (XML, file names) and the locale's character set.
#include <cstdint>
#include <memory>
#include <string>

class IStrConv {
public:
    virtual ~IStrConv() = default;
    // Every conversion returns a new string; invalid input gives an empty one.
    virtual std::string WideToUtf8(const std::wstring& s) const = 0;
    virtual std::wstring Utf8ToWide(const std::string& s) const = 0;
    virtual std::wstring WideToWide(const std::wstring& s) const = 0;
    virtual std::string WideToAnsi(const std::wstring& s) const = 0;
    virtual std::wstring AnsiToWide(const std::string& s) const = 0;
    virtual std::string Utf8ToAnsi(const std::string& s) const = 0;
    virtual std::string AnsiToUtf8(const std::string& s) const = 0;
};

// "ANSI" is the character set of the current C locale (setlocale(LC_ALL, "")
// at start-up); under the "C" locale only ASCII converts.
class StrConv : public IStrConv {
public:
    std::string WideToUtf8(const std::wstring& s) const override;
    std::wstring Utf8ToWide(const std::string& s) const override;
    std::wstring WideToWide(const std::wstring& s) const override { return s; }
    std::string WideToAnsi(const std::wstring& s) const override;
    std::wstring AnsiToWide(const std::string& s) const override;
    std::string Utf8ToAnsi(const std::string& s) const override;
    std::string AnsiToUtf8(const std::string& s) const override;
};

class IStrConvNum {
public:
    virtual ~IStrConvNum() = default;
    virtual std::wstring IntToText(int32_t v) const = 0;
    virtual int32_t TextToInt(const std::wstring& s) const = 0;
    // precision is applied when it is 0 or more; fixed selects fixed notation.
    virtual std::wstring DoubleToText(double v, int precision, bool fixed) const = 0;
    virtual std::wstring DoubleToText(double v) const = 0;
    virtual double TextToDouble(const std::wstring& s) const = 0;
    virtual std::wstring UIntToText(uint32_t v) const = 0;
    virtual uint32_t TextToUInt(const std::wstring& s) const = 0;
    virtual std::wstring FloatToText(float v) const = 0;
    virtual float TextToFloat(const std::wstring& s) const = 0;
    virtual std::wstring BoolToText(bool v) const = 0;
    virtual bool TextToBool(const std::wstring& s) const = 0;
};

class StrConvNum : public IStrConvNum {
public:
    std::wstring IntToText(int32_t v) const override;
    int32_t TextToInt(const std::wstring& s) const override;
    std::wstring DoubleToText(double v, int precision, bool fixed) const override;
    std::wstring DoubleToText(double v) const override;
    double TextToDouble(const std::wstring& s) const override;
    std::wstring UIntToText(uint32_t v) const override;
    uint32_t TextToUInt(const std::wstring& s) const override;
    std::wstring FloatToText(float v) const override;
    float TextToFloat(const std::wstring& s) const override;
    std::wstring BoolToText(bool v) const override { return v ? L"1" : L"0"; }
    bool TextToBool(const std::wstring& s) const override { return s != L"0"; }
};

std::unique_ptr<IStrConv> CreateStrConv();
std::unique_ptr<IStrConvNum> CreateStrConvNum();

namespace vesk {
// Shorthands used across the program (same results as StrConv).
std::string to_utf8(const std::wstring& s);
std::wstring from_utf8(const std::string& s);
}  // namespace vesk
