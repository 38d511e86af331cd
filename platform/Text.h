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

}  // namespace kel
