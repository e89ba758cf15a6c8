#pragma once
// The JSON Lines a command printed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace vesk::test {

// One value per line; fails the test on a line that is not one.
inline std::vector<nlohmann::json> JsonLines(const std::string& output) {
    std::vector<nlohmann::json> events;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << line;
        events.push_back(j);
    }
    return events;
}

}  // namespace vesk::test
