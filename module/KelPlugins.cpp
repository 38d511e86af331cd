// The module KelPlugins.dll: an in-process COM server for the filter and
// the browser helper object. Start-up creates the server, then the filter's
// factory, then the helper's; the factory list is newest first, so the
// helper's class is registered before the filter's.
#include "browser/BHO.h"
#include "com/ComObjectFactory.h"
#include "com/ComServer.h"
#include "com/ModuleCounts.h"
#include "filter/MimeFilter.h"

namespace {

HRESULT ConstructFilter(IUnknown* outer, REFIID riid, void** ppv) {
  return kel::TComObject::Create<kel::TVarnelHTMLFilter>(outer, riid, ppv,
                                                         kel::kCompanionLibraryName);
}

void InitializeModule(HINSTANCE instance) {
  kel::CreateComServer(instance);
  kel::TComServer& server = *kel::ComServer();
  server.AddFactory(std::make_unique<kel::TComObjectFactory>(
      server, ConstructFilter, kel::CLSID_VarnelHTMLFilter, L"VarnelHTMLFilter", L""));
  kel::InitializeBrowserHelperUnit(server);
}

void FinalizeModule() {
  kel::FinalizeBrowserHelperUnit();
  kel::DestroyComServer();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      try {
        InitializeModule(instance);
      } catch (...) {
        return FALSE;
      }
      break;
    case DLL_PROCESS_DETACH:
      // At process exit the other threads are gone, perhaps while holding
      // one of our locks, and other modules may be unloaded already or still
      // call in: take no lock, free nothing, call nothing. The process's
      // memory goes with it.
      if (reserved != nullptr) break;
      FinalizeModule();
      break;
    default:
      break;
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  kel::TComServer* server = kel::ComServer();
  kel::TComObjectFactory* factory = server != nullptr ? server->FindFactory(rclsid) : nullptr;
  if (factory == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() {
  if (kel::ComServer() == nullptr) return S_OK;
  return kel::ModuleUnused() ? S_OK : S_FALSE;
}

namespace {
HRESULT UpdateRegistry(bool registering) {
  try {
    kel::ComServer()->UpdateRegistry(registering);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}
}  // namespace

STDAPI DllRegisterServer() {
  return UpdateRegistry(true);
}

STDAPI DllUnregisterServer() {
  return UpdateRegistry(false);
}
