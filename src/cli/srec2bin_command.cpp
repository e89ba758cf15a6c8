// srec2bin: what a writer would send, as a file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "common/file_system.h"
#include "common/str_conv.h"
#include "firmware_files/mhx2bin.h"
#include "log/evt_log.h"

namespace vesk::cli {

bool ParseNumber(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

namespace {

const char kUsage[] =
    "usage: vesk-firmup-cli srec2bin --base ADDR --size N [--no-header] [--checksum-offset K|-1] IN OUT\n";

int Usage(const char* why) {
    vesk::TermPrint(stderr, "vesk-firmup-cli srec2bin: %s\n%s", why, vesk::TermLines{kUsage});
    return kExitUsage;
}

// The last logged message, for the user.
std::string LastMessage(const vesk::LogCapture& log) {
    const auto lines = log.lines();
    if (lines.empty()) return "unknown reason";
    std::string m = lines.back();
    const auto eq = m.find(" = ");
    if (eq != std::string::npos) m = m.substr(eq + 3);
    while (!m.empty() && (m.back() == '\n' || m.back() == '\r')) m.pop_back();
    return m;
}

}  // namespace

int RunSrec2Bin(const std::vector<std::string>& args) {
    long long base = -1, size = -1, offset = -1;
    bool no_header = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--help") {
            vesk::TermPrint(stdout, "%s", vesk::TermLines{kUsage});
            return kExitOk;
        } else if (a == "--") {
            files.insert(files.end(), args.begin() + long(i) + 1, args.end());
            break;
        } else if (a == "--no-header") {
            no_header = true;
        } else if (a == "--base") {
            if (!has_value || !ParseNumber(args[++i], 0, 0xFFFFFFFFLL, base)) return Usage("--base needs an address");
        } else if (a == "--size") {
            if (!has_value || !ParseNumber(args[++i], 1, 0xFFFFFFFFLL, size)) return Usage("--size needs a positive size");
        } else if (a == "--checksum-offset") {
            if (!has_value || !ParseNumber(args[++i], -1, 0x7FFFFFFFLL, offset))
                return Usage("--checksum-offset needs an offset or -1");
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else {
            files.push_back(a);
        }
    }
    if (base < 0) return Usage("--base is missing");
    if (size < 0) return Usage("--size is missing");
    if (files.size() != 2) return Usage("give one input and one output file");
    if (base + size > 0x100000000LL) return Usage("the image must end within the 32-bit address space");

    vesk::LogCapture log;
    CMHX2Bin bin(static_cast<uint32_t>(size), static_cast<uint32_t>(base));
    if (!bin.GetBinBuffPtr() ||
        !bin.LoadFileMhx(vesk::from_utf8(files[0]), no_header, static_cast<int32_t>(offset))) {
        vesk::TermPrint(stderr, "vesk-firmup-cli srec2bin: cannot load %s: %s\n", files[0].c_str(),
                     LastMessage(log).c_str());
        return kExitFailed;
    }
    if (!FS().WriteBytes(vesk::from_utf8(files[1]), bin.GetBinBuffPtr(), bin.GetBinBuffLen())) {
        vesk::TermPrint(stderr, "vesk-firmup-cli srec2bin: cannot write %s\n", files[1].c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace vesk::cli
