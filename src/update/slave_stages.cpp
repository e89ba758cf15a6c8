// The slaves, through the master, in six stages: all into their booter, the
// firmware of those due, the booters due (each slave brought into its
// firmware for it and sent back), all back into their firmware, the
// languages of those whose firmware was due, the accessory elements. Any
// fatal condition raises ErroreStadioSlave; only the run's recovery catches it.
#include <map>

#include "update/settings/engine.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "update/run_state.h"
#include "update/stop_request.h"
#include "update/update_checks.h"
#include "update/update_procedure.h"

using vesk::TextToTranslate;
using vesk::Translate;
using vesk::update::Existing;

namespace {

constexpr const char* kStages = "CVESKFirmwareUpdaterDlg::AggiornaSlave";
constexpr const char* kRun = "CVESKFirmwareUpdaterDlg::OnBnClickedButtonUpdate";
constexpr uint32_t kBooterAttempts = 5;
constexpr uint32_t kSwitchAttempts = 10;
constexpr int kWaitBarSlots = 32;


}  // namespace

void CUpdateProcedure::AggiornaSlave() {
    Corsa& c = *corsa_;
    ProgressStep();
    Msg(&Master(), Translate(L"Sending all slaves into booter"));
    const std::optional<uint32_t> fw = CercaSlaveDaAggiornareFw(c.info, c.conn.get());
    ProgressStep();
    const std::optional<uint32_t> bt = CercaSlaveDaAggiornareBooter(c.info, c.conn.get());
    ProgressStep();
    if (!fw && !bt) {
        Msg(&Master(), Translate(L"No slave whose firmware has to be updated"));
        Msg(&Master(), Translate(L"Start waking up all slaves into firmware"));
        SvegliaTuttiGliSlave(false);
        return;
    }
    // A stop asked for now leaves every slave in its firmware.
    if (vesk::update::StopRequested()) return;
    TuttiGliSlaveInBooter();
    FirmwareSlave();
    BooterSlaveDovuti();
    ProgressPos(c.Posizione(15, 61));
    Msg(&Master(), Translate(L"Start waking up all slaves into firmware"));
    SvegliaTuttiGliSlave(false);
    if (vesk::update::StopRequested()) return;
    LingueSlave();
    AccessoriSlave();
    ProgressPos(c.Posizione(25, 64));
}

// Stage 1. A slave that ignores the switch is found again on every pass: it
// may not keep the run here for ever.
void CUpdateProcedure::TuttiGliSlaveInBooter() {
    Corsa& c = *corsa_;
    Msg(&Master(), Translate(L"Some slaves have to be updated"));
    std::map<uint32_t, uint32_t> passes;
    for (;;) {
        // After a stop no other slave goes to its booter; the recovery wakes
        // those already there.
        if (vesk::update::StopRequested()) throw ErroreStadioSlave{Translate(L"Stopped on request")};
        const std::optional<uint32_t> id = CercaSlaveInFirmware(c.info, c.conn.get());
        ProgressStep();
        if (!id) {
            Msg(&Master(), Translate(L"Unable to find slaves to be updated"));
            return;
        }
        if (++passes[*id] > kSwitchAttempts)
            throw ErroreStadioSlave{Translate(L"cannot take slave to booter after 10 attempts")};
        if (!MandaSlaveInBooter(c.info, *c.conn, *id)) continue;
        ProgressStep();
        if (!DisconnettiAndRiconnetti(c.info, c.conn.get())) return;
        Reidentifica(true);
        ProgressStep();
    }
}

