// What kelfilter puts around the filter: a next protocol that reads the page
// from a file as the filter asks for it, a sink that takes the
// notifications, and a bind information that gives the document URL.
// Nothing holds more of the page than one chunk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "tools/hostkit/HostKit.h"

namespace kel::kelfilter {

class StreamProtocol final : public host::TServingProtocol {
 public:
  // Reads file (not closed here) in reads of at most chunk bytes.
  static ComPtr<StreamProtocol> Make(std::FILE* file, std::size_t chunk);

  // At most one chunk of the file a call; S_FALSE comes with the last
  // bytes, or alone when the file ended exactly at a chunk's end;
  // INET_E_DOWNLOAD_FAILURE when the file cannot be read.
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;

  std::uint64_t BytesRead() const { return bytesRead_; }

 private:
  StreamProtocol(std::FILE* file, std::size_t chunk) : file_(file), chunk_(chunk ? chunk : 1) {}
  // Reads up to a chunk into into; false on a read error.
  bool ReadChunk(char* into, std::size_t& n);
  // True once the file has no more bytes.
  bool AtEnd();

  std::FILE* file_;
  std::size_t chunk_;
  std::vector<char> buffer_;
  std::size_t at_ = 0;    // next byte of buffer_ to hand out
  std::size_t held_ = 0;  // bytes of buffer_ that hold data
  bool ended_ = false;
  std::uint64_t bytesRead_ = 0;
};

// Takes every notification and answers S_OK.
class QuietSink final : public host::TRefCounted<IInternetProtocolSink> {
 public:
  static ComPtr<QuietSink> Make() { return ComPtr<QuietSink>::Attach(new QuietSink); }
  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT, DWORD, LPCWSTR) override { return S_OK; }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IInternetProtocolSink; }
};

// Gives the document URL for BINDSTRING_URL and nothing else.
class DocumentBindInfo final : public host::TRefCounted<IInternetBindInfo> {
 public:
  static ComPtr<DocumentBindInfo> Make(std::wstring url) {
    return ComPtr<DocumentBindInfo>::Attach(new DocumentBindInfo(std::move(url)));
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr, ULONG cEl,
                                          ULONG* pcElFetched) override;

 private:
  explicit DocumentBindInfo(std::wstring url) : url_(std::move(url)) {}
  bool Answers(REFIID riid) const override { return riid == IID_IInternetBindInfo; }
  std::wstring url_;
};

}  // namespace kel::kelfilter
