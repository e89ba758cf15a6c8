#pragma once
// Where the executable lives. The file system is case-sensitive here, so the
// folder is kept as the kernel reports it (never lower-cased).
#include <memory>
#include <string>

class IExePathName {
public:
    virtual ~IExePathName() = default;
    virtual const std::wstring& FullPath() const = 0;
    virtual const std::string& FullPathA() const = 0;
    virtual const std::wstring& FileName() const = 0;
    virtual const std::string& FileNameA() const = 0;
    virtual const std::wstring& FolderNoSlash() const = 0;
    virtual const std::string& FolderNoSlashA() const = 0;
    // The program folder, ending in '/'.
    virtual const std::wstring& Folder() const = 0;
    virtual const std::string& FolderA() const = 0;
};

class CExePathName : public IExePathName {
public:
    // Reads /proc/self/exe.
    CExePathName();
    // Uses the given path as the executable's (either separator accepted).
    explicit CExePathName(const std::string& exe_path);

    const std::wstring& FullPath() const override { return full_; }
    const std::string& FullPathA() const override { return full_a_; }
    const std::wstring& FileName() const override { return name_; }
    const std::string& FileNameA() const override { return name_a_; }
    const std::wstring& FolderNoSlash() const override { return dir_; }
    const std::string& FolderNoSlashA() const override { return dir_a_; }
    const std::wstring& Folder() const override { return dir_slash_; }
    const std::string& FolderA() const override { return dir_slash_a_; }

    // "/./" collapses and "/name/../" removes itself with the name before it.
    static std::string Normalise(const std::string& path);

private:
    void Set(const std::string& path);

    std::wstring full_, name_, dir_, dir_slash_;
    std::string full_a_, name_a_, dir_a_, dir_slash_a_;
};

std::unique_ptr<IExePathName> CreateExePathName();

namespace vesk {
// The folder for files the program writes ("logs/" or "user/"): inside the
// program folder when that is writable and not an installed copy (one that
// holds kInstalledMark), otherwise the per-user XDG folder
// ($XDG_STATE_HOME/vesk-firmup/logs/, $XDG_CONFIG_HOME/vesk-firmup/user/, ...).
// Ends in '/'.
// True when folder, or the program's own "vesk-firmup" folder above it, is a
// symbolic link: folders the program names itself are never followed (a link
// planted there could send logs or backups into an update folder).
bool program_folder_is_link(const std::wstring& folder);

std::wstring writable_folder(const std::wstring& program_folder, const std::wstring& sub);
// The user's state folder: $XDG_STATE_HOME when it is an absolute path, else
// $HOME/.local/state; no trailing '/'.
std::wstring user_state_folder();
// The empty file cmake --install puts beside the installed programs.
inline constexpr char kInstalledMark[] = ".installed";
// True when program_folder holds kInstalledMark.
bool is_installed_copy(const std::wstring& program_folder);
// The main folder of the update files: the program folder of a copy run from
// its build or unpacked folder; for an installed copy, whose program folder
// belongs to the package manager, $XDG_DATA_HOME/vesk-firmup/updates/ (default
// ~/.local/share/...), made with its _BOOTER and _ACCESSORI on first use.
// Ends in '/'. When one of the three cannot be made, problem (if given) says
// which and why ("... cannot be created: Not a directory").
std::wstring default_update_folder(const std::wstring& program_folder, std::wstring* problem = nullptr);
}  // namespace vesk
