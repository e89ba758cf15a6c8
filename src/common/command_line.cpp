#include "common/command_line.h"

namespace vesk {

std::vector<std::string> NormaliseArgs(int argc, const char* const* argv) {
    std::vector<std::string> out;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!options) {
            out.push_back(a);
            continue;
        }
        if (a == "--") {
            options = false;
            out.push_back(a);
        } else if (a == "-h") {
            out.push_back("--help");
        } else if (a == "-V") {
            out.push_back("--version");
        } else if (a.size() > 2 && a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
            const size_t eq = a.find('=');
            out.push_back(a.substr(0, eq));
            out.push_back(a.substr(eq + 1));
        } else {
            out.push_back(a);
        }
    }
    return out;
}

}  // namespace vesk
