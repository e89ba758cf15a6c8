#include "update/backup.h"

#include <algorithm>
#include <cstdlib>
#include <regex>

#include <filesystem>
#include <system_error>

#include "common/atomic_file.h"
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

void Sfoltisci(const fs::path& root, uint32_t serial);

// A new folder <serial>-<YYYYMMDD-HHMMSS>, with -2, -3 ... when that one exists; private to the user.
bool NuovaCartella(uint32_t serial, std::time_t when, fs::path& out, std::string& why) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const fs::path root(vesk::to_utf8(BackupRoot()));
    std::error_code ec;
    // Our own folders are never followed: a link there could lead into an update folder.
    if (vesk::program_folder_is_link(BackupRoot())) {
        why = "the folder " + root.string() + " is a symbolic link: refused";
        return false;
    }
    fs::create_directories(root, ec);
    const std::string base = std::to_string(serial) + "-" + stamp;
    for (int n = 1; n < 100; ++n) {
        const fs::path candidate = root / (n == 1 ? base : base + "-" + std::to_string(n));
        if (fs::create_directory(candidate, ec)) {
            fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
            out = candidate;
            Sfoltisci(root, serial);
            return true;
        }
        if (ec) break;
    }
    why = "the folder " + (root / base).string() + " cannot be created" + (ec ? ": " + ec.message() : "");
    return false;
}

bool g_simulated = false;

// Only what this program named as a backup of serial: <serial>-<date>-<time>[-n], a real folder.
bool IsBackupOf(const fs::directory_entry& e, uint32_t serial) {
    static const std::regex kName(R"(\d+-\d{8}-\d{6}(-\d+)?)");
    const std::string name = e.path().filename().string();
    std::error_code ec;
    return name.rfind(std::to_string(serial) + "-", 0) == 0 && std::regex_match(name, kName) &&
           fs::symlink_status(e.path(), ec).type() == fs::file_type::directory;
}

// The newest kBackupsKept of serial stay (the names sort by time).
void Sfoltisci(const fs::path& root, uint32_t serial) {
    std::error_code ec;
    std::vector<fs::path> backups;
    for (const auto& e : fs::directory_iterator(root, ec))
        if (IsBackupOf(e, serial)) backups.push_back(e.path());
    if (backups.size() <= kBackupsKept) return;
    std::sort(backups.begin(), backups.end());
    for (size_t i = 0; i + kBackupsKept < backups.size(); ++i) {
        fs::remove_all(backups[i], ec);
        if (ec) VLOG_ERROR(kMethod, "Old backup %s not removed: %s", backups[i].string().c_str(), ec.message().c_str());
        else VLOG_INFO(kMethod, "Old backup %s removed", backups[i].string().c_str());
    }
}


}  // namespace

void SetSimulatedBackups(bool simulated) { g_simulated = simulated; }

std::wstring BackupRoot() {
    const char* served = std::getenv("UMOCKDEV_DIR");
    const bool simulated = g_simulated || (served && *served);
    return vesk::user_state_folder() + (simulated ? L"/vesk-firmup/simulated-backups" : L"/vesk-firmup/backups");
}

BackupResult SalvaBackup(IConnectionStrumento& conn, uint32_t serial, std::time_t when) {
    BackupResult r;
    std::vector<data_areas::Area> areas;
    for (const data_areas::Area area : kSalvate)
        if (data_areas::Presente(conn, area)) areas.push_back(area);
    fs::path folder;
    // The folder first: one that cannot be written is known before anything is read.
    if (!areas.empty() && !NuovaCartella(serial, when, folder, r.unwritable)) {
        for (const data_areas::Area area : areas) r.failed.push_back({data_areas::Info(area).name, r.unwritable});
        areas.clear();
    }
    for (const data_areas::Area area : areas) {
        const char* name = data_areas::Info(area).name;
        std::vector<uint8_t> bytes;
        const auto e = data_areas::Leggi(conn, area, bytes);
        if (!e.ok) {
            r.failed.push_back({name, e.why});
            continue;
        }
        std::string why;
        const fs::path file = folder / data_areas::Info(area).file;
        if (!vesk::write_file_atomically(file.string(), bytes.data(), bytes.size(), vesk::FileTarget::OwnName, &why)) {
            r.failed.push_back({name, why});
            if (r.unwritable.empty()) r.unwritable = why;
            continue;
        }
        r.saved.push_back(name);
    }
    // A folder that holds nothing is no backup.
    std::error_code ec;
    if (!folder.empty() && r.saved.empty()) {
        fs::remove(folder, ec);
        folder.clear();
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
