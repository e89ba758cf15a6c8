// libFuzzer target: the element-tree opener on arbitrary file contents with
// the expected root taken from the input, a walk over every element, property
// and text as the readers make it, and a save-and-reopen of every tree it
// builds, which must give the same tree.
//
// Input: when byte 0 is below 3 it picks the expected root ("FILE_INI",
// "info_version_sw", "resources") and the rest is the file; otherwise the whole
// input is the file and the expected root is the name of its first element.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/str_conv.h"
#include "common/xml_wrapper.h"
#include "fuzz_file.h"
#include "log/evt_log.h"

namespace {

std::string g_in;
std::string g_out;

bool IsNameChar(char c) {
    return c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '/' && c != '>' && c != '\0';
}

// The first element's name, found by skipping the prolog's declarations,
// comments and processing instructions; empty when there is none.
std::string FirstElementName(const std::string& text) {
    size_t i = 0;
    while ((i = text.find('<', i)) != std::string::npos) {
        if (text.compare(i, 4, "<!--") == 0) {
            i = text.find("-->", i + 4);
        } else if (text.compare(i, 2, "<?") == 0) {
            i = text.find("?>", i + 2);
        } else if (text.compare(i, 2, "<!") == 0) {
            // A declaration, possibly with an internal subset in brackets.
            int depth = 0;
            char quote = 0;
            for (++i; i < text.size(); ++i) {
                const char c = text[i];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    ++depth;
                } else if (c == ']') {
                    --depth;
                } else if (c == '>' && depth <= 0) {
                    break;
                }
            }
        } else {
            size_t end = i + 1;
            while (end < text.size() && IsNameChar(text[end])) ++end;
            return text.substr(i + 1, end - i - 1);
        }
        if (i == std::string::npos) break;
        ++i;
    }
    return {};
}

// Everything a reader can ask of an element, and the tree's own consistency.
void Walk(CElem& elem, int depth) {
    if (depth > 10000) std::abort();
    (void)elem.Name().size();
    (void)elem.Id().size();
    if (const auto* props = elem.Properties()) {
        for (const auto& [name, value] : *props) {
            const std::wstring* stored = elem.Prop(name);
            if (!stored || *stored != value) std::abort();
            int32_t number = 0;
            bool flag = false;
            if (!elem.GetPropInt32(name, number) || !elem.GetPropBool(name, flag)) std::abort();
            if (flag != (value != L"0")) std::abort();
        }
    }
    size_t count = 0;
    for (CElem* child = elem.FirstChild(); child; child = elem.NextChild()) {
        if (child->Parent() != &elem) std::abort();
        if (!elem.FindChild(&child->Name(), &child->Id())) std::abort();
        ++count;
    }
    if (count != elem.ChildCount()) std::abort();
    if (const auto* children = elem.Children()) {
        for (const auto& child : *children) Walk(*child, depth + 1);
    }
}

void SameTree(CElem& a, CElem& b) {
    if (a.Name() != b.Name() || a.Id() != b.Id() || !a.SameProperties(b) ||
        a.ChildCount() != b.ChildCount()) {
        std::abort();
    }
    CElem* x = a.FirstChild();
    CElem* y = b.FirstChild();
    for (; x && y; x = a.NextChild(), y = b.NextChild()) SameTree(*x, *y);
    if (x || y) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    g_in = vesk::fuzz::TempPath("xml", "-in.xml");
    g_out = vesk::fuzz::TempPath("xml", "-out.xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const wchar_t* const kRoots[] = {L"FILE_INI", L"info_version_sw", L"resources"};
    std::wstring root_name;
    if (size > 0 && data[0] < 3) {
        root_name = kRoots[data[0]];
        ++data;
        --size;
    } else {
        root_name = vesk::from_utf8(
            FirstElementName(std::string(reinterpret_cast<const char*>(data), size)));
    }
    vesk::fuzz::WriteFile(g_in, data, size);
    auto w = OpenXMLWrapper(vesk::from_utf8(g_in), root_name);
    if (!w) return 0;
    const int32_t code = w->ErrorCode();
    CElem* root = w->Root();
    if (code < XML_OK || code > XML_P_EMPTY_TEXT) std::abort();
    if ((root == nullptr) != (code >= XML_NO_DOCUMENT && code <= XML_WRONG_ROOT)) std::abort();
    if (root) {
        Walk(*root, 0);
        if (w->SaveTree(vesk::from_utf8(g_out), false)) {
            auto again = OpenXMLWrapper(vesk::from_utf8(g_out), root_name);
            if (!again || !again->Root()) std::abort();
            SameTree(*root, *again->Root());
        }
    }
    ::unlink(g_in.c_str());
    ::unlink(g_out.c_str());
    return 0;
}
