// The module's counts, changed with interlocked operations: live COM
// objects, outstanding factory references and server locks. DllCanUnloadNow
// answers from them.
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

// IClassFactory::LockServer. Locks have a count of their own, so that an
// unlock without its lock can never take away a count a live object holds;
// an unlock at 0 leaves it at 0. Returns the new count.
LONG CountLock(bool locked);
LONG LockCount();

// True when nothing of the module is in use: no object, no factory
// reference, no server lock.
bool ModuleUnused();

}  // namespace kel
