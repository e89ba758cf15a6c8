// Whole updates in the order of the update run, through the connections' own
// operations, on scenarios that give no flash of their own: each family's
// default layout takes the images, the unit ends up reporting the versions it
// was given and holding the image exactly as written. A write moved into the
// other mode is refused and reported false.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "../support/sim_fixture.h"
#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "device/connection_strumento_base.h"
#include "firmware_files/mhx2bin.h"
#include "sim/sim_flash.h"
#include "sim/sim_net.h"
#include "tool/firmware_maker.h"

namespace {

using vesk::test::SimScenarioJson;
using vesk::test::TempDir;

// Which write of the run happens in the wrong mode, if any.
enum class Misplaced { None, Firmware, Language, Booter };

struct Outcome {
    bool fw = false, lng = false, booter = false;  // what each writer reported
};

class UpdateOrder : public vesk::test::SimFixture {
protected:
    void TearDown() override { Drop(); }
    void Drop() {
        if (run_) IConnectionStrumento::DeleteConnectionToStrumento(run_);
    }
    // A new bus; the connection to the old one goes first.
    void LoadUnits(const std::vector<std::string>& units) {
        Drop();
        Load(SimScenarioJson(units));
    }
    // The one listed instrument, as the run takes it.
    void List() {
        std::vector<CDeviceInfo> list;
        ASSERT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, true));
        ASSERT_EQ(list.size(), 1u);
        info_ = list[0];
    }
    // A connection of the family the identity names, connected and identified.
    bool Connect(bool with_net = false) {
        Drop();
        run_ = IConnectionStrumento::CreateConnectionToStrumento(&info_, L"");
        if (!run_ || !run_->Connetti(&info_)) return false;
        bool ok = false;
        run_->RefreshIdent(with_net, ok);
        return ok;
    }
    // After a switch the unit leaves the bus; the run waits and connects anew.
    bool Reconnect() {
        run_->Chiudi();
        clock_.advance_ms(4400);
        return Connect();
    }
    bool Refresh(bool with_net) {
        bool ok = false;
        run_->RefreshIdent(with_net, ok);
        return ok;
    }
    IAggiornaFW& Fw() { return *run_->GetIAggiornaFW(); }
    CConnectionStrumentoBase& Base() { return dynamic_cast<CConnectionStrumentoBase&>(*run_); }

    // An image over [base, base + size) with gaps, carrying version.
    std::wstring Image(const std::string& name, uint32_t base, uint32_t size, const std::string& version) {
        vesk::sim::FirmwareRequest rq;
        rq.base = base;
        rq.size = size;
        rq.version = version;
        rq.fillPercent = 60;
        std::string error;
        const std::string text = vesk::sim::MakeFirmwareText(rq, error);
        EXPECT_FALSE(text.empty()) << error;
        dir_.write(name, text);
        const std::string p = dir_.file(name);
        return std::wstring(p.begin(), p.end());
    }
    // What the loader makes of a file: the bytes a writer sends.
    static std::vector<uint8_t> Loaded(const std::wstring& path, uint32_t start, uint32_t end,
                                       bool without_header, int32_t offset) {
        CMHX2Bin image(end - start, start);
        EXPECT_TRUE(image.LoadFileMhx(path, without_header, offset));
        return std::vector<uint8_t>(image.GetBinBuffPtr(), image.GetBinBuffPtr() + (end - start));
    }
    // The master's memory over [start, end) as the host reads it back.
    std::vector<uint8_t> ReadBack(uint32_t start, uint32_t end, uint8_t nslave = 0) {
        std::vector<uint8_t> out(end - start);
        for (uint32_t a = start; a < end; a += 0x8000) {
            const uint16_t n = uint16_t(std::min<uint32_t>(0x8000, end - a));
            EXPECT_TRUE(nslave ? Base().ReadMEM_Slave(nslave, a, n, out.data() + (a - start))
                               : Base().ReadMEM_Generic(a, n, out.data() + (a - start)));
        }
        return out;
    }

    TempDir dir_;
    CDeviceInfo info_;
    IConnectionStrumento* run_ = nullptr;
};

