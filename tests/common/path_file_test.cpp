#include "common/path_file.h"

#include <gtest/gtest.h>

namespace {

struct PartsCase {
    std::wstring path, extension, title, file_name, folder, folder_sep;
};

TEST(CPathFile, TakesPathsApart) {
    const PartsCase cases[] = {
        {L"/a/b/file.txt", L"txt", L"file", L"file.txt", L"/a/b", L"/a/b/"},
        {L"C:\\fw\\NAME.MHX", L"MHX", L"NAME", L"NAME.MHX", L"C:\\fw", L"C:\\fw\\"},
        // Two dots: only the last extension goes.
        {L"dir/archive.tar.gz", L"gz", L"archive.tar", L"archive.tar.gz", L"dir", L"dir/"},
        // A dot in a folder name is not an extension.
        {L"/my.folder/readme", L"", L"readme", L"readme", L"/my.folder", L"/my.folder/"},
        {L"mixed/sep\\x.bin", L"bin", L"x", L"x.bin", L"mixed/sep", L"mixed/sep\\"},
        {L"plain", L"", L"plain", L"plain", L"", L""},
        {L"/a/b/", L"", L"", L"", L"/a/b", L"/a/b/"},
        {L"", L"", L"", L"", L"", L""},
    };
    CPathFile pf;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        EXPECT_EQ(pf.Extension(c.path), c.extension);
        EXPECT_EQ(pf.Title(c.path), c.title);
        EXPECT_EQ(pf.FileName(c.path), c.file_name);
        EXPECT_EQ(pf.Folder(c.path, false), c.folder);
        EXPECT_EQ(pf.Folder(c.path, true), c.folder_sep);
        std::wstring folder, title, ext;
        pf.Split(c.path, &folder, &title, &ext);
        EXPECT_EQ(folder, c.folder_sep);
        EXPECT_EQ(title, c.title);
        EXPECT_EQ(ext, c.extension);
    }
    pf.Split(L"/x/y.z", nullptr, nullptr, nullptr);  // outputs not given: nothing written
}

TEST(CPathFile, Join) {
    struct {
        std::wstring first, second;
        wchar_t sep;
        std::wstring want;
    } cases[] = {
        {L"/prog/", L"/logs", L'/', L"/prog/logs"},
        {L"/prog", L"logs/", L'/', L"/prog/logs/"},
        {L"", L"/logs", L'/', L"logs"},
        {L"", L"//x", L'/', L"x"},
        {L"C:\\fw\\\\", L"\\file.mhx", L'\\', L"C:\\fw\\file.mhx"},
        {L"a", L"", L'/', L"a/"},
    };
    CPathFile pf;
    for (const auto& c : cases) EXPECT_EQ(pf.Join(c.first, c.second, c.sep), c.want);
}

TEST(CPathFile, Components) {
    using V = std::vector<std::wstring>;
    struct {
        std::wstring path;
        bool last_is_folder;
        V want;
    } cases[] = {
        {L"/a/b/c", true, {L"", L"a", L"b", L"c"}},
        {L"/a/b/c", false, {L"", L"a", L"b"}},
        {L"/a/b/", true, {L"", L"a", L"b"}},
        {L"C:\\x\\y\\f.txt", true, {L"C:", L"x", L"y", L"f.txt"}},
        {L"rel//x/y", true, {L"rel", L"x", L"y"}},
        {L"name", true, {L"name"}},
        {L"name", false, {}},
        {L"", true, {}},
    };
    CPathFile pf;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        EXPECT_EQ(pf.Components(c.path, c.last_is_folder), c.want);
    }
}

TEST(CPathFile, OtherOperations) {
    CPathFile pf;
    EXPECT_EQ(pf.Up(L"/a/b/c", 1, false), L"/a/b");
    EXPECT_EQ(pf.Up(L"/a/b/c/", 2, true), L"/a/");
    EXPECT_EQ(pf.Up(L"/a", 1, true), L"/");
    EXPECT_EQ(pf.Up(L"a", 1, false), L"");
    EXPECT_EQ(pf.RootPart(L"C:\\x\\y", false), L"C:");
    EXPECT_EQ(pf.RootPart(L"C:\\x\\y", true), L"C:\\");
    EXPECT_EQ(pf.RootPart(L"noseparator", true), L"");
    EXPECT_EQ(pf.ToSlash(L"a\\b/c\\"), L"a/b/c/");
    EXPECT_EQ(pf.ToBackslash(L"a\\b/c/"), L"a\\b\\c\\");
    EXPECT_EQ(pf.ChangeExtension(L"/x/fw.mhx", L"bin"), L"/x/fw.bin");
    EXPECT_EQ(pf.ChangeExtension(L"/x.d/fw", L"bin"), L"/x.d/fw.bin");
    EXPECT_EQ(pf.ChangeExtension(L"trace", L"usb"), L"trace.usb");
    EXPECT_TRUE(pf.ExtensionEquals(L"FW.MHX", L"mhx"));
    EXPECT_FALSE(pf.ExtensionEquals(L"fw.mhx.bak", L"mhx"));
    EXPECT_EQ(pf.WithoutTrailingSeparator(L"/a/b/\\/"), L"/a/b");
    EXPECT_EQ(pf.WithoutTrailingSeparator(L"/"), L"");
}

}  // namespace
