// Resolution of a URL from a tag against the document URL.
#pragma once

#include <string>

namespace kel {

// The position code that CombineUrl adds to the failures passing through it.
inline constexpr int kCombineUrlPosition = 370;

// relative resolved against base with InternetCombineUrlA (flags 0); empty
// when the two cannot be combined. A failure inside leaves as an exception
// re-raised with the position code 370.
std::string CombineUrl(const std::string& base, const std::string& relative);

}  // namespace kel
