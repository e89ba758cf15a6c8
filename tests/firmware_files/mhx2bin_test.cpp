#include "firmware_files/mhx2bin.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "log/evt_log.h"
#include "srec_writer.h"
#include "../support/temp_dir.h"

namespace {

using vesk::sim::SRecord;

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

std::string Rec(int type, uint32_t address, const std::vector<uint8_t>& data) {
    return SRecord(type, address, data.data(), data.size());
}

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// 2026-03-09 14:07:00 UTC
constexpr time_t kMtime = 1773065220;

class MHX2BinTest : public ::testing::Test {
protected:
    std::wstring Write(const std::string& name, const std::string& content) {
        dir_.write(name, content);
        const utimbuf times{kMtime, kMtime};
        ::utime(dir_.file(name).c_str(), &times);
        return W(dir_.file(name));
    }
    static uint32_t Le32(const uint8_t* p) {
        return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    static uint16_t WordSum(const uint8_t* p, size_t from, size_t to) {
        uint32_t s = 0;
        for (size_t i = from; i < to; i += 2) s += p[i] | p[i + 1] << 8;
        return static_cast<uint16_t>(s);
    }

    vesk::test::TempDir dir_;
    vesk::LogCapture log_;
};

TEST_F(MHX2BinTest, OneRecordFileGetsDataAndHeader) {
    const auto data = Bytes(16, 0xA0);
    const auto file = Write("one.mhx", Rec(1, 0x0010, data));
    CMHX2Bin bin(0x100, 0);
    ASSERT_TRUE(bin.LoadFileMhx(file, false, -1));
    const uint8_t* img = bin.GetBinBuffPtr();
    for (size_t i = 0x10; i < 0x20; ++i) EXPECT_EQ(img[i], data[i - 0x10]) << i;
    for (size_t i = 0x20; i < 0x100; ++i) ASSERT_EQ(img[i], 0xFF) << i;
    EXPECT_EQ(Le32(img), 8u);
    EXPECT_EQ(Le32(img + 4), WordSum(img, 0x10, 0x20));
    const std::vector<uint8_t> stamp(img + 8, img + 16);
    EXPECT_EQ(stamp, (std::vector<uint8_t>{0, 0, 0x14, 0x07, 0x09, 0x03, 0x20, 0x26}));
}

TEST_F(MHX2BinTest, WithoutHeaderLeavesTheFirstBytesErased) {
    const auto file = Write("one.mhx", Rec(1, 0x0010, Bytes(16, 0xA0)));
    CMHX2Bin bin(0x100, 0);
    ASSERT_TRUE(bin.LoadFileMhx(file, true, -1));
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(bin.GetBinBuffPtr()[i], 0xFF) << i;
    EXPECT_EQ(bin.GetBinBuffPtr()[0x10], 0xA0);
}

TEST_F(MHX2BinTest, OddEndExtendsTheChecksumRange) {
    const auto file = Write("odd.mhx", Rec(1, 0x0010, Bytes(17, 1)));
    CMHX2Bin bin(0x100, 0);
    ASSERT_TRUE(bin.LoadFileMhx(file, false, -1));
    const uint8_t* img = bin.GetBinBuffPtr();
    EXPECT_EQ(Le32(img), 9u);  // (0x22 - 0x10) / 2
    EXPECT_EQ(Le32(img + 4), WordSum(img, 0x10, 0x22));
}

TEST_F(MHX2BinTest, ChecksumOffsetStartsAtTheGivenImageOffset) {
    const auto file = Write("off.mhx", Rec(2, 0xFFC040, Bytes(8, 0x30)));
    CMHX2Bin bin(0x4000, 0xFFC000);
    ASSERT_TRUE(bin.LoadFileMhx(file, false, 16));
    const uint8_t* img = bin.GetBinBuffPtr();
    EXPECT_EQ(Le32(img), (0x48u - 0x10u) / 2);
    EXPECT_EQ(Le32(img + 4), WordSum(img, 0x10, 0x48));
}

TEST_F(MHX2BinTest, LineFormsLoadTheSameImage) {
    const std::string lf = SRecord(0, 0, reinterpret_cast<const uint8_t*>("hdr"), 3) +
                           Rec(3, 0x20, Bytes(20, 0x5A)) + Rec(2, 0x40, Bytes(3, 0xC0)) +
                           SRecord(7, 0) + SRecord(8, 0) + SRecord(9, 0);
    std::string lower, crlf;
    for (const char c : lf) lower.push_back(c == 'S' ? c : static_cast<char>(std::tolower(c)));
    for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"lf", lf},
        {"lower", lower},
        {"crlf", crlf},
        {"blank lines and no final line end", "\n\r\n" + lf.substr(0, lf.size() - 1)},
        // The reader holds 1 MB at a time: a record cut by its end, and a
        // header record longer than all of it, passed over.
        {"record across the read buffer's end", std::string((1 << 20) - 7, '\n') + lf},
        {"header record longer than the read buffer", "S0" + std::string(3 << 20, '0') + "\n" + lf},
    };
    CMHX2Bin ref(0x100, 0);
    ASSERT_TRUE(ref.LoadFileMhx(Write("ref.mhx", lf), false, -1));
    for (const auto& c : cases) {
        CMHX2Bin bin(0x100, 0);
        ASSERT_TRUE(bin.LoadFileMhx(Write("f.mhx", c.text), false, -1)) << c.name;
        EXPECT_EQ(0, std::memcmp(ref.GetBinBuffPtr(), bin.GetBinBuffPtr(), 0x100)) << c.name;
    }
}

