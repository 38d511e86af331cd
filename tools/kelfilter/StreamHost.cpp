#include "tools/kelfilter/StreamHost.h"

#include <algorithm>
#include <cstring>

namespace kel::kelfilter {

ComPtr<StreamProtocol> StreamProtocol::Make(std::FILE* file, std::size_t chunk) {
  return ComPtr<StreamProtocol>::Attach(new StreamProtocol(file, chunk));
}

HRESULT STDMETHODCALLTYPE StreamProtocol::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  if (at_ == held_ && !ended_ && cb >= chunk_) {
    // A whole chunk fits: straight from the file into the caller's buffer.
    const std::size_t n = std::fread(pv, 1, chunk_, file_);
    bytesRead_ += n;
    if (n < chunk_) {
      if (std::ferror(file_)) return INET_E_DOWNLOAD_FAILURE;
      ended_ = true;
    }
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
    if (ended_ || std::feof(file_)) {
      ended_ = true;
      return S_FALSE;
    }
    return S_OK;
  }
  if (at_ == held_ && !ended_) {
    buffer_.resize(chunk_);
    held_ = std::fread(buffer_.data(), 1, chunk_, file_);
    at_ = 0;
    bytesRead_ += held_;
    if (held_ < chunk_) {
      if (std::ferror(file_)) return INET_E_DOWNLOAD_FAILURE;
      ended_ = true;
    }
  }
  const std::size_t n = std::min<std::size_t>(cb, held_ - at_);
  if (n > 0) std::memcpy(pv, buffer_.data() + at_, n);
  at_ += n;
  if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
  if (at_ == held_ && (ended_ || std::feof(file_))) {
    ended_ = true;
    return S_FALSE;
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DocumentBindInfo::GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr,
                                                          ULONG cEl, ULONG* pcElFetched) {
  if (pcElFetched != nullptr) *pcElFetched = 0;
  if (ulStringType != BINDSTRING_URL || ppwzStr == nullptr || cEl < 1) return E_INVALIDARG;
  const std::size_t bytes = (url_.size() + 1) * sizeof(WCHAR);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, url_.c_str(), bytes);
  ppwzStr[0] = copy;
  if (pcElFetched != nullptr) *pcElFetched = 1;
  return S_OK;
}

}  // namespace kel::kelfilter
