#include "common/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/atomic_file.h"
#include "common/clock.h"
#include "common/diag.h"
#include "common/path_file.h"
#include "common/str_conv.h"
#include "common/user_file.h"

namespace {

std::string narrow(const std::wstring& p) {
    std::string s = vesk::to_utf8(p);
    for (auto& c : s)
        if (c == '\\') c = '/';
    return s;
}

enum class Entry { File, Folder };

// Sorted names of one folder's entries of the given kind that match pattern.
bool list_entries(const std::wstring& folder, const std::wstring& pattern, Entry kind,
                  std::vector<std::wstring>& found) {
    // An empty name, or one the system cannot be given, lists nothing: never
    // the working folder in its place.
    const std::string dir = narrow(folder);
    if (dir.empty()) return false;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    std::vector<std::wstring> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::wstring wname = vesk::from_utf8(name);
        if (wname.empty()) continue;  // a name that is not UTF-8 cannot be represented
        if (!vesk::wildcard_match(pattern, wname)) continue;
        // The entry's kind as the listing gives it; a link (followed) or an
        // unknown kind is asked of the file system.
        bool want = false;
        if (e->d_type == DT_REG || e->d_type == DT_DIR) {
            want = (e->d_type == DT_REG) == (kind == Entry::File);
        } else {
            struct stat st{};
            const std::string full = dir + "/" + name;
            if (::stat(full.c_str(), &st) != 0) continue;
            want = kind == Entry::File ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode);
        }
        if (want) names.push_back(std::move(wname));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    found.insert(found.end(), names.begin(), names.end());
    return true;
}

bool copy_file(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) return false;
    struct stat st{};
    vesk::AtomicFileWriter out;
    bool ok = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode) && out.Open(to, vesk::FileTarget::UserNamed);
    char buf[65536];
    while (ok) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0) break;
        ok = n > 0 && out.Write(buf, static_cast<size_t>(n));
    }
    ::close(in);
    return ok && out.Commit();
}

bool read_all(const std::string& path, std::string& out) {
    // A regular file of a sane size only: a FIFO or a device is never waited on.
    constexpr size_t kMaxFile = 64u << 20;
    std::string why;
    return vesk::read_user_file(path, kMaxFile, out, why);
}

}  // namespace

namespace vesk {

bool wildcard_match(const std::wstring& pattern, const std::wstring& name) {
    if (pattern.empty() || pattern == L"*.*" || pattern == L"*") return true;
    return ::fnmatch(to_utf8(pattern).c_str(), to_utf8(name).c_str(), FNM_CASEFOLD) == 0;
}

}  // namespace vesk

bool FS::ListFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                   const std::wstring& pattern) const {
    return list_entries(folder, pattern, Entry::File, out);
}

bool FS::ListFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                   const std::vector<std::wstring>& patterns) const {
    if (patterns.empty()) return ListFiles(folder, out, L"*.*");
    bool ok = true;
    for (const auto& p : patterns) ok = ListFiles(folder, out, p) && ok;
    return ok;
}

bool FS::ListFolders(const std::wstring& folder, std::vector<std::wstring>& out,
                     const std::wstring& pattern) const {
    return list_entries(folder, pattern, Entry::Folder, out);
}

bool FS::ListFolders(const std::wstring& folder, std::vector<std::wstring>& out,
                     const std::vector<std::wstring>& patterns) const {
    if (patterns.empty()) return ListFolders(folder, out, L"*");
    bool ok = true;
    for (const auto& p : patterns) ok = ListFolders(folder, out, p) && ok;
    return ok;
}

bool FS::ListFilesRecursive(const std::wstring& folder, std::vector<std::wstring>& out,
                            const std::wstring& pattern) const {
    CPathFile pf;
    std::vector<std::wstring> files;
    if (!ListFiles(folder, files, pattern)) return false;
    for (const auto& f : files) out.push_back(pf.Join(folder, f));
    std::vector<std::wstring> subs;
    ListFolders(folder, subs, L"*");
    for (const auto& s : subs) ListFilesRecursive(pf.Join(folder, s), out, pattern);
    return true;
}

bool FS::ListFilesRecursive(const std::wstring& folder, std::vector<std::wstring>& out,
                            const std::vector<std::wstring>& patterns) const {
    if (patterns.empty()) return ListFilesRecursive(folder, out, L"*.*");
    bool ok = true;
    for (const auto& p : patterns) ok = ListFilesRecursive(folder, out, p) && ok;
    return ok;
}

int FS::Kind(const std::wstring& path) const {
    CPathFile pf;
    if (path.empty()) return 2;
    const std::wstring without = pf.WithoutTrailingSeparator(path);
    const std::string trimmed = narrow(without);
    // A path the system cannot be given is not the root either.
    if (trimmed.empty() && !without.empty()) return 2;
    // A path of only separators is the root.
    const char* p = trimmed.empty() ? "/" : trimmed.c_str();
    struct stat st{};
    if (::stat(p, &st) != 0) return 3;
    if (S_ISREG(st.st_mode)) return 0;
    if (S_ISDIR(st.st_mode)) return 1;
    return 2;
}

