#pragma once
// Running the built programs and the reference tools from tests.
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vesk::test {

struct ToolResult {
    int status = -1;     // exit status, -1 when it did not exit normally
    std::string output;  // standard output and standard error
};

inline ToolResult RunTool(const std::string& command) {
    ToolResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int raw = ::pclose(p);
    if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    return r;
}

// What a program drew on its terminal line: the text after each "\r\033[K"
// of a typescript up to the next control, in order.
inline std::vector<std::string> LineDraws(const std::string& typescript) {
    std::vector<std::string> draws;
    const std::string clear = "\r\033[K";
    for (size_t p = typescript.find(clear); p != std::string::npos; p = typescript.find(clear, p + 1)) {
        const size_t start = p + clear.size();
        const size_t end = typescript.find_first_of("\r\n\033", start);
        draws.push_back(typescript.substr(start, end - start));
    }
    return draws;
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Writes the scenario text as the file path, streaming its trace to path +
// ".trace" (path must need no JSON escaping); returns the path quoted for a shell.
inline std::string TracedScenario(const std::string& path, const std::string& text) {
    std::string traced = text;
    traced.insert(1, "\"trace_file\": \"" + path + ".trace\", ");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fwrite(traced.data(), 1, traced.size(), f);
        std::fclose(f);
    }
    return Quote(path);
}

}  // namespace vesk::test
