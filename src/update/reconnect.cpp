// Waiting for the instrument after a mode switch, finding a slave in a given
// state and moving one slave between its booter and its firmware, and the
// recovery that wakes the slaves after a failed slave stage.
#include "update/settings/engine.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "update/run_state.h"
#include "update/update_procedure.h"

using vesk::TextToTranslate;
using vesk::Translate;

namespace {

constexpr int kReconnectAttempts = 10;
constexpr uint32_t kFirstWaitMs = 4400;
constexpr uint32_t kNextWaitMs = 2200;


}  // namespace

bool CUpdateProcedure::DisconnettiAndRiconnetti(CDeviceInfo& info, IConnectionStrumento* conn) {
    if (!conn) return false;
    conn->Chiudi();
    Msg(&info.Ident(), Translate(L"Waiting 4 seconds for reconnection"));
    AttesaConProgresso(kFirstWaitMs, NomeUnita(info.Ident()));
    for (int attempt = 0; attempt < kReconnectAttempts; ++attempt) {
        if (conn->Connetti(&info)) {
            VLOG_INFO("CVESKFirmwareUpdaterDlg::DisconnettiAndRiconnetti", "Doublechecking reconnection... ");
            break;
        }
        Msg(nullptr, Translate(L"Still waiting (other 2 seconds)"));
        AttesaConProgresso(kNextWaitMs, NomeUnita(info.Ident()));
    }
    if (conn->IsOpen()) {
        Msg(&info.Ident(), Translate(L"Reconnected"));
        return true;
    }
    Msg(&info.Ident(), Translate(L"Not reconnected"));
    return false;
}

// Reads each present slave's identity in slot order and gives the net-table
// id of the first one that matches. A slave that cannot be read is passed over.
std::optional<uint32_t> CUpdateProcedure::CercaSlave(CDeviceInfo& info, IConnectionStrumento& conn,
                                                     const wchar_t* found, const wchar_t* not_found,
                                                     const SlaveMatch& match, bool* unread) {
    if (unread) *unread = false;
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        if (!SlavePresente(info, slot)) continue;
        const INFOIDENT& slave = info.SlaveIdent(slot);
        if (!conn.LeggiIdentSlave(uint8_t(slot + 1), info)) {
            Msg(&slave, Translate(L"Unable to read slave ident"));
            if (unread) *unread = true;
            continue;
        }
        if (match(slot, slave)) {
            Msg(&slave, Translate(found));
            return IdDiRete(info, slot);
        }
    }
    Msg(nullptr, Translate(not_found));
    return std::nullopt;
}

std::optional<uint32_t> CUpdateProcedure::CercaSlaveInBooter(CDeviceInfo& info, IConnectionStrumento* conn,
                                                             const std::set<uint32_t>& skip, bool* unread) {
    Msg(nullptr, Translate(L"Start looking for a slave in booter"));
    if (!conn) {
        VLOG_ERROR("CVESKFirmwareUpdaterDlg::CercaSlaveInBooter", "Null connection passed here");
        return std::nullopt;
    }
    return CercaSlave(info, *conn, TextToTranslate(L"Found slave in booter"),
                      TextToTranslate(L"No slave in booter"),
                      [&](size_t slot, const INFOIDENT& slave) {
                          return slave.IsInBooterOrZero() && !skip.count(IdDiRete(info, slot));
                      },
                      unread);
}

std::optional<uint32_t> CUpdateProcedure::CercaSlaveInFirmware(CDeviceInfo& info, IConnectionStrumento* conn) {
    Msg(nullptr, Translate(L"Start looking for a slave in firmware"));
    if (!conn) return std::nullopt;
    return CercaSlave(info, *conn, TextToTranslate(L"Found slave in firmware"),
                      TextToTranslate(L"No slave in firmware"),
                      [](size_t, const INFOIDENT& slave) { return !slave.IsInBooterOrZero(); });
}

// The slot of the slave with net-table id id, the identity of every present
// slave read on the way. A slave that cannot be read is passed over, or
// ends the search when unreadable_ends.
std::optional<size_t> CUpdateProcedure::SlotDellId(CDeviceInfo& info, IConnectionStrumento& conn, uint32_t id,
                                                   bool unreadable_ends) {
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        if (!SlavePresente(info, slot)) continue;
        if (!conn.LeggiIdentSlave(uint8_t(slot + 1), info)) {
            Msg(&info.SlaveIdent(slot), Translate(L"Unable to read slave ident"));
            if (unreadable_ends) return std::nullopt;
            continue;
        }
        if (IdDiRete(info, slot) == id) return slot;
    }
    Msg(nullptr, Translate(L"No slave matching give id"));
    return std::nullopt;
}

bool CUpdateProcedure::MandaSlaveInBooter(CDeviceInfo& info, IConnectionStrumento& conn, uint32_t id) {
    Msg(nullptr, Translate(L"Start sending slave to booter"));
    const std::optional<size_t> slot = SlotDellId(info, conn, id, true);
    if (!slot) return false;
    const INFOIDENT& slave = info.SlaveIdent(*slot);
    if (slave.IsInBooterOrZero()) {
        Msg(&slave, Translate(L"Slave already in booter"));
        return false;
    }
    Msg(&slave, Translate(L"--> Sending slave to booter"));
    // The next search tells whether it went.
    conn.GotoBooterSlave(uint8_t(*slot + 1));
    return true;
}

bool CUpdateProcedure::MandaSlaveInFirmware(CDeviceInfo& info, IConnectionStrumento& conn, uint32_t id) {
    Msg(nullptr, Translate(L"Start sending slave to firmware"));
    const std::optional<size_t> slot = SlotDellId(info, conn, id, false);
    if (!slot) return false;
    const INFOIDENT& slave = info.SlaveIdent(*slot);
    if (slave.IsInBooterOrZero()) {
        Msg(&slave, Translate(L"--> Sending slave to firmware"));
        if (conn.GotoFirmwareSlave(uint8_t(*slot + 1))) return true;
    }
    Msg(&slave, Translate(L"Slave already in firmware"));
    return false;
}

// Undoes nothing that was written: its only aim is that no slave stays in
// its booter. The run closes normally afterwards.
void CUpdateProcedure::RecuperoDopoErrore(const ErroreStadioSlave& e) {
    const char* m = "CVESKFirmwareUpdaterDlg::OnBnClickedButtonUpdate";
    Corsa& c = *corsa_;
    VLOG_ERROR(m, "Exception: %s", vesk::to_utf8(e.testo).c_str());
    bool ok = true;
    if (!DisconnettiAndRiconnetti(c.info, c.conn.get())) {
        VLOG_ERROR(m, "Exception management: fail DisconnettiAndRiconnetti");
        ok = false;
    }
    if (!Reidentifica(true)) {
        VLOG_ERROR(m, "Exception management: fail RefreshIdent");
        ok = false;
    }
    Msg(&Master(), Translate(L"Start waking up all slaves into firmware after failure"));
    if (!ok) return;
    SvegliaTuttiGliSlave(true);
}
