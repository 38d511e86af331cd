// The base of the module's COM objects: an interlocked reference count with
// self-destruction, the module's object count, an optional outer object for
// aggregation, IUnknown and ISupportErrorInfo, and a virtual Initialize run
// right after construction while the count is held at 1.
#pragma once

#include <new>
#include <utility>

#include "com/ModuleCounts.h"
#include "platform/Platform.h"

namespace kel {

class TComObject : public ISupportErrorInfo {
 public:
  TComObject(const TComObject&) = delete;
  TComObject& operator=(const TComObject&) = delete;

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // The object's own IUnknown, which never delegates to an outer object.
  HRESULT ObjQueryInterface(REFIID riid, void** ppv);
  ULONG ObjAddRef();
  ULONG ObjRelease();
  LONG RefCount() const { return FRefCount; }

  // Constructs a T (with outer as its controlling object when not null), runs
  // its Initialize and answers riid through ppv. An object that answers
  // nothing is destroyed again. Exceptions from construction or Initialize
  // pass to the caller after the partly built object is destroyed.
  template <class T, class... Args>
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) {
    T* object = new T(outer, std::forward<Args>(args)...);
    static_cast<TComObject*>(object)->RunInitialize();
    const HRESULT hr = object->ObjQueryInterface(riid, ppv);
    TComObject* base = object;
    if (base->FRefCount == 0) delete base;
    return hr;
  }

 protected:
  explicit TComObject(IUnknown* outer);
  virtual ~TComObject();
  virtual void Initialize() {}

  // The faces the class itself declares, for riid; null when it has none.
  virtual void* FindInterface(REFIID riid) = 0;

  // What the faces' IUnknown methods do: delegate to the outer object when
  // aggregated, act on the object itself otherwise.
  HRESULT ControllingQueryInterface(REFIID riid, void** ppv);
  ULONG ControllingAddRef();
  ULONG ControllingRelease();

 private:
  class NonDelegatingUnknown final : public IUnknown {
   public:
    explicit NonDelegatingUnknown(TComObject* owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      return owner_->ObjQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->ObjAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->ObjRelease(); }

   private:
    TComObject* owner_;
  };

  void RunInitialize();
  void* LookUp(REFIID riid);

  static constexpr LONG kDestroying = -(0x7FFFFFFF / 2);

  NonDelegatingUnknown FInner{this};
  volatile LONG FRefCount = 0;
  IUnknown* FController;  // not counted: the outer object owns this one
};

// A COM class with the given faces. Their IUnknown methods, and those of
// ISupportErrorInfo, are this one set.
template <class... Faces>
class TComClass : public TComObject, public Faces... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return ControllingQueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ControllingAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ControllingRelease(); }

 protected:
  using TComObject::TComObject;
};

}  // namespace kel
