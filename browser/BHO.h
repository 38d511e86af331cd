// The browser helper object. The browser creates one per window; while at
// least one lives in the process, the filter stays registered for
// "text/html" in the process's Internet session. Windows only.
#pragma once

#include <ocidl.h>

#include "com/ComObject.h"
#include "com/ComObjectFactory.h"
#include "com/ComPtr.h"

namespace kel {

extern const CLSID CLSID_IEBrowserHelper;

class TIEBrowserHelper final : public TComClass<IObjectWithSite> {
 public:
  explicit TIEBrowserHelper(IUnknown* outer) : TComClass(outer) {}

  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) override;
  HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override;

 protected:
  ~TIEBrowserHelper() override;
  void Initialize() override;
  void* FindInterface(REFIID riid) override;
};

// Adds the Browser Helper Objects key to the class registration.
class TIEBrowserHelperFactory final : public TComObjectFactory {
 public:
  explicit TIEBrowserHelperFactory(TComServer& server);
  void UpdateRegistry(bool registering) override;
};

// Module initialisation and finalisation of this unit.
void InitializeBrowserHelperUnit(TComServer& server);
// Finalisation runs when the module is unloaded with FreeLibrary, never at
// process exit.
void FinalizeBrowserHelperUnit();

}  // namespace kel
