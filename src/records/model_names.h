#pragma once
#include <cstdint>
#include <string>

// The model display name of an instrument type code; the empty text (and an
// ERROR line) for a code this program does not know. Code 108 has an empty name.
std::wstring GetNomeStrumento(uint32_t code);
// True when the code has a model name (108 included).
bool IsKnownModelCode(uint32_t code);
