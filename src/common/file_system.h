#pragma once
// Listing, testing, creating, copying, reading and deleting files and folders.
// Listings match wildcards without regard to case and come sorted by code point.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // Names of the regular files in folder that match pattern; "*.*" matches every name.
    virtual bool ListFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                           const std::wstring& pattern) const = 0;
    // One listing per pattern, appended; "*.*" when none is given.
    virtual bool ListFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                           const std::vector<std::wstring>& patterns) const = 0;
    virtual bool ListFolders(const std::wstring& folder, std::vector<std::wstring>& out,
                             const std::wstring& pattern) const = 0;
    virtual bool ListFolders(const std::wstring& folder, std::vector<std::wstring>& out,
                             const std::vector<std::wstring>& patterns) const = 0;
    // Paths (folder joined with the relative name) of matching files in the whole tree.
    virtual bool ListFilesRecursive(const std::wstring& folder, std::vector<std::wstring>& out,
                                    const std::wstring& pattern) const = 0;
    virtual bool ListFilesRecursive(const std::wstring& folder, std::vector<std::wstring>& out,
                                    const std::vector<std::wstring>& patterns) const = 0;
    // 0 regular file, 1 folder, 2 something else or empty path, 3 nothing there.
    // A trailing separator is ignored.
    virtual int Kind(const std::wstring& path) const = 0;
    virtual bool IsFile(const std::wstring& path) const = 0;
    virtual bool IsFolder(const std::wstring& path) const = 0;
    // 0 all exist or were made, 1 a creation failed, 2 empty path.
    virtual int CreateFolders(const std::wstring& path, bool last_is_folder) const = 0;
    virtual bool DeleteFolderTree(const std::wstring& path) const = 0;
    virtual bool CopyFolderTree(const std::wstring& from, const std::wstring& to) const = 0;
    // Only when from is a regular file.
    virtual bool Rename(const std::wstring& from, const std::wstring& to) const = 0;
    virtual bool ReadText(const std::wstring& path, std::string& out) const = 0;
    // Lines without their "\n" or "\r\n".
    virtual bool ReadLines(const std::wstring& path, std::vector<std::string>& out) const = 0;
    virtual std::unique_ptr<uint8_t[]> ReadBytes(const std::wstring& path, size_t& size) const = 0;
    virtual bool ReadBytes(const std::wstring& path, std::vector<uint8_t>& out) const = 0;
    // Replaces the file; false for an empty path, null data or zero size.
    virtual bool WriteBytes(const std::wstring& path, const uint8_t* data, size_t size) const = 0;
    // With '/' separators and a trailing '/'.
    virtual std::wstring CurrentFolder() const = 0;
    virtual bool SetCurrentFolder(const std::wstring& path) const = 0;
};

class FS : public IFileSystem {
public:
    bool ListFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                   const std::wstring& pattern) const override;
    bool ListFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                   const std::vector<std::wstring>& patterns) const override;
    bool ListFolders(const std::wstring& folder, std::vector<std::wstring>& out,
                     const std::wstring& pattern) const override;
    bool ListFolders(const std::wstring& folder, std::vector<std::wstring>& out,
                     const std::vector<std::wstring>& patterns) const override;
    bool ListFilesRecursive(const std::wstring& folder, std::vector<std::wstring>& out,
                            const std::wstring& pattern) const override;
    bool ListFilesRecursive(const std::wstring& folder, std::vector<std::wstring>& out,
                            const std::vector<std::wstring>& patterns) const override;
    int Kind(const std::wstring& path) const override;
    bool IsFile(const std::wstring& path) const override { return Kind(path) == 0; }
    bool IsFolder(const std::wstring& path) const override { return Kind(path) == 1; }
    int CreateFolders(const std::wstring& path, bool last_is_folder) const override;
    bool DeleteFolderTree(const std::wstring& path) const override;
    bool CopyFolderTree(const std::wstring& from, const std::wstring& to) const override;
    bool Rename(const std::wstring& from, const std::wstring& to) const override;
    bool ReadText(const std::wstring& path, std::string& out) const override;
    bool ReadLines(const std::wstring& path, std::vector<std::string>& out) const override;
    std::unique_ptr<uint8_t[]> ReadBytes(const std::wstring& path, size_t& size) const override;
    bool ReadBytes(const std::wstring& path, std::vector<uint8_t>& out) const override;
    bool WriteBytes(const std::wstring& path, const uint8_t* data, size_t size) const override;
    std::wstring CurrentFolder() const override;
    bool SetCurrentFolder(const std::wstring& path) const override;
};

std::unique_ptr<IFileSystem> CreateFileSystem();

namespace vesk {
// Wildcard match ('*', '?', '[...]') without regard to case; "*.*" matches every name.
bool wildcard_match(const std::wstring& pattern, const std::wstring& name);
}  // namespace vesk
