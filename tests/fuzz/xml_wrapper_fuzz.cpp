// libFuzzer target: the element-tree opener on arbitrary file contents, and
// a save-and-reopen of every tree it builds, which must give the same tree.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/str_conv.h"
#include "common/xml_wrapper.h"
#include "log/evt_log.h"

namespace {

std::string g_in;
std::string g_out;

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

void same_tree(CElem& a, CElem& b) {
    if (a.Name() != b.Name() || a.Id() != b.Id() || !a.SameProperties(b) ||
        a.ChildCount() != b.ChildCount()) {
        std::abort();
    }
    CElem* x = a.FirstChild();
    CElem* y = b.FirstChild();
    for (; x && y; x = a.NextChild(), y = b.NextChild()) same_tree(*x, *y);
    if (x || y) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-fuzz-xml-" +
                             std::to_string(::getpid());
    g_in = base + "-in.xml";
    g_out = base + "-out.xml";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_file(g_in, data, size);
    auto w = OpenXMLWrapper(vesk::from_utf8(g_in), L"FILE_INI");
    if (!w) return 0;
    CElem* root = w->Root();
    if (root && w->SaveTree(vesk::from_utf8(g_out), false)) {
        auto again = OpenXMLWrapper(vesk::from_utf8(g_out), L"FILE_INI");
        if (!again || !again->Root()) std::abort();
        same_tree(*root, *again->Root());
    }
    ::unlink(g_in.c_str());
    ::unlink(g_out.c_str());
    return 0;
}
