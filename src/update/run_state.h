#pragma once
// What one update run holds from its start to its end; the procedure keeps it
// only while the run goes on.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "device/connection_strumento.h"
#include "records/device_info.h"
#include "update/update_procedure.h"

// A name inside folder. The files a run writes are named with '/', the
// separator every reader of this system accepts.
inline std::wstring InCartella(const std::wstring& folder, const std::wstring& name) {
    return !folder.empty() && folder.back() == L'/' ? folder + name : folder + L"/" + name;
}

// A present slave of the net, and the id the net table gives it.
inline bool SlavePresente(const CDeviceInfo& info, size_t slot) { return info.NetTable().SlaveCode(slot) != 0; }
inline uint32_t IdDiRete(const CDeviceInfo& info, size_t slot) { return info.NetTable().GetEntry(slot).netId; }

// Destroys a connection through the factory's own delete.
struct CancellaConnessione {
    void operator()(IConnectionStrumento* conn) const { IConnectionStrumento::DeleteConnectionToStrumento(conn); }
};
using ConnessionePtr = std::unique_ptr<IConnectionStrumento, CancellaConnessione>;

struct CUpdateProcedure::Corsa {
    // The run's own copy of the master, refreshed after every identification.
    // Every connection of the run is given this one object: a connection
    // remembers it, and its slave writers read the net through it.
    CDeviceInfo info;
    ConnessionePtr conn;
    IAggiornaFW* fw = nullptr;  // conn's firmware interface
    // The firmware-update record; null when the firmware does not provide one.
    std::unique_ptr<INFOFWUPD> fwupd;
    // Firmware version number of each unit when the run began, by unit (0 the
    // master, else the slave number) and serial: a serial of 0 is a real one.
    std::map<std::pair<int, uint32_t>, uint32_t> versioni_prima;
    // Slots whose slave was in its booter when the run began.
    std::set<size_t> slave_in_booter_prima;
    // Net-table id of each slot present when the run began.
    std::map<size_t, uint32_t> reti_prima;
    uint32_t serial_master = 0;  // as identified when the run began
    uint32_t codice_master = 0;
    int f = 0;                   // slaves on the net: sizes the overall bar
    // Slots whose firmware was due (stage 2); their languages follow.
    std::vector<uint8_t> aggiornati;
    bool lock_preso = false;
    bool rilevamento_spento = false;  // hardware detection switched off by the run
    bool cursore_attesa = false;
    bool barra_impostata = false;     // the overall bar has the run's range
    bool fw_master_fallito = false;  // this run's master firmware write failed

    uint32_t VersionePrima(int unit, uint32_t serial) const {
        const auto it = versioni_prima.find({unit, serial});
        return it == versioni_prima.end() ? 0 : it->second;
    }
    // Fixed positions of the overall bar.
    int Posizione(int per_slave, int base) const { return per_slave * f + base; }
    bool BooterConsentito() const { return !fwupd || (fwupd->GetFlags() & INFOFWUPD::kFlagBooterRewrite); }
    bool DomandaComportamento() const { return fwupd && (fwupd->GetFlags() & INFOFWUPD::kFlagKeyBehaviour); }
};
