// Finding and loading the companion service DLL.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace kel {

// Loads the companion. A name with a directory is loaded from there. A bare
// name is looked for in the directory of the module that holds the filter
// first, then where the system looks for libraries, except the current
// directory: a library planted there (a downloads folder, a share) would
// otherwise run inside the browser. Null when there is none.
HMODULE LoadCompanion(const std::string& name);

}  // namespace kel
