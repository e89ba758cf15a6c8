#include "firmware_files/update_folders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/path_file.h"
#include "common/str_conv.h"

UpdateFolders UpdateFoldersOf(const std::wstring& main) {
    if (main.empty()) return {};
    const CPathFile pf;
    return {main, pf.Join(main, L"_BOOTER"), pf.Join(main, L"_ACCESSORI")};
}

FolderState CheckFolder(const std::wstring& path) {
    if (path.empty()) return FolderState::NoName;
    std::string p = vesk::to_utf8(path);
    // A path the system cannot be given is not silently some other path.
    if (p.empty()) return FolderState::Unreadable;
    for (auto& c : p)
        if (c == '\\') c = '/';
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FolderState::Missing : FolderState::Unreadable;
    if (!S_ISDIR(st.st_mode)) return FolderState::NotAFolder;
    // Listing needs read access, telling files from folders needs search access.
    if (::access(p.c_str(), R_OK | X_OK) != 0) return FolderState::Unreadable;
    DIR* d = ::opendir(p.c_str());
    if (!d) return FolderState::Unreadable;
    ::closedir(d);
    return FolderState::Ok;
}

std::vector<FolderProblem> CheckUpdateFolders(const UpdateFolders& folders) {
    std::vector<FolderProblem> problems;
    // Below a main folder that has no name there are no others to name.
    if (folders.main.empty()) return {{folders.main, FolderState::NoName}};
    for (const std::wstring* f : {&folders.main, &folders.booter, &folders.accessori}) {
        const FolderState s = CheckFolder(*f);
        if (s != FolderState::Ok) problems.push_back({*f, s});
    }
    return problems;
}

const char* FolderStateText(FolderState state) {
    switch (state) {
    case FolderState::Ok: return "can be read";
    case FolderState::NoName: return "has no name";
    case FolderState::Missing: return "is missing";
    case FolderState::NotAFolder: return "is not a folder";
    case FolderState::Unreadable: return "cannot be read";
    }
    return "cannot be read";
}
