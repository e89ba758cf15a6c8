#include "rehearsal/capture.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "common/str_conv.h"
#include "device/connection_strumento_base.h"
#include "log/evt_log.h"
#include "records/model_names.h"
#include "usb/usb_connection.h"
#include "usb/vesk_usb_commons.h"

namespace vesk::rehearsal {

namespace {

constexpr const char* kCapture = "vesk::rehearsal::CaptureConnected";

using vesk::sim::SimIdentityConfig;
using vesk::sim::SimInstrumentConfig;
using vesk::sim::SimSlaveConfig;

// What no instrument reports, so every copy keeps the simulator's.
const wchar_t* const kKeptAtDefaults[] = {
    L"re-enumeration delay after a mode switch or restart: 3000 ms",
    L"net rebuild time: 4000 ms",
    L"flash contents: the family's layout, erased, with a blank configuration",
    L"identity fields other than type, serial, versions, mode and booter family "
    L"(dates, running hours, calibration): zero",
    L"slave net ids: each slave's serial",
};

std::string Hex2(uint8_t v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", v);
    return text;
}

// The version fields of a configuration as the scenario writes them.
std::string FirmwareText(const SimIdentityConfig& c) {
    return Hex2(c.fw_major) + "." + Hex2(c.fw_minor) + "." + Hex2(c.fw_build);
}
std::string BooterText(const SimIdentityConfig& c) { return Hex2(c.boot_major) + "." + Hex2(c.boot_minor); }

void FromIdentity(const INFOIDENT& id, SimIdentityConfig& c) {
    c.code = id.loggerCode();
    c.serial = id.ID_logger();
    c.fw_major = id.u8(INFOIDENT::kVerFirm + 2);
    c.fw_minor = id.u8(INFOIDENT::kVerFirm + 3);
    c.fw_build = id.u8(INFOIDENT::kVerFirm + 1);
    c.boot_major = id.u8(INFOIDENT::kVerBooter + 2);
    c.boot_minor = id.u8(INFOIDENT::kVerBooter + 3);
    c.in_booter = id.IsInBooter();
    c.tipoFamBoot = id.tipoFamBoot();
}

std::wstring Named(const std::string& path) { return vesk::from_utf8(path); }

// Deletes through the factory's own delete.
struct Connessione {
    IConnectionStrumento* conn;
    ~Connessione() {
        if (conn) IConnectionStrumento::DeleteConnectionToStrumento(conn);
    }
};

// The slaves of a net just read into info.
void Slaves(const CDeviceInfo& info, const std::vector<uint8_t>& problems, SimInstrumentConfig& c,
            std::vector<std::wstring>& notes) {
    for (size_t slot = 0; slot < CConnectionStrumentoBase::kNetSlots; ++slot) {
        const NETIDENT::Entry entry = info.NetTable().GetEntry(slot);
        if (entry.loggerCode == 0) continue;
        SimSlaveConfig s;
        s.number = uint8_t(slot + 1);
        const std::wstring which = L"slave " + std::to_wstring(slot + 1);
        const bool problem = std::find(problems.begin(), problems.end(), uint8_t(slot)) != problems.end();
        const INFOIDENT& id = info.SlaveIdent(slot);
        if (id.loggerCode() == 0) {
            // Its net entry is all there is: a slave that does not answer.
            s.code = entry.loggerCode;
            s.serial = entry.netId;
            s.unreadable = true;
            notes.push_back(which + L": its identity could not be read; simulated as a slave that does not answer");
        } else {
            FromIdentity(id, s);
            s.code &= 0xFFFF;  // the net table holds 16 bits
            if (entry.loggerCode != s.code) s.net_code = entry.loggerCode;
            else if (problem)
                notes.push_back(which + L": its identity could not be settled; simulated as read");
            if (entry.netId != s.serial)
                notes.push_back(which + L": net id " + std::to_wstring(entry.netId) + L" simulated as its serial " +
                                std::to_wstring(s.serial));
            if (id.firmInEsec() == 0)
                notes.push_back(which + L": reports neither booter nor firmware running; simulated in its firmware");
        }
        c.net.slaves.push_back(s);
    }
}

// One instrument: false with error when it cannot be read whole.
bool CaptureOne(const std::string& path, SimInstrumentConfig& c, std::vector<std::wstring>& notes,
                std::wstring& error) {
    CDeviceInfo info;
    info.SetDevicePath(Named(path));
    {
        CUSBConnection usb(256);
        if (usb.Apri(info) <= 0) {
            error = Named(path) + L": the instrument cannot be opened";
            return false;
        }
        c.d11 = usb.IsD11();
        uint16_t product_id = 0;
        if (usb.GetProductId(product_id)) c.product_id = product_id;
        else notes.push_back(Named(path) + L": product id unknown; simulated as 257");
        const bool identified = usb.GetINFOIDENT(info.Ident());
        usb.ChiudiUSB();
        if (!identified) {
            error = Named(path) + L": the instrument's identity cannot be read";
            return false;
        }
    }
    FromIdentity(info.Ident(), c);
    if (path.rfind("usb:", 0) == 0 && path.find('-') != std::string::npos) c.path = path;

    Connessione conn{IConnectionStrumento::CreateConnectionToStrumento(&info, L"")};
    // A type this program does not talk to further: its identity is all it shows.
    if (!conn.conn) return true;
    if (!conn.conn->Connetti(&info)) {
        error = Named(path) + L": the instrument cannot be opened";
        return false;
    }
    // Read as it stands, without asking the master to rebuild it.
    const bool net_read = conn.conn->LeggiNetTable(false, false);
    if (info.GetNetState() == CDeviceInfo::NetState::Read) {
        const auto* base = dynamic_cast<CConnectionStrumentoBase*>(conn.conn);
        Slaves(info, base ? base->GetProblemSlaves() : std::vector<uint8_t>{}, c, notes);
    } else if (info.GetNetState() != CDeviceInfo::NetState::NoNet || !net_read) {
        conn.conn->Chiudi();
        error = Named(path) + L": the net of slaves cannot be read";
        return false;
    }
    if (IAggiornaFW* fw = conn.conn->GetIAggiornaFW()) {
        INFOFWUPD record;
        // A record that cannot be read is one the run treats as absent; one
        // read but not valid it takes as the default, flags 0.
        if (fw->GetInfoFirmup(record, 0)) c.net.infofwupd_flags = record.GetFlags();
        else c.net.infofwupd_fails = true;
    }
    conn.conn->Chiudi();
    return true;
}

nlohmann::ordered_json IdentityJson(const SimIdentityConfig& c) {
    nlohmann::ordered_json j;
    j["code"] = c.code;
    j["serial"] = c.serial;
    j["firmware"] = FirmwareText(c);
    j["booter"] = BooterText(c);
    j["in_booter"] = c.in_booter;
    j["tipoFamBoot"] = c.tipoFamBoot;
    if (c.unstamped_firmware) {
        const auto& v = *c.unstamped_firmware;
        j["unstamped_firmware"] = Hex2(v[0]) + "." + Hex2(v[1]) + "." + Hex2(v[2]);
    }
    if (c.unstamped_booter) j["unstamped_booter"] = Hex2((*c.unstamped_booter)[0]) + "." + Hex2((*c.unstamped_booter)[1]);
    return j;
}

}  // namespace

bool CaptureConnected(Capture& out, std::wstring& error) {
    out = Capture{};
    std::vector<std::wstring> paths;
    {
        C_Vesk_USB_Commons commons;
        if (!commons.GetElencoDeviceCollegati(paths)) {
            error = L"the instruments could not be listed";
            VLOG_ERROR(kCapture, "%s", vesk::to_utf8(error).c_str());
            return false;
        }
    }
    for (const std::wstring& path : paths) {
        SimInstrumentConfig c;
        if (!CaptureOne(vesk::to_utf8(path), c, out.notes, error)) {
            VLOG_ERROR(kCapture, "%s", vesk::to_utf8(error).c_str());
            return false;
        }
        VLOG_INFO(kCapture, "Captured %s serial %u with %zu slaves", vesk::to_utf8(GetNomeStrumento(c.code)).c_str(),
                  unsigned(c.serial), c.net.slaves.size());
        out.scenario.instruments.push_back(std::move(c));
    }
    out.notes.insert(out.notes.begin(), std::begin(kKeptAtDefaults), std::end(kKeptAtDefaults));
    return true;
}

std::string CaptureJson(const vesk::sim::Scenario& scenario) {
    nlohmann::ordered_json instruments = nlohmann::ordered_json::array();
    for (const SimInstrumentConfig& c : scenario.instruments) {
        nlohmann::ordered_json j;
        if (!c.path.empty()) j["path"] = c.path;
        const nlohmann::ordered_json identity = IdentityJson(c);
        for (const auto& [key, value] : identity.items()) j[key] = value;
        j["chip"] = c.d11 ? "D11" : "D12";
        j["product_id"] = c.product_id;
        if (c.net.infofwupd_fails) j["infofwupd_flags"] = "fails";
        else if (c.net.infofwupd_flags) j["infofwupd_flags"] = *c.net.infofwupd_flags;
        if (!c.net.slaves.empty()) {
            j["slaves"] = nlohmann::ordered_json::array();
            for (const SimSlaveConfig& s : c.net.slaves) {
                nlohmann::ordered_json sj;
                sj["number"] = s.number;
                const nlohmann::ordered_json identity = IdentityJson(s);
                for (const auto& [key, value] : identity.items()) sj[key] = value;
                if (s.net_code) sj["net_code"] = *s.net_code;
                if (s.unreadable) sj["unreadable"] = true;
                j["slaves"].push_back(sj);
            }
        }
        instruments.push_back(j);
    }
    nlohmann::ordered_json top;
    top["time_scale"] = 0;
    top["instruments"] = instruments;
    return top.dump(2) + "\n";
}

bool VersionTextBytes(const std::wstring& text, size_t parts, uint8_t* out) {
    if (text.size() != parts * 3 - 1) return false;
    for (size_t i = 0; i < parts; ++i) {
        const wchar_t hi = text[i * 3], lo = text[i * 3 + 1];
        if (hi < L'0' || hi > L'9' || lo < L'0' || lo > L'9' || (i + 1 < parts && text[i * 3 + 2] != L'.'))
            return false;
        out[i] = uint8_t((hi - L'0') << 4 | (lo - L'0'));
    }
    return true;
}

}  // namespace vesk::rehearsal
