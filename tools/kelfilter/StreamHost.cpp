#include "tools/kelfilter/StreamHost.h"

#include <algorithm>
#include <cstring>

namespace kel::kelfilter {

ComPtr<StreamProtocol> StreamProtocol::Make(std::FILE* file, std::size_t chunk) {
  return ComPtr<StreamProtocol>::Attach(new StreamProtocol(file, chunk));
}

bool StreamProtocol::ReadChunk(char* into, std::size_t& n) {
  n = std::fread(into, 1, chunk_, file_);
  bytesRead_ += n;
  if (n < chunk_) {
    if (std::ferror(file_)) return false;
    ended_ = true;
  }
  return true;
}

bool StreamProtocol::AtEnd() {
  if (std::feof(file_)) ended_ = true;
  return ended_;
}

HRESULT STDMETHODCALLTYPE StreamProtocol::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  if (at_ == held_ && !ended_) {
    // A whole chunk that fits goes straight from the file into the caller's
    // buffer; a smaller request is served from a chunk of our own.
    const bool direct = cb >= chunk_;
    if (!direct) buffer_.resize(chunk_);
    std::size_t n = 0;
    if (!ReadChunk(direct ? static_cast<char*>(pv) : buffer_.data(), n))
      return INET_E_DOWNLOAD_FAILURE;
    if (direct) {
      if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
      return AtEnd() ? S_FALSE : S_OK;
    }
    held_ = n;
    at_ = 0;
  }
  const std::size_t n = std::min<std::size_t>(cb, held_ - at_);
  if (n > 0) std::memcpy(pv, buffer_.data() + at_, n);
  at_ += n;
  if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
  return at_ == held_ && AtEnd() ? S_FALSE : S_OK;
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
