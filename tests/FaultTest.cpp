// The filter when its surroundings misbehave: a Start that fails half way,
// calls that come back into the filter from inside its own calls, a tag
// whose handling always fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

#include "tests/TestSupport.h"

namespace kel {
namespace {

using host::HresultText;
using test::CompanionSetup;

// A next protocol that serves a page in chunks and runs a scripted callback
// inside its calls, as a real protocol reports to its sink from inside Read.
class CallbackProtocol final : public host::TRefCounted<IInternetProtocol> {
 public:
  static ComPtr<CallbackProtocol> Make(std::string page, std::size_t chunk) {
    return ComPtr<CallbackProtocol>::Attach(new CallbackProtocol(std::move(page), chunk));
  }

  std::function<void()> during;      // run inside every call but Read
  std::function<void()> duringRead;  // run inside Read, after the bytes are copied
  std::function<void()> onDestroy;
  static int destroyedInCall;

  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    return Run();
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return Run(); }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return Run(); }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Suspend() override { return Run(); }
  HRESULT STDMETHODCALLTYPE Resume() override { return Run(); }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const std::size_t n = std::min<std::size_t>({cb, chunk_, page_.size() - at_});
    std::memcpy(pv, page_.data() + at_, n);
    at_ += n;
    *pcbRead = static_cast<ULONG>(n);
    const HRESULT hr = at_ == page_.size() ? S_FALSE : S_OK;
    ++inCall_;
    if (duringRead) duringRead();
    --inCall_;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

 private:
  CallbackProtocol(std::string page, std::size_t chunk) : page_(std::move(page)), chunk_(chunk) {}
  ~CallbackProtocol() override {
    if (inCall_ > 0) ++destroyedInCall;
    if (onDestroy) onDestroy();
  }
  bool Answers(REFIID riid) const override { return riid == IID_IInternetProtocol; }
  HRESULT Run() {
    ++inCall_;
    if (during) during();
    --inCall_;
    return S_OK;
  }

  std::string page_;
  std::size_t chunk_;
  std::size_t at_ = 0;
  int inCall_ = 0;
};
int CallbackProtocol::destroyedInCall = 0;

// The outgoing sink as a consumer that acts on notifications at once.
class ActingSink final : public host::TRefCounted<IInternetProtocolSink> {
 public:
  static ComPtr<ActingSink> Make() { return ComPtr<ActingSink>::Attach(new ActingSink); }
  std::function<void()> onReport;

  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return Act(); }
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG, LPCWSTR) override { return Act(); }
  HRESULT STDMETHODCALLTYPE ReportData(DWORD, ULONG, ULONG) override { return Act(); }
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT, DWORD, LPCWSTR) override { return Act(); }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IInternetProtocolSink; }
  HRESULT Act() {
    if (onReport) onReport();
    return S_OK;
  }
};

HRESULT Start(IInternetProtocol* filter, IInternetProtocol* next, IInternetProtocolSink* sink) {
  auto bindInfo = host::UrlBindInfo::Make(L"http://example.test/dir/page.html");
  return host::StartFilter(filter, next, sink, bindInfo.Get());
}

ComPtr<IInternetProtocolSink> SinkFace(IInternetProtocol* filter) {
  ComPtr<IInternetProtocolSink> face;
  filter->QueryInterface(IID_IInternetProtocolSink, face.PutVoid());
  return face;
}

// ---- A Start that fails half way -----------------------------------------------

// Gives the URL, or fails the way a conversion does when memory is short.
class FailingBindInfo final : public host::TRefCounted<IInternetBindInfo> {
 public:
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindString(ULONG, LPOLESTR*, ULONG, ULONG*) override {
    if (fail) throw std::bad_alloc();
    return E_FAIL;
  }
  bool fail = true;

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IInternetBindInfo; }
};

