// What a host puts around the filter: a next protocol that answers a script
// of reads, an outgoing sink and a bind information that record what they are
// asked. Used by kelfilter, the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "platform/Platform.h"

namespace kel::host {

// A reference-counted object outside the module: not in its object count.
template <class Face>
class TRefCounted : public Face {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || Answers(riid)) {
      *ppv = static_cast<Face*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  long RefCount() const { return refs_; }

 protected:
  virtual ~TRefCounted() = default;
  virtual bool Answers(REFIID riid) const = 0;

 private:
  long refs_ = 1;  // the creator's reference
};

// A next protocol that only serves bytes: every method but Read does nothing
// and answers S_OK (Seek E_NOTIMPL).
class TServingProtocol : public TRefCounted<IInternetProtocol> {
 public:
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Suspend() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Resume() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

 protected:
  bool Answers(REFIID riid) const override {
    return riid == IID_IInternetProtocol || riid == IID_IInternetProtocolRoot;
  }
};

// One answer of the next protocol's Read: these bytes with this result. A
// step with more bytes than the caller asked for gives the first part and
// keeps the rest, with the same result, for the next Read; S_FALSE, the end
// of the data, comes only with the step's last bytes (S_OK before them).
struct ReadStep {
  std::string bytes;
  HRESULT hr = S_OK;
};

// The page cut into reads of at most chunk bytes, the last with S_FALSE (an
// empty page: one S_FALSE with no bytes).
std::vector<ReadStep> PageSteps(const std::string& page, std::size_t chunk);

class ScriptedProtocol final : public TRefCounted<IInternetProtocol> {
 public:
  static ComPtr<ScriptedProtocol> Make(std::vector<ReadStep> steps);

  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override;
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* data) override;
  HRESULT STDMETHODCALLTYPE Abort(HRESULT hrReason, DWORD dwOptions) override;
  HRESULT STDMETHODCALLTYPE Terminate(DWORD dwOptions) override;
  HRESULT STDMETHODCALLTYPE Suspend() override;
  HRESULT STDMETHODCALLTYPE Resume() override;
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override;
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD dwOptions) override;
  HRESULT STDMETHODCALLTYPE UnlockRequest() override;

  // Every call made, in order, as "Name(arguments)".
  const std::vector<std::string>& Calls() const { return calls_; }
  int Reads() const { return reads_; }
  // What each method other than Read answers.
  HRESULT answer = S_OK;

 private:
  explicit ScriptedProtocol(std::vector<ReadStep> steps) : steps_(steps.begin(), steps.end()) {}
  bool Answers(REFIID riid) const override {
    return riid == IID_IInternetProtocol || riid == IID_IInternetProtocolRoot;
  }
  HRESULT Record(std::string call);

  std::deque<ReadStep> steps_;
  std::vector<std::string> calls_;
  int reads_ = 0;
};

class RecordingSink final : public TRefCounted<IInternetProtocolSink> {
 public:
  static ComPtr<RecordingSink> Make();

  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* data) override;
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) override;
  HRESULT STDMETHODCALLTYPE ReportData(DWORD grfBSCF, ULONG ulProgress,
                                       ULONG ulProgressMax) override;
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT hrResult, DWORD dwError,
                                         LPCWSTR szResult) override;

  const std::vector<std::string>& Calls() const { return calls_; }
  HRESULT answer = S_OK;

 private:
  RecordingSink() = default;
  bool Answers(REFIID riid) const override { return riid == IID_IInternetProtocolSink; }
  HRESULT Record(std::string call);
  std::vector<std::string> calls_;
};

// Answers BINDSTRING_URL with url, or with no string when hasUrl is false.
class UrlBindInfo final : public TRefCounted<IInternetBindInfo> {
 public:
  static ComPtr<UrlBindInfo> Make(std::wstring url, bool hasUrl = true);

  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) override;
  HRESULT STDMETHODCALLTYPE GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr, ULONG cEl,
                                          ULONG* pcElFetched) override;

  const std::vector<std::string>& Calls() const { return calls_; }

 private:
  UrlBindInfo(std::wstring url, bool hasUrl) : url_(std::move(url)), hasUrl_(hasUrl) {}
  bool Answers(REFIID riid) const override { return riid == IID_IInternetBindInfo; }
  std::wstring url_;
  bool hasUrl_;
  std::vector<std::string> calls_;
};

// The page as a consumer reads it: Read with readSize until S_FALSE, a
// failure, or maxCalls calls.
struct Drained {
  std::string bytes;
  std::vector<HRESULT> results;
  HRESULT last = S_OK;
};
Drained ReadToEnd(IInternetProtocol* protocol, ULONG readSize, int maxCalls = 1 << 20);

// Starts filter in filter mode over next with sink and bind information.
HRESULT StartFilter(IInternetProtocol* filter, IInternetProtocol* next, IInternetProtocolSink* sink,
                    IInternetBindInfo* bindInfo, DWORD flags = PI_FILTER_MODE);

std::string HresultText(HRESULT hr);

}  // namespace kel::host
