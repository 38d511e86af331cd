// The module's object and factory counts, changed with interlocked
// operations. DllCanUnloadNow answers from them.
#pragma once

#include "platform/Platform.h"

namespace kel {

// Raises (created) or lowers the count of live COM objects of the module;
// returns the new count.
LONG CountObject(bool created);
LONG ObjectCount();

// Raises or lowers the count of outstanding factory references.
LONG CountFactory(bool added);
LONG FactoryCount();

}  // namespace kel