TEST(FailedStart, LeavesTheFilterAsCreated) {
  CompanionSetup companion("image * action=2\n");
  TVarnelHTMLFilter* object = nullptr;
  auto filter = NewFilter(test::CompanionPath(), &object);
  auto next = host::ScriptedProtocol::Make({{"<img src=a>", S_FALSE}});
  auto sink = host::RecordingSink::Make();
  auto bindInfo = ComPtr<FailingBindInfo>::Attach(new FailingBindInfo);
  EXPECT_EQ("0x8007000E", HresultText(host::StartFilter(filter.Get(), next.Get(), sink.Get(),
                                                        bindInfo.Get())));  // E_OUTOFMEMORY
  EXPECT_EQ(1, next->RefCount());
  EXPECT_EQ(1, sink->RefCount());
  EXPECT_FALSE(object->Active());
  char buffer[16];
  ULONG n = 0;
  EXPECT_EQ(E_FAIL, filter->Read(buffer, sizeof buffer, &n));
  EXPECT_EQ(E_FAIL, SinkFace(filter.Get())->ReportData(0, 0, 0));
  EXPECT_TRUE(sink->Calls().empty());

  // Nothing of the failed Start is in the way of one that succeeds.
  bindInfo->fail = false;
  ASSERT_EQ(S_OK, host::StartFilter(filter.Get(), next.Get(), sink.Get(), bindInfo.Get()));
  EXPECT_EQ("[AD]", host::ReadToEnd(filter.Get(), 64).bytes);
}

TEST(FailedStart, SecondStartIsRefusedAndTheFirstDownloadGoesOn) {
  CompanionSetup companion("image * action=2\n");
  TVarnelHTMLFilter* object = nullptr;
  auto filter = NewFilter(test::CompanionPath(), &object);
  auto first = host::ScriptedProtocol::Make({{"a<img src=x>", S_OK}, {"b", S_FALSE}});
  auto firstSink = host::RecordingSink::Make();
  ASSERT_EQ(S_OK, Start(filter.Get(), first.Get(), firstSink.Get()));
  char buffer[4];
  ULONG n = 0;
  ASSERT_EQ(S_OK, filter->Read(buffer, 1, &n));

  auto second = host::ScriptedProtocol::Make({{"<p>other</p>", S_FALSE}});
  auto secondSink = host::RecordingSink::Make();
  auto bindInfo = host::UrlBindInfo::Make(L"http://other.test/");
  EXPECT_EQ("E_UNEXPECTED", HresultText(host::StartFilter(filter.Get(), second.Get(),
                                                          secondSink.Get(), bindInfo.Get(), 0)));
  EXPECT_EQ(1, second->RefCount());
  EXPECT_EQ(1, secondSink->RefCount());
  EXPECT_TRUE(bindInfo->Calls().empty());
  EXPECT_EQ(DWORD{PI_FILTER_MODE}, object->ProtocolFlags());
  EXPECT_EQ("http://example.test/dir/page.html", object->BaseUrl());
  EXPECT_EQ("[AD]b", host::ReadToEnd(filter.Get(), 64).bytes);
  EXPECT_EQ(S_OK, SinkFace(filter.Get())->ReportData(1, 2, 3));
  EXPECT_EQ(std::vector<std::string>{"ReportData(1,2,3)"}, firstSink->Calls());
}

// ---- Calls that come back into the filter -------------------------------------------

// The next protocol reports data from inside Read and the consumer reads at
// once: every byte arrives once and in order, whatever the sizes.
TEST(Reentry, ReadFromInsideTheNextProtocolsRead) {
  CompanionSetup companion("image *ad* action=2\n");
  std::string page;
  for (int i = 0; i < 300; ++i)
    page += "text " + std::to_string(i) + " <img src=ad" + std::to_string(i % 3) + ".gif> <b>x</b>";
  std::string expected;
  for (int i = 0; i < 300; ++i) expected += "text " + std::to_string(i) + " [AD] <b>x</b>";

  for (ULONG readSize : {ULONG{1}, ULONG{7}, ULONG{100}, ULONG{65536}}) {
    SCOPED_TRACE("read size " + std::to_string(readSize));
    auto filter = NewFilter(test::CompanionPath());
    auto next = CallbackProtocol::Make(page, 500);
    auto consumer = ActingSink::Make();
    std::string got;
    std::vector<char> buffer(readSize);
    int inner = 0;
    consumer->onReport = [&] {
      ULONG n = 0;
      const HRESULT hr = filter->Read(buffer.data(), readSize, &n);
      EXPECT_TRUE(hr == S_OK || hr == E_PENDING || hr == S_FALSE) << HresultText(hr);
      got.append(buffer.data(), n);
      ++inner;
    };
    ComPtr<IInternetProtocolSink> face = SinkFace(filter.Get());
    next->duringRead = [&] { face->ReportData(2, 0, 0); };
    ASSERT_EQ(S_OK, Start(filter.Get(), next.Get(), consumer.Get()));
    std::vector<char> outer(readSize);
    for (int calls = 0; calls < 1000000; ++calls) {
      ULONG n = 0;
      const HRESULT hr = filter->Read(outer.data(), readSize, &n);
      got.append(outer.data(), n);
      if (hr == S_FALSE) break;
      ASSERT_TRUE(hr == S_OK || hr == E_PENDING) << HresultText(hr);
    }
    EXPECT_GT(inner, 0);
    EXPECT_TRUE(got == expected) << got.size() << " bytes, expected " << expected.size();
    face = nullptr;
  }
}

