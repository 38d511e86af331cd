// The read loop of an active filter, driven through its COM face over a
// scripted next protocol and the real companion keeping every tag.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tests/TestSupport.h"

namespace kel {
namespace {

using host::ReadStep;
using test::CompanionSetup;
using test::StartOver;

constexpr ULONG kUnwritten = 0xDEADBEEF;
const HRESULT E_ABORT_ = static_cast<HRESULT>(0x80004004u);

struct ReadResult {
  HRESULT hr;
  std::string bytes;
  ULONG count;
};

ReadResult ReadOnce(IInternetProtocol* filter, ULONG cb) {
  std::string buffer(cb + 1, '\x7F');
  ULONG count = kUnwritten;
  const HRESULT hr = filter->Read(buffer.data(), cb, &count);
  const std::size_t n = count == kUnwritten ? 0 : count;
  return {hr, buffer.substr(0, n), count};
}

class ReadLoop : public testing::Test {
 protected:
  CompanionSetup companion{""};  // no rules: every tag is kept
};

// One Read after another: the requested size, then the exact result, the
// bytes delivered and the reads made of the next protocol so far.
struct Expect {
  ULONG cb;
  HRESULT hr;
  std::string bytes;
  int reads;
};

struct Scenario {
  const char* name;
  std::vector<ReadStep> steps;
  std::vector<Expect> calls;
  friend void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }
};

class ReadScenario : public ReadLoop, public testing::WithParamInterface<Scenario> {};

TEST_P(ReadScenario, DeliversExactBytesAndResults) {
  const Scenario& s = GetParam();
  test::Started f = StartOver(s.steps);
  ASSERT_TRUE(f.object->Active());
  for (std::size_t i = 0; i < s.calls.size(); ++i) {
    const Expect& e = s.calls[i];
    SCOPED_TRACE("call " + std::to_string(i + 1));
    const ReadResult r = ReadOnce(f.filter.Get(), e.cb);
    EXPECT_EQ(host::HresultText(e.hr), host::HresultText(r.hr));
    EXPECT_EQ(e.bytes, r.bytes);
    if (e.hr == INET_E_DATA_NOT_AVAILABLE || e.hr == INET_E_DOWNLOAD_FAILURE)
      EXPECT_EQ(kUnwritten, r.count);
    else
      EXPECT_EQ(e.bytes.size(), r.count);
    EXPECT_EQ(e.reads, f.next->Reads());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ReadScenario,
    testing::Values(
        Scenario{"TagCutByReads",
                 {{"ab<b>cd<i", S_OK}, {"mg src=x>ef", S_FALSE}},
                 {{64, S_FALSE, "ab<b>cd<img src=x>ef", 2}}},
        // The requested size is met before the cut tag is complete: it
        // waits in the input for a later call.
        Scenario{"CutTagWaitsForLaterRead",
                 {{"abc<im", S_OK}, {"g>z", S_FALSE}},
                 {{3, S_OK, "abc", 1}, {64, S_FALSE, "<img>z", 2}}},
        Scenario{"EndsInsideComment",
                 {{"x<!-- a > b", S_FALSE}},
                 {{64, S_FALSE, "x<!-- a > b", 1}, {64, S_FALSE, "", 1}}},
        Scenario{"EndsInsideTag",
                 {{"x<a href=", S_OK}, {"'y'", S_FALSE}},
                 {{64, S_FALSE, "x<a href='y'", 2}}},
        Scenario{"SmallRequests",
                 {{"0123456789", S_FALSE}},
                 {{4, S_OK, "0123", 1},
                  {4, S_OK, "4567", 1},
                  {4, S_FALSE, "89", 1},
                  {4, S_FALSE, "", 1}}},
        Scenario{"RequestOfZero",
                 {{"abc", S_FALSE}},
                 {{0, S_OK, "", 0}, {64, S_FALSE, "abc", 1}, {0, S_FALSE, "", 1}}},
        Scenario{"OkWithNoBytesReadsAgain",
                 {{"", S_OK}, {"", S_OK}, {"abc", S_FALSE}},
                 {{64, S_FALSE, "abc", 3}}},
        Scenario{"EmptyDocument", {{"", S_FALSE}}, {{64, S_FALSE, "", 1}, {64, S_FALSE, "", 1}}},
        Scenario{"AfterEndNoMoreReads",
                 {{"<p>", S_FALSE}, {"never", S_OK}},
                 {{64, S_FALSE, "<p>", 1}, {64, S_FALSE, "", 1}, {64, S_FALSE, "", 1}}},
        // The bytes that come with a download failure are dropped; what
        // earlier iterations produced waits for a later call.
        Scenario{"DataNotAvailableAfterOutput",
                 {{"abc", S_OK}, {"zz", INET_E_DATA_NOT_AVAILABLE}, {"def", S_FALSE}},
                 {{64, INET_E_DATA_NOT_AVAILABLE, "", 2}, {64, S_FALSE, "abcdef", 3}}},
        Scenario{"DownloadFailure",
                 {{"abc", S_OK}, {"zz", INET_E_DOWNLOAD_FAILURE}, {"def", S_FALSE}},
                 {{64, INET_E_DOWNLOAD_FAILURE, "", 2}, {64, S_FALSE, "abcdef", 3}}},
        Scenario{"PendingDeliversWhatIsThere",
                 {{"abc", S_OK}, {"d<e>", E_PENDING}, {"f", S_FALSE}},
                 {{64, E_PENDING, "abcd<e>", 2}, {64, S_FALSE, "f", 3}}},
        Scenario{"PendingUpToRequestedSize",
                 {{"abc", S_OK}, {"def", E_PENDING}, {"g", S_FALSE}},
                 {{4, E_PENDING, "abcd", 2}, {4, S_FALSE, "efg", 3}}},
        // Any other failure ends this call's reading with S_OK; the next
        // call reads again.
        Scenario{"OtherFailureEndsReading",
                 {{"ab", S_OK}, {"cd", E_ABORT_}, {"ef", S_FALSE}},
                 {{64, S_OK, "abcd", 2}, {64, S_FALSE, "ef", 3}}},
        Scenario{"UnclosedLessThan",
                 {{"a<b c d", S_OK}, {" e f", S_OK}, {" g", S_FALSE}},
                 {{64, S_FALSE, "a<b c d e f g", 3}}},
        Scenario{"LastBytesWithEnd", {{"<i>x</i>", S_FALSE}}, {{8, S_FALSE, "<i>x</i>", 1}}}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Requested size 4, output of 5 needs two calls; the second makes no read
// because the output already holds enough.
TEST_F(ReadLoop, ReadsOnlyWhileOutputIsShort) {
  test::Started f = StartOver({{"12345678", S_OK}, {"9", S_FALSE}});
  EXPECT_EQ("1234", ReadOnce(f.filter.Get(), 4).bytes);
  EXPECT_EQ(1, f.next->Reads());
  EXPECT_EQ("5678", ReadOnce(f.filter.Get(), 4).bytes);
  EXPECT_EQ(1, f.next->Reads());
  const ReadResult last = ReadOnce(f.filter.Get(), 4);
  EXPECT_EQ(S_FALSE, last.hr);
  EXPECT_EQ("9", last.bytes);
  EXPECT_EQ((std::vector<std::string>{"Read(8192)", "Read(8192)"}), f.next->Calls());
}

TEST_F(ReadLoop, NullCountIsNotWritten) {
  test::Started f = StartOver({{"a<b>c", S_FALSE}});
  char buffer[16] = {};
  EXPECT_EQ(S_FALSE, f.filter->Read(buffer, sizeof buffer, nullptr));
  EXPECT_EQ("a<b>c", std::string(buffer));
}

TEST_F(ReadLoop, NullBufferWithSizeIsRejected) {
  test::Started f = StartOver({{"abc", S_FALSE}});
  ULONG count = kUnwritten;
  EXPECT_EQ(E_INVALIDARG, f.filter->Read(nullptr, 16, &count));
  EXPECT_EQ(kUnwritten, count);
  EXPECT_EQ(0, f.next->Reads());
  EXPECT_EQ("abc", ReadOnce(f.filter.Get(), 16).bytes);
}

TEST_F(ReadLoop, MisreportedCountDoesNotOverrun) {
  // A next protocol that claims more bytes than the buffer holds.
  class Liar final : public host::TServingProtocol {
   public:
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* n) override {
      std::memset(pv, 'x', cb);
      *n = cb + 100;
      return S_FALSE;
    }
  };
  auto filter = NewFilter(test::CompanionPath());
  auto liar = ComPtr<Liar>::Attach(new Liar);
  auto bindInfo = host::UrlBindInfo::Make(L"http://x.test/");
  ASSERT_EQ(S_OK, host::StartFilter(filter.Get(), liar.Get(), nullptr, bindInfo.Get()));
  const host::Drained d = host::ReadToEnd(filter.Get(), 65536);
  EXPECT_EQ(S_FALSE, d.last);
  EXPECT_EQ(std::string(8192, 'x'), d.bytes);
}

// A handler that fails once, at the first tag named "B".
class FailingOnceFilter : public TVarnelHTMLFilter {
 public:
  using TVarnelHTMLFilter::TVarnelHTMLFilter;

 protected:
  void ProcessTag(const char* tag, std::size_t length) override {
    if (!failed_ && std::string(tag, length) == "<b>") {
      failed_ = true;
      throw std::runtime_error("handler failed");
    }
    TVarnelHTMLFilter::ProcessTag(tag, length);
  }

 private:
  bool failed_ = false;
};

struct FailureCase {
  const char* name;
  std::vector<ReadStep> steps;
  ULONG cb;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class HandlerFailure : public ReadLoop, public testing::WithParamInterface<FailureCase> {};

// The text before the failing tag is written once; the next Read goes on
// with the tag itself and nothing is lost or doubled.
TEST_P(HandlerFailure, NextReadContinuesWithTheTag) {
  ComPtr<IInternetProtocol> filter;
  ASSERT_EQ(S_OK, TComObject::Create<FailingOnceFilter>(nullptr, IID_IInternetProtocol,
                                                        filter.PutVoid(), test::CompanionPath()));
  auto next = host::ScriptedProtocol::Make(GetParam().steps);
  auto bindInfo = host::UrlBindInfo::Make(L"http://x.test/");
  ASSERT_EQ(S_OK, host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get()));

  const ReadResult failed = ReadOnce(filter.Get(), GetParam().cb);
  EXPECT_EQ(E_FAIL, failed.hr);
  EXPECT_EQ(0u, failed.count);
  const host::Drained rest = host::ReadToEnd(filter.Get(), GetParam().cb);
  EXPECT_EQ(S_FALSE, rest.last);
  EXPECT_EQ("text<i>more<b>tail</b>end", rest.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandlerFailure,
    testing::Values(FailureCase{"AllAtOnceAtEnd", {{"text<i>more<b>tail</b>end", S_FALSE}}, 64},
                    FailureCase{
                        "BeforeEnd", {{"text<i>more<b>ta", S_OK}, {"il</b>end", S_FALSE}}, 64},
                    FailureCase{"SmallReads", {{"text<i>more<b>tail</b>end", S_FALSE}}, 3}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Work grows with the page, not with its square: a "<" or "<!--" that is
// never closed, and a page dense with tags. A coarse guard; the benchmarks
// measure.
TEST_F(ReadLoop, LargeUnclosedTagsStayLinear) {
  const std::size_t size = 4 << 20;
  const std::string pages[] = {"<" + std::string(size, 'a'), "<!--" + std::string(size, '>'),
                               // Each tag is parsed: a smaller page, still far past
                               // where moving the rest down per tag would show.
                               [&] {
                                 std::string p;
                                 while (p.size() < size / 4) p += "<b>";
                                 return p;
                               }()};
  for (const std::string& page : pages) {
    const auto began = std::chrono::steady_clock::now();
    test::Started f = StartOver(host::PageSteps(page, 8192));
    const host::Drained d = host::ReadToEnd(f.filter.Get(), 65536);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(S_FALSE, d.last);
    EXPECT_TRUE(d.bytes == page);
    EXPECT_LT(seconds, 3.0) << "page of " << page.size() << " bytes";
  }
}

// Memory while streaming stays within a few chunks beside the request,
// however long the page: 64 MB in 8191-byte chunks read in 64 KB requests.
// Long tags, so that most chunks end inside one and the input seldom
// drains completely.
TEST_F(ReadLoop, QueuesStayBoundedWhileStreaming) {
  std::string block;
  while (block.size() < 1 << 20)
    block += std::string(400, 't') + "<p title='" + std::string(600, 'u') + "'>";
  std::string page;
  for (int i = 0; i < 64; ++i) page += block;
  const std::size_t chunk = 8191;
  const ULONG request = 65536;
  test::Started f = StartOver(host::PageSteps(page, chunk));
  page.clear();
  page.shrink_to_fit();
  std::vector<char> buffer(request);
  std::size_t largest = 0;
  std::uint64_t total = 0;
  for (;;) {
    ULONG n = 0;
    const HRESULT hr = f.filter->Read(buffer.data(), request, &n);
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE);
    total += n;
    largest = std::max(largest, f.object->QueueCapacity());
    if (hr == S_FALSE) break;
  }
  EXPECT_EQ(block.size() * 64, total);
  // A request and a chunk of output, a chunk of input, and what doubling
  // capacities add to them.
  EXPECT_LE(largest, 2 * (request + 4 * chunk)) << "the queues grew with the page";
}

}  // namespace
}  // namespace kel
