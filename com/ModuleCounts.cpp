#include "com/ModuleCounts.h"

namespace kel {
namespace {
volatile LONG objectCount = 0;
volatile LONG factoryCount = 0;
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

}  // namespace kel