enum class Forwarded { kContinue, kAbort, kSuspend, kResume, kReadActive, kReadPassThrough };

struct TerminateCase {
  const char* name;
  Forwarded call;
  friend void PrintTo(const TerminateCase& c, std::ostream* os) { *os << c.name; }
};

class TerminateInsideCall : public testing::TestWithParam<TerminateCase> {};

// The consumer terminates the download from a notification that the next
// protocol sends during a call the filter forwards to it. The filter's
// reference was the only one: the next protocol must outlive the call.
TEST_P(TerminateInsideCall, NextProtocolOutlivesTheCall) {
  const Forwarded call = GetParam().call;
  CompanionSetup companion(call == Forwarded::kReadPassThrough ? "binding 0\n" : "");
  CallbackProtocol::destroyedInCall = 0;
  auto filter = NewFilter(test::CompanionPath());
  auto consumer = ActingSink::Make();
  bool terminated = false;
  consumer->onReport = [&] {
    if (terminated) return;
    terminated = true;
    EXPECT_EQ(S_OK, filter->Terminate(0));
  };
  bool destroyed = false;
  {
    auto next = CallbackProtocol::Make("<p>page</p>", 4);
    ComPtr<IInternetProtocolSink> face = SinkFace(filter.Get());
    IInternetProtocolSink* raw = face.Get();
    next->during = next->duringRead = [raw] { raw->ReportResult(S_OK, 0, nullptr); };
    next->onDestroy = [&destroyed] { destroyed = true; };
    ASSERT_EQ(S_OK, Start(filter.Get(), next.Get(), consumer.Get()));
  }
  char buffer[64];
  ULONG n = 0;
  switch (call) {
    case Forwarded::kContinue: {
      PROTOCOLDATA data{};
      EXPECT_EQ(S_OK, filter->Continue(&data));
      break;
    }
    case Forwarded::kAbort:
      EXPECT_EQ(S_OK, filter->Abort(E_FAIL, 0));
      break;
    case Forwarded::kSuspend:
      EXPECT_EQ(S_OK, filter->Suspend());
      break;
    case Forwarded::kResume:
      EXPECT_EQ(S_OK, filter->Resume());
      break;
    case Forwarded::kReadActive:
    case Forwarded::kReadPassThrough:
      // Whatever it answers once the next protocol is gone.
      filter->Read(buffer, sizeof buffer, &n);
      break;
  }
  EXPECT_TRUE(terminated);
  EXPECT_TRUE(destroyed) << "released once the call was over";
  EXPECT_EQ(0, CallbackProtocol::destroyedInCall);
  EXPECT_EQ(E_FAIL, filter->Continue(nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, TerminateInsideCall,
    testing::Values(TerminateCase{"Continue", Forwarded::kContinue},
                    TerminateCase{"Abort", Forwarded::kAbort},
                    TerminateCase{"Suspend", Forwarded::kSuspend},
                    TerminateCase{"Resume", Forwarded::kResume},
                    TerminateCase{"ReadActive", Forwarded::kReadActive},
                    TerminateCase{"ReadPassThrough", Forwarded::kReadPassThrough}),
    [](const testing::TestParamInfo<TerminateCase>& info) { return std::string(info.param.name); });

// The consumer terminates from a notification passed up through the sink
// face: the outgoing sink must outlive its own call.
TEST(Reentry, TerminateFromInsideTheOutgoingSink) {
  CompanionSetup companion("");
  auto filter = NewFilter(test::CompanionPath());
  auto next = host::ScriptedProtocol::Make({{"<p>x</p>", S_FALSE}});
  bool released = false;
  class Consumer final : public host::TRefCounted<IInternetProtocolSink> {
   public:
    IInternetProtocol* filter = nullptr;
    bool* released = nullptr;
    bool inCall = false;
    bool releasedInCall = false;
    HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ReportProgress(ULONG, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ReportResult(HRESULT, DWORD, LPCWSTR) override {
      inCall = true;
      filter->Terminate(0);
      inCall = false;
      return S_OK;
    }
    ~Consumer() override {
      *released = true;
      if (inCall) *released = false;
    }

   private:
    bool Answers(REFIID riid) const override { return riid == IID_IInternetProtocolSink; }
  };
  {
    auto consumer = ComPtr<Consumer>::Attach(new Consumer);
    consumer->filter = filter.Get();
    consumer->released = &released;
    ASSERT_EQ(S_OK, Start(filter.Get(), next.Get(), consumer.Get()));
  }
  EXPECT_EQ(S_OK, SinkFace(filter.Get())->ReportResult(S_OK, 0, nullptr));
  EXPECT_TRUE(released) << "released during its own call, or never";
}

// What the filter releases while it is destroyed may take and drop a
// reference to the filter again; it must be destroyed once.
TEST(Reentry, ReleaseDuringDestructionDestroysOnce) {
  CompanionSetup companion("");
  const LONG objects = ObjectCount();
  {
    auto filter = NewFilter(test::CompanionPath());
    auto next = CallbackProtocol::Make("<p>x</p>", 8);
    IInternetProtocol* raw = filter.Get();
    next->onDestroy = [raw] {
      raw->AddRef();
      raw->Release();
    };
    ASSERT_EQ(S_OK, Start(filter.Get(), next.Get(), nullptr));
    EXPECT_EQ(objects + 1, ObjectCount());
  }
  EXPECT_EQ(objects, ObjectCount());
}

// ---- A tag whose handling always fails ------------------------------------------------

class AlwaysFailingFilter : public TVarnelHTMLFilter {
 public:
  using TVarnelHTMLFilter::TVarnelHTMLFilter;
  int attempts = 0;

 protected:
  void ProcessTag(const char* tag, std::size_t length) override {
    if (std::string(tag, length) == "<b>") {
      ++attempts;
      throw std::runtime_error("handler failed");
    }
    TVarnelHTMLFilter::ProcessTag(tag, length);
  }
};

struct CompletionCase {
  const char* name;
  std::size_t chunk;
  ULONG readSize;
  friend void PrintTo(const CompletionCase& c, std::ostream* os) { *os << c.name; }
};

class PageCompletes : public testing::TestWithParam<CompletionCase> {};

// The first failure fails the call and the tag is tried again; the second
// copies that tag and every later one unchanged, and the page completes
// with nothing lost or doubled.
TEST_P(PageCompletes, WhenTheSameTagFailsTwice) {
  CompanionSetup companion("image * action=2\n");
  const std::string page = "<img src=a.gif>x<b>y<img src=c.gif>z<i>w</i>";
  ComPtr<IInternetProtocol> filter;
  ASSERT_EQ(S_OK, TComObject::Create<AlwaysFailingFilter>(nullptr, IID_IInternetProtocol,
                                                          filter.PutVoid(), test::CompanionPath()));
  auto* object = static_cast<AlwaysFailingFilter*>(filter.Get());
  auto next = host::ScriptedProtocol::Make(host::PageSteps(page, GetParam().chunk));
  ASSERT_EQ(S_OK, Start(filter.Get(), next.Get(), nullptr));

  // As a consumer that reads on after a failed call.
  std::string bytes;
  std::vector<HRESULT> results;
  std::vector<char> buffer(GetParam().readSize);
  while (results.size() < 10000 && (results.empty() || results.back() != S_FALSE)) {
    ULONG n = 0;
    results.push_back(filter->Read(buffer.data(), GetParam().readSize, &n));
    bytes.append(buffer.data(), n);
  }
  EXPECT_EQ(S_FALSE, results.back());
  EXPECT_EQ("[AD]x<b>y<img src=c.gif>z<i>w</i>", bytes);
  EXPECT_EQ(2, object->attempts);
  EXPECT_TRUE(object->KeepingTags());
  EXPECT_EQ(1, std::count(results.begin(), results.end(), E_FAIL));
  // The companion was asked about the image before the failing tag only.
  const std::vector<std::string> log = companion.Log();
  EXPECT_EQ(2u, log.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, PageCompletes,
                         testing::Values(CompletionCase{"OneChunk", 4096, 4096},
                                         CompletionCase{"SmallChunks", 3, 4096},
                                         CompletionCase{"SmallReads", 4096, 2},
                                         CompletionCase{"BytesByByte", 1, 1}),
                         [](const testing::TestParamInfo<CompletionCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kel