TEST_F(MHX2BinTest, RecordsOutsideTheImageAreSkipped) {
    // Below, across the start, across the end and beyond the image [0x1000, 0x1040).
    const auto file = Write("out.mhx", Rec(1, 0x0F00, Bytes(16, 1)) + Rec(1, 0x0FF8, Bytes(16, 0x10)) +
                                           Rec(1, 0x1038, Bytes(16, 0x20)) +
                                           Rec(3, 0xFFFFFFF8, Bytes(8, 0x40)));
    CMHX2Bin bin(0x40, 0x1000);
    ASSERT_TRUE(bin.LoadFileMhx(file, true, -1));
    const uint8_t* img = bin.GetBinBuffPtr();
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(img[i], 0x18 + i);
    for (size_t i = 8; i < 0x38; ++i) EXPECT_EQ(img[i], 0xFF);
    for (size_t i = 0x38; i < 0x40; ++i) EXPECT_EQ(img[i], 0x20 + i - 0x38);
}

// A misfiled file (a booter file given for the firmware area, say) must not
// load as an erased image: a load that puts no byte into the image fails with
// one ERROR line, in both modes.
TEST_F(MHX2BinTest, LoadWithNoByteInsideTheImageFails) {
    struct Case {
        const char* what;
        std::string text;
        int call;  // 0 LoadFileMhx into [0xFFC000, 0x1000000), 1 and 2 the derived images
        bool without_header;
        const char* line;
    };
    const Case cases[] = {
        {"booter area file given for another area", Rec(2, 0x100000, Bytes(32, 0)), 0, true,
         "CMHX2Bin::LoadFileMhx"},
        {"same, with header", Rec(2, 0x100000, Bytes(32, 0)), 0, false, "CMHX2Bin::LoadFileMhx"},
        {"records below and beyond the image",
         Rec(2, 0xFFBFF0, Bytes(16, 1)) + Rec(3, 0x1000000, Bytes(16, 2)), 0, false,
         "CMHX2Bin::LoadFileMhx"},
        {"data at the last address, unit image", Rec(3, 0xFFFFFFFF, Bytes(1, 0x42)), 1, false,
         "CMHX2Bin::GetBinBuffPtrAndLen"},
        {"data at the last address, page image", Rec(3, 0xFFFFFFFF, Bytes(2, 0x42)), 2, false,
         "CMHX2Bin::GetBinBuffPtrAndLen_Generic"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        const auto file = Write("misfiled.mhx", c.text);
        if (c.call == 0) {
            CMHX2Bin bin(0x4000, 0xFFC000);
            EXPECT_FALSE(bin.LoadFileMhx(file, c.without_header, -1));
        } else {
            CMHX2Bin bin(file);
            uint16_t sum = 1;
            uint32_t start = 0, end = 0;
            EXPECT_EQ(c.call == 1 ? bin.GetBinBuffPtrAndLen(sum, start, end)
                                  : bin.GetBinBuffPtrAndLen_Generic(sum, start, end),
                      nullptr);
            EXPECT_EQ(bin.GetBinBuffPtr(), nullptr);
        }
        const auto lines = log_.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(" ERROR = No S record data inside the image ("), std::string::npos)
            << lines[0];
        EXPECT_NE(lines[0].find(dir_.file("misfiled.mhx")), std::string::npos) << lines[0];
    }
    // One byte inside is enough.
    CMHX2Bin bin(0x4000, 0xFFC000);
    EXPECT_TRUE(bin.LoadFileMhx(Write("edge.mhx", Rec(2, 0xFFBFF0, Bytes(17, 1))), true, -1));
    EXPECT_EQ(bin.GetBinBuffPtr()[0], 17);
}

