#include "filter/MimeFilter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/Text.h"
#include "service/CompanionLoader.h"

namespace kel {

// {0FCE58F0-8899-4255-B6DE-C14E01DDCAE9}
const CLSID CLSID_VarnelHTMLFilter = {
    0x0FCE58F0, 0x8899, 0x4255, {0xB6, 0xDE, 0xC1, 0x4E, 0x01, 0xDD, 0xCA, 0xE9}};

TVarnelHTMLFilter::TVarnelHTMLFilter(IUnknown* outer, std::string companionLibrary)
    : TComClass(outer), companionLibrary_(std::move(companionLibrary)) {}

void TVarnelHTMLFilter::Initialize() {
  TComObject::Initialize();
  FTagParser = std::make_unique<TTagParser>();
  FEndOfData = false;
  FInAnchor = false;
  FAnchorHref.clear();
  FInMap = false;
  FMaps = std::make_unique<std::vector<std::unique_ptr<TMapItem>>>();
  FCurrentMap = nullptr;
  FMapImages = std::make_unique<TStringList>();
  FMapImages->SetSorted(true);
  FMapImages->SetIgnoreDuplicates(true);
  FInFlash = false;
  FBinding = 0;
  FServiceStatus = 1;
  FActive = false;
  FOutput = std::make_unique<ByteQueue>();
  FInput = std::make_unique<ByteQueue>();
  FGetBinding = nullptr;
  FReviseResource = nullptr;
  FNoteResourceWithHref = nullptr;
  FServiceModule = LoadCompanion(companionLibrary_);
  if (FServiceModule != nullptr) {
    FGetBinding = GetEntryPoint<TGetBinding>(FServiceModule, kGetBindingName);
    FReviseResource = GetEntryPoint<TReviseResource>(FServiceModule, kReviseResourceName);
    FNoteResourceWithHref =
        GetEntryPoint<TNoteResourceWithHref>(FServiceModule, kNoteResourceWithHrefName);
  }
}

TVarnelHTMLFilter::~TVarnelHTMLFilter() {
  FProtocol = nullptr;
  FSink = nullptr;
  FTagParser.reset();
  FInput.reset();
  FOutput.reset();
  FCurrentMap = nullptr;
  FMaps.reset();
  FMapImages.reset();
  // The companion goes last, after everything that belongs to the filter.
  if (FServiceModule != nullptr) FreeLibrary(FServiceModule);
}

void* TVarnelHTMLFilter::FindInterface(REFIID riid) {
  if (riid == IID_IInternetProtocolSink) return static_cast<IInternetProtocolSink*>(this);
  if (riid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
  return nullptr;
}

// ---- Protocol face --------------------------------------------------------------

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Start(LPCWSTR, IInternetProtocolSink* pOIProtSink,
                                                   IInternetBindInfo* pOIBindInfo, DWORD grfPI,
                                                   HANDLE_PTR dwReserved) {
  // One filter, one download: a second Start would mix two documents'
  // state, so it is refused before anything of the first one changes.
  if (FStarted) return E_UNEXPECTED;
  FProtocolFlags = grfPI;
  if ((grfPI & PI_FILTER_MODE) == 0) return E_INVALIDARG;
  const auto* filterData = reinterpret_cast<const PROTOCOLFILTERDATA*>(dwReserved);
  if (filterData == nullptr || filterData->pProtocol == nullptr) return E_INVALIDARG;

  HRESULT hr = E_FAIL;
  try {
    BeginDownload(filterData->pProtocol, pOIProtSink, pOIBindInfo);
    FStarted = true;
    return S_OK;
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (...) {
    hr = E_FAIL;
  }
  // A failed Start leaves the object as it was created: holding no
  // reference (nobody calls Terminate after a failed Start, and the next
  // protocol holds this filter) and passing through.
  FProtocol = nullptr;
  FSink = nullptr;
  FBaseUrl.clear();
  FServiceStatus = 1;
  FBinding = 0;
  FActive = false;
  FSkipIFrame = false;
  return hr;
}

void TVarnelHTMLFilter::BeginDownload(IInternetProtocol* next, IInternetProtocolSink* sink,
                                      IInternetBindInfo* bindInfo) {
  FProtocol = ComPtr<IInternetProtocol>(next);
  FSink = ComPtr<IInternetProtocolSink>(sink);

  FBaseUrl.clear();
  if (bindInfo != nullptr) {
    LPOLESTR url = nullptr;
    ULONG fetched = 0;
    bindInfo->GetBindString(BINDSTRING_URL, &url, 1, &fetched);
    if (url != nullptr) {
      struct FreeOnExit {
        LPOLESTR text;
        ~FreeOnExit() { CoTaskMemFree(text); }
      } release{url};
      FBaseUrl = WideToAnsi(url);
    }
  }

  if (FGetBinding != nullptr && FReviseResource != nullptr && FNoteResourceWithHref != nullptr) {
    ++FStats.CompanionCalls;
    FServiceStatus = FGetBinding(&FBinding);
  } else {
    FServiceStatus = 1;
    FBinding = 0;
  }
  FActive = FServiceStatus == 0 && FBinding != 0;
  FSkipIFrame = false;
}

// Each forwarded call holds its own reference to the object it calls: a
// callback during the call may reach Terminate, which lets go of ours.
HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Continue(PROTOCOLDATA* pProtocolData) {
  const ComPtr<IInternetProtocol> next = FProtocol;
  return next ? next->Continue(pProtocolData) : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Abort(HRESULT hrReason, DWORD dwOptions) {
  const ComPtr<IInternetProtocol> next = FProtocol;
  return next ? next->Abort(hrReason, dwOptions) : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Terminate(DWORD dwOptions) {
  const ComPtr<IInternetProtocol> next = FProtocol;
  const HRESULT hr = next ? next->Terminate(dwOptions) : E_FAIL;
  // The binding object holds this filter until its own count falls to 0,
  // and our reference to the next protocol, part of that object, would keep
  // it above 0: both references go here, not at destruction.
  FSink = nullptr;
  FProtocol = nullptr;
  return hr;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Suspend() {
  const ComPtr<IInternetProtocol> next = FProtocol;
  return next ? next->Suspend() : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Resume() {
  const ComPtr<IInternetProtocol> next = FProtocol;
  return next ? next->Resume() : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::LockRequest(DWORD) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::UnlockRequest() {
  return S_OK;
}

// ---- Sink face --------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Switch(PROTOCOLDATA* pProtocolData) {
  const ComPtr<IInternetProtocolSink> sink = FSink;
  return sink ? sink->Switch(pProtocolData) : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::ReportProgress(ULONG ulStatusCode,
                                                            LPCWSTR szStatusText) {
  const ComPtr<IInternetProtocolSink> sink = FSink;
  return sink ? sink->ReportProgress(ulStatusCode, szStatusText) : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::ReportData(DWORD grfBSCF, ULONG ulProgress,
                                                        ULONG ulProgressMax) {
  const ComPtr<IInternetProtocolSink> sink = FSink;
  return sink ? sink->ReportData(grfBSCF, ulProgress, ulProgressMax) : E_FAIL;
}

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::ReportResult(HRESULT hrResult, DWORD dwError,
                                                          LPCWSTR szResult) {
  const ComPtr<IInternetProtocolSink> sink = FSink;
  return sink ? sink->ReportResult(hrResult, dwError, szResult) : E_FAIL;
}

// ---- Read loop --------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE TVarnelHTMLFilter::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (!FActive) {
    const ComPtr<IInternetProtocol> next = FProtocol;
    return next ? next->Read(pv, cb, pcbRead) : E_FAIL;
  }
  if (pv == nullptr && cb != 0) return E_INVALIDARG;
  // A Read from inside the next protocol's Read (its ReportData reached a
  // consumer that reads at once) gets only what is already filtered: the
  // bytes the outer call is reading come before anything read now.
  if (FReading) {
    const std::size_t m = Deliver(static_cast<char*>(pv), cb, pcbRead);
    if (Finished()) return S_FALSE;
    return m > 0 ? S_OK : E_PENDING;
  }
  FReading = true;
  struct EndOfRead {
    bool& reading;
    ~EndOfRead() { reading = false; }
  } endOfRead{FReading};
  try {
    return ReadActive(static_cast<char*>(pv), cb, pcbRead);
  } catch (...) {
    if (pcbRead != nullptr) *pcbRead = 0;
    return E_FAIL;
  }
}

HRESULT TVarnelHTMLFilter::ReadActive(char* buffer, ULONG cb, ULONG* pcbRead) {
  HRESULT hr = S_OK;
  // Normally a no-op; after a failed call it finishes the split that call
  // left, so a tag left at the front is handled before more is read.
  SplitInput();
  while (!FEndOfData && FOutput->Size() < cb && hr == S_OK) {
    const ComPtr<IInternetProtocol> next = FProtocol;
    if (!next) return E_FAIL;
    // Read straight into the input's free end: one copy fewer than through
    // a buffer of our own.
    char* room = FInput->Prepare(kReadSize);
    ULONG n = 0;
    hr = next->Read(room, kReadSize, &n);
    n = std::min<ULONG>(n, kReadSize);  // never trust a count beyond the buffer
    // The bytes that come with a download failure are dropped.
    const bool failed = hr == INET_E_DOWNLOAD_FAILURE || hr == INET_E_DATA_NOT_AVAILABLE;
    FInput->Commit(failed ? 0 : n);
    FEndOfData = hr == S_FALSE;
    if (failed) return hr;
    FStats.BytesIn += n;
    SplitInput();
  }

  Deliver(buffer, cb, pcbRead);
  if (hr == E_PENDING) return E_PENDING;
  return Finished() ? S_FALSE : S_OK;
}

std::size_t TVarnelHTMLFilter::Deliver(char* buffer, ULONG cb, ULONG* pcbRead) {
  const std::size_t m = std::min<std::size_t>(cb, FOutput->Size());
  if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(m);
  if (m > 0) {
    std::memcpy(buffer, FOutput->Data(), m);
    FOutput->Consume(m);
    FStats.BytesOut += m;
  }
  return m;
}

bool TVarnelHTMLFilter::Finished() const {
  return FOutput->Empty() && FInput->Empty() && FEndOfData;
}

void TVarnelHTMLFilter::SplitInput() {
  while (!FInput->Empty()) {
    const bool tagFound = scanner_.Scan(FInput->Data(), FInput->Size());
    if (const std::size_t textLength = scanner_.TextLength(); textLength > 0) {
      if (!FInFlash) WriteOutput(FInput->Data(), textLength);
      // Gone from the input as soon as it is written, so that a failure in
      // the tag's handling cannot make a later call write it again.
      FInput->Consume(textLength);
      scanner_.DropText();
    }
    if (!tagFound) break;
    const std::size_t tagLength = scanner_.TagLength();
    if (FServiceStatus != 0 || FKeepTags)
      WriteOutput(FInput->Data(), tagLength);
    else
      HandleTag(FInput->Data(), tagLength);
    ++FStats.TagsSeen;
    FInput->Consume(tagLength);
    scanner_.Reset();
  }
  if (FEndOfData && !FInput->Empty()) {
    // The incomplete rest goes out unchanged; when nothing waits before it,
    // the input queue simply becomes the output (a long unclosed tag is not
    // copied again).
    if (FOutput->Empty())
      std::swap(FInput, FOutput);
    else
      WriteOutput(FInput->Data(), FInput->Size());
    FInput->Clear();
    scanner_.Reset();
  }
}

// A tag whose handling fails stays at the front of the input and the call
// fails; the next call tries it again. Should it fail once more, it would
// fail on every call and the page would never complete: the tag and every
// later one are then copied unchanged, as when the companion declines.
void TVarnelHTMLFilter::HandleTag(const char* tag, std::size_t length) {
  try {
    ProcessTag(tag, length);
    FTagFailed = false;
  } catch (...) {
    if (!FTagFailed) {
      FTagFailed = true;
      throw;
    }
    FKeepTags = true;
    WriteOutput(tag, length);
  }
}

void TVarnelHTMLFilter::WriteOutput(const char* data, std::size_t count) {
  FOutput->Append(data, count);
}

void TVarnelHTMLFilter::WriteOutputText(const std::string& text) {
  FOutput->Append(text.data(), text.size());
}

ComPtr<IInternetProtocol> NewFilter(const std::string& companionLibrary,
                                    TVarnelHTMLFilter** object) {
  ComPtr<IInternetProtocol> filter;
  TComObject::Create<TVarnelHTMLFilter>(nullptr, IID_IInternetProtocol, filter.PutVoid(),
                                        companionLibrary);
  if (object != nullptr) *object = static_cast<TVarnelHTMLFilter*>(filter.Get());
  return filter;
}

}  // namespace kel
