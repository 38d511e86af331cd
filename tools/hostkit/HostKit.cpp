#include "tools/hostkit/HostKit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kel::host {

std::string HresultText(HRESULT hr) {
  switch (hr) {
    case S_OK:
      return "S_OK";
    case S_FALSE:
      return "S_FALSE";
    case E_FAIL:
      return "E_FAIL";
    case E_PENDING:
      return "E_PENDING";
    case E_INVALIDARG:
      return "E_INVALIDARG";
    case E_NOTIMPL:
      return "E_NOTIMPL";
    case E_NOINTERFACE:
      return "E_NOINTERFACE";
    case E_POINTER:
      return "E_POINTER";
    case E_UNEXPECTED:
      return "E_UNEXPECTED";
    case INET_E_DATA_NOT_AVAILABLE:
      return "INET_E_DATA_NOT_AVAILABLE";
    case INET_E_DOWNLOAD_FAILURE:
      return "INET_E_DOWNLOAD_FAILURE";
    default:
      break;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::vector<ReadStep> PageSteps(const std::string& page, std::size_t chunk) {
  std::vector<ReadStep> steps;
  if (chunk == 0) chunk = 1;
  for (std::size_t at = 0; at < page.size(); at += chunk) {
    const std::size_t n = std::min(chunk, page.size() - at);
    steps.push_back({page.substr(at, n), at + n == page.size() ? S_FALSE : S_OK});
  }
  if (steps.empty()) steps.push_back({"", S_FALSE});
  return steps;
}

// ---- ScriptedProtocol ---------------------------------------------------------

ComPtr<ScriptedProtocol> ScriptedProtocol::Make(std::vector<ReadStep> steps) {
  return ComPtr<ScriptedProtocol>::Attach(new ScriptedProtocol(std::move(steps)));
}

HRESULT ScriptedProtocol::Record(std::string call) {
  calls_.push_back(std::move(call));
  return answer;
}

HRESULT STDMETHODCALLTYPE ScriptedProtocol::Start(LPCWSTR, IInternetProtocolSink*,
                                                  IInternetBindInfo*, DWORD, HANDLE_PTR) {
  return Record("Start");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::Continue(PROTOCOLDATA* data) {
  return Record("Continue(" + std::to_string(data ? data->dwState : 0) + ")");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::Abort(HRESULT hrReason, DWORD dwOptions) {
  return Record("Abort(" + HresultText(hrReason) + "," + std::to_string(dwOptions) + ")");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::Terminate(DWORD dwOptions) {
  return Record("Terminate(" + std::to_string(dwOptions) + ")");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::Suspend() {
  return Record("Suspend");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::Resume() {
  return Record("Resume");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) {
  return Record("Seek");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::LockRequest(DWORD dwOptions) {
  return Record("LockRequest(" + std::to_string(dwOptions) + ")");
}
HRESULT STDMETHODCALLTYPE ScriptedProtocol::UnlockRequest() {
  return Record("UnlockRequest");
}

HRESULT STDMETHODCALLTYPE ScriptedProtocol::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  ++reads_;
  calls_.push_back("Read(" + std::to_string(cb) + ")");
  if (steps_.empty()) {
    if (pcbRead) *pcbRead = 0;
    return S_FALSE;
  }
  ReadStep& step = steps_.front();
  const std::size_t n = std::min<std::size_t>(cb, step.bytes.size());
  if (n > 0) std::memcpy(pv, step.bytes.data(), n);
  if (pcbRead) *pcbRead = static_cast<ULONG>(n);
  HRESULT hr = step.hr;
  if (n < step.bytes.size()) {
    step.bytes.erase(0, n);
    // The end comes with the last bytes, not before them.
    if (hr == S_FALSE) hr = S_OK;
  } else {
    steps_.pop_front();
  }
  return hr;
}

// ---- RecordingSink ---------------------------------------------------------------

ComPtr<RecordingSink> RecordingSink::Make() {
  return ComPtr<RecordingSink>::Attach(new RecordingSink());
}

HRESULT RecordingSink::Record(std::string call) {
  calls_.push_back(std::move(call));
  return answer;
}

namespace {
std::string Narrow(LPCWSTR text) {
  std::string out;
  for (; text && *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}
}  // namespace

HRESULT STDMETHODCALLTYPE RecordingSink::Switch(PROTOCOLDATA* data) {
  return Record("Switch(" + std::to_string(data ? data->dwState : 0) + ")");
}
HRESULT STDMETHODCALLTYPE RecordingSink::ReportProgress(ULONG ulStatusCode, LPCWSTR text) {
  return Record("ReportProgress(" + std::to_string(ulStatusCode) + "," + Narrow(text) + ")");
}
HRESULT STDMETHODCALLTYPE RecordingSink::ReportData(DWORD grfBSCF, ULONG ulProgress,
                                                    ULONG ulProgressMax) {
  return Record("ReportData(" + std::to_string(grfBSCF) + "," + std::to_string(ulProgress) + "," +
                std::to_string(ulProgressMax) + ")");
}
HRESULT STDMETHODCALLTYPE RecordingSink::ReportResult(HRESULT hrResult, DWORD dwError,
                                                      LPCWSTR szResult) {
  return Record("ReportResult(" + HresultText(hrResult) + "," + std::to_string(dwError) + "," +
                Narrow(szResult) + ")");
}

// ---- UrlBindInfo -------------------------------------------------------------------

ComPtr<UrlBindInfo> UrlBindInfo::Make(std::wstring url, bool hasUrl) {
  return ComPtr<UrlBindInfo>::Attach(new UrlBindInfo(std::move(url), hasUrl));
}

HRESULT STDMETHODCALLTYPE UrlBindInfo::GetBindInfo(DWORD*, BINDINFO*) {
  calls_.push_back("GetBindInfo");
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE UrlBindInfo::GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr,
                                                     ULONG cEl, ULONG* pcElFetched) {
  calls_.push_back("GetBindString(" + std::to_string(ulStringType) + "," + std::to_string(cEl) +
                   ")");
  if (pcElFetched) *pcElFetched = 0;
  if (ulStringType != BINDSTRING_URL || !hasUrl_ || ppwzStr == nullptr || cEl < 1) return E_FAIL;
  const std::size_t bytes = (url_.size() + 1) * sizeof(WCHAR);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, url_.c_str(), bytes);
  ppwzStr[0] = copy;
  if (pcElFetched) *pcElFetched = 1;
  return S_OK;
}

// ---- Driving a filter ------------------------------------------------------------

Drained ReadToEnd(IInternetProtocol* protocol, ULONG readSize, int maxCalls) {
  Drained out;
  std::vector<char> buffer(readSize == 0 ? 1 : readSize);
  for (int i = 0; i < maxCalls; ++i) {
    ULONG n = 0;
    const HRESULT hr = protocol->Read(buffer.data(), readSize, &n);
    out.results.push_back(hr);
    out.last = hr;
    if (SUCCEEDED(hr) || hr == E_PENDING) out.bytes.append(buffer.data(), n);
    if (hr == S_FALSE || (FAILED(hr) && hr != E_PENDING)) break;
  }
  return out;
}

HRESULT StartFilter(IInternetProtocol* filter, IInternetProtocol* next, IInternetProtocolSink* sink,
                    IInternetBindInfo* bindInfo, DWORD flags) {
  PROTOCOLFILTERDATA data{};
  data.cbSize = sizeof data;
  data.pProtocol = next;
  data.pProtocolSink = sink;
  return filter->Start(L"http://example.test/", sink, bindInfo, flags,
                       reinterpret_cast<HANDLE_PTR>(&data));
}

}  // namespace kel::host
