#include "com/ComObjectFactory.h"

#include <exception>

#include "com/ModuleCounts.h"
#include "support/Exceptions.h"

namespace kel {

namespace registry {

void SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& data) {
  HKEY handle = nullptr;
  LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS)
    throw EOleException("cannot create registry key", HRESULT_FROM_WIN32(rc), "", "", 0);
  rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS)
    throw EOleException("cannot set registry value", HRESULT_FROM_WIN32(rc), "", "", 0);
}

void DeleteKey(HKEY root, const std::wstring& key) {
  RegDeleteKeyW(root, key.c_str());
}

void DeleteTree(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WRITE, &handle) == ERROR_SUCCESS) {
    DWORD count = 0;
    RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    // From the last subkey to the first, so the indexes stay valid.
    for (DWORD i = count; i > 0; --i) {
      wchar_t name[256];
      DWORD length = 256;
      if (RegEnumKeyExW(handle, i - 1, name, &length, nullptr, nullptr, nullptr, nullptr) ==
          ERROR_SUCCESS)
        DeleteTree(handle, name);
    }
    RegCloseKey(handle);
  }
  RegDeleteKeyW(root, key.c_str());
}

}  // namespace registry

TComObjectFactory::TComObjectFactory(TComServer& server, Constructor construct, const CLSID& clsid,
                                     std::wstring className, std::wstring description)
    : server_(server),
      construct_(construct),
      clsid_(clsid),
      className_(std::move(className)),
      description_(std::move(description)) {}

HRESULT STDMETHODCALLTYPE TComObjectFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TComObjectFactory::AddRef() {
  return static_cast<ULONG>(CountFactory(true));
}

ULONG STDMETHODCALLTYPE TComObjectFactory::Release() {
  return static_cast<ULONG>(CountFactory(false));
}

HRESULT STDMETHODCALLTYPE TComObjectFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                            void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  // Nothing on the way from a failed construction to the message may fail
  // itself: no allocation, so that running short of memory is reported too.
  char message[512] = "Unexpected failure";
  try {
    return construct_(pUnkOuter, riid, ppvObject);
  } catch (const std::exception& e) {
    CopyMessageOf(e, message, sizeof message);
  } catch (...) {
  }
  // Construction errors are shown to the user; the caller gets E_UNEXPECTED.
  *ppvObject = nullptr;
  MessageBoxA(nullptr, message, "KelPlugins", MB_OK | MB_ICONSTOP | MB_SETFOREGROUND);
  return E_UNEXPECTED;
}

HRESULT STDMETHODCALLTYPE TComObjectFactory::LockServer(BOOL fLock) {
  CountLock(fLock != FALSE);
  return S_OK;
}

std::wstring TComObjectFactory::ClassIdText() const {
  LPOLESTR text = nullptr;
  if (FAILED(StringFromCLSID(clsid_, &text)) || text == nullptr)
    throw Exception("cannot format a class identifier");
  std::wstring result(text);
  CoTaskMemFree(text);
  return result;
}

std::wstring TComObjectFactory::ProgId() const {
  return className_.empty() ? std::wstring() : server_.ServerName() + L"." + className_;
}

void TComObjectFactory::UpdateRegistry(bool registering) {
  const std::wstring classKey = L"CLSID\\" + ClassIdText();
  const std::wstring serverKey = classKey + L"\\InprocServer32";
  const std::wstring progId = ProgId();
  if (registering) {
    std::wstring file = server_.ServerFileName();
    if (file.find(L' ') != std::wstring::npos) {
      const DWORD needed = GetShortPathNameW(file.c_str(), nullptr, 0);
      std::wstring shortPath(needed, L'\0');
      const DWORD n = needed ? GetShortPathNameW(file.c_str(), shortPath.data(), needed) : 0;
      if (n > 0 && n < needed) file.assign(shortPath.c_str(), n);
    }
    registry::SetString(HKEY_CLASSES_ROOT, classKey, nullptr, description_);
    registry::SetString(HKEY_CLASSES_ROOT, serverKey, nullptr, file);
    registry::SetString(HKEY_CLASSES_ROOT, serverKey, L"ThreadingModel", L"Apartment");
    if (!progId.empty()) {
      registry::SetString(HKEY_CLASSES_ROOT, progId, nullptr, description_);
      registry::SetString(HKEY_CLASSES_ROOT, progId + L"\\Clsid", nullptr, ClassIdText());
      registry::SetString(HKEY_CLASSES_ROOT, classKey + L"\\ProgID", nullptr, progId);
    }
  } else {
    if (!progId.empty()) {
      registry::DeleteKey(HKEY_CLASSES_ROOT, classKey + L"\\ProgID");
      registry::DeleteKey(HKEY_CLASSES_ROOT, progId + L"\\Clsid");
      registry::DeleteKey(HKEY_CLASSES_ROOT, progId);
    }
    registry::DeleteKey(HKEY_CLASSES_ROOT, serverKey);
    registry::DeleteKey(HKEY_CLASSES_ROOT, classKey);
  }
}

}  // namespace kel
