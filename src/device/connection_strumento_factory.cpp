// The connection factory: which connection class serves a master, and the
// listing and catalogue filling built on it.
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "common/str_conv.h"
#include "device/conn_slave_base.h"
#include "device/connection_data_key.h"
#include "device/connection_memory_key.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_dovo.h"
#include "device/connection_strumento_tipo_pell.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "device/connection_strumento_tipo_quarv4.h"
#include "records/model_names.h"
#include "firmware_files/firmup_files_info.h"
#include "log/evt_log.h"
#include "usb/usb_connection.h"

namespace {

struct Range {
    uint32_t first, last;
};

bool In(uint32_t code, std::initializer_list<Range> ranges) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [code](const Range& r) { return code >= r.first && code <= r.last; });
}

// Version references as printed: 0x4304 is 43.04, build 0x25 is b25.
bool Older(const INFOIDENT& id, uint16_t major_minor, uint32_t build) {
    return id.IsFirmwareOlderThan(major_minor, build);
}

// The connection for a code, or null; silent is set for the codes that have a
// model but no connection class.
std::unique_ptr<CConnectionStrumentoBase> Crea(const INFOIDENT& id, const std::wstring& folder,
                                               bool& silent) {
    const uint32_t code = id.loggerCode();
    silent = false;
    if (In(code, {{1, 7}, {9, 17}, {22, 25}, {37, 38}, {41, 44}, {46, 46}, {49, 52}, {401, 401},
                  {1052, 1052}, {10300, 10301}}))
        return std::make_unique<CConnectionStrumentoQuarvNoCAN>(folder);
    if (In(code, {{19, 20}}))
        return std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3", folder);
    if (In(code, {{21, 21}, {27, 29}, {33, 36}, {45, 45}, {48, 48}, {54, 54}, {56, 57}, {301, 302},
                  {10001, 10010}, {10101, 10103}, {20001, 20001}}))
        return std::make_unique<CConnectionStrumentoTipoDovo>(folder);
    switch (code) {
    case 61:
        if (!Older(id, 0x4304, 0x01)) return std::make_unique<CConnectionQuarv4ComePell>(folder);
        if (Older(id, 0x4302, 0x25))
            return std::make_unique<CConnectionStrumentoTipoQuarv4vecchio>(L"Quarv4", folder);
        return std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Quarv4", folder);
    case 62:
        if (Older(id, 0x4501, 0x07))
            return std::make_unique<CConnectionStrumentoTipoQuarv4vecchio>(L"Brevik", folder);
        return std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Brevik", folder);
    case 63: return std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Tolmar", folder);
    case 71: return std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Ostra", folder);
    case 64:
        if (Older(id, 0x4603, 0)) return std::make_unique<CConnectionStrumentoTipoPell>(folder);
        return std::make_unique<CConnectionPell460300>(folder);
    case 65:
        if (Older(id, 0x4603, 0)) return std::make_unique<CConnectionStrumentoTipoPellDL>(folder);
        return std::make_unique<CConnectionPellDL460300>(folder);
    case 111: return std::make_unique<CConnectionDataKey>(folder);
    case 112: return std::make_unique<CConnectionMemoryKey>(folder);
    default: break;
    }
    if (In(code, {{311, 316}, {10201, 10233}, {10235, 10235}})) {
        if (Older(id, 0x1486, 0x82))
            return std::make_unique<CConnectionStrumentoTipoQuarv3vecchio>(L"Trivo", folder);
        return std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Trivo", folder);
    }
    if (In(code, {{317, 318}})) {
        if (Older(id, 0x2905, 0x02))
            return std::make_unique<CConnectionStrumentoTipoQuarv3vecchio>(L"TrivoQM", folder);
        return std::make_unique<CConnectionStrumentoTipoQuarv3>(L"TrivoQM", folder);
    }
    silent = In(code, {{18, 18}, {58, 60}, {70, 70}, {101, 108}, {321, 321}, {398, 399},
                       {2002, 2003}, {2006, 2006}, {2008, 2008}, {2010, 2019}, {2021, 2025},
                       {20018, 20020}});
    return nullptr;
}

std::string Nome(uint32_t code) { return vesk::to_utf8(GetNomeStrumento(code)); }

// Deletes at the end of a scope, through the factory's own delete.
struct Connessione {
    IConnectionStrumento* conn;
    ~Connessione() {
        if (conn) IConnectionStrumento::DeleteConnectionToStrumento(conn);
    }
};

}  // namespace

IConnectionStrumento* IConnectionStrumento::CreateConnectionToStrumento(CDeviceInfo* info,
                                                                        const std::wstring& folder) {
    const char* m = "IConnectionStrumento::CreateConnectionToStrumento";
    if (!info) {
        VLOG_ERROR(m, "No device info passed here!");
        return nullptr;
    }
    bool silent = false;
    auto conn = Crea(info->Ident(), folder, silent);
    if (!conn && !silent)
        VLOG_ERROR(m, "Unmanaged device code (%u) passed here!", unsigned(info->Ident().loggerCode()));
    return conn.release();
}

