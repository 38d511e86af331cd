#include "browser/BHO.h"

#include "filter/MimeFilter.h"

namespace kel {

// {F70B6F7E-F774-4504-AA6F-84345782BD07}
const CLSID CLSID_IEBrowserHelper = {
    0xF70B6F7E, 0xF774, 0x4504, {0xAA, 0x6F, 0x84, 0x34, 0x57, 0x82, 0xBD, 0x07}};

namespace {

constexpr wchar_t kBrowserHelperObjectsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects\\";
constexpr wchar_t kHtmlType[] = L"text/html";

// Guarded by InstanceLock.
LONG InstanceCount = 0;
CRITICAL_SECTION InstanceLock;
ComPtr<IClassFactory> FilterFactory;
ComPtr<IInternetSession> InternetSession;
bool FilterRegistered = false;  // the session holds FilterFactory for "text/html"

class Guard {
 public:
  Guard() { EnterCriticalSection(&InstanceLock); }
  ~Guard() { LeaveCriticalSection(&InstanceLock); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

}  // namespace

void TIEBrowserHelper::Initialize() {
  TComObject::Initialize();
  Guard guard;
  if (InstanceCount == 0) {
    FilterFactory = nullptr;
    CoGetClassObject(CLSID_VarnelHTMLFilter, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr,
                     IID_IClassFactory, FilterFactory.PutVoid());
    CoInternetGetSession(0, InternetSession.Put(), 0);
    // A session handed a null factory dereferences it: register only with
    // a factory in hand (the filter class may not be registered).
    if (FilterFactory && InternetSession)
      FilterRegistered = SUCCEEDED(InternetSession->RegisterMimeFilter(
          FilterFactory.Get(), CLSID_VarnelHTMLFilter, kHtmlType));
  }
  ++InstanceCount;
}

TIEBrowserHelper::~TIEBrowserHelper() {
  Guard guard;
  if (--InstanceCount == 0) {
    if (FilterRegistered) InternetSession->UnregisterMimeFilter(FilterFactory.Get(), kHtmlType);
    FilterRegistered = false;
    FilterFactory = nullptr;
    InternetSession = nullptr;
  }
}

void* TIEBrowserHelper::FindInterface(REFIID riid) {
  return IsEqualIID(riid, IID_IObjectWithSite) ? static_cast<IObjectWithSite*>(this) : nullptr;
}

HRESULT STDMETHODCALLTYPE TIEBrowserHelper::SetSite(IUnknown*) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TIEBrowserHelper::GetSite(REFIID, void** ppvSite) {
  if (ppvSite != nullptr) *ppvSite = nullptr;
  return S_OK;
}

namespace {
HRESULT ConstructBrowserHelper(IUnknown* outer, REFIID riid, void** ppv) {
  return TComObject::Create<TIEBrowserHelper>(outer, riid, ppv);
}
}  // namespace

TIEBrowserHelperFactory::TIEBrowserHelperFactory(TComServer& server)
    : TComObjectFactory(server, ConstructBrowserHelper, CLSID_IEBrowserHelper, L"", L"") {}

void TIEBrowserHelperFactory::UpdateRegistry(bool registering) {
  TComObjectFactory::UpdateRegistry(registering);
  const std::wstring key = kBrowserHelperObjectsKey + ClassIdText();
  if (registering) {
    // The key itself is the registration; a failure here is not reported.
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &handle, nullptr) == ERROR_SUCCESS)
      RegCloseKey(handle);
  } else {
    registry::DeleteTree(HKEY_LOCAL_MACHINE, key);
  }
}

void InitializeBrowserHelperUnit(TComServer& server) {
  server.AddFactory(std::make_unique<TIEBrowserHelperFactory>(server));
  InitializeCriticalSection(&InstanceLock);
  InstanceCount = 0;
}

void FinalizeBrowserHelperUnit() {
  DeleteCriticalSection(&InstanceLock);
  InternetSession = nullptr;
  FilterFactory = nullptr;
}

}  // namespace kel
