#include "common/str_conv.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

struct Utf8Case {
    const char* name;
    std::string utf8;
    std::wstring wide;  // empty: the UTF-8 is invalid
};

TEST(StrConv, Utf8RoundTripsAndRejectsInvalidInput) {
    const Utf8Case cases[] = {
        {"empty", "", L""},
        {"ascii", "abc", L"abc"},
        {"two bytes", "\xC3\xA8", L"\u00E8"},
        {"three bytes", "\xE2\x82\xAC", L"\u20AC"},
        {"four bytes", "\xF0\x9F\x98\x80", std::wstring(1, static_cast<wchar_t>(0x1F600))},
        {"lone continuation", "a\x80", L""},
        {"truncated", "\xE2\x82", L""},
        {"overlong slash", "\xC0\xAF", L""},
        {"overlong three", "\xE0\x80\xAF", L""},
        {"surrogate", "\xED\xA0\x80", L""},
        {"above unicode", "\xF4\x90\x80\x80", L""},
        {"latin1 byte", "caf\xE9", L""},
    };
    StrConv conv;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(conv.Utf8ToWide(c.utf8), c.wide);
        if (!c.wide.empty()) {
            EXPECT_EQ(conv.WideToUtf8(c.wide), c.utf8);
        }
    }
}

TEST(StrConv, WideThatIsNotUnicodeGivesEmpty) {
    StrConv conv;
    EXPECT_EQ(conv.WideToUtf8(std::wstring(L"a") + static_cast<wchar_t>(0xD800)), "");
    EXPECT_EQ(conv.WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "");
    EXPECT_EQ(conv.WideToWide(L"x\u00E8"), L"x\u00E8");
}

TEST(StrConv, AnsiFollowsTheLocale) {
    StrConv conv;
    const char* old = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = old ? old : "C";
    // Under "C" only ASCII converts; other characters give the empty string.
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(conv.WideToAnsi(L"abc"), "abc");
    EXPECT_EQ(conv.AnsiToWide("abc"), L"abc");
    EXPECT_EQ(conv.WideToAnsi(L"\u20AC"), "");
    EXPECT_EQ(conv.Utf8ToAnsi("\xE2\x82\xAC"), "");
    if (std::setlocale(LC_CTYPE, "C.UTF-8")) {
        EXPECT_EQ(conv.WideToAnsi(L"\u20AC"), "\xE2\x82\xAC");
        EXPECT_EQ(conv.AnsiToWide("\xE2\x82\xAC"), L"\u20AC");
        EXPECT_EQ(conv.AnsiToUtf8("\xE2\x82\xAC"), "\xE2\x82\xAC");
        EXPECT_EQ(conv.AnsiToWide("\xE2\x82"), L"");
    }
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(StrConvNum, TextForms) {
    StrConvNum n;
    struct {
        std::wstring got, want;
    } cases[] = {
        {n.IntToText(-42), L"-42"},
        {n.IntToText(INT32_MIN), L"-2147483648"},
        {n.FloatToText(1.5f), L"1.500000"},
        {n.DoubleToText(1.5), L"1.5"},
        {n.DoubleToText(1.0 / 3.0), L"0.333333"},
        {n.DoubleToText(1234567.0), L"1.23457e+06"},
        {n.DoubleToText(2.0 / 3.0, 2, true), L"0.67"},
        {n.DoubleToText(2.0 / 3.0, 2, false), L"0.67"},
        {n.DoubleToText(1234.5, -1, true), L"1234.500000"},
        {n.UIntToText(4294967295u), L"4294967295"},
        {n.BoolToText(true), L"1"},
        {n.BoolToText(false), L"0"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(StrConvNum, ReadingText) {
    StrConvNum n;
    EXPECT_EQ(n.TextToInt(L"123abc"), 123);
    EXPECT_EQ(n.TextToInt(L"-7"), -7);
    EXPECT_EQ(n.TextToInt(L"abc"), 0);
    EXPECT_EQ(n.TextToUInt(L"4000000000"), 4000000000u);
    EXPECT_DOUBLE_EQ(n.TextToDouble(L"2.25"), 2.25);
    EXPECT_FLOAT_EQ(n.TextToFloat(L"1.5"), 1.5f);

    struct {
        const wchar_t* text;
        bool value;
    } bools[] = {{L"0", false}, {L"1", true}, {L"false", true}, {L"", true}, {L"no", true}, {L"00", true}};
    for (const auto& b : bools) EXPECT_EQ(n.TextToBool(b.text), b.value);
}

}  // namespace
