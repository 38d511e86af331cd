// The pluggable MIME filter for "text/html". URL-moniker creates one per HTML
// download, starts it in filter mode over the next protocol and pulls the
// page through Read. In active mode the page is cut into text runs and tags,
// and each tag is judged by the rewriting rules with the companion service's
// help; in pass-through mode Read goes straight to the next protocol.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "com/ComObject.h"
#include "com/ComPtr.h"
#include "filter/ByteQueue.h"
#include "filter/TagSplitter.h"
#include "platform/Platform.h"
#include "service/KelRPC.h"
#include "support/StringList.h"
#include "tagparser/TagParser.h"

namespace kel {

// The filter's class identifier.
extern const CLSID CLSID_VarnelHTMLFilter;

// One image map of the document.
class TMapItem {
 public:
  TStringList FAreas;  // absolute hrefs of the map's AREA tags, in order
  std::string FName;   // the MAP tag's NAME as written
};

// What one filter saw and did; read by tools and tests.
struct TFilterStats {
  std::uint64_t BytesIn = 0;
  std::uint64_t BytesOut = 0;
  std::uint64_t TagsSeen = 0;
  std::uint64_t TagsRewritten = 0;  // replaced by a placeholder
  std::uint64_t TagsDropped = 0;    // removed with nothing in their place
  std::uint64_t CompanionCalls = 0;
};

class TVarnelHTMLFilter : public TComClass<IInternetProtocol, IInternetProtocolSink> {
 public:
  static constexpr std::size_t kReadSize = 8192;

  // companionLibrary: the library Initialize loads; the bare companion name
  // unless a tool or test names another file.
  explicit TVarnelHTMLFilter(IUnknown* outer, std::string companionLibrary = kCompanionLibraryName);

  // IInternetProtocolRoot
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                                  IInternetBindInfo* pOIBindInfo, DWORD grfPI,
                                  HANDLE_PTR dwReserved) override;
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* pProtocolData) override;
  HRESULT STDMETHODCALLTYPE Abort(HRESULT hrReason, DWORD dwOptions) override;
  HRESULT STDMETHODCALLTYPE Terminate(DWORD dwOptions) override;
  HRESULT STDMETHODCALLTYPE Suspend() override;
  HRESULT STDMETHODCALLTYPE Resume() override;
  // IInternetProtocol
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD dwOptions) override;
  HRESULT STDMETHODCALLTYPE UnlockRequest() override;
  // IInternetProtocolSink
  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* pProtocolData) override;
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) override;
  HRESULT STDMETHODCALLTYPE ReportData(DWORD grfBSCF, ULONG ulProgress,
                                       ULONG ulProgressMax) override;
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT hrResult, DWORD dwError,
                                         LPCWSTR szResult) override;

  // Read-only views for tools and tests.
  bool Active() const { return FActive; }
  // A tag's handling failed twice and the rest of the page is copied.
  bool KeepingTags() const { return FKeepTags; }
  std::int32_t ServiceStatus() const { return FServiceStatus; }
  std::uint32_t Binding() const { return FBinding; }
  DWORD ProtocolFlags() const { return FProtocolFlags; }
  const std::string& BaseUrl() const { return FBaseUrl; }
  bool CompanionLoaded() const { return FServiceModule != nullptr; }
  const TFilterStats& Stats() const { return FStats; }
  // Bytes the input and output queues have allocated.
  std::size_t QueueCapacity() const {
    return (FInput ? FInput->Capacity() : 0) + (FOutput ? FOutput->Capacity() : 0);
  }

 protected:
  ~TVarnelHTMLFilter() override;
  void Initialize() override;
  void* FindInterface(REFIID riid) override;

  // The rewriting rules for one complete tag; virtual so that a test can
  // make a tag's handling fail.
  virtual void ProcessTag(const char* tagStart, std::size_t tagLength);

  void WriteOutput(const char* data, std::size_t count);
  void WriteOutputText(const std::string& text);

 private:
  void BeginDownload(IInternetProtocol* next, IInternetProtocolSink* sink,
                     IInternetBindInfo* bindInfo);
  HRESULT ReadActive(char* buffer, ULONG cb, ULONG* pcbRead);
  // Hands out up to cb bytes of the output; returns how many.
  std::size_t Deliver(char* buffer, ULONG cb, ULONG* pcbRead);
  bool Finished() const;
  void HandleTag(const char* tag, std::size_t length);
  // Splits what FInput holds into text runs and tags and hands them on;
  // at end of data, flushes the incomplete rest unchanged.
  void SplitInput();

  // Companion calls, each storing its status in FServiceStatus.
  void ReviseResource(const std::string& url, const char* contentType,
                      const std::string& documentUrl, const std::string& href, std::int32_t width,
                      std::int32_t height, std::int32_t& action);
  void NoteResourceWithHref(const std::string& imageUrl, const std::string& href,
                            std::int32_t& action);

  // Rules of single tags.
  void ImageRule(const char* tagStart, std::size_t tagLength);
  void InlineFrameRule(const char* tagStart, std::size_t tagLength);
  void ObjectRule(const char* tagStart, std::size_t tagLength);
  void FlashObjectRule(bool objectEnd);
  void MapStartRule();
  void AreaRule();
  void MapEndRule();
  void WriteReplacement(const std::string& text);
  const std::string& AnchorHref();

  DWORD FProtocolFlags = 0;
  ComPtr<IInternetProtocol> FProtocol;
  ComPtr<IInternetProtocolSink> FSink;
  std::unique_ptr<ByteQueue> FOutput;
  std::unique_ptr<ByteQueue> FInput;
  bool FEndOfData = false;
  std::unique_ptr<TTagParser> FTagParser;
  std::uint32_t FBinding = 0;
  std::int32_t FServiceStatus = 0;
  bool FActive = false;
  std::string FBaseUrl;
  bool FSkipIFrame = false;
  HMODULE FServiceModule = nullptr;
  TGetBinding FGetBinding = nullptr;
  TReviseResource FReviseResource = nullptr;
  TNoteResourceWithHref FNoteResourceWithHref = nullptr;
  bool FInAnchor = false;
  std::string FAnchorHref;  // resolved, once FAnchorHrefResolved
  std::string FAnchorTag;   // the anchor's tag, until its HREF is resolved
  TTagParser FAnchorParser;
  bool FAnchorHrefResolved = true;
  bool FInMap = false;
  std::unique_ptr<std::vector<std::unique_ptr<TMapItem>>> FMaps;
  TMapItem* FCurrentMap = nullptr;
  std::unique_ptr<TStringList> FMapImages;
  bool FInFlash = false;
  std::int32_t FFlashAction = 0;
  std::string FFlashWidth;
  std::string FFlashHeight;

  bool FStarted = false;    // a Start has succeeded
  bool FReading = false;    // an active Read is under way
  bool FTagFailed = false;  // the tag at the front of FInput failed once
  bool FKeepTags = false;   // a tag failed twice: the rest is copied unchanged

  std::string companionLibrary_;
  TagScanner scanner_;  // where the split of FInput has got to
  TFilterStats FStats;
};

// WIDTH or HEIGHT text as the rewriting rules read it; -1 when not a number.
std::int32_t AttributeInteger(const std::string& text);

// A new filter object, created and initialised as its class factory does;
// object, when given, receives the C++ object behind the interface.
ComPtr<IInternetProtocol> NewFilter(const std::string& companionLibrary = kCompanionLibraryName,
                                    TVarnelHTMLFilter** object = nullptr);

}  // namespace kel
