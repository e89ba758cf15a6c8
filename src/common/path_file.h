#pragma once
// Taking path strings apart and joining them. Both '/' and '\' are separators
// on input; what the program builds uses '/'.
#include <memory>
#include <string>
#include <vector>

class IPathFile {
public:
    virtual ~IPathFile() = default;
    // Text after the last '.', when that '.' follows the last separator.
    virtual std::wstring Extension(const std::wstring& path) const = 0;
    // File name without its extension.
    virtual std::wstring Title(const std::wstring& path) const = 0;
    // Text after the last separator; the whole path when there is none.
    virtual std::wstring FileName(const std::wstring& path) const = 0;
    // Text before the last separator, with it when keep_separator; empty when there is none.
    virtual std::wstring Folder(const std::wstring& path, bool keep_separator) const = 0;
    virtual std::wstring Join(const std::wstring& first, const std::wstring& second,
                              wchar_t separator = L'/') const = 0;
    // Fills those outputs that are not null; the folder keeps its separator.
    virtual void Split(const std::wstring& path, std::wstring* folder, std::wstring* title,
                       std::wstring* extension) const = 0;
    // Folder names from the root down (an absolute path starts with an empty
    // root component), then the file name when last_is_folder is set and it is not empty.
    virtual std::vector<std::wstring> Components(const std::wstring& path,
                                                 bool last_is_folder) const = 0;
    // Removes that many trailing components (trailing separators are ignored first).
    virtual std::wstring Up(const std::wstring& path, int levels, bool keep_separator) const = 0;
    // Text before the first separator.
    virtual std::wstring RootPart(const std::wstring& path, bool keep_separator) const = 0;
    virtual std::wstring ToSlash(const std::wstring& path) const = 0;
    virtual std::wstring ToBackslash(const std::wstring& path) const = 0;
    virtual std::wstring ChangeExtension(const std::wstring& path,
                                         const std::wstring& extension) const = 0;
    // Compared without regard to case.
    virtual bool ExtensionEquals(const std::wstring& path, const std::wstring& extension) const = 0;
    virtual std::wstring WithoutTrailingSeparator(const std::wstring& path) const = 0;
};

class CPathFile : public IPathFile {
public:
    std::wstring Extension(const std::wstring& path) const override;
    std::wstring Title(const std::wstring& path) const override;
    std::wstring FileName(const std::wstring& path) const override;
    std::wstring Folder(const std::wstring& path, bool keep_separator) const override;
    std::wstring Join(const std::wstring& first, const std::wstring& second,
                      wchar_t separator = L'/') const override;
    void Split(const std::wstring& path, std::wstring* folder, std::wstring* title,
               std::wstring* extension) const override;
    std::vector<std::wstring> Components(const std::wstring& path,
                                         bool last_is_folder) const override;
    std::wstring Up(const std::wstring& path, int levels, bool keep_separator) const override;
    std::wstring RootPart(const std::wstring& path, bool keep_separator) const override;
    std::wstring ToSlash(const std::wstring& path) const override;
    std::wstring ToBackslash(const std::wstring& path) const override;
    std::wstring ChangeExtension(const std::wstring& path,
                                 const std::wstring& extension) const override;
    bool ExtensionEquals(const std::wstring& path, const std::wstring& extension) const override;
    std::wstring WithoutTrailingSeparator(const std::wstring& path) const override;
};

std::unique_ptr<IPathFile> CreatePathFile();

namespace vesk {
inline bool is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }
// Lower case of ASCII and Latin letters, for comparisons that ignore case.
std::wstring to_lower(const std::wstring& s);
bool iequals(const std::wstring& a, const std::wstring& b);
}  // namespace vesk
