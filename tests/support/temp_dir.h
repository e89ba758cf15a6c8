#pragma once
// A fresh folder under /tmp for one test, removed with everything in it.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vesk::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::wstring wpath() const { return std::wstring(path_.begin(), path_.end()); }
    // Folder with a trailing '/'.
    std::wstring wfolder() const { return wpath() + L"/"; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    void write(const std::string& name, const std::string& content) const {
        std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
        std::ofstream(file(name), std::ios::binary) << content;
    }
    void mkdir(const std::string& name) const { std::filesystem::create_directories(file(name)); }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vesk::test
