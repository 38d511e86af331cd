// The module's COM server: the list of its class factories (newest first,
// under a reader/writer lock), its name and file name, and registration.
// Windows only: it needs the registry and the module's file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace kel {

class TComObjectFactory;

class TComServer {
 public:
  explicit TComServer(HINSTANCE module);
  ~TComServer();
  TComServer(const TComServer&) = delete;
  TComServer& operator=(const TComServer&) = delete;

  // Takes ownership; the factory goes to the front of the list.
  void AddFactory(std::unique_ptr<TComObjectFactory> factory);
  TComObjectFactory* FindFactory(REFCLSID clsid);

  // Registers (true) or unregisters every class, walking from the front.
  // Throws on the first step that fails.
  void UpdateRegistry(bool registering);

  // The module file's name without directory and extension ("KelPlugins").
  std::wstring ServerName() const;
  // The module file's full path, each component in its long form.
  std::wstring ServerFileName() const;

 private:
  HINSTANCE module_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<std::unique_ptr<TComObjectFactory>> factories_;  // front first
};

// The module's server between process attach and detach; null otherwise.
TComServer* ComServer();
void CreateComServer(HINSTANCE module);
void DestroyComServer();

}  // namespace kel
