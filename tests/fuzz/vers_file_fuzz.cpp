// libFuzzer target: the program's version file reader (CVersFile built from
// a path) on arbitrary file contents. A file that reads is written back and
// must read again to the same fields; a file that does not read leaves every
// field but the executable name at its default.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/str_conv.h"
#include "firmware_files/vers_file.h"
#include "fuzz_file.h"
#include "log/evt_log.h"

namespace {

std::string g_in;
std::string g_out;

bool SameFields(const CVersFile& a, const CVersFile& b) {
    return a.GetMajor() == b.GetMajor() && a.GetMinor() == b.GetMinor() &&
           a.GetRevision() == b.GetRevision() && a.GetTipo() == b.GetTipo() &&
           a.GetBuildDateTime() == b.GetBuildDateTime() &&
           a.GetSvnSoftware() == b.GetSvnSoftware() && a.GetSvnFwSw2() == b.GetSvnFwSw2() &&
           a.GetExeName() == b.GetExeName() && a.GetProductName() == b.GetProductName() &&
           a.GetVersionText() == b.GetVersionText();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    g_in = vesk::fuzz::TempPath("vers", "-in.xmv");
    g_out = vesk::fuzz::TempPath("vers", "-out.xmv");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vesk::fuzz::WriteFile(g_in, data, size);
    const std::wstring in = vesk::from_utf8(g_in);
    const CVersFile read(in);
    CVersFile again;
    if (again.LeggiDaFile(in)) {
        if (!SameFields(read, again)) std::abort();
        if (!read.SaveAllXmlNuovo(vesk::from_utf8(g_out))) std::abort();
        CVersFile written;
        if (!written.LeggiDaFile(vesk::from_utf8(g_out)) || !SameFields(read, written)) std::abort();
    } else {
        CVersFile defaults;
        defaults.SetExeName(read.GetExeName());
        if (!SameFields(read, defaults)) std::abort();
    }
    ::unlink(g_in.c_str());
    ::unlink(g_out.c_str());
    return 0;
}
