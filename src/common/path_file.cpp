#include "common/path_file.h"

#include <cwctype>

namespace vesk {

std::wstring to_lower(const std::wstring& s) {
    std::wstring out(s);
    for (auto& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return out;
}

bool iequals(const std::wstring& a, const std::wstring& b) { return to_lower(a) == to_lower(b); }

}  // namespace vesk

namespace {

constexpr size_t npos = std::wstring::npos;

size_t last_separator(const std::wstring& p) { return p.find_last_of(L"/\\"); }

}  // namespace

std::wstring CPathFile::Extension(const std::wstring& path) const {
    const size_t dot = path.rfind(L'.');
    if (dot == npos) return {};
    const size_t sep = last_separator(path);
    if (sep != npos && dot < sep) return {};
    return path.substr(dot + 1);
}

std::wstring CPathFile::Title(const std::wstring& path) const {
    const std::wstring name = FileName(path);
    const size_t dot = name.rfind(L'.');
    return dot == npos ? name : name.substr(0, dot);
}

std::wstring CPathFile::FileName(const std::wstring& path) const {
    const size_t sep = last_separator(path);
    return sep == npos ? path : path.substr(sep + 1);
}

std::wstring CPathFile::Folder(const std::wstring& path, bool keep_separator) const {
    const size_t sep = last_separator(path);
    if (sep == npos) return {};
    return path.substr(0, keep_separator ? sep + 1 : sep);
}

std::wstring CPathFile::Join(const std::wstring& first, const std::wstring& second,
                             wchar_t separator) const {
    size_t lead = 0;
    while (lead < second.size() && vesk::is_separator(second[lead])) ++lead;
    const std::wstring tail = second.substr(lead);
    if (first.empty()) return tail;
    return WithoutTrailingSeparator(first) + separator + tail;
}

void CPathFile::Split(const std::wstring& path, std::wstring* folder, std::wstring* title,
                      std::wstring* extension) const {
    if (folder) *folder = Folder(path, true);
    if (title) *title = Title(path);
    if (extension) *extension = Extension(path);
}

std::vector<std::wstring> CPathFile::Components(const std::wstring& path,
                                                bool last_is_folder) const {
    std::vector<std::wstring> out;
    if (path.empty()) return out;
    const size_t last = last_separator(path);
    // Everything before the last separator is folders; what follows is the last part.
    const std::wstring folders = last == npos ? std::wstring() : path.substr(0, last);
    const std::wstring name = last == npos ? path : path.substr(last + 1);
    if (last != npos) {
        size_t start = 0;
        bool first = true;
        while (true) {
            const size_t sep = folders.find_first_of(L"/\\", start);
            std::wstring part = folders.substr(start, sep == npos ? npos : sep - start);
            // The empty text before a leading separator is the root; other empty parts are doubled separators.
            if (!part.empty() || first) out.push_back(part);
            first = false;
            if (sep == npos) break;
            start = sep + 1;
        }
    }
    if (last_is_folder && !name.empty()) out.push_back(name);
    return out;
}

std::wstring CPathFile::Up(const std::wstring& path, int levels, bool keep_separator) const {
    std::wstring p = WithoutTrailingSeparator(path);
    for (int i = 0; i < levels; ++i) {
        const size_t sep = last_separator(p);
        if (sep == npos) return {};
        p = WithoutTrailingSeparator(p.substr(0, sep + 1));
        if (p.empty()) return keep_separator ? path.substr(0, 1) : std::wstring();
    }
    return keep_separator ? p + L'/' : p;
}

std::wstring CPathFile::RootPart(const std::wstring& path, bool keep_separator) const {
    const size_t sep = path.find_first_of(L"/\\");
    if (sep == npos) return {};
    return path.substr(0, keep_separator ? sep + 1 : sep);
}

std::wstring CPathFile::ToSlash(const std::wstring& path) const {
    std::wstring out(path);
    for (auto& c : out)
        if (c == L'\\') c = L'/';
    return out;
}

std::wstring CPathFile::ToBackslash(const std::wstring& path) const {
    std::wstring out(path);
    for (auto& c : out)
        if (c == L'/') c = L'\\';
    return out;
}

std::wstring CPathFile::ChangeExtension(const std::wstring& path,
                                        const std::wstring& extension) const {
    const size_t dot = path.rfind(L'.');
    const size_t sep = last_separator(path);
    if (dot == npos || (sep != npos && dot < sep)) return path + L'.' + extension;
    return path.substr(0, dot + 1) + extension;
}

bool CPathFile::ExtensionEquals(const std::wstring& path, const std::wstring& extension) const {
    return vesk::iequals(Extension(path), extension);
}

std::wstring CPathFile::WithoutTrailingSeparator(const std::wstring& path) const {
    size_t end = path.size();
    while (end > 0 && vesk::is_separator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::unique_ptr<IPathFile> CreatePathFile() { return std::make_unique<CPathFile>(); }
