// What a key device carries for other gauges: the behaviour it follows when
// it later meets one (the Behaviour Request), and their firmware, language,
// booter and accessory files. None of these loads stops the run.
#include "update/settings/engine.h"
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
    // Each load is a write to the key, shown on the wait bar.
    auto carica = [&](const std::function<bool()>& load) { return ScritturaConProgresso(*c.fw, c.serial_master, load); };
    for (int kind = 0; kind < kOtherGaugeKinds; ++kind) {
        if (const FirmupFileEntry* fw = Existing(catalogue_.GetOtherFw(kind, c.serial_master))) {
            Msg(master, Translate(L"Start loading other firmware"));
            const std::wstring fw_path = InCartella(main_folder_, fw->fileName);
            if (!carica([&] { return c.fw->CaricaOtherFwFile(kind, fw_path, uint32_t(behaviour)); })) {
                VLOG_ERROR(kLoad, "Loading other fw file");
                Errore(Translate(L"Loading other fw file"));
            }
            Msg(master, Translate(L"Finished loading other firmware"));
            Msg(master, Translate(L"Start loading other languages"));
            const std::wstring lng_path = InCartella(main_folder_, fw->secondFileName);
            if (!carica([&] { return c.fw->CaricaOtherLngFile(kind, lng_path, uint32_t(behaviour)); })) {
                VLOG_ERROR(kLoad, "Loading other lng file");
                // A gauge without a language file of its own fails this load every time.
                if (!fw->secondFileName.empty()) Errore(Translate(L"Loading other lng file"));
            }
            Msg(master, Translate(L"Finished loading other languages"));
        }
        ProgressStep();
        if (const FirmupFileEntry* booter = Existing(catalogue_.GetOtherBooter(kind, c.serial_master))) {
            Msg(master, Translate(L"Start loading other booter"));
            const std::wstring path = InCartella(program_folder, booter->fileName);
            if (!carica([&] { return c.fw->CaricaOtherBooterFile(kind, path, uint32_t(behaviour)); }))
                VLOG_ERROR(kLoad, "Loading other booter file");
            Msg(master, Translate(L"Finished loading other booter"));
        }
        ProgressStep();
        for (int element = 0; element < kAccessoryElements; ++element) {
            const FirmupFileEntry* acc = Existing(catalogue_.GetOtherAccessorio(kind, element, c.serial_master));
            if (!acc) continue;
            Msg(master, Translate(L"Start loading other accessory elements"));
            const std::wstring path = InCartella(program_folder, acc->fileName);
            if (!carica([&] { return c.fw->CaricaOtherAccessoriFile(kind, element, path); }))
                VLOG_ERROR(kLoad, "Loading other accessory file");
            Msg(master, Translate(L"Finished loading accessory elements"));
            ProgressStep();
        }
    }
}