// ---- masters ----

struct Family {
    const char* name;
    std::string unit;  // the instrument's scenario object: no flash
    const char* fw;    // the new versions
    const char* booter;  // nullptr: the family has no booter file
    bool language;
};

const Family kFamilies[] = {
    {"Quarv3", R"({"code": 19, "serial": 5, "firmware": "14.86.82", "booter": "02.10", "tipoFamBoot": 2})",
     "14.87.03", "02.11", false},
    {"Quarv4", R"({"code": 63, "serial": 5, "firmware": "43.04.01", "booter": "01.00", "tipoFamBoot": 2})",
     "43.05.02", "01.02", false},
    {"Pell", R"({"code": 64, "serial": 5, "firmware": "46.05.00", "booter": "01.00", "tipoFamBoot": 2})",
     "46.06.01", nullptr, true},
    {"older Pell", R"({"code": 64, "serial": 5, "firmware": "46.02.00", "tipoFamBoot": 2})", "46.02.07",
     nullptr, true},
    {"Quarv4 served as a Pell", R"({"code": 61, "serial": 5, "firmware": "43.04.01", "tipoFamBoot": 2})",
     "43.05.00", nullptr, false},
};

class MasterUpdateOrder : public UpdateOrder {
protected:
    // GotoBooter, reconnect, AggiornaFwFile, GotoFirmware, reconnect,
    // AggiornaLngFile, AggiornaBooterFile; one write may be moved into the
    // other mode (before GotoBooter, or before GotoFirmware).
    Outcome Run(const Family& f, Misplaced wrong) {
        Outcome out;
        LoadUnits({f.unit});
        EXPECT_FALSE(Inst().config().flash);
        List();
        EXPECT_TRUE(Connect());
        const auto fw = Base().FirmwareFile(), lng = Base().LanguageFile(), boot = Base().BooterFile();
        fw_path_ = Image("fw.mhx", fw.start, fw.end - fw.start, f.fw);
        lng_path_ = Image("lng.mhx", lng.start, 0x4000, f.fw);
        booter_path_ = f.booter ? Image("booter.mhx", boot.start, boot.end - boot.start, f.booter) : L"";
        if (wrong == Misplaced::Firmware) out.fw = Fw().AggiornaFwFile(fw_path_);
        EXPECT_TRUE(run_->GotoBooter());
        EXPECT_TRUE(Reconnect());
        EXPECT_TRUE(info_.Ident().IsInBooter());
        if (wrong != Misplaced::Firmware) out.fw = Fw().AggiornaFwFile(fw_path_);
        if (wrong == Misplaced::Language) out.lng = Fw().AggiornaLngFile(lng_path_);
        if (wrong == Misplaced::Booter) out.booter = Fw().AggiornaBooterFile(booter_path_);
        EXPECT_TRUE(run_->GotoFirmware());
        EXPECT_TRUE(Reconnect());
        EXPECT_FALSE(info_.Ident().IsInBooter());
        if (f.language && wrong != Misplaced::Language) out.lng = Fw().AggiornaLngFile(lng_path_);
        if (f.booter && wrong != Misplaced::Booter) out.booter = Fw().AggiornaBooterFile(booter_path_);
        EXPECT_TRUE(Refresh(false));
        return out;
    }

    std::wstring fw_path_, lng_path_, booter_path_;
};

