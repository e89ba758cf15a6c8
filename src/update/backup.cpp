#include "update/backup.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/exe_path_name.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "device/data_areas.h"
#include "log/evt_log.h"

namespace vesk::update {

namespace {

constexpr const char* kMethod = "vesk::update::SalvaBackup";
constexpr data_areas::Area kSalvate[] = {data_areas::Area::Configurazione, data_areas::Area::Sensori,
                                         data_areas::Area::ECUDriver, data_areas::Area::Traguardi};

namespace fs = std::filesystem;

// A new folder <serial>-<YYYYMMDD-HHMMSS>, with -2, -3 ... when that one exists; private to the user.
bool NuovaCartella(uint32_t serial, std::time_t when, fs::path& out, std::string& why) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const fs::path root(vesk::to_utf8(BackupRoot()));
    std::error_code ec;
    fs::create_directories(root, ec);
    const std::string base = std::to_string(serial) + "-" + stamp;
    for (int n = 1; n < 100; ++n) {
        const fs::path candidate = root / (n == 1 ? base : base + "-" + std::to_string(n));
        if (fs::create_directory(candidate, ec)) {
            fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
            out = candidate;
            return true;
        }
        if (ec) break;
    }
    why = "the folder " + (root / base).string() + " cannot be created" + (ec ? ": " + ec.message() : "");
    return false;
}

bool ScriviFile(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

}  // namespace

std::wstring BackupRoot() { return vesk::user_state_folder() + L"/vesk-firmup/backups"; }

BackupResult SalvaBackup(IConnectionStrumento& conn, uint32_t serial, std::time_t when) {
    BackupResult r;
    fs::path folder;
    std::string folder_error;
    for (const data_areas::Area area : kSalvate) {
        const char* name = data_areas::Info(area).name;
        if (!data_areas::Presente(conn, area)) continue;
        std::vector<uint8_t> bytes;
        const auto e = data_areas::Leggi(conn, area, bytes);
        if (!e.ok) {
            r.failed.push_back({name, e.why});
            continue;
        }
        // The folder only once there is something to put in it.
        if (folder.empty() && folder_error.empty()) NuovaCartella(serial, when, folder, folder_error);
        if (folder.empty()) {
            r.failed.push_back({name, folder_error});
            continue;
        }
        const fs::path file = folder / data_areas::Info(area).file;
        if (!ScriviFile(file, bytes)) {
            r.failed.push_back({name, file.string() + " could not be written"});
            continue;
        }
        r.saved.push_back(name);
    }
    if (!folder.empty()) r.folder = vesk::from_utf8(folder.string());
    std::string saved;
    for (const auto& s : r.saved) saved += (saved.empty() ? "" : ", ") + s;
    if (!r.saved.empty())
        VLOG_INFO(kMethod, "Backup of unit %u saved in %s: %s", unsigned(serial), folder.string().c_str(), saved.c_str());
    else if (r.failed.empty())
        VLOG_INFO(kMethod, "Unit %u keeps nothing to back up", unsigned(serial));
    for (const auto& f : r.failed)
        VLOG_ERROR(kMethod, "Backup of unit %u: %s not saved: %s", unsigned(serial), f.area.c_str(), f.why.c_str());
    return r;
}

}  // namespace vesk::update
