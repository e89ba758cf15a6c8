#include "device/conn_slave_base.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/str_conv.h"
#include "device/update_file_scan.h"
#include "firmware_files/firmup_files_info.h"
#include "firmware_files/mhx2bin.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace {

// Slave requests the master relays.
constexpr uint8_t kSlaveEraseFirmware = 53;  // SLAVE_ERASEFIRMWARE
constexpr uint8_t kSlaveBulkWrite = 55;      // SLAVE_BULKWRITE
constexpr uint8_t kSlaveWriteMainToFirm = 56;  // SLAVE_WRITMAINTOFIRM
constexpr uint8_t kSlaveLanguage = 70;       // MEM_SLAVE_RWERASE_EFL
constexpr uint8_t kSlaveBooterErase = 81;    // SLAVE_BOOTERERASE
constexpr uint8_t kSlaveBooterWrite = 82;    // SLAVE_BOOTERWRITE
constexpr uint16_t kLanguageErase = 259, kLanguageWrite = 258;

enum class Kind { Base, GPS, MemoryKey, GPSAntenna, Glimmo, GlimmoHD };

struct SlaveRow {
    std::vector<uint32_t> codes;
    Kind kind;
    UpdateFileDescriptor fw, lng, boot;
};

const std::vector<SlaveRow>& SlaveTable() {
    static const std::vector<SlaveRow> table = {
        {{58}, Kind::Base, {0xFE0000, 0xFFC000, 0, L"Slv_Dovo3Dash_*_fw.mhx"}, {},
         {0xFFC000, 0x1000000, 0, L"Booter_Slv_Dovo3Dash_*.mhx"}},
        {{105}, Kind::Base, {0xE0000, 0xFC000, 0, L"Slv_Dovo4Display_*_fw.mot"}, {},
         {0xFC000, 0x100000, 0, L"Booter_Slv_Volantrix_*.mot"}},
        {{112}, Kind::MemoryKey, {0, 0, 0, L"MemoryKey_*_fw.mot"}, {}, {}},
        {{321}, Kind::Base, {0xFF0000, 0xFFC000, 0, L"Slv_KestoDash_*_fw.mhx"}, {},
         {0xFFC000, 0x1000000, 0, L"Booter_Slv_KestoDash_*.mhx"}},
        {{2006, 2013, 2014}, Kind::Base, {0xFF0000, 0xFFC000, 0, L"Slv_Lambda_*_fw.mhx"}, {},
         {0xFFC000, 0x1000000, 0, L"Booter_Slv_Lambda_*.mhx"}},
        {{2008, 2017}, Kind::GPS, {0xE0000, 0xF8000, 0, L"Slv_GPS_*_fw.mot"}, {},
         {0xFC000, 0x100000, 0, L"Booter_Dovo4eGPS0304_*.mot"}},
        {{2018}, Kind::GPS, {0xE0000, 0xF8000, 0, L"Slv_GPS_*_fw.mot"}, {},
         {0xFC000, 0x100000, 0, L"Booter_Slv_GPS_05_*.mot"}},
        {{2010, 2011}, Kind::GPS, {0xE0000, 0xFC000, 0, L"Slv_Brona_ChExp_*_fw.mot"}, {},
         {0xFC000, 0x100000, 0, L"Booter_Slv_Brona_ChExp_*.mot"}},
        {{2016}, Kind::Glimmo, {}, {}, {}},
        {{2019}, Kind::GPSAntenna, {}, {}, {}},
        {{2021, 2024, 2025}, Kind::Base, {0xFC0000, 0x1000000, 0, L"Slv_Varnel_*_fw.mhx"},
         {0xFC0000, 0x1000000, 0, L"Slv_Varnel_*_lng.mhx"},
         {0xDF0000, 0xDF4000, 0, L"Booter_Slv_Varnel_*.mhx"}},
        {{2022}, Kind::Base, {0xFE0000, 0xFF8000, 0, L"Slv_TrivoDash_*_fw.mhx"}, {},
         {0xFFC000, 0xFFF000, 0, L"Booter_Slv_TrivoDash_*.mhx"}},
        {{2023}, Kind::GlimmoHD, {}, {}, {}},
    };
    return table;
}

bool AllErased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

uint8_t Sum(const uint8_t* p, size_t n) {
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i) s = uint8_t(s + p[i]);
    return s;
}