TEST_F(MasterUpdateOrder, EachFamilyEndsWithItsNewVersionsAndTheImageAsWritten) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        const Outcome out = Run(f, Misplaced::None);
        EXPECT_TRUE(out.fw);
        EXPECT_EQ(out.lng, f.language);
        EXPECT_EQ(out.booter, f.booter != nullptr);
        const INFOIDENT& id = info_.Ident();
        EXPECT_EQ(id.FirmwareVersionText(), vesk::from_utf8(f.fw));
        if (f.booter) {
            EXPECT_EQ(id.BooterVersionText(), vesk::from_utf8(f.booter));
        }
        // The firmware region read back through the host: header, stamp,
        // build byte and gaps exactly as the writer sent them, although the
        // identity's extra reads look inside it.
        const auto fw = Base().FirmwareFile();
        EXPECT_TRUE(ReadBack(fw.start, fw.end) == Loaded(fw_path_, fw.start, fw.end, false, -1));
        if (f.language) {
            EXPECT_TRUE(Inst().flash()->language == Loaded(lng_path_, 0xFC0000, 0x1000000, false, 16));
        }
        if (f.booter) {
            const auto b = Base().BooterFile();
            EXPECT_TRUE(Inst().flash()->BooterImage(Inst()) == Loaded(booter_path_, b.start, b.end, true, -1));
        }
        EXPECT_FALSE(log_.contains("ERROR = Error in control write booter"));
    }
}

TEST_F(MasterUpdateOrder, AWriteInTheWrongModeIsRefusedAndReportedFalse) {
    struct Case {
        const Family& family;
        Misplaced wrong;
        const char* line;  // the refused request's line
    } cases[] = {
        {kFamilies[1], Misplaced::Firmware, "Error in control write booter BOOTER_ERASE address 0 len 0"},
        {kFamilies[1], Misplaced::Booter, "Error in control write booter BOOTER_INIZIA address 0 len 0"},
        {kFamilies[2], Misplaced::Language, "CMD_SAVE_BTFWCODE C1 564 C2 65535 C3 0 C4 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Outcome out = Run(c.family, c.wrong);
        EXPECT_EQ(out.fw, c.wrong != Misplaced::Firmware);
        EXPECT_EQ(out.lng, c.family.language && c.wrong != Misplaced::Language);
        EXPECT_EQ(out.booter, c.family.booter && c.wrong != Misplaced::Booter);
        EXPECT_TRUE(log_.contains(c.line));
        // What was refused changed nothing; the rest went in.
        const INFOIDENT& id = info_.Ident();
        EXPECT_EQ(id.FirmwareVersionText() == vesk::from_utf8(c.family.fw), c.wrong != Misplaced::Firmware);
        if (c.family.booter) {
            EXPECT_EQ(id.BooterVersionText() == vesk::from_utf8(c.family.booter), c.wrong != Misplaced::Booter);
        }
        if (c.wrong == Misplaced::Language) {
            const auto& lng = Inst().flash()->language;
            EXPECT_TRUE(std::all_of(lng.begin(), lng.end(), [](uint8_t b) { return b == 0xFF; }));
        }
    }
}

// ---- a slave through its master ----

class SlaveUpdateOrder : public UpdateOrder {
protected:
    static constexpr size_t kSlot = 2;
    static constexpr uint8_t kNumber = 3;

    // The stages of the slave run for one slave: into booter, firmware, into
    // firmware for the booter and back, all into firmware, language.
    Outcome Run(Misplaced wrong) {
        Outcome out;
        // A Pell data logger whose net has a Varnel unit (firmware, language, booter).
        LoadUnits({R"({"code": 65, "serial": 5, "firmware": "46.05.00", "slaves": [
            {"number": 3, "code": 2021, "serial": 77, "firmware": "02.00.00", "booter": "01.00",
             "tipoFamBoot": 2}]})"});
        List();
        EXPECT_TRUE(Connect(true));
        fw_path_ = Image("Slv_Varnel_020105_fw.mhx", 0xFC0000, 0x40000, "02.01.05");
        lng_path_ = Image("Slv_Varnel_020105_lng.mhx", 0xFC0000, 0x2000, "02.01.05");
        booter_path_ = Image("Booter_Slv_Varnel_0103.mhx", 0xDF0000, 0x4000, "01.03");
        auto wake = [&] {
            EXPECT_TRUE(run_->GotoFirmwareSlave(kNumber));
            EXPECT_TRUE(Refresh(true));
            EXPECT_FALSE(Slave().IsInBooter());
        };
        auto to_booter = [&] {
            EXPECT_TRUE(run_->GotoBooterSlave(kNumber));
            EXPECT_TRUE(Refresh(true));
            EXPECT_TRUE(Slave().IsInBooter());
        };
        if (wrong == Misplaced::Firmware) out.fw = Fw().AggiornaFwFileSlave(kSlot, fw_path_);
        to_booter();                                                                   // stage 1
        if (wrong != Misplaced::Firmware) out.fw = Fw().AggiornaFwFileSlave(kSlot, fw_path_);  // stage 2
        if (wrong == Misplaced::Booter) out.booter = Fw().AggiornaBooterFileSlave(kSlot, booter_path_);
        if (wrong == Misplaced::Language) out.lng = Fw().AggiornaLngFileSlave(kSlot, lng_path_);
        wake();                                                                        // stage 3
        if (wrong != Misplaced::Booter) out.booter = Fw().AggiornaBooterFileSlave(kSlot, booter_path_);
        to_booter();
        wake();                                                                        // stage 4
        if (wrong != Misplaced::Language) out.lng = Fw().AggiornaLngFileSlave(kSlot, lng_path_);  // stage 5
        EXPECT_TRUE(Refresh(true));
        return out;
    }
    const INFOIDENT& Slave() { return info_.SlaveIdent(kSlot); }

    std::wstring fw_path_, lng_path_, booter_path_;
};

