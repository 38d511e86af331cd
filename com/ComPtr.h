// An owning holder for one counted interface reference.
#pragma once

#include <utility>

#include "platform/Platform.h"

namespace kel {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to p.
  explicit ComPtr(T* p) : ptr_(p) {
    if (ptr_) ptr_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.ptr_) {}
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  // Adopts a reference the caller already owns.
  static ComPtr Attach(T* p) {
    ComPtr r;
    r.ptr_ = p;
    return r;
  }
  T* Detach() { return std::exchange(ptr_, nullptr); }

  void Reset() {
    if (T* p = std::exchange(ptr_, nullptr)) p->Release();
  }
  void Swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

  // Releases what is held and gives the address for an out parameter.
  T** Put() {
    Reset();
    return &ptr_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  T* Get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  template <class U>
  HRESULT As(REFIID iid, ComPtr<U>& out) const {
    return ptr_ ? ptr_->QueryInterface(iid, out.PutVoid()) : E_POINTER;
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace kel
