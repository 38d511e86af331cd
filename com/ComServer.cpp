#include "com/ComServer.h"

#include "com/ComObjectFactory.h"
#include "platform/Text.h"

namespace kel {
namespace {

TComServer* server = nullptr;

// Holds an SRW lock, shared or exclusive, for the scope.
class SrwGuard {
 public:
  enum Mode { kShared, kExclusive };
  SrwGuard(SRWLOCK& lock, Mode mode) : lock_(lock), mode_(mode) {
    if (mode_ == kShared)
      AcquireSRWLockShared(&lock_);
    else
      AcquireSRWLockExclusive(&lock_);
  }
  ~SrwGuard() {
    if (mode_ == kShared)
      ReleaseSRWLockShared(&lock_);
    else
      ReleaseSRWLockExclusive(&lock_);
  }
  SrwGuard(const SrwGuard&) = delete;
  SrwGuard& operator=(const SrwGuard&) = delete;

 private:
  SRWLOCK& lock_;
  Mode mode_;
};

}  // namespace

TComServer* ComServer() {
  return server;
}

void CreateComServer(HINSTANCE module) {
  server = new TComServer(module);
}

void DestroyComServer() {
  delete server;
  server = nullptr;
}

TComServer::TComServer(HINSTANCE module) : module_(module) {}

TComServer::~TComServer() {
  SrwGuard guard(lock_, SrwGuard::kExclusive);
  factories_.clear();
}

void TComServer::AddFactory(std::unique_ptr<TComObjectFactory> factory) {
  SrwGuard guard(lock_, SrwGuard::kExclusive);
  factories_.insert(factories_.begin(), std::move(factory));
}

TComObjectFactory* TComServer::FindFactory(REFCLSID clsid) {
  SrwGuard guard(lock_, SrwGuard::kShared);
  for (const auto& factory : factories_)
    if (IsEqualCLSID(factory->ClassId(), clsid)) return factory.get();
  return nullptr;
}

void TComServer::UpdateRegistry(bool registering) {
  SrwGuard guard(lock_, SrwGuard::kExclusive);
  for (const auto& factory : factories_) factory->UpdateRegistry(registering);
}

std::wstring TComServer::ServerFileName() const {
  const std::wstring path = ModuleFileName(module_);
  if (path.empty()) return {};
  const DWORD needed = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return path;
  std::wstring longPath(needed, L'\0');
  const DWORD n = GetLongPathNameW(path.c_str(), longPath.data(), needed);
  if (n == 0 || n >= needed) return path;
  longPath.resize(n);
  return longPath;
}

std::wstring TComServer::ServerName() const {
  std::wstring name = ServerFileName();
  const std::size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(dot);
  return name;
}

}  // namespace kel
