#include "records/model_names.h"

#include <cwchar>

#include "log/evt_log.h"

namespace {

// Ranges of codes sharing a naming rule; "%u" takes the code.
struct NameRange {
    uint32_t first, last;
    const wchar_t* format;
};

constexpr NameRange kNames[] = {
    {1, 7, L"Quarv Logger %u"},
    {9, 17, L"Quarv Dash %u"},
    {18, 18, L"Quarv Display"},
    {19, 20, L"Quarv3 Logger %u"},
    {21, 21, L"Dovo Gauge"},
    {22, 25, L"Quarv Dash %u"},
    {27, 29, L"Dovo Gauge %u"},
    {33, 36, L"Dovo Gauge %u"},
    {37, 38, L"Quarv Logger %u"},
    {41, 44, L"Quarv Logger %u"},
    {45, 45, L"Dovo Gauge 45"},
    {46, 46, L"Quarv Logger 46"},
    {48, 48, L"Dovo Gauge 48"},
    {49, 52, L"Quarv Logger %u"},
    {54, 54, L"Dovo Gauge 54"},
    {56, 57, L"Dovo Gauge %u"},
    {58, 60, L"Quarv Unit %u"},
    {61, 61, L"Quarv4 Logger"},
    {62, 62, L"Brevik Logger"},
    {63, 63, L"Tolmar Logger"},
    {64, 64, L"Pell Logger"},
    {65, 65, L"Pell DL Logger"},
    {70, 70, L"Quarv Unit 70"},
    {71, 71, L"Ostra Logger"},
    {101, 107, L"Gauge %u"},
    {108, 108, L""},
    {111, 111, L"Data Key"},
    {112, 112, L"Memory Key"},
    {301, 302, L"Dovo Logger %u"},
    {311, 316, L"Trivo Logger %u"},
    {317, 318, L"TrivoQM Logger %u"},
    {320, 321, L"Trivo Unit %u"},
    {398, 399, L"Logger %u"},
    {401, 401, L"Quarv Logger 401"},
    {1052, 1052, L"Quarv Logger 1052"},
    {2002, 2002, L"Channel Expansion"},
    {2003, 2003, L"Hub"},
    {2006, 2006, L"Display Unit"},
    {2008, 2008, L"GPS Receiver"},
    {2010, 2012, L"Display Unit %u"},
    {2013, 2013, L"Steering Wheel"},
    {2014, 2014, L"Lambda Controller"},
    {2015, 2015, L"Interface Unit"},
    {2016, 2016, L"Camera Unit"},
    {2017, 2019, L"GPS Receiver %u"},
    {2021, 2025, L"Expansion Unit %u"},
    {10001, 10010, L"Dovo Vehicle Kit %u"},
    {10101, 10103, L"Dovo Vehicle Kit %u"},
    {10201, 10233, L"Trivo Vehicle Kit %u"},
    {10235, 10235, L"Trivo Vehicle Kit 10235"},
    {10300, 10301, L"Quarv Vehicle Kit %u"},
    {20001, 20001, L"Dovo Gauge 20001"},
    {20018, 20020, L"Gauge %u"},
};

const NameRange* find(uint32_t code) {
    for (const auto& r : kNames)
        if (code >= r.first && code <= r.last) return &r;
    return nullptr;
}

}  // namespace

bool IsKnownModelCode(uint32_t code) { return find(code) != nullptr; }

std::wstring GetNomeStrumento(uint32_t code) {
    const NameRange* r = find(code);
    if (!r) {
        VLOG_ERROR("IConnectionStrumento::GetNomeStrumento", "Unmanaged device code (%u) passed here!", code);
        return {};
    }
    wchar_t buf[64];
    std::swprintf(buf, 64, r->format, code);
    return buf;
}
