#pragma once
// Every text either program writes to a terminal passes through ShowControls:
// a control character in a file name, a translation or an instrument's text
// is shown as an escape, never acted on (no title set, no screen cleared, no
// line forged). The log escapes its messages the same way.
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

namespace vesk {

// Line breaks as \n and \r, other C0 and C1 controls and DEL as \xHH.
// keep_newlines leaves '\n' alone: for the program's own line ends.
std::string ShowControls(std::string_view text, bool keep_newlines = false);

// A text of several lines of the program's own (usage, an identity dump,
// JSON): its line breaks stay, every other control is shown.
struct TermLines {
    std::string_view text;
};

namespace term_detail {
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Put(FILE* out, const std::string& formatted);

template <class T>
struct Arg {
    const T& v;
    const T& get() const { return v; }
};
// Text arguments are shown escaped, line breaks included; the format's own
// line ends stay.
template <>
struct Arg<const char*> {
    std::string s;
    explicit Arg(const char* p) : s(ShowControls(p ? p : "(null)")) {}
    const char* get() const { return s.c_str(); }
};
template <>
struct Arg<char*> : Arg<const char*> {
    using Arg<const char*>::Arg;
};
template <>
struct Arg<TermLines> {
    std::string s;
    explicit Arg(const TermLines& t) : s(ShowControls(t.text, true)) {}
    const char* get() const { return s.c_str(); }
};
}  // namespace term_detail

// printf to a terminal stream: every %s argument shown with ShowControls.
template <class... A>
void TermPrint(FILE* out, const char* fmt, const A&... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    term_detail::Put(out, ShowControls(term_detail::Format(fmt, term_detail::Arg<std::decay_t<A>>{args}.get()...),
                                       true));
#pragma GCC diagnostic pop
}

// A whole text (a table, JSON lines) written to a terminal.
inline void TermWrite(FILE* out, std::string_view text) { term_detail::Put(out, ShowControls(text, true)); }

// The program's own terminal controls (the progress bar's return and line
// erase): fixed sequences, never built from data.
inline void TermControl(FILE* out, const char* sequence) { std::fputs(sequence, out); }

// JSON as its writer made it: control characters in its strings are already
// \u escapes, and an escape of ours would make it no JSON.
inline void TermWriteJson(FILE* out, const std::string& json) { term_detail::Put(out, json + "\n"); }

}  // namespace vesk
