#include "firmware_files/vers_file.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "../support/temp_dir.h"
#include "log/evt_log.h"

namespace {

using vesk::test::TempDir;

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

using Props = std::map<std::string, std::string>;

Props Full(const std::string& type) {
    return {{"MAJOR", "3"},          {"MINOR", "1"},         {"REVISION", "5"},
            {"TYPE", type},          {"BUILD_DATE_TIME", "B"}, {"SVN_SOFTWARE", "1200"},
            {"SVN_FWSW2", "345"},    {"EXE_NAME", "firmup"}, {"PRODUCT_NAME", "Vesk Firmup"}};
}

std::string VersionXml(const Props& props, const std::string& root = "info_version_sw") {
    std::string body;
    for (const auto& [k, v] : props) body += "<p n=\"" + k + "\">" + v + "</p>\n";
    return "<?xml version=\"1.0\"?>\n<" + root + "><e c=\"InfoSW\" i=\"InfoSW.0\">\n" + body +
           "</e></" + root + ">\n";
}

TEST(VersFile, VersionTextPerReleaseType) {
    struct Case {
        std::string type;
        std::wstring text;
    };
    const Case cases[] = {
        {"release", L"3.01.05"},
        {"beta", L"3.01.05 (1200-345) build B"},
        {"dev", L"dev  (1200-345) build B"},
        {"Release", L""},
        {"DEV", L""},
        {"other", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        TempDir dir;
        dir.write("v.xmv", VersionXml(Full(c.type)));
        CVersFile v;
        ASSERT_TRUE(v.LeggiDaFile(W(dir.file("v.xmv"))));
        EXPECT_EQ(v.GetVersionText(), c.text);
        EXPECT_EQ(v.GetTipo(), W(c.type));
        EXPECT_EQ(v.GetMajor(), 3);
        EXPECT_EQ(v.GetMinor(), 1);
        EXPECT_EQ(v.GetRevision(), 5);
        EXPECT_EQ(v.GetProductName(), L"Vesk Firmup");
    }
}

TEST(VersFile, ReleaseTypeIsCaseSensitive) {
    EXPECT_TRUE(ITipoRilascio(L"dev").IsDev());
    EXPECT_TRUE(ITipoRilascio(L"beta").IsBeta());
    EXPECT_TRUE(ITipoRilascio(L"release").IsRelease());
    EXPECT_TRUE(ITipoRilascio(L"Beta").IsUnknown());
    EXPECT_TRUE(ITipoRilascio(L"").IsUnknown());
    EXPECT_FALSE(ITipoRilascio(L"release").IsUnknown());
}

TEST(VersFile, MissingNumbersOrTypeStillRead) {
    struct Case {
        const char* missing;
        const char* log;
    };
    const Case cases[] = {{"MAJOR", "Missing Major"},
                          {"MINOR", "Missing Minor"},
                          {"REVISION", "Missing Revision"},
                          {"TYPE", "Missing Tipo"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        TempDir dir;
        Props p = Full("release");
        p["MAJOR"] = "7";
        p.erase(c.missing);
        dir.write("v.xmv", VersionXml(p));
        CVersFile v;
        vesk::LogCapture log;
        EXPECT_TRUE(v.LeggiDaFile(W(dir.file("v.xmv"))));
        EXPECT_TRUE(log.contains(c.log));
        EXPECT_EQ(v.GetMajor(), std::string(c.missing) == "MAJOR" ? 3 : 7);
        EXPECT_EQ(v.GetExeName(), L"firmup");
    }
}

TEST(VersFile, MissingStringFailsAndRestoresDefaultsButTheExeName) {
    struct Case {
        const char* missing;
        const char* log;
        std::wstring exe_after;
    };
    const Case cases[] = {
        {"BUILD_DATE_TIME", "Missing Build", L"firmup"},
        {"SVN_SOFTWARE", "Missing SVN(software)", L"firmup"},
        {"SVN_FWSW2", "Missing SVN(fw-sw2)", L"firmup"},
        {"EXE_NAME", "Missing EXE", L""},
        {"PRODUCT_NAME", "Missing Product name", L"firmup"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        TempDir dir;
        Props p = Full("beta");
        p["MAJOR"] = "9";
        p.erase(c.missing);
        dir.write("v.xmv", VersionXml(p));
        CVersFile v;
        vesk::LogCapture log;
        EXPECT_FALSE(v.LeggiDaFile(W(dir.file("v.xmv"))));
        EXPECT_TRUE(log.contains(c.log));
        EXPECT_TRUE(log.contains("At least one string was not found in file"));
        EXPECT_EQ(v.GetExeName(), c.exe_after);
        EXPECT_EQ(v.GetMajor(), 3);
        EXPECT_EQ(v.GetMinor(), 0);
        EXPECT_EQ(v.GetRevision(), 0);
        EXPECT_EQ(v.GetTipo(), L"");
        EXPECT_EQ(v.GetBuildDateTime(), L"");
        EXPECT_EQ(v.GetSvnSoftware(), L"");
        EXPECT_EQ(v.GetProductName(), L"");
        EXPECT_EQ(v.GetVersionText(), L"");
    }
}

TEST(VersFile, UnreadableFiles) {
    struct Case {
        const char* what;
        std::string content;
        const char* log;
    };
    const Case cases[] = {
        {"not xml", "garbage", "m_eERROR_CODE=1"},
        {"wrong root", VersionXml(Full("release"), "FILE_INI"), "m_eERROR_CODE=3"},
        {"no children", "<info_version_sw><p n=\"MAJOR\">4</p></info_version_sw>", "No children"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        dir.write("v.xmv", c.content);
        vesk::LogCapture log;
        CVersFile v(W(dir.file("v.xmv")));
        EXPECT_TRUE(log.contains(c.log));
        EXPECT_TRUE(log.contains("fallita lettura da file"));
        EXPECT_EQ(v.GetMajor(), 3);
        EXPECT_EQ(v.GetVersionText(), L"");
    }
}

TEST(VersFile, WriteThenReadGivesTheSameFields) {
    TempDir dir;
    CVersFile out;
    out.SetMajor(12);
    out.SetMinor(3);
    out.SetRevision(45);
    out.SetTipo(L"beta");
    out.SetBuildDateTime(L"2026-12-10 04:00");
    out.SetSvnSoftware(L"1200");
    out.SetSvnFwSw2(L"345");
    out.SetExeName(L"vesk-firmup");
    out.SetProductName(L"Vesk Firmware Updater \u00e8");
    const std::wstring path = W(dir.file("out.xmv"));
    ASSERT_TRUE(out.SaveAllXmlNuovo(path));

    const std::string text = vesk::test::read_file(dir.file("out.xmv"));
    EXPECT_NE(text.find("<info_version_sw>"), std::string::npos);
    EXPECT_NE(text.find("<e c=\"InfoSW\" i=\"InfoSW.0\">"), std::string::npos);
    EXPECT_NE(text.find("<p n=\"MAJOR\">12</p>"), std::string::npos);

    CVersFile in(path);
    EXPECT_EQ(in.GetMajor(), 12);
    EXPECT_EQ(in.GetMinor(), 3);
    EXPECT_EQ(in.GetRevision(), 45);
    EXPECT_EQ(in.GetTipo(), L"beta");
    EXPECT_EQ(in.GetBuildDateTime(), L"2026-12-10 04:00");
    EXPECT_EQ(in.GetSvnSoftware(), L"1200");
    EXPECT_EQ(in.GetSvnFwSw2(), L"345");
    EXPECT_EQ(in.GetExeName(), L"vesk-firmup");
    EXPECT_EQ(in.GetProductName(), L"Vesk Firmware Updater \u00e8");
    EXPECT_EQ(in.GetVersionText(), L"12.03.45 (1200-345) build 2026-12-10 04:00");

    vesk::LogCapture log;
    EXPECT_FALSE(out.SaveAllXmlNuovo(W(dir.file("missing/folder/x.xmv"))));
}

TEST(VersFile, WriteVersionNumbers) {
    std::wostringstream s;
    CVersFile v;
    v.SetMajor(3);
    v.SetMinor(1);
    v.SetRevision(5);
    v.WriteVersionNumbers(s);
    s << L"|" << 7;
    EXPECT_EQ(s.str(), L"3.01.05|7");
}

}  // namespace
