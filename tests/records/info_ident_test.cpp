#include "records/info_ident.h"

#include <gtest/gtest.h>

#include <random>

namespace {

INFOIDENT with_firmware(uint8_t major, uint8_t minor, uint8_t build, uint16_t in_esec = 0) {
    INFOIDENT id;
    id.SetFirmwareVersion(major, minor, build);
    id.set_firmInEsec(in_esec);
    return id;
}

TEST(INFOIDENT, FieldsAreLittleEndianAtTheirOffsets) {
    uint8_t raw[128];
    for (int i = 0; i < 128; ++i) raw[i] = static_cast<uint8_t>(i);
    INFOIDENT id;
    id.FromBytes(raw, sizeof raw);
    EXPECT_EQ(id.loggerCode(), 0x07060504u);
    EXPECT_EQ(id.ID_logger(), 0x13121110u);
    EXPECT_EQ(id.verFirm(), 0x1B1A1918u);
    EXPECT_EQ(id.firmInEsec(), 0x1D1Cu);
    EXPECT_EQ(id.tipoFamBoot(), 0x1F1Eu);
    EXPECT_EQ(id.u32(INFOIDENT::kDwPersonaliz), 0x3A393837u);  // unaligned
    EXPECT_EQ(id.Variante_Ident(), 0x3Bu);
    EXPECT_EQ(id.ACCcal(), 0x7F7Eu);
    id.set_loggerCode(0xA1B2C3D4);
    EXPECT_EQ(id.data()[4], 0xD4);
    EXPECT_EQ(id.data()[7], 0xA1);
    EXPECT_EQ(INFOIDENT().loggerCode(), 0u);
}

TEST(INFOIDENT, VersionTextsAndNumbers) {
    struct {
        uint8_t major, minor, build;
        uint16_t in_esec;
        const wchar_t* text;
        uint32_t number;
    } cases[] = {
        {0x01, 0x05, 0x07, 0, L" 1.05.07", 10507},
        {0x01, 0x05, 0x07, 16, L" 1.05.07", 0},
        {0x43, 0x04, 0x01, 1, L"43.04.01", 430401},
        {0x1A, 0x05, 0x00, 0, L"1A.05.00", 1},
        {0x00, 0x00, 0x00, 0, L" 0.00.00", 0},
    };
    for (const auto& c : cases) {
        const INFOIDENT id = with_firmware(c.major, c.minor, c.build, c.in_esec);
        EXPECT_EQ(id.FirmwareVersionText(), c.text);
        EXPECT_EQ(id.FirmwareVersionNumber(), c.number);
    }
    INFOIDENT id = with_firmware(0x01, 0x05, 0x07);
    EXPECT_EQ(id.data()[0x18], 0x00);
    EXPECT_EQ(id.data()[0x19], 0x07);
    EXPECT_EQ(id.GetMajorMinor(), 0x0105);
    EXPECT_EQ(id.GetBuild(), 0x07);
    EXPECT_EQ(id.GetFirmwareVersionWord(), 0x01050700u);
}

TEST(INFOIDENT, BooterVersion) {
    struct {
        uint8_t major, minor;
        const wchar_t* text;
        uint32_t number;
    } cases[] = {{0x02, 0x10, L"02.10", 210}, {0x1A, 0x05, L"1A.05", 1}, {0x00, 0x00, L"00.00", 0}};
    for (const auto& c : cases) {
        INFOIDENT id;
        id.set_u8(INFOIDENT::kVerBooter + 2, c.major);
        id.set_u8(INFOIDENT::kVerBooter + 3, c.minor);
        EXPECT_EQ(id.BooterVersionText(), c.text);
        EXPECT_EQ(id.BooterVersionNumber(), c.number);
    }
}

TEST(INFOIDENT, Comparisons) {
    struct {
        uint8_t build;
        uint16_t ref;
        uint32_t ref_build;
        bool older, newer;
    } cases[] = {
        {0, 0x4304, 1, true, false},
        {1, 0x4304, 1, false, false},
        {2, 0x4304, 1, false, true},
        {0, 0x4304, 0, false, false},
        {1, 0x4304, 0, false, false},
        {9, 0x4304, 255, false, false},   // 255 ignores the build
        {9, 0x4304, 0x1FF, false, false},  // so does any low byte 255
        {9, 0x4305, 0, true, false},
        {9, 0x4303, 200, false, true},
    };
    for (const auto& c : cases) {
        const INFOIDENT id = with_firmware(0x43, 0x04, c.build);
        EXPECT_EQ(id.IsFirmwareOlderThan(c.ref, c.ref_build), c.older) << int(c.build) << " " << c.ref_build;
        EXPECT_EQ(id.IsFirmwareNewerThan(c.ref, c.ref_build), c.newer) << int(c.build) << " " << c.ref_build;
    }
}

TEST(INFOIDENT, BooterStateGearCalAndSerial) {
    INFOIDENT id;
    EXPECT_FALSE(id.IsInBooter());
    EXPECT_TRUE(id.IsInBooterOrZero());
    id.set_firmInEsec(16);
    EXPECT_TRUE(id.IsInBooter());
    id.set_firmInEsec(1);
    EXPECT_FALSE(id.IsInBooterOrZero());
    for (int i = 0; i < 9; ++i) id.set_u16(INFOIDENT::kGearCal + 2 * i, static_cast<uint16_t>(100 + i));
    EXPECT_EQ(id.GetGearCal(8), 108);
    EXPECT_EQ(id.GetGearCal(9), 100);
    EXPECT_EQ(id.GetGearCal(1000), 100);
    id.set_ID_logger(4000000000u);
    EXPECT_EQ(id.GetSerialText(), L"4000000000");
}

TEST(INFOIDENT, DumpText) {
    INFOIDENT id;
    id.set_loggerCode(0x3D);
    id.set_u8(INFOIDENT::kOldQuarv3 + 1, 0xAB);
    id.set_u16(INFOIDENT::kGearCal + 16, 0x7777);  // the ninth value is not printed
    id.set_u16(INFOIDENT::kGearCal, 0x5);
    id.set_u16(INFOIDENT::kAccCal, 0x12);
    const std::wstring dump = id.DumpText();
    EXPECT_EQ(dump.substr(0, 54), L"oldQuarv3[0] - 00\noldQuarv3[1] - AB\noldQuarv3[2] - 00\n");
    EXPECT_NE(dump.find(L"\nloggerCode - 0000003D\n"), std::wstring::npos);
    EXPECT_NE(dump.find(L"\nfirmInEsec - 0000\n"), std::wstring::npos);
    EXPECT_NE(dump.find(L"\nGEARcal[0] - 05\n"), std::wstring::npos);
    EXPECT_NE(dump.find(L"\nGEARcal[7] - 00\nACCcal - 0012\n"), std::wstring::npos);
    EXPECT_EQ(dump.find(L"7777"), std::wstring::npos);
    EXPECT_EQ(dump.find(L"GEARcal[8]"), std::wstring::npos);
    size_t lines = 0;
    for (wchar_t c : dump) lines += c == L'\n';
    EXPECT_EQ(lines, 36u);
}

TEST(INFOFWUPD, DefaultValidityAndChecksum) {
    INFOFWUPD r;
    EXPECT_TRUE(r.IsValid());
    EXPECT_EQ(r.data()[0], 'f');
    EXPECT_EQ(r.u8(3), 1);
    EXPECT_EQ(r.u16(4), 120);
    EXPECT_EQ(r.u16(6), 0);

    r.set_u8(8, 0x03);
    EXPECT_FALSE(r.IsValid());  // right header, wrong checksum
    r.UpdateChecksum();
    EXPECT_TRUE(r.IsValid());
    EXPECT_EQ(r.GetFlags(), 0x03);

    // The 16-bit sum wraps.
    for (size_t i = 8; i < 128; ++i) r.set_u8(i, 0xFF);
    r.UpdateChecksum();
    EXPECT_EQ(r.u16(6), static_cast<uint16_t>(120 * 0xFF));

    INFOFWUPD other("ibr");
    EXPECT_TRUE(other.IsValid());
    INFOFWUPD as_fup;
    as_fup.FromBytes(other.data(), 128);
    EXPECT_FALSE(as_fup.IsValid());  // another tag
    INFOFWUPD bad_len;
    bad_len.set_u16(4, 119);
    EXPECT_FALSE(bad_len.IsValid());
}

TEST(NETIDENT, EntriesAndCounting) {
    NETIDENT t;
    EXPECT_EQ(t.CountSlaves(), 0u);
    // Code 0 is an empty position even with other bytes set.
    t.SetEntry(3, {0, 0xDEADBEEF, 0x55});
    EXPECT_EQ(t.CountSlaves(), 0u);
    t.SetEntry(0, {0x208, 0x11223344, 0});
    t.SetEntry(31, {0x30, 7, 9});
    EXPECT_EQ(t.CountSlaves(), 2u);
    EXPECT_EQ(t.GetEntry(32).loggerCode, 0x208);
    EXPECT_EQ(t.GetEntry(1000).netId, 0x11223344u);
    EXPECT_EQ(t.data()[4], 0x08);
    EXPECT_EQ(t.data()[6], 0x44);

    // A 256-byte read leaves entry 31's last four bytes as they were.
    uint8_t wire[256] = {};
    t.FromBytes(wire, NETIDENT::kReadSize);
    EXPECT_EQ(t.SlaveCode(31), 0);
    EXPECT_EQ(t.GetEntry(31).spare, 9);
    EXPECT_EQ(t.u16(256), 0);  // netId high half
}

TEST(Records, AnyBytesDecodeSafely) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        uint8_t raw[260];
        for (auto& b : raw) b = static_cast<uint8_t>(rng());
        INFOIDENT id;
        id.FromBytes(raw, 128);
        (void)id.DumpText();
        (void)id.FirmwareVersionText();
        (void)id.FirmwareVersionNumber();
        (void)id.BooterVersionNumber();
        EXPECT_LE(id.FirmwareVersionText().size(), 8u);
        NETIDENT t;
        t.FromBytes(raw, 260);
        EXPECT_LE(t.CountSlaves(), 32u);
        INFOFWUPD f;
        f.FromBytes(raw, 128);
        (void)f.IsValid();
    }
}

}  // namespace
