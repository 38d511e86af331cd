// Text helpers over the platform's conversion and comparison functions.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace kel {

// A wide string in the system's ANSI code page; empty for null.
std::string WideToAnsi(LPCWSTR text);

// Case-insensitive comparison as string lists make it (the user's default
// locale with the ignore-case option): negative, 0 or positive.
int CompareTextIgnoreCase(std::string_view a, std::string_view b);

#ifdef _WIN32
// The full file name of a module (null: the program), read into a buffer
// that grows as far as the name needs; empty when it cannot be had.
std::wstring ModuleFileName(HMODULE module);
#endif

}  // namespace kel
