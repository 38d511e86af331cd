// The class factory of one COM class of the module. Its references are the
// module's factory count: factories live until the module is unloaded.
#pragma once

#include <string>

#include "com/ComServer.h"
#include "platform/Platform.h"

namespace kel {

class TComObjectFactory : public IClassFactory {
 public:
  // Constructs an object of the class (aggregated under outer when given),
  // runs its Initialize and answers riid.
  using Constructor = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

  TComObjectFactory(TComServer& server, Constructor construct, const CLSID& clsid,
                    std::wstring className, std::wstring description);
  virtual ~TComObjectFactory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  // Writes (true) or removes the class's registry entries; throws when an
  // entry cannot be written.
  virtual void UpdateRegistry(bool registering);

  const CLSID& ClassId() const { return clsid_; }
  std::wstring ClassIdText() const;
  // The server name, ".", the class name; empty without a class name.
  std::wstring ProgId() const;

 protected:
  TComServer& server_;

 private:
  Constructor construct_;
  CLSID clsid_;
  std::wstring className_;
  std::wstring description_;
};

// Registry helpers shared by the factories.
namespace registry {
// Creates the key (non-volatile, read and write) and sets one string value
// in it: the default value when name is null. Throws on failure.
void SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& data);
// Deletes the key alone; a key with subkeys stays. Failures are ignored.
void DeleteKey(HKEY root, const std::wstring& key);
// Deletes the key with everything below it. Failures are ignored.
void DeleteTree(HKEY root, const std::wstring& key);
}  // namespace registry

}  // namespace kel
