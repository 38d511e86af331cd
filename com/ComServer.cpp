#include "com/ComServer.h"

#include <algorithm>

#include "com/ComObjectFactory.h"

namespace kel {
namespace {

TComServer* server = nullptr;

class SharedLock {
 public:
  explicit SharedLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
  ~SharedLock() { ReleaseSRWLockShared(&lock_); }

 private:
  SRWLOCK& lock_;
};

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK& lock_;
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
  ExclusiveLock lock(lock_);
  factories_.clear();
}

void TComServer::AddFactory(std::unique_ptr<TComObjectFactory> factory) {
  ExclusiveLock lock(lock_);
  factories_.insert(factories_.begin(), std::move(factory));
}

TComObjectFactory* TComServer::FindFactory(REFCLSID clsid) {
  SharedLock lock(lock_);
  for (const auto& factory : factories_)
    if (IsEqualCLSID(factory->ClassId(), clsid)) return factory.get();
  return nullptr;
}

void TComServer::UpdateRegistry(bool registering) {
  ExclusiveLock lock(lock_);
  for (const auto& factory : factories_) factory->UpdateRegistry(registering);
}

std::wstring TComServer::ServerFileName() const {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module_, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
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
