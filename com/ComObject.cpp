#include "com/ComObject.h"

namespace kel {

TComObject::TComObject(IUnknown* outer) : FController(outer) {
  CountObject(true);
}

TComObject::~TComObject() {
  CountObject(false);
}

void TComObject::RunInitialize() {
  FRefCount = 1;
  try {
    Initialize();
  } catch (...) {
    FRefCount = 0;
    delete this;
    throw;
  }
  FRefCount = 0;
}

void* TComObject::LookUp(REFIID riid) {
  if (riid == IID_IUnknown) return static_cast<IUnknown*>(&FInner);
  if (riid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
  return FindInterface(riid);
}

HRESULT TComObject::ObjQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  void* face = LookUp(riid);
  *ppv = face;
  if (face == nullptr) return E_NOINTERFACE;
  static_cast<IUnknown*>(face)->AddRef();
  return S_OK;
}

ULONG TComObject::ObjAddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&FRefCount));
}

ULONG TComObject::ObjRelease() {
  const LONG count = InterlockedDecrement(&FRefCount);
  if (count == 0) {
    // Far from 0 while the destructor runs: what it releases may reach this
    // object again with an AddRef and a Release, which must not delete it
    // a second time.
    FRefCount = kDestroying;
    delete this;
  }
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE TComObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return LookUp(riid) != nullptr ? S_OK : S_FALSE;
}

HRESULT TComObject::ControllingQueryInterface(REFIID riid, void** ppv) {
  return FController ? FController->QueryInterface(riid, ppv) : ObjQueryInterface(riid, ppv);
}

ULONG TComObject::ControllingAddRef() {
  return FController ? FController->AddRef() : ObjAddRef();
}

ULONG TComObject::ControllingRelease() {
  return FController ? FController->Release() : ObjRelease();
}

}  // namespace kel