int FS::CreateFolders(const std::wstring& path, bool last_is_folder) const {
    if (path.empty()) return 2;
    CPathFile pf;
    const auto parts = pf.Components(path, last_is_folder);
    if (parts.empty()) return 2;
    int result = 0;
    std::wstring current;
    for (size_t i = 0; i < parts.size(); ++i) {
        current = i == 0 ? parts[0] : current + L'/' + parts[i];
        if (current.empty()) continue;  // the root of an absolute path
        if (IsFolder(current)) continue;
        if (::mkdir(narrow(current).c_str(), 0755) != 0 && !IsFolder(current)) {
            result = 1;
            break;
        }
    }
    vesk::Sleep(100);
    return result;
}

bool FS::DeleteFolderTree(const std::wstring& path) const {
    CPathFile pf;
    const std::wstring folder = pf.WithoutTrailingSeparator(path);
    if (!IsFolder(folder)) return false;
    bool ok = true;
    std::vector<std::wstring> entries;
    list_entries(folder, L"*", Entry::File, entries);
    for (const auto& f : entries) ok = ::unlink(narrow(pf.Join(folder, f)).c_str()) == 0 && ok;
    entries.clear();
    list_entries(folder, L"*", Entry::Folder, entries);
    for (const auto& s : entries) ok = DeleteFolderTree(pf.Join(folder, s)) && ok;
    // Leave the folder first if the working folder is inside it.
    const std::string target = narrow(folder);
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd) {
        const std::string c = cwd;
        std::free(cwd);
        if (c == target || c.rfind(target + "/", 0) == 0) {
            if (::chdir((target + "/..").c_str()) != 0) ok = false;
        }
    }
    ok = ::rmdir(target.c_str()) == 0 && ok;
    vesk::Sleep(100);
    return ok;
}

bool FS::CopyFolderTree(const std::wstring& from, const std::wstring& to) const {
    CPathFile pf;
    if (!IsFolder(from)) return false;
    if (CreateFolders(to, true) != 0) return false;
    bool ok = true;
    std::vector<std::wstring> entries;
    list_entries(from, L"*", Entry::File, entries);
    for (const auto& f : entries)
        ok = copy_file(narrow(pf.Join(from, f)), narrow(pf.Join(to, f))) && ok;
    entries.clear();
    list_entries(from, L"*", Entry::Folder, entries);
    for (const auto& s : entries) ok = CopyFolderTree(pf.Join(from, s), pf.Join(to, s)) && ok;
    return ok;
}

bool FS::Rename(const std::wstring& from, const std::wstring& to) const {
    if (!IsFile(from)) return false;
    return ::rename(narrow(from).c_str(), narrow(to).c_str()) == 0;
}

bool FS::ReadText(const std::wstring& path, std::string& out) const {
    return read_all(narrow(path), out);
}

bool FS::ReadLines(const std::wstring& path, std::vector<std::string>& out) const {
    std::string all;
    if (!read_all(narrow(path), all)) return false;
    size_t start = 0;
    while (start < all.size()) {
        size_t nl = all.find('\n', start);
        size_t end = nl == std::string::npos ? all.size() : nl;
        size_t stop = end;
        if (stop > start && all[stop - 1] == '\r') --stop;
        out.emplace_back(all, start, stop - start);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return true;
}

std::unique_ptr<uint8_t[]> FS::ReadBytes(const std::wstring& path, size_t& size) const {
    size = 0;
    std::string all;
    if (!read_all(narrow(path), all)) return nullptr;
    auto buf = std::make_unique<uint8_t[]>(all.size() ? all.size() : 1);
    std::copy(all.begin(), all.end(), buf.get());
    size = all.size();
    return buf;
}

bool FS::ReadBytes(const std::wstring& path, std::vector<uint8_t>& out) const {
    std::string all;
    if (!read_all(narrow(path), all)) return false;
    out.assign(all.begin(), all.end());
    return true;
}

bool FS::WriteBytes(const std::wstring& path, const uint8_t* data, size_t size) const {
    if (path.empty() || !data || size == 0) return false;
    std::string why;
    if (vesk::write_file_atomically(narrow(path), data, size, vesk::FileTarget::UserNamed, &why)) return true;
    VDIAG_ERROR("FS::WriteBytes", "%s", why.c_str());
    return false;
}

std::wstring FS::CurrentFolder() const {
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd) return {};
    std::wstring w = vesk::from_utf8(cwd);
    std::free(cwd);
    if (w.empty() || w.back() != L'/') w += L'/';
    return w;
}

bool FS::SetCurrentFolder(const std::wstring& path) const {
    return !path.empty() && ::chdir(narrow(path).c_str()) == 0;
}

std::unique_ptr<IFileSystem> CreateFileSystem() { return std::make_unique<FS>(); }
