// What a key device carries for other gauges: the behaviour it follows when
// it later meets one (the Behaviour Request), and their firmware, language,
// booter and accessory files. None of these loads stops the run.
#include "app/engine.h"
#include "common/exe_path_name.h"
#include "log/evt_log.h"
#include "update/run_state.h"
#include "update/update_checks.h"
#include "update/update_procedure.h"

using vesk::Translate;
using vesk::update::Existing;

namespace {

constexpr const char* kLoad = "CVESKFirmwareUpdaterDlg::OnBnClickedButtonUpdate";
constexpr int kAccessoryElements = 3;

}  // namespace

void CUpdateProcedure::CaricaAltriStrumenti() {
    Corsa& c = *corsa_;
    const int behaviour = RichiestaComportamento();
    ProgressStep();
    if (behaviour < kBehaviourIfOlder || behaviour > kBehaviourNever) return;
    const INFOIDENT* master = &Master();
    // Booter and accessory entries carry their bare file name; it is taken in
    // the program's folder, wherever the program was started from.
    const std::wstring program_folder = CExePathName().Folder();
    for (int kind = 0; kind < kOtherGaugeKinds; ++kind) {
        if (const FirmupFileEntry* fw = Existing(catalogue_.GetOtherFw(kind, c.serial_master))) {
            Msg(master, Translate(L"Start loading other firmware"));
            if (!c.fw->CaricaOtherFwFile(kind, InCartella(main_folder_, fw->fileName), uint32_t(behaviour))) {
                VLOG_ERROR(kLoad, "Loading other fw file");
                Errore(Translate(L"Loading other fw file"));
            }
            Msg(master, Translate(L"Finished loading other firmware"));
            Msg(master, Translate(L"Start loading other languages"));
            if (!c.fw->CaricaOtherLngFile(kind, InCartella(main_folder_, fw->secondFileName), uint32_t(behaviour))) {
                VLOG_ERROR(kLoad, "Loading other lng file");
                // A gauge without a language file of its own fails this load every time.
                if (!fw->secondFileName.empty()) Errore(Translate(L"Loading other lng file"));
            }
            Msg(master, Translate(L"Finished loading other languages"));
        }
        ProgressStep();
        if (const FirmupFileEntry* booter = Existing(catalogue_.GetOtherBooter(kind, c.serial_master))) {
            Msg(master, Translate(L"Start loading other booter"));
            if (!c.fw->CaricaOtherBooterFile(kind, InCartella(program_folder, booter->fileName), uint32_t(behaviour)))
                VLOG_ERROR(kLoad, "Loading other booter file");
            Msg(master, Translate(L"Finished loading other booter"));
        }
        ProgressStep();
        for (int element = 0; element < kAccessoryElements; ++element) {
            const FirmupFileEntry* acc = Existing(catalogue_.GetOtherAccessorio(kind, element, c.serial_master));
            if (!acc) continue;
            Msg(master, Translate(L"Start loading other accessory elements"));
            if (!c.fw->CaricaOtherAccessoriFile(kind, element, InCartella(program_folder, acc->fileName)))
                VLOG_ERROR(kLoad, "Loading other accessory file");
            Msg(master, Translate(L"Finished loading accessory elements"));
            ProgressStep();
        }
    }
}