TEST_F(MHX2BinTest, TinyImageGetsOnlyThePartOfTheHeaderThatFits) {
    const auto file = Write("t.mhx", Rec(1, 0, Bytes(4, 9)));
    CMHX2Bin bin(4, 0);
    ASSERT_TRUE(bin.LoadFileMhx(file, false, -1));
    EXPECT_EQ(Le32(bin.GetBinBuffPtr()), 2u);
}

TEST_F(MHX2BinTest, SecondFileOverlaysTheFirst) {
    CMHX2Bin bin(0x40, 0);
    ASSERT_TRUE(bin.LoadFileMhx(Write("a.mhx", Rec(1, 0x20, Bytes(4, 1))), true, -1));
    ASSERT_TRUE(bin.LoadFileMhx(Write("b.mhx", Rec(1, 0x22, Bytes(4, 0x10))), true, -1));
    const uint8_t* img = bin.GetBinBuffPtr();
    EXPECT_EQ((std::vector<uint8_t>(img + 0x20, img + 0x27)),
              (std::vector<uint8_t>{1, 2, 0x10, 0x11, 0x12, 0x13, 0xFF}));
}

TEST_F(MHX2BinTest, PreparaBufferRefillsAndGrows) {
    CMHX2Bin bin(0x10, 0);
    ASSERT_TRUE(bin.LoadFileMhx(Write("a.mhx", Rec(1, 0, Bytes(16, 0))), true, -1));
    ASSERT_TRUE(bin.PreparaBuffer(8, 0x100));
    EXPECT_EQ(bin.GetBinBuffLen(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(bin.GetBinBuffPtr()[i], 0xFF);
    ASSERT_TRUE(bin.PreparaBuffer(0x40, 0));
    ASSERT_TRUE(bin.LoadFileMhx(Write("b.mhx", Rec(1, 0x3F, Bytes(1, 7))), true, -1));
    EXPECT_EQ(bin.GetBinBuffPtr()[0x3F], 7);
}

TEST_F(MHX2BinTest, BadInputFailsWithItsMessage) {
    const std::string good = Rec(1, 0x10, Bytes(4, 1));
    std::string bad_sum = good;
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    std::string short_count = good;
    short_count[3] = '6';  // one byte fewer than the line holds
    std::string long_count = good;
    long_count[3] = '8';
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> messages;
    } cases[] = {
        {"S5 record", good + SRecord(5, 1), {"ERROR = Unknown S record Type", "Exception caught: Unknown S record Type"}},
        {"S4 record", "S4030000FC\n", {"Exception caught: Unknown S record Type"}},
        {"no S", "X1070010010203040E\n", {"Exception caught: Unknown S record Type"}},
        {"one character", "S\n", {"Exception caught: Unknown S record Type"}},
        {"three characters", "S11\n", {"Exception caught: Not valid Hex code in SRecord"}},
        {"address cut", "S1070\n", {"Exception caught: Not valid Hex code in SRecord"}},
        {"data cut", good.substr(0, 12) + "\n", {"Exception caught: Not valid Hex code in SRecord"}},
        {"non-hex data", "S1070010G1020304E5\n", {"Exception caught: Not valid Hex code in SRecord"}},
        {"non-ASCII", "S1070010\xC3\xA9" "020304E5\n", {"Exception caught: Not valid Hex code in SRecord"}},
        {"NUL inside", std::string("S107001001\0" "20304E5\n", 19), {"Exception caught: Not valid Hex code in SRecord"}},
        {"checksum", good + bad_sum, {"Exception caught: S record checksum error in file ", "f.mhx line 2"}},
        {"count smaller than line", short_count, {"S record byte count does not match the line in file ", "f.mhx line 1"}},
        {"count larger than line", long_count, {"S record byte count does not match the line in file "}},
        {"count below address", "S1020000FD\n", {"S record byte count does not match the line in file "}},
        {"checksum missing", good.substr(0, good.size() - 3) + "\n", {"S record byte count does not match the line"}},
        {"trailing text", good.substr(0, good.size() - 1) + "00\n", {"S record byte count does not match the line"}},
        {"overlong line", "S1" + std::string(5000, '0') + "\n", {"S record byte count does not match the line"}},
        {"overlap", good + Rec(1, 0x13, Bytes(2, 0)), {"S record overlaps earlier data in file ", "f.mhx line 2"}},
        {"empty file", "", {"No S record data in file "}},
        {"only header records", SRecord(0, 0) + SRecord(9, 0), {"No S record data in file "}},
    };
    for (const auto& c : cases) {
        log_.clear();
        CMHX2Bin bin(0x100, 0);
        EXPECT_FALSE(bin.LoadFileMhx(Write("f.mhx", c.text), false, -1)) << c.name;
        for (const auto& m : c.messages) EXPECT_TRUE(log_.contains(m)) << c.name << ": " << m;
        // A failed load gets no header.
        EXPECT_EQ(Le32(bin.GetBinBuffPtr()), 0xFFFFFFFFu) << c.name;
    }
}

TEST_F(MHX2BinTest, FileThatCannotBeReadFails) {
    dir_.mkdir("folder.mhx");
    const auto unreadable = Write("locked.mhx", Rec(1, 0, Bytes(2, 0)));
    ::chmod(dir_.file("locked.mhx").c_str(), 0);
    const bool root = ::geteuid() == 0;
    struct Case {
        std::wstring path;
        std::string message;
    } cases[] = {
        {W(dir_.file("missing.mhx")), "Cannot find file "},
        {L"", "Cannot find file "},
        {W(dir_.file("folder.mhx")), "Cannot open file "},
    };
    for (const auto& c : cases) {
        log_.clear();
        CMHX2Bin bin(0x10, 0);
        EXPECT_FALSE(bin.LoadFileMhx(c.path, false, -1));
        EXPECT_TRUE(log_.contains(c.message)) << c.message;
    }
    if (!root) {
        CMHX2Bin bin(0x10, 0);
        EXPECT_FALSE(bin.LoadFileMhx(unreadable, false, -1));
        EXPECT_TRUE(log_.contains("Cannot open file "));
    }
}

TEST_F(MHX2BinTest, HugeFileWithoutLineEndsFailsInBoundedMemory) {
    // 700 MB of NUL bytes (sparse, within the size accepted): one endless
    // line, kept only as far as a record can go.
    const std::string path = dir_.file("huge.mhx");
    dir_.write("huge.mhx", "");
    ASSERT_EQ(::truncate(path.c_str(), 700LL << 20), 0);
    CMHX2Bin bin(0x100, 0);
    EXPECT_FALSE(bin.LoadFileMhx(W(path), false, -1));
    EXPECT_TRUE(log_.contains("Exception caught: Unknown S record Type"));
    // Beyond it the file is refused before a byte is read.
    ASSERT_EQ(::truncate(path.c_str(), 1LL << 30), 0);
    log_.clear();
    EXPECT_FALSE(bin.LoadFileMhx(W(path), false, -1));
    EXPECT_TRUE(log_.contains("Cannot open file " + path + ": not a regular file of at most 805306368 bytes"));
}

TEST_F(MHX2BinTest, Hex2DecReadsBothCasesAndComplainsAboutLength) {
    CMHX2Bin bin(0x10, 0);
    EXPECT_EQ(bin.Hex2Dec("aBcD", 4), 0xABCDu);
    EXPECT_EQ(bin.Hex2Dec("0123456789", 9), 0x12345678u);  // wraps, as 9 digits do
    EXPECT_TRUE(log_.contains("len = 9 -->error"));
}

TEST_F(MHX2BinTest, CallsOfTheOtherModeAreRefused) {
    const auto file = Write("a.mhx", Rec(1, 0, Bytes(2, 0)));
    CMHX2Bin derived(file);
    EXPECT_FALSE(derived.LoadFileMhx(file, false, -1));
    EXPECT_TRUE(log_.contains("Wrong software function call"));
    log_.clear();
    uint16_t sum = 0;
    uint32_t start = 0, end = 0;
    ASSERT_NE(derived.GetBinBuffPtrAndLen(sum, start, end), nullptr);
    EXPECT_EQ(derived.GetBinBuffPtrAndLen_Generic(sum, start, end), nullptr);
    EXPECT_TRUE(log_.contains("Wrong software function call"));
    // A converter of the first mode has no file of its own.
    CMHX2Bin fixed(0x10, 0);
    EXPECT_EQ(fixed.GetBinBuffPtrAndLen(sum, start, end), nullptr);
    EXPECT_TRUE(log_.contains("Cannot find file "));
}

// Second mode: the range comes from the file.
TEST_F(MHX2BinTest, DerivedRangeStartsPerAlignment) {
    const std::string s3 = Rec(3, 0x00090010, Bytes(16, 0x11)) + Rec(3, 0x00090021, Bytes(3, 0x70));
    const std::string s2 = Rec(2, 0x012345, Bytes(4, 1)) + Rec(2, 0x013000, Bytes(2, 5));
    struct Case {
        const char* name;
        std::string text;
        bool generic;
        uint32_t start, end;
    } cases[] = {
        {"512K unit", s3, false, 0x80000, 0x90024},
        {"S3 exact", s3, true, 0x90010, 0x90024},
        {"S2 page", s2, true, 0x010000, 0x013002},
        {"S2 512K unit", s2, false, 0x000000, 0x013002},
    };
    for (const auto& c : cases) {
        CMHX2Bin bin(Write("d.mhx", c.text));
        uint16_t sum = 1;
        uint32_t start = 0, end = 0;
        const uint8_t* img = c.generic ? bin.GetBinBuffPtrAndLen_Generic(sum, start, end)
                                       : bin.GetBinBuffPtrAndLen(sum, start, end);
        ASSERT_NE(img, nullptr) << c.name;
        EXPECT_EQ(start, c.start) << c.name;
        EXPECT_EQ(end, c.end) << c.name;
        EXPECT_EQ(bin.GetBinBuffLen(), c.end - c.start) << c.name;
        EXPECT_EQ(sum, WordSum(img, 0, (c.end - c.start) & ~1u)) << c.name;
        if (c.text == s3) {
            EXPECT_EQ(img[0x90010 - start], 0x11) << c.name;
            EXPECT_EQ(img[0x90020 - start], 0xFF) << c.name;
            EXPECT_EQ(img[0x90023 - start], 0x72) << c.name;
        } else {
            EXPECT_EQ(img[0x012345 - start], 1) << c.name;
            EXPECT_EQ(img[0x013001 - start], 6) << c.name;
        }
    }
}

TEST_F(MHX2BinTest, DerivedRangeFailures) {
    struct Case {
        const char* name;
        std::string text;
        std::string message;
    } cases[] = {
        {"S5", SRecord(5, 0), "Exception caught Unknown S record Type"},
        {"checksum", "S1070010010203040F\n", "Exception caught S record checksum error in file "},
        {"no data", SRecord(0, 0), "No S record data in file "},
        {"too large", Rec(3, 0, Bytes(1, 0)) + Rec(3, 0xF0000000, Bytes(1, 0)),
         "There's not enough memory to perform conversion "},
        {"overlap", Rec(3, 0x10, Bytes(4, 0)) + Rec(3, 0x12, Bytes(4, 0)),
         "Exception caught S record overlaps earlier data in file "},
    };
    for (const auto& c : cases) {
        log_.clear();
        CMHX2Bin bin(Write("d.mhx", c.text));
        uint16_t sum = 0;
        uint32_t start = 0, end = 0;
        EXPECT_EQ(bin.GetBinBuffPtrAndLen_Generic(sum, start, end), nullptr) << c.name;
        EXPECT_TRUE(log_.contains(c.message)) << c.name;
    }
    CMHX2Bin missing(W(dir_.file("none.mhx")));
    uint16_t sum = 0;
    uint32_t start = 0, end = 0;
    EXPECT_EQ(missing.GetBinBuffPtrAndLen(sum, start, end), nullptr);
    EXPECT_TRUE(log_.contains("Cannot find file "));
}

}  // namespace
