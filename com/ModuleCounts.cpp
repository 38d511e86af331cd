#include "com/ModuleCounts.h"

namespace kel {
namespace {
volatile LONG objectCount = 0;
volatile LONG factoryCount = 0;
volatile LONG lockCount = 0;
}  // namespace

LONG CountObject(bool created) {
  return created ? InterlockedIncrement(&objectCount) : InterlockedDecrement(&objectCount);
}

LONG ObjectCount() {
  return InterlockedExchangeAdd(&objectCount, 0);
}

LONG CountFactory(bool added) {
  return added ? InterlockedIncrement(&factoryCount) : InterlockedDecrement(&factoryCount);
}

LONG FactoryCount() {
  return InterlockedExchangeAdd(&factoryCount, 0);
}

LONG CountLock(bool locked) {
  if (locked) return InterlockedIncrement(&lockCount);
  // Lowered only from a value above 0, as one step: a read followed by a
  // decrement could pass 0 when two unlocks race.
  for (;;) {
    const LONG seen = InterlockedExchangeAdd(&lockCount, 0);
    if (seen <= 0) return 0;
    if (InterlockedCompareExchange(&lockCount, seen - 1, seen) == seen) return seen - 1;
  }
}

LONG LockCount() {
  return InterlockedExchangeAdd(&lockCount, 0);
}

bool ModuleUnused() {
  return ObjectCount() == 0 && FactoryCount() == 0 && LockCount() == 0;
}

}  // namespace kel