// Stage 2: written while the slaves run their booter.
void CUpdateProcedure::FirmwareSlave() {
    Corsa& c = *corsa_;
    ProgressPos(c.Posizione(3, 59));
    Msg(&Master(), Translate(L"Updating firmware for all slaves of"));
    c.aggiornati.clear();
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        if (!SlavePresente(c.info, slot)) continue;
        ProgressStep();
        const INFOIDENT& slave = c.info.SlaveIdent(slot);
        if (!c.conn->LeggiIdentSlave(uint8_t(slot + 1), c.info)) {
            Msg(&slave, Translate(L"Unable to read slave ident"));
            throw ErroreStadioSlave{Translate(L"Unable to read slave ident")};
        }
        if (!FwSlaveDovuto(slot, slave)) {
            Msg(&slave, Translate(L"Slave doesn't need to be updated"));
            continue;
        }
        c.aggiornati.push_back(uint8_t(slot));
        const uint32_t serial = slave.ID_logger();
        const FirmupFileEntry* entry = Existing(catalogue_.GetFwSlave(int(slot), serial));
        if (entry && entry->versionNumber != 0 &&
            (advanced_mode_ || c.VersionePrima(int(slot) + 1, serial) < entry->versionNumber)) {
            ControllaSlave(slot);
            Msg(&slave, Translate(L"Start write firmware for slave"));
            const std::wstring path = InCartella(main_folder_, entry->fileName);
            const bool written = ScritturaConProgresso(*c.fw, serial, [&] { return c.fw->AggiornaFwFileSlave(slot, path); });
            SegnaScrittura(int(slot) + 1, serial, L"firmware", written);
            if (!written) {
                VLOG_ERROR(kStages, "Error in writing slave %u firmware", unsigned(slot));
                throw ErroreStadioSlave{Translate(L"Error in writing slave firmware")};
            }
            // Only what was written counts as installed.
            FirmupFileEntry scelta;
            if (!installed_.Contains(serial) && choices_.Lookup(serial, scelta)) installed_.Insert(scelta);
            Msg(&slave, Translate(L"Finished write firmware for slave"));
            // The recovery wakes every slave the stages left in its booter.
            if (vesk::update::StopRequested()) throw ErroreStadioSlave{Translate(L"Stopped on request")};
        }
        ProgressStep();
    }
}

// Stage 3: a booter is written while the slave runs its firmware. A slave
// whose booter is not older than its file is written nothing, and is not
// looked at again in this stage.
void CUpdateProcedure::BooterSlaveDovuti() {
    Corsa& c = *corsa_;
    ProgressPos(c.Posizione(5, 60));
    Msg(&Master(), Translate(L"Updating booter for all slaves of"));
    std::map<uint32_t, uint32_t> attempts;
    std::set<uint32_t> nothing_to_write;
    for (;;) {
        ProgressStep();
        const std::optional<uint32_t> id = CercaSlaveDaAggiornareBooter(c.info, c.conn.get(), nothing_to_write);
        ProgressStep();
        if (!id) return;
        if (++attempts[*id] > kBooterAttempts)
            throw ErroreStadioSlave{Translate(L"cannot update slave booter after 5 attempts")};
        ProgressStep();
        if (!MandaSlaveInFirmware(c.info, *c.conn, *id)) {
            VLOG_ERROR(kStages, "cannot take to firmware slave for writing booter");
            throw ErroreStadioSlave{Translate(L"cannot take to firmware slave for writing booter")};
        }
        if (!DopoCambioSlave()) return;
        ProgressStep();
        ProgressStep();
        const BooterSlave written = AggiornaBooterSlave(c.info, *id, *c.fw);
        if (written == BooterSlave::Failed) throw ErroreStadioSlave{Translate(L"error updating booter slave")};
        if (written == BooterSlave::NothingToWrite) nothing_to_write.insert(*id);
        ProgressStep();
        if (!MandaSlaveInBooter(c.info, *c.conn, *id)) {
            VLOG_ERROR(kStages, "cannot take slave to booter after writing booter");
            throw ErroreStadioSlave{Translate(L"cannot take slave to booter after writing booter")};
        }
        ProgressStep();
        if (!DopoCambioSlave()) return;
        ProgressStep();
    }
}

// Stage 4, the whole work when no slave is due, and the recovery: every
// slave out of its booter, each tried ten times. A slave that will not wake
// raises in a stage; after a failure it is logged and passed over, and the
// others are still woken. A search that could not read every slave is no
// proof that none is left in its booter: it is made again, ten times at most.
void CUpdateProcedure::SvegliaTuttiGliSlave(bool dopo_errore) {
    Corsa& c = *corsa_;
    std::map<uint32_t, uint32_t> attempts;
    std::set<uint32_t> spent;
    uint32_t unread_searches = 0;
    for (;;) {
        ProgressStep();
        bool unread = false;
        const std::optional<uint32_t> id = CercaSlaveInBooter(c.info, c.conn.get(), spent, &unread);
        ProgressStep();
        if (!id && unread && ++unread_searches <= kSwitchAttempts) continue;
        if (!id && unread) {
            if (!dopo_errore) throw ErroreStadioSlave{Translate(L"Unable to read slave ident")};
            VLOG_ERROR(kRun, "Unable to read slave ident");
            return;
        }
        if (!id) return;
        ++attempts[*id];
        ProgressStep();
        if (attempts[*id] > kSwitchAttempts) {
            if (!dopo_errore) throw ErroreStadioSlave{Translate(L"cannot take slave to firmware after 10 attempts")};
            VLOG_ERROR(kRun, "cannot take slave to firmware after 10 attempts");
            spent.insert(*id);
            continue;
        }
        if (!MandaSlaveInFirmware(c.info, *c.conn, *id)) {
            VLOG_ERROR(dopo_errore ? kRun : kStages, "fail send slave %d to firmware", int(*id));
            continue;
        }
        ProgressStep();
        if (!dopo_errore) {
            // A slave may be left in its booter: the run did not end as planned.
            if (!DopoCambioSlave()) {
                Errore(Translate(L"Not reconnected"));
                return;
            }
        } else {
            if (!DisconnettiAndRiconnetti(c.info, c.conn.get())) return;
            ProgressStep();
            if (!Reidentifica(true)) VLOG_ERROR(kRun, "in exception catch");
        }
        ProgressStep();
    }
}

