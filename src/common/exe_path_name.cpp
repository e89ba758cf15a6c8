#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include "common/exe_path_name.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/str_conv.h"
#include "common/diag.h"
#include "common/file_system.h"

CExePathName::CExePathName() {
    // The kernel does not say how long the link is: grow until it fits.
    std::vector<char> buf(128);
    while (true) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) {
            VDIAG_ERROR("CExePathName::veskGetDir", "Unavailable current path directory");
            return;
        }
        if (static_cast<size_t>(n) < buf.size()) {
            Set(std::string(buf.data(), static_cast<size_t>(n)));
            return;
        }
        buf.resize(buf.size() * 2);
    }
}

CExePathName::CExePathName(const std::string& exe_path) { Set(exe_path); }

std::string CExePathName::Normalise(const std::string& path) {
    std::string p(path);
    for (auto& c : p)
        if (c == '\\') c = '/';
    size_t pos;
    while ((pos = p.find("/./")) != std::string::npos) p.erase(pos, 2);
    while ((pos = p.find("/../")) != std::string::npos) {
        const size_t prev = pos == 0 ? std::string::npos : p.rfind('/', pos - 1);
        const size_t from = prev == std::string::npos ? 0 : prev;
        p.erase(from, pos + 3 - from);
    }
    return p;
}

void CExePathName::Set(const std::string& path) {
    full_a_ = Normalise(path);
    const size_t sep = full_a_.rfind('/');
    name_a_ = sep == std::string::npos ? full_a_ : full_a_.substr(sep + 1);
    dir_a_ = sep == std::string::npos ? std::string() : full_a_.substr(0, sep);
    dir_slash_a_ = dir_a_ + '/';
    full_ = vesk::from_utf8(full_a_);
    name_ = vesk::from_utf8(name_a_);
    dir_ = vesk::from_utf8(dir_a_);
    dir_slash_ = vesk::from_utf8(dir_slash_a_);
}

std::unique_ptr<IExePathName> CreateExePathName() { return std::make_unique<CExePathName>(); }

namespace vesk {

namespace {

// An XDG base folder: the variable when it holds an absolute path, else the default under $HOME.
std::wstring XdgFolder(const char* variable, const char* below_home) {
    const char* xdg = std::getenv(variable);
    if (xdg && *xdg == '/') return from_utf8(xdg);
    const char* home = std::getenv("HOME");
    // Without HOME (a service, env -u HOME), the account's own folder, never the root's.
    if (!home || *home != '/') {
        const passwd* pw = ::getpwuid(::geteuid());
        home = pw && pw->pw_dir && *pw->pw_dir == '/' ? pw->pw_dir : "/tmp";
    }
    return from_utf8(std::string(home) + below_home);
}

}  // namespace

bool program_folder_is_link(const std::wstring& folder) {
    std::string path = to_utf8(folder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    const std::string parent = path.substr(0, slash);
    const bool ours = parent.size() >= 12 && parent.compare(parent.size() - 12, 12, "/vesk-firmup") == 0;
    return ours && ::lstat(parent.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::wstring writable_folder(const std::wstring& program_folder, const std::wstring& sub) {
    std::string dir = to_utf8(program_folder);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    // An installed copy keeps its folder to the package manager, also for
    // root, who could write it.
    if (!dir.empty() && !is_installed_copy(program_folder) && ::access(dir.c_str(), W_OK) == 0)
        return program_folder + sub;

    const bool is_logs = sub.rfind(L"logs", 0) == 0;
    return (is_logs ? user_state_folder() : XdgFolder("XDG_CONFIG_HOME", "/.config")) + L"/vesk-firmup/" + sub;
}

bool is_installed_copy(const std::wstring& program_folder) {
    std::string dir = to_utf8(program_folder);
    if (dir.empty()) return false;
    if (dir.back() != '/') dir += '/';
    return ::access((dir + kInstalledMark).c_str(), F_OK) == 0;
}

// The first folder along path that is missing or no folder: the one whose
// making failed, so that the message names it rather than the last one.
static std::string FirstFolderNotThere(const std::string& path) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        struct stat st {};
        if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return prefix + "/";
        if (end == std::string::npos || end + 1 >= path.size()) return path;
    }
}

std::wstring default_update_folder(const std::wstring& program_folder, std::wstring* problem) {
    if (!is_installed_copy(program_folder)) return program_folder;
    const std::wstring folder = XdgFolder("XDG_DATA_HOME", "/.local/share") + L"/vesk-firmup/updates/";
    for (const wchar_t* sub : {L"_BOOTER/", L"_ACCESSORI/"}) {
        if (FS().CreateFolders(folder + sub, true) == 0 || !problem || !problem->empty()) continue;
        // Made again only to learn why it cannot be: the first attempt's errno is gone.
        std::error_code why;
        std::filesystem::create_directories(to_utf8(folder + sub), why);
        *problem = from_utf8(FirstFolderNotThere(to_utf8(folder + sub))) + L" cannot be created: " +
                   from_utf8(why ? why.message() : "unknown cause");
    }
    return folder;
}

std::wstring user_state_folder() { return XdgFolder("XDG_STATE_HOME", "/.local/state"); }

}  // namespace vesk
