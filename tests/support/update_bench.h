#pragma once
// A Pell DL master with two slaves and a folder of update files for it: the
// master's firmware and language, one slave's firmware and the other's booter
// are due. And the JSON Lines that vesk-firmup-cli update --json prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "firmware_files.h"
#include "temp_dir.h"

namespace vesk::test {

// The scenario; master_extra and slave2_extra are more keys (each starting
// with a comma) of the master and of slave 2.
inline std::string PellNet(const std::string& master_extra = "", const std::string& slave2_extra = "") {
    return R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0)" +
           master_extra + R"(,
      "slaves": [
        {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.02"},
        {"number": 2, "code": 2006, "serial": 72, "firmware": "01.05.10", "booter": "01.00")" +
           slave2_extra + R"(}
      ]}]})";
}

struct UpdateFile {
    const char* name;  // within the update folder
    uint32_t base, size;
    const char* version;
};

inline constexpr UpdateFile kPellNetFiles[] = {
    {"Pell_460500_fw.mhx", 0xFE0000, 0x400, "46.05.00"},
    {"Pell_460500_lng.mhx", 0xFC0000, 0x400, "46.05.00"},
    {"Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x400, "01.05.10"},
    {"_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, 0x4000, "01.02"},
};

// The update files in dir/folder ("" for dir itself) with its _BOOTER and
// _ACCESSORI, stamped or, as real files, not; and dir/locks, a folder of USB
// locks for the test alone (XDG_RUNTIME_DIR).
inline void MakePellNetFolder(const TempDir& dir, const std::string& folder = "upd", bool stamp = true) {
    const std::string prefix = folder.empty() ? "" : folder + "/";
    for (const UpdateFile& f : kPellNetFiles) MakeFirmwareFile(dir, prefix + f.name, f.base, f.size, f.version, stamp);
    dir.mkdir(prefix + "_ACCESSORI");
    dir.mkdir("locks");
    ::chmod(dir.file("locks").c_str(), 0700);
}

// The JSON lines of an output; fails the test on a line that is not one.
inline std::vector<nlohmann::json> JsonEvents(const std::string& output) {
    std::vector<nlohmann::json> events;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << line;
        events.push_back(j);
    }
    return events;
}

// The texts of the events of one kind ("message", "status"), in order.
inline std::vector<std::string> EventTexts(const std::vector<nlohmann::json>& events, const char* kind) {
    std::vector<std::string> out;
    for (const nlohmann::json& e : events)
        if (e["event"] == kind) out.push_back(e["text"]);
    return out;
}

inline bool Has(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// The end of an update of PellNet() that went as planned: the result with
// every unit at the version it was to get, after the plan read again.
inline void ExpectEveryUnitVerified(const std::vector<nlohmann::json>& events) {
    ASSERT_GE(events.size(), 2u);
    const nlohmann::json& result = events.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["outcome"], "finished");
    const nlohmann::json units = {
        {{"serial", 10}, {"before", "46.03.00"}, {"after", "46.05.00"}, {"expected", "46.05.00"}, {"verified", true}},
        {{"serial", 71}, {"before", "01.00.00"}, {"after", "01.05.10"}, {"expected", "01.05.10"}, {"verified", true}},
        {{"serial", 72}, {"before", "01.05.10"}, {"after", "01.05.10"}, {"expected", ""}, {"verified", true}},
    };
    ASSERT_EQ(result["units"].size(), units.size()) << result;
    for (size_t i = 0; i < units.size(); ++i) {
        for (const auto& [key, value] : units[i].items()) EXPECT_EQ(result["units"][i][key], value) << key << " " << result;
        // Every image of every unit: firmware, booter and what else the plan showed.
        for (const auto& image : result["units"][i]["images"]) EXPECT_EQ(image["verified"], true) << image;
    }
    // Slave 72's booter was due: it is checked as an image of its own.
    const auto& booter = result["units"][2]["images"][1];
    EXPECT_EQ(booter["image"], "booter");
    EXPECT_EQ(booter["before"], "01.00");
    EXPECT_EQ(booter["after"], "01.02");
    EXPECT_EQ(booter["expected"], "01.02");
    const nlohmann::json& after = events[events.size() - 2];
    EXPECT_EQ(after["event"], "plan");
    EXPECT_EQ(after["status"], "Your system is up to date");
    EXPECT_EQ(after["rows"][2]["booter"], "01.02") << "slave 72's new booter";
}

}  // namespace vesk::test