// Stage 5: only the slaves whose firmware was due, written or not.
void CUpdateProcedure::LingueSlave() {
    Corsa& c = *corsa_;
    ProgressPos(c.Posizione(21, 62));
    Msg(&Master(), Translate(L"Start updating languages for all firmupped slaves"));
    for (const uint8_t slot : c.aggiornati) {
        if (!SlavePresente(c.info, slot)) continue;
        const INFOIDENT& slave = c.info.SlaveIdent(slot);
        const uint32_t serial = slave.ID_logger();
        const FirmupFileEntry* entry = Existing(catalogue_.GetFwSlave(int(slot), serial));
        if (entry && entry->versionNumber != 0 && !entry->secondFileName.empty() &&
            (advanced_mode_ || c.VersionePrima(int(slot) + 1, serial) < entry->versionNumber)) {
            ControllaSlave(slot);
            Msg(&slave, Translate(L"Start write language for slave"));
            const std::wstring path = InCartella(main_folder_, entry->secondFileName);
            const bool written = ScritturaConProgresso(*c.fw, serial, [&] { return c.fw->AggiornaLngFileSlave(slot, path); });
            SegnaScrittura(int(slot) + 1, serial, L"language", written);
            if (!written) {
                VLOG_ERROR(kStages, "Error in writing slave %u languages with file '%s'", unsigned(slot),
                           vesk::to_utf8(entry->secondFileName).c_str());
                throw ErroreStadioSlave{Translate(L"Updating language for slave")};
            }
            Msg(&slave, Translate(L"Finished write language for slave"));
        }
        ProgressStep();
    }
}

// Stage 6: every present slave.
void CUpdateProcedure::AccessoriSlave() {
    Corsa& c = *corsa_;
    ProgressPos(c.Posizione(22, 63));
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        if (!SlavePresente(c.info, slot)) continue;
        const INFOIDENT& slave = c.info.SlaveIdent(slot);
        for (int element = 0; element < 3; ++element) {
            const FirmupFileEntry* entry = Existing(catalogue_.GetAccessorio(element, slave.ID_logger(), int(slot)));
            if (entry && entry->versionNumber != 0 &&
                (advanced_mode_ || slave.FirmwareVersionNumber() < entry->versionNumber)) {
                ControllaSlave(slot);
                Msg(&slave, Translate(L"Start write accessory element for slave"));
                const std::wstring path = InCartella(main_folder_ + L"/_ACCESSORI", entry->fileName);
                const bool written = ScritturaConProgresso(
                    *c.fw, slave.ID_logger(), [&] { return c.fw->AggiornaAccessoriFileSlave(slot, element, path); });
                SegnaScrittura(int(slot) + 1, slave.ID_logger(), L"accessory " + std::to_wstring(element), written);
                if (!written) {
                    VLOG_ERROR(kStages, "Error in writing slave %u accessory element %d", unsigned(slot), element);
                    throw ErroreStadioSlave{Translate(L"Upgrading accessory for slave")};
                }
                Msg(&Master(), Translate(L"Finished write acccessory element for slave"));
            }
            ProgressStep();
        }
    }
}

// The master back after a slave changed mode, and its net read again; false
// when it did not come back.
bool CUpdateProcedure::DopoCambioSlave() {
    Corsa& c = *corsa_;
    if (!DisconnettiAndRiconnetti(c.info, c.conn.get())) return false;
    ProgressStep();
    if (!Reidentifica(true)) throw ErroreStadioSlave{Translate(L"error in refresh ident")};
    std::wstring other;
    if (!StessoMaster(other)) throw StrumentoDiverso{other};
    return true;
}

