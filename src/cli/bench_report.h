#pragma once
// The record of a bench (update --each): one row per instrument handled,
// as CSV or, for a name ending in ".jsonl", JSON Lines. The file is made new
// (a name that exists, a link included, is refused: a report is never
// written over or through anything), its header put in place by a rename,
// and every row appended and flushed to disk as soon as it is known, so a
// crash loses nothing already done.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vesk::cli {

struct BenchRow {
    std::string time;  // UTC, "2026-12-11T09:30:05Z"
    bool known = false;  // the master was read: serial and model hold
    uint32_t serial = 0;
    std::string model;
    std::string before, after;  // the master's firmware, MM.mm.bb
    struct Slave {
        uint32_t serial = 0;
        std::string before, after;
    };
    std::vector<Slave> slaves;
    struct Image {
        uint32_t serial = 0;
        std::string image;  // "booter", "language", "accessory 0" ...
        std::string version;
    };
    std::vector<Image> images;  // written besides the firmware
    bool verified = false;
    std::string outcome;  // "updated", "nothing to do", "failed", "stopped"
    std::string backup;   // the backup folder; empty: none
    std::string log;      // the log file
};

// One CSV field: quoted when it holds a comma, a quote, or any control
// character (line breaks included), its quotes doubled.
std::string CsvField(const std::string& text);
// The CSV header and a row, each ending in "\r\n".
std::string CsvHeader();
std::string CsvLine(const BenchRow& row);
nlohmann::ordered_json RowJson(const BenchRow& row);

class BenchReport {
public:
    BenchReport() = default;
    ~BenchReport();
    BenchReport(const BenchReport&) = delete;
    BenchReport& operator=(const BenchReport&) = delete;

    // False with why when path exists (a link included): checked before
    // anybody is asked; Create checks again, without a gap.
    static bool Free(const std::string& path, std::string& why);
    // Makes path (with its CSV header): false with why when it exists or
    // cannot be made.
    bool Create(const std::string& path, std::string& why);
    // Appends the row and flushes it to disk: false with why when it failed.
    bool Append(const BenchRow& row, std::string& why);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    bool json_ = false;
    int fd_ = -1;
    std::string path_;
};

}  // namespace vesk::cli
