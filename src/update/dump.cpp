// The Dump button: the instrument's memory written to a file.
#include <vector>

#include "update/settings/engine.h"
#include "device/connection_strumento.h"
#include "update/update_procedure.h"

bool CUpdateProcedure::OnDump() {
    std::vector<CDeviceInfo> found;
    IConnectionStrumento::GetListaDeviceCollegati(found, true);
    if (found.size() != 1) return false;
    // The connection keeps a pointer to the info: it lives as long.
    CDeviceInfo info = found.front();
    IConnectionStrumento* conn = IConnectionStrumento::CreateConnectionToStrumento(&info, main_folder_);
    if (!conn) return false;
    if (!conn->Connetti(&info)) {
        IConnectionStrumento::DeleteConnectionToStrumento(conn);
        return false;
    }
    const std::wstring file = surface_.AskDumpFile();
    // No file chosen: nothing is written and nothing is said.
    const bool dumped = !file.empty() && conn->DumpStrumento(file);
    conn->Chiudi();
    if (!file.empty())
        surface_.MessageBoxInfo(vesk::Translate(dumped ? L"Dump performed." : L"Dump failed: the file could not be written."));
    IConnectionStrumento::DeleteConnectionToStrumento(conn);
    return dumped;
}