TEST_F(SlaveUpdateOrder, TheSlaveEndsWithItsNewVersionsAndTheImageAsWritten) {
    const Outcome out = Run(Misplaced::None);
    EXPECT_TRUE(out.fw && out.booter && out.lng);
    EXPECT_EQ(Slave().FirmwareVersionText(), L" 2.01.05");
    EXPECT_EQ(Slave().BooterVersionText(), L"01.03");
    // Read back through the master; the master's fix of the slave identity
    // reads its build byte inside this region.
    EXPECT_TRUE(ReadBack(0xFC0000, 0x1000000, kNumber) == Loaded(fw_path_, 0xFC0000, 0x1000000, false, 16));
    EXPECT_TRUE(vesk::sim::SlaveMemory(Inst(), kNumber, 0xDF0000, 0x4000) ==
                Loaded(booter_path_, 0xDF0000, 0xDF4000, true, -1));
    EXPECT_TRUE(vesk::sim::SlaveLanguage(Inst(), kNumber) == Loaded(lng_path_, 0xFC0000, 0x1000000, false, -1));
    EXPECT_FALSE(log_.contains("ERROR = Error in control write memory"));
}

TEST_F(SlaveUpdateOrder, AWriteInTheWrongModeIsRefusedAndReportedFalse) {
    struct Case {
        Misplaced wrong;
        const char* line;
    } cases[] = {
        {Misplaced::Firmware, "SLAVE_ERASEFIRMWARE address 0 dati 0 nslave 3... Failed erasing fw"},
        {Misplaced::Booter, "SLAVE_BOOTERERASE address 0 dati 0 nslave 3"},
        {Misplaced::Language, "MEM_SLAVE_RWERASE_EFL address 0 dati 259 nslave 3... Failed erasing lng"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Outcome out = Run(c.wrong);
        EXPECT_EQ(out.fw, c.wrong != Misplaced::Firmware);
        EXPECT_EQ(out.booter, c.wrong != Misplaced::Booter);
        EXPECT_EQ(out.lng, c.wrong != Misplaced::Language);
        EXPECT_TRUE(log_.contains(c.line));
        EXPECT_EQ(Slave().FirmwareVersionText() == L" 2.01.05", c.wrong != Misplaced::Firmware);
        EXPECT_EQ(Slave().BooterVersionText() == L"01.03", c.wrong != Misplaced::Booter);
        const auto lng = vesk::sim::SlaveLanguage(Inst(), kNumber);
        EXPECT_EQ(std::all_of(lng.begin(), lng.end(), [](uint8_t b) { return b == 0xFF; }),
                  c.wrong == Misplaced::Language);
    }
}

// ---- key devices ----

struct Key {
    const char* name;
    std::string unit;
    uint32_t booter_base, booter_size;
};

const Key kKeys[] = {
    {"memory key", R"({"code": 112, "serial": 9, "firmware": "01.00.00", "booter": "03.00", "tipoFamBoot": 22})",
     0xFC000, 0x4000},
    {"data key", R"({"code": 111, "serial": 9, "firmware": "01.00.00", "booter": "03.00", "tipoFamBoot": 22})",
     0xFFC000, 0x3000},
};

class KeyUpdateOrder : public UpdateOrder {
protected:
    Outcome Run(const Key& k, Misplaced wrong) {
        Outcome out;
        LoadUnits({k.unit});
        List();
        EXPECT_TRUE(Connect());
        fw_path_ = Image("fw.mot", 0xE0000, 0x18000, "01.02.00");
        booter_path_ = Image("Booter_Keys_0302.mot", k.booter_base, k.booter_size, "03.02");
        if (wrong == Misplaced::Firmware) out.fw = Fw().AggiornaFwFile(fw_path_);
        EXPECT_TRUE(run_->GotoBooter());
        EXPECT_TRUE(Reconnect());
        if (wrong != Misplaced::Firmware) out.fw = Fw().AggiornaFwFile(fw_path_);
        if (wrong == Misplaced::Booter) out.booter = Fw().AggiornaBooterFile(booter_path_);
        EXPECT_TRUE(run_->GotoFirmware());
        EXPECT_TRUE(Reconnect());
        if (wrong != Misplaced::Booter) out.booter = Fw().AggiornaBooterFile(booter_path_);
        EXPECT_TRUE(Refresh(false));
        return out;
    }

    std::wstring fw_path_, booter_path_;
};

TEST_F(KeyUpdateOrder, EachKeyEndsWithItsNewVersionsAndTheImageAsWritten) {
    for (const Key& k : kKeys) {
        SCOPED_TRACE(k.name);
        const Outcome out = Run(k, Misplaced::None);
        EXPECT_TRUE(out.fw && out.booter);
        EXPECT_EQ(info_.Ident().FirmwareVersionText(), L" 1.02.00");
        EXPECT_EQ(info_.Ident().BooterVersionText(), L"03.02");
        EXPECT_FALSE(info_.Ident().IsInBooter());
        // Class 14 reads its build byte at 0xE0020, inside the key's firmware.
        EXPECT_TRUE(ReadBack(0xE0000, 0xF8000) == Loaded(fw_path_, 0xE0000, 0xF8000, false, -1));
    }
}

TEST_F(KeyUpdateOrder, AWriteInTheWrongModeIsRefusedAndReportedFalse) {
    for (const Key& k : kKeys) {
        for (Misplaced wrong : {Misplaced::Firmware, Misplaced::Booter}) {
            SCOPED_TRACE(std::string(k.name) + (wrong == Misplaced::Firmware ? " firmware" : " booter"));
            const Outcome out = Run(k, wrong);
            EXPECT_EQ(out.fw, wrong != Misplaced::Firmware);
            EXPECT_EQ(out.booter, wrong != Misplaced::Booter);
            EXPECT_EQ(info_.Ident().FirmwareVersionText() == L" 1.02.00", wrong != Misplaced::Firmware);
            EXPECT_EQ(info_.Ident().BooterVersionText() == L"03.02", wrong != Misplaced::Booter);
            EXPECT_TRUE(log_.contains(wrong == Misplaced::Firmware ? "BOOTER_ERASE address 0 len 0"
                                                                   : "BOOTER_INIZIA address 0 len 0"));
        }
    }
}

}  // namespace