bool CUpdateProcedure::FwSlaveDovuto(size_t slot, const INFOIDENT& slave) {
    if (corsa_ && corsa_->slave_in_booter_prima.count(slot)) {
        const FirmupFileEntry* entry = Existing(catalogue_.GetFwSlave(int(slot), slave.ID_logger()));
        if (entry && entry->versionNumber != 0) return true;
    }
    return vesk::update::FwSlaveDaAggiornare(catalogue_, slave, int(slot));
}

void CUpdateProcedure::ControllaSlave(size_t slot) {
    if (!corsa_) return;
    const Corsa& c = *corsa_;
    const auto it = c.reti_prima.find(slot);
    if (it != c.reti_prima.end() && SlavePresente(c.info, slot) && IdDiRete(c.info, slot) == it->second) return;
    VLOG_ERROR(kStages, "Slave %u is not the one being updated: net id %u, expected %s", unsigned(slot + 1),
               unsigned(IdDiRete(c.info, slot)),
               it == c.reti_prima.end() ? "no slave there" : std::to_string(it->second).c_str());
    const std::wstring text = Translate(L"The instrument found is not the one being updated");
    Msg(&c.info.SlaveIdent(slot), text);
    throw ErroreStadioSlave{text};
}

// ---- the searches for slaves that are due, and the booter of one slave

std::optional<uint32_t> CUpdateProcedure::CercaSlaveDaAggiornareFw(CDeviceInfo& info, IConnectionStrumento* conn) {
    Msg(nullptr, Translate(L"Start looking for a slave to be updated fw"));
    if (!conn) return std::nullopt;
    return CercaSlave(info, *conn, TextToTranslate(L"Found slave to be updated fw"),
                      TextToTranslate(L"No slave to be updated fw"),
                      [this](size_t slot, const INFOIDENT& slave) { return FwSlaveDovuto(slot, slave); });
}

std::optional<uint32_t> CUpdateProcedure::CercaSlaveDaAggiornareBooter(CDeviceInfo& info, IConnectionStrumento* conn,
                                                                       const std::set<uint32_t>& skip) {
    Msg(nullptr, Translate(L"Start looking for a slave to be updated booter"));
    if (!conn) return std::nullopt;
    return CercaSlave(info, *conn, TextToTranslate(L"Found slave to be updated booter"),
                      TextToTranslate(L"No slave to be updated booter"),
                      [&](size_t slot, const INFOIDENT& slave) {
                          return !skip.count(IdDiRete(info, slot)) &&
                                 vesk::update::BooterSlaveDaAggiornare(catalogue_, slave, int(slot));
                      });
}

CUpdateProcedure::BooterSlave CUpdateProcedure::AggiornaBooterSlave(CDeviceInfo& info, uint32_t id, IAggiornaFW& fw) {
    BarraAttesa(kWaitBarSlots);
    Msg(nullptr, Translate(L"Start slave update booter"));
    BooterSlave result = BooterSlave::NothingToWrite;
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        if (!SlavePresente(info, slot) || IdDiRete(info, slot) != id) continue;
        const INFOIDENT& slave = info.SlaveIdent(slot);
        const FirmupFileEntry* entry = Existing(catalogue_.GetBooterSlave(int(slot), slave.ID_logger()));
        if (entry && entry->versionNumber != 0 && slave.BooterVersionNumber() < entry->versionNumber) {
            ControllaSlave(slot);
            Msg(&slave, Translate(L"Start firmup booter slave"));
            result = BooterSlave::Written;
            const std::wstring path = InCartella(main_folder_ + L"/_BOOTER", entry->fileName);
            const bool written = ScritturaConProgresso(fw, slave.ID_logger(), [&] { return fw.AggiornaBooterFileSlave(slot, path); });
            SegnaScrittura(int(slot) + 1, slave.ID_logger(), L"booter", written);
            if (!written) {
                result = BooterSlave::Failed;
                VLOG_ERROR(kStages, "Error in writing slave %u booter", unsigned(slot));
            }
            Msg(&slave, Translate(L"Finished firmup booter slave"));
        }
        PassoBarraAttesa();
        break;
    }
    PosBarraAttesa(kWaitBarSlots);
    return result;
}