// The image of [d.start, d.end) loaded from path; null after the load log line.
std::unique_ptr<CMHX2Bin> Carica(const char* method, const UpdateFileDescriptor& d,
                                 const std::wstring& path, bool booter, int32_t checksum_offset) {
    if (d.end <= d.start) {
        VLOG_ERROR(method, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
        return nullptr;
    }
    auto image = std::make_unique<CMHX2Bin>(d.end - d.start, d.start);
    if (image->LoadFileMhx(path, booter, checksum_offset) && image->GetBinBuffPtr()) return image;
    VLOG_ERROR(method, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
    return nullptr;
}

}  // namespace

CConnSlaveBase::CConnSlaveBase(CUSBConnection& master, const INFOIDENT& ident, uint8_t n,
                               const UpdateFileDescriptor& fw, const UpdateFileDescriptor& lng,
                               const UpdateFileDescriptor& booter)
    : fw_(fw), lng_(lng), boot_(booter), master_(&master), n_(n), serial_(ident.ID_logger()) {}

std::unique_ptr<CConnSlaveBase> CConnSlaveBase::CreateConnToSlave(CUSBConnection& master,
                                                                  const INFOIDENT& ident,
                                                                  uint8_t n) {
    const uint32_t code = ident.loggerCode();
    for (const SlaveRow& r : SlaveTable()) {
        if (std::find(r.codes.begin(), r.codes.end(), code) == r.codes.end()) continue;
        switch (r.kind) {
        case Kind::Base:
            return std::make_unique<CConnSlaveBase>(master, ident, n, r.fw, r.lng, r.boot);
        case Kind::GPS:
            return std::make_unique<CConnSlaveGPS>(master, ident, n, r.fw, r.lng, r.boot);
        case Kind::MemoryKey:
            return std::make_unique<CConnSlaveMemoryKey>(master, ident, n, r.fw, r.lng, r.boot);
        case Kind::GPSAntenna:
            return std::make_unique<CConnSlaveGPSAntenna>(master, ident, n, r.fw, r.lng, r.boot);
        case Kind::Glimmo:
            return std::make_unique<CConnSlaveGlimmo>(master, ident, n, r.fw, r.lng, r.boot);
        case Kind::GlimmoHD:
            return std::make_unique<CConnSlaveGlimmoHD>(master, ident, n, r.fw, r.lng, r.boot);
        }
    }
    VLOG_ERROR("CConnSlaveBase::CreateConnToSlave", "Unmanaged slave code %u", unsigned(code));
    return nullptr;
}

void CConnSlaveBase::SegnaNonAggiornabili(CUSBConnection& master, CDeviceInfo& info) {
    std::vector<uint8_t> known;
    info.GetNonUpdatableSlaves(known);
    for (size_t entry = 0; entry < NETIDENT::kEntries; ++entry) {
        if (info.NetTable().SlaveCode(entry) == 0) continue;
        const auto slave = CreateConnToSlave(master, info.SlaveIdent(entry), uint8_t(entry + 1));
        if (!slave || !slave->IsNonAggiornabile()) continue;
        if (std::find(known.begin(), known.end(), uint8_t(entry)) != known.end()) continue;
        info.AddNonUpdatableSlave(uint8_t(entry));
        known.push_back(uint8_t(entry));
    }
}

std::wstring CConnSlaveBase::CercaFileFirmwareSlaveKind(std::wstring& version,
                                                        const std::wstring& fw_folder,
                                                        const std::wstring& acc_folder,
                                                        CFirmupFilesInfo* catalogue) {
    version.clear();
    if (!catalogue) return version;
    const int slot = int(n_) - 1;
    for (const auto& [index, d] : accessori_) {
        if (index < 0 || index > 2 || d.pattern.empty()) continue;
        FirmupFileList* list = catalogue->GetAccessorioList(index, serial_, slot);
        FirmupFileEntry* chosen = catalogue->GetAccessorio(index, serial_, slot);
        if (!list || !chosen) continue;
        CFirmupFilesInfo::ScanSingolo(acc_folder, d.pattern, *list, serial_);
        CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    }
    version = ScansionaFirmware(fw_folder, fw_.pattern, lng_.pattern,
                                catalogue->GetFwListSlave(slot, serial_),
                                catalogue->GetFwSlave(slot, serial_), serial_);
    return version;
}

std::wstring CConnSlaveBase::CercaFileBooterSlaveKind(std::wstring& version,
                                                      const std::wstring& boot_folder,
                                                      CFirmupFilesInfo* catalogue) {
    version.clear();
    if (!catalogue) return version;
    const int slot = int(n_) - 1;
    version = ScansionaBooter(boot_folder, boot_.pattern, catalogue->GetBooterListSlave(slot, serial_),
                              catalogue->GetBooterSlave(slot, serial_), serial_);
    return version;
}

bool CConnSlaveBase::Blocco(const char* m, const uint8_t* block, uint8_t command, uint32_t address,
                            uint16_t dati) {
    bool relayed = true, filled = true;
    const bool ok = master_->Repeatable({MemoryCommandName(command), address, n_}, [&] {
        // A block that did not reach the main buffer is not relayed: the
        // slave would be given whatever the buffer held before.
        filled = master_->WriteMEM_MainBuff(uint16_t(kBlock), block);
        relayed = filled && master_->CtrlWrite_Memory(kSlaveBulkWrite, 0, uint16_t(kBlock), n_);
        return relayed && master_->CtrlWrite_Memory(command, address, dati, n_);
    });
    if (ok) return true;
    if (!filled)
        VLOG_ERROR(m, "Error writing the main buffer for nslave %u", unsigned(n_));
    else if (!relayed)
        VLOG_ERROR(m, "Error in control write memory SLAVE_BULKWRITE address %u dati %u nslave %u", 0u,
                   unsigned(kBlock), unsigned(n_));
    else
        VLOG_ERROR(m, "Error in control write memory %s address %u dati %u nslave %u", MemoryCommandName(command),
                   unsigned(address), unsigned(dati), unsigned(n_));
    return false;
}

bool CConnSlaveBase::Cancella(uint8_t command, uint32_t address, uint16_t dati) {
    return master_->Repeatable({MemoryCommandName(command), address, n_},
                               [&] { return master_->CtrlWrite_Memory(command, address, dati, n_); });
}

bool CConnSlaveBase::AggFwFile(const std::wstring& path) {
    return ScriviFirmware("CConnSlaveBase::AggFwFile", 0, path);
}

bool CConnSlaveGPS::AggFwFile(const std::wstring& path) {
    return ScriviFirmware("CConnSlaveGPS::AggFwFile", kEraseAddress, path);
}

bool CConnSlaveBase::ScriviFirmware(const char* m, uint32_t erase_address,
                                    const std::wstring& path) {
    const auto image = Carica(m, fw_, path, false, 16);
    if (!image) return false;
    if (!Cancella(kSlaveEraseFirmware, erase_address, 0)) {
        VLOG_ERROR(m,
                   "Error in control write memory SLAVE_ERASEFIRMWARE address %u dati %u nslave "
                   "%u... Failed erasing fw",
                   unsigned(erase_address), 0u, unsigned(n_));
        return false;
    }
    const uint8_t* bytes = image->GetBinBuffPtr();
    const uint32_t size = fw_.end - fw_.start;
    BlockCount count(progress_, WriteKind::Firmware, size / kBlock);
    // The other blocks are still written; a failed one fails the write.
    bool all_sent = true;
    // From the top block down to the region start.
    for (uint32_t j = 1; j <= size / kBlock; ++j) {
        const uint32_t rel = size - j * kBlock;
        const uint32_t address = fw_.start + rel;
        if (AllErased(bytes + rel, kBlock)) {
            count.Handled(0);
            continue;
        }
        const bool sent = Blocco(m, bytes + rel, kSlaveWriteMainToFirm, address, uint16_t(kBlock));
        count.Handled(sent ? kBlock : 0);
        all_sent = all_sent && sent;
    }
    return all_sent;
}

bool CConnSlaveBase::AggLngFile(const std::wstring& path) {
    const char* m = "CConnSlaveBase::AggLngFile";
    const auto image = Carica(m, lng_, path, false, -1);
    if (!image) return false;
    if (!Cancella(kSlaveLanguage, 0, kLanguageErase)) {
        VLOG_ERROR(m,
                   "Error in control write memory MEM_SLAVE_RWERASE_EFL address %u dati %u nslave "
                   "%u... Failed erasing lng",
                   0u, unsigned(kLanguageErase), unsigned(n_));
        return false;
    }
    const uint8_t* bytes = image->GetBinBuffPtr();
    BlockCount count(progress_, WriteKind::Language, (lng_.end - lng_.start) / kBlock);
    // The other blocks are still written; a failed one fails the write.
    bool all_sent = true;
    for (uint32_t rel = 0; lng_.end - lng_.start - rel >= kBlock; rel += kBlock) {
        if (AllErased(bytes + rel, kBlock)) {
            count.Handled(0);
            continue;
        }
        const bool sent = Blocco(m, bytes + rel, kSlaveLanguage, rel, kLanguageWrite);
        count.Handled(sent ? kBlock : 0);
        all_sent = all_sent && sent;
    }
    return all_sent;
}

bool CConnSlaveBase::AggBooterFile(const std::wstring& path) {
    const char* m = "CConnSlaveBase::AggBooterFile";
    const auto image = Carica(m, boot_, path, true, -1);
    if (!image) return false;
    if (!Cancella(kSlaveBooterErase, 0, 0)) {
        VLOG_ERROR(m, "Error in control write memory SLAVE_BOOTERERASE address %u dati %u nslave %u",
                   0u, 0u, unsigned(n_));
        return false;
    }
    const uint8_t* bytes = image->GetBinBuffPtr();
    BlockCount count(progress_, WriteKind::Booter, (boot_.end - boot_.start) / kBlock);
    // The other blocks are still written; a failed one fails the write.
    bool all_sent = true;
    for (uint32_t rel = 0; boot_.end - boot_.start - rel >= kBlock; rel += kBlock) {
        const uint8_t sum = Sum(bytes + rel, kBlock);
        if (AllErased(bytes + rel, kBlock)) {
            count.Handled(0);
            continue;
        }
        // The address field carries the offset within the booter region.
        const uint32_t address = (rel & 0xFFFF) | uint32_t(sum) << 16;
        const bool sent = Blocco(m, bytes + rel, kSlaveBooterWrite, address, uint16_t(kBlock));
        count.Handled(sent ? kBlock : 0);
        all_sent = all_sent && sent;
    }
    return all_sent;
}

bool CConnSlaveBase::AggAccessoriFile(int index, const std::wstring& path) {
    const auto it = accessori_.find(index);
    if (it == accessori_.end()) return false;
    std::ifstream in(std::filesystem::path(vesk::to_utf8(path)), std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty()) return false;
    const uint16_t length = uint16_t(it->second.end - it->second.start);
    // A file shorter than the range is padded as erased flash, never read past.
    if (data.size() < length) data.resize(length, 0xFF);
    // One memory write: one block.
    BlockCount count(progress_, WriteKind::Accessory, 1);
    if (!master_->WriteMEM_Generic(it->second.start, length, data.data(), true)) return false;
    count.Handled(length);
    return true;
}

// ---- what the master does for its slaves ----

namespace {

// The slave connection for slot, or null when the entry is empty or the slave unknown.
std::unique_ptr<CConnSlaveBase> SlaveOf(CConnectionStrumentoBase& master, size_t slot) {
    const CDeviceInfo* info = master.GetDeviceInfo();
    if (!info || slot >= 32) return nullptr;
    if (info->NetTable().SlaveCode(slot) == 0) return nullptr;
    return CConnSlaveBase::CreateConnToSlave(master, info->SlaveIdent(slot), uint8_t(slot + 1));
}

}  // namespace

std::wstring CConnSlaveBase::CercaFirmwareDelSlave(CConnectionStrumentoBase& master,
                                                   std::wstring& version, size_t slot,
                                                   const std::wstring& fw_folder,
                                                   const std::wstring& acc_folder,
                                                   CFirmupFilesInfo* catalogue) {
    version.clear();
    if (const auto slave = SlaveOf(master, slot))
        slave->CercaFileFirmwareSlaveKind(version, fw_folder, acc_folder, catalogue);
    return version;
}

std::wstring CConnSlaveBase::CercaBooterDelSlave(CConnectionStrumentoBase& master,
                                                 std::wstring& version, size_t slot,
                                                 const std::wstring& boot_folder,
                                                 CFirmupFilesInfo* catalogue) {
    version.clear();
    if (const auto slave = SlaveOf(master, slot))
        slave->CercaFileBooterSlaveKind(version, boot_folder, catalogue);
    return version;
}

bool CConnSlaveBase::AggiornaSlave(CConnectionStrumentoBase& master, Scrittura what, size_t slot,
                                   const std::wstring& path, int index) {
    const auto slave = SlaveOf(master, slot);
    if (!slave || !slave->IsAggiornabile()) return false;
    slave->SetWriteProgress(master.WriteProgress());
    switch (what) {
    case Scrittura::Firmware: return slave->AggFwFile(path);
    case Scrittura::Lingua: return slave->AggLngFile(path);
    case Scrittura::Booter: return slave->AggBooterFile(path);
    case Scrittura::Accessorio: return slave->AggAccessoriFile(index, path);
    }
    return false;
}