void IConnectionStrumento::DeleteConnectionToStrumento(IConnectionStrumento*& conn) {
    const char* m = "IConnectionStrumento::DeleteConnectionToStrumento";
    if (!conn) {
        VLOG_ERROR(m, "Asked to delete a connection already deleted elsewhere !");
        return;
    }
    if (conn->IsOpen()) {
        VLOG_INFO(m, "Asked to delete a connection potentially communicating with a device !");
        conn->Chiudi();
    }
    delete conn;
    conn = nullptr;
}

bool IConnectionStrumento::GetListaDeviceCollegati(std::vector<CDeviceInfo>& list,
                                                   bool fail_on_problem_slaves,
                                                   IUSBConnection::ListingMisses* misses) {
    const char* m = "IConnectionStrumento::GetListaDeviceCollegati";
    if (!IUSBConnection::GetListaDeviceCollegati(list, misses)) {
        VLOG_ERROR(m, "Bad answer from IUSBConnection");
        return false;
    }
    for (CDeviceInfo& element : list) {
        CDeviceInfo copy = element;
        Connessione c{CreateConnectionToStrumento(&copy, L"")};
        if (!c.conn) {
            VLOG_ERROR(m, "Unable to create a connection object");
            continue;
        }
        const uint32_t code = copy.Ident().loggerCode();
        if (!c.conn->Connetti(&copy)) {
            VLOG_ERROR(m, "Unable to connect to device %s (code %u)", Nome(code).c_str(),
                       unsigned(copy.Ident().ID_logger()));
            continue;
        }
        if (c.conn->LeggiNetTable(true, fail_on_problem_slaves)) {
            c.conn->Chiudi();
            element = copy;
        } else {
            VLOG_ERROR(m, "Unable to get net table from device %s (code %u)", Nome(code).c_str(),
                       unsigned(copy.Ident().ID_logger()));
            c.conn->Chiudi();
        }
    }
    return true;
}

bool IConnectionStrumento::GetInfoFirmup(const std::wstring& acc_folder,
                                         const std::wstring& boot_folder, CDeviceInfo& info,
                                         CFirmupFilesInfo& catalogue,
                                         const std::wstring& fw_folder) {
    const char* m = "IConnectionStrumento::GetInfoFirmup";
    // Every folder is listed once for all the searches below.
    const CFirmupFilesInfo::UnPassaggio one_pass;
    Connessione c{CreateConnectionToStrumento(&info, L"")};
    if (!c.conn) {
        VLOG_ERROR(m, "Unable to create a connection object");
        return false;
    }
    const uint32_t code = info.Ident().loggerCode();
    const uint32_t serial = info.Ident().ID_logger();
    if (!c.conn->Connetti(&info)) {
        VLOG_ERROR(m, "Unable to connect to device %s (code %u)", Nome(code).c_str(),
                   unsigned(serial));
        return false;
    }
    IAggiornaFW* fw = c.conn->GetIAggiornaFW();
    if (!fw) {
        VLOG_ERROR(m, "Unable get firmup interface for device %s (code %u)", Nome(code).c_str(),
                   unsigned(serial));
        c.conn->Chiudi();
        return false;
    }
    std::wstring version;
    fw->CercaFileFirmware(version, fw_folder, acc_folder, &catalogue);
    fw->CercaFileBooter(version, boot_folder, &catalogue);
    info.SetOtherGaugeStorage(fw->NumOtherGauges() > 0);
    info.SetSlaveUpdate(fw->SlaveUpdateLevel());
    info.SetMaxSlaves(c.conn->GetMaxSlaves());
    if (fw->SlaveUpdateLevel() != 0) {
        // Slave connections go through the master's USB connection.
        if (auto* usb = dynamic_cast<CUSBConnection*>(c.conn)) CConnSlaveBase::SegnaNonAggiornabili(*usb, info);
        for (size_t entry = 0; entry < 32; ++entry) {
            if (info.NetTable().SlaveCode(entry) == 0) continue;
            fw->CercaFileFirmwareSlave(version, entry, fw_folder, acc_folder, &catalogue);
            fw->CercaFileBooterSlave(version, entry, boot_folder, &catalogue);
        }
    }
    for (int kind = 0; kind < fw->NumOtherGauges() && kind < 5; ++kind) {
        fw->CercaFileFirmwareOther(version, kind, fw_folder, acc_folder, &catalogue);
        fw->CercaFileBooterOther(version, kind, boot_folder, &catalogue);
    }
    c.conn->Chiudi();
    return true;
}
