#pragma once
// Which lines of a simulator trace could change an instrument: anything but
// the requests that only read (identity, memory and slave reads, the
// capability record, the net table, a bulk read and its announcement).
// Erases, writes, mode switches, restarts, saves, configuration requests and
// every bulk OUT count as changes. A net rebuild (command 27 with C4 = 1), which
// every refresh of the plan asks for, is no change to the instrument.
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vesk::test {

inline bool ChangesTheInstrument(const std::string& line) {
    if (line.find(" BULK OUT ") != std::string::npos) return true;
    const size_t ctrl = line.find(" CTRL 0x");
    if (ctrl == std::string::npos) return false;
    static const std::regex kReads(
        R"(CTRL 0x(0E MEMORY [A-Za-z0-9_]*\((1|4|7|49|61|80)\)|0D QUARV3 [A-Za-z0-9_]*\(27\) |0C BULK BULK_READ ))");
    return !std::regex_search(line.substr(ctrl), kReads);
}

// The lines of a trace text that could change an instrument.
inline std::vector<std::string> ChangingLines(const std::string& trace) {
    std::vector<std::string> out;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        if (ChangesTheInstrument(line)) out.push_back(line);
    return out;
}

}  // namespace vesk::test
