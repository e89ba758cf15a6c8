#pragma once
// The command-line conventions every program here shares with its peers.
#include <string>
#include <vector>

namespace vesk {

// The arguments after the program's name, with "--name=value" given as
// "--name" "value", "-h" as "--help" and "-V" as "--version". From "--" on
// nothing is an option: those arguments are kept as given, "--" included, so
// a command sees where its operands start.
std::vector<std::string> NormaliseArgs(int argc, const char* const* argv);

}  // namespace vesk
