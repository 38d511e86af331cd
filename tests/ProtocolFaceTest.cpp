// The filter's COM face: the interfaces it answers, Start and its binding
// decision, forwarding, Terminate, creation and destruction.
#include <gtest/gtest.h>

#include "tests/TestSupport.h"

namespace kel {
namespace {

using host::HresultText;
using test::CompanionSetup;

const HRESULT kOdd = static_cast<HRESULT>(0x80041234u);  // a result no method makes up

struct InterfaceCase {
  const char* name;
  IID iid;
  HRESULT query;
  HRESULT supportsErrorInfo;
  friend void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.name; }
};

const IID kOther = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

class Interfaces : public testing::TestWithParam<InterfaceCase> {};

TEST_P(Interfaces, AnswersExactlyItsTable) {
  const InterfaceCase& c = GetParam();
  auto filter = NewFilter(test::AbsentCompanionPath());
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(HresultText(c.query), HresultText(filter->QueryInterface(c.iid, &out)));
  if (c.query == S_OK) {
    ASSERT_NE(nullptr, out);
    static_cast<IUnknown*>(out)->Release();
  } else {
    EXPECT_EQ(nullptr, out);
  }
  ComPtr<ISupportErrorInfo> info;
  ASSERT_EQ(S_OK, filter.As(IID_ISupportErrorInfo, info));
  EXPECT_EQ(HresultText(c.supportsErrorInfo), HresultText(info->InterfaceSupportsErrorInfo(c.iid)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Interfaces,
    testing::Values(InterfaceCase{"Protocol", IID_IInternetProtocol, S_OK, S_OK},
                    InterfaceCase{"Sink", IID_IInternetProtocolSink, S_OK, S_OK},
                    InterfaceCase{"ErrorInfo", IID_ISupportErrorInfo, S_OK, S_OK},
                    InterfaceCase{"Unknown", IID_IUnknown, S_OK, S_OK},
                    InterfaceCase{"ProtocolRoot", IID_IInternetProtocolRoot, E_NOINTERFACE,
                                  S_FALSE},
                    InterfaceCase{"ClassFactory", IID_IClassFactory, E_NOINTERFACE, S_FALSE},
                    InterfaceCase{"Other", kOther, E_NOINTERFACE, S_FALSE}),
    [](const testing::TestParamInfo<InterfaceCase>& info) { return std::string(info.param.name); });

TEST(ProtocolFace, FacesShareOneIdentityAndCount) {
  auto filter = NewFilter(test::AbsentCompanionPath());
  ComPtr<IUnknown> a, b;
  ComPtr<IInternetProtocolSink> sink;
  ASSERT_EQ(S_OK, filter.As(IID_IUnknown, a));
  ASSERT_EQ(S_OK, filter.As(IID_IInternetProtocolSink, sink));
  ASSERT_EQ(S_OK, sink.As(IID_IUnknown, b));
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(5u, filter->AddRef());  // filter, a, sink, b and this one
  EXPECT_EQ(4u, filter->Release());
}

TEST(ProtocolFace, StartWithoutFilterModeStoresOnlyTheFlags) {
  auto filter = ComPtr<IInternetProtocol>();
  TVarnelHTMLFilter* object = nullptr;
  filter = NewFilter(test::AbsentCompanionPath(), &object);
  auto next = host::ScriptedProtocol::Make({{"abc", S_FALSE}});
  auto sink = host::RecordingSink::Make();
  EXPECT_EQ(E_INVALIDARG,
            host::StartFilter(filter.Get(), next.Get(), sink.Get(), nullptr, PI_FORCE_ASYNC));
  EXPECT_EQ(static_cast<DWORD>(PI_FORCE_ASYNC), object->ProtocolFlags());
  EXPECT_EQ(1, next->RefCount());
  EXPECT_EQ(1, sink->RefCount());
  char buffer[8];
  ULONG count = 77;
  PROTOCOLDATA data{};
  EXPECT_EQ(E_FAIL, filter->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ(77u, count);
  EXPECT_EQ(E_FAIL, filter->Continue(&data));
  EXPECT_EQ(E_FAIL, filter->Abort(E_FAIL, 0));
  EXPECT_EQ(E_FAIL, filter->Suspend());
  EXPECT_EQ(E_FAIL, filter->Resume());
  EXPECT_EQ(E_FAIL, filter->Terminate(0));
  EXPECT_TRUE(next->Calls().empty());
}

TEST(ProtocolFace, StartWithoutNextProtocolIsRejected) {
  TVarnelHTMLFilter* object = nullptr;
  auto filter = NewFilter(test::AbsentCompanionPath(), &object);
  auto sink = host::RecordingSink::Make();
  // No filter record at all.
  EXPECT_EQ(E_INVALIDARG, filter->Start(L"x", sink.Get(), nullptr, PI_FILTER_MODE, 0));
  // A record without a protocol.
  PROTOCOLFILTERDATA data{};
  data.pProtocolSink = sink.Get();
  EXPECT_EQ(E_INVALIDARG, filter->Start(L"x", sink.Get(), nullptr, PI_FILTER_MODE,
                                        reinterpret_cast<HANDLE_PTR>(&data)));
  EXPECT_EQ(static_cast<DWORD>(PI_FILTER_MODE), object->ProtocolFlags());
  ComPtr<IInternetProtocolSink> face;
  ASSERT_EQ(S_OK, filter.As(IID_IInternetProtocolSink, face));
  EXPECT_EQ(E_FAIL, face->ReportData(1, 2, 3));
  EXPECT_EQ(1, sink->RefCount());
  EXPECT_TRUE(sink->Calls().empty());
}

// The binding decision, for each kind of companion.
struct BindingCase {
  const char* name;
  bool partial;  // the companion without NoteResourceWithHref
  bool absent;   // no companion at all
  const char* rules;
  std::int32_t status;
  std::uint32_t binding;
  bool active;
  std::vector<std::string> log;
  friend void PrintTo(const BindingCase& c, std::ostream* os) { *os << c.name; }
};

class Binding : public testing::TestWithParam<BindingCase> {};

TEST_P(Binding, FixesTheMode) {
  const BindingCase& c = GetParam();
  CompanionSetup companion(c.rules);
  const std::string path = c.absent    ? test::AbsentCompanionPath()
                           : c.partial ? test::PartialCompanionPath()
                                       : test::CompanionPath();
  test::Started f = test::StartOver({{"<p>x</p>", S_FALSE}}, path);
  EXPECT_EQ(!c.absent, f.object->CompanionLoaded());
  EXPECT_EQ(c.status, f.object->ServiceStatus());
  EXPECT_EQ(c.binding, f.object->Binding());
  EXPECT_EQ(c.active, f.object->Active());
  EXPECT_EQ(c.log, companion.Log());
  // Either way the page arrives whole.
  const host::Drained d = host::ReadToEnd(f.filter.Get(), 64);
  EXPECT_EQ("<p>x</p>", d.bytes);
  EXPECT_EQ(S_FALSE, d.last);
  if (!c.active) {
    EXPECT_EQ((std::vector<std::string>{"Read(64)"}), f.next->Calls());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Companions, Binding,
    testing::Values(
        BindingCase{"Absent", false, true, "", 1, 0, false, {}},
        BindingCase{"TwoOfThreeEntryPoints", true, false, "", 1, 0, false, {}},
        BindingCase{
            "BindingGiven", false, false, "binding 7\n", 0, 7, true, {"GetBinding\t->\t0\t7"}},
        BindingCase{
            "BindingZero", false, false, "binding 0\n", 0, 0, false, {"GetBinding\t->\t0\t0"}},
        BindingCase{"StatusFive",
                    false,
                    false,
                    "binding-status 5\n",
                    5,
                    1,
                    false,
                    {"GetBinding\t->\t5\t1"}}),
    [](const testing::TestParamInfo<BindingCase>& info) { return std::string(info.param.name); });

TEST(ProtocolFace, DocumentUrlComesFromBindInformation) {
  CompanionSetup companion("");
  TVarnelHTMLFilter* object = nullptr;
  auto filter = NewFilter(test::CompanionPath(), &object);
  auto next = host::ScriptedProtocol::Make({});
  auto bindInfo = host::UrlBindInfo::Make(L"http://example.test/a/b.html");
  ASSERT_EQ(S_OK, host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get()));
  EXPECT_EQ("http://example.test/a/b.html", object->BaseUrl());
  EXPECT_EQ((std::vector<std::string>{"GetBindString(14,1)"}), bindInfo->Calls());
  EXPECT_EQ(1, bindInfo->RefCount());  // no reference kept

  // No bind information, or none that gives a URL: an empty base.
  for (bool withInfo : {false, true}) {
    auto second = NewFilter(test::CompanionPath(), &object);
    auto silent = host::UrlBindInfo::Make(L"", false);
    EXPECT_EQ(S_OK, host::StartFilter(second.Get(), next.Get(), nullptr,
                                      withInfo ? silent.Get() : nullptr));
    EXPECT_EQ("", object->BaseUrl());
    EXPECT_TRUE(object->Active());
  }
}

TEST(ProtocolFace, ForwardsCallsAndResultsUnchanged) {
  CompanionSetup companion("");
  test::Started f = test::StartOver({});
  f.next->answer = kOdd;
  f.sink->answer = kOdd;
  PROTOCOLDATA data{};
  data.dwState = 42;
  EXPECT_EQ(kOdd, f.filter->Continue(&data));
  EXPECT_EQ(kOdd, f.filter->Abort(INET_E_DOWNLOAD_FAILURE, 3));
  EXPECT_EQ(kOdd, f.filter->Suspend());
  EXPECT_EQ(kOdd, f.filter->Resume());
  EXPECT_EQ(E_NOTIMPL, f.filter->Seek(LARGE_INTEGER{}, 0, nullptr));
  EXPECT_EQ(S_OK, f.filter->LockRequest(0));
  EXPECT_EQ(S_OK, f.filter->UnlockRequest());
  EXPECT_EQ((std::vector<std::string>{"Continue(42)", "Abort(INET_E_DOWNLOAD_FAILURE,3)", "Suspend",
                                      "Resume"}),
            f.next->Calls());

  ComPtr<IInternetProtocolSink> sink;
  ASSERT_EQ(S_OK, f.filter.As(IID_IInternetProtocolSink, sink));
  EXPECT_EQ(kOdd, sink->Switch(&data));
  EXPECT_EQ(kOdd, sink->ReportProgress(13, L"text/html"));
  EXPECT_EQ(kOdd, sink->ReportData(5, 100, 200));
  EXPECT_EQ(kOdd, sink->ReportResult(INET_E_DATA_NOT_AVAILABLE, 9, L"why"));
  EXPECT_EQ((std::vector<std::string>{"Switch(42)", "ReportProgress(13,text/html)",
                                      "ReportData(5,100,200)",
                                      "ReportResult(INET_E_DATA_NOT_AVAILABLE,9,why)"}),
            f.sink->Calls());
}

// Terminate forwards, then lets go of both the sink and the next protocol:
// the binding that owns the next protocol also holds this filter, and a
// reference kept here would keep both alive for ever.
TEST(ProtocolFace, TerminateReleasesSinkAndNextProtocol) {
  CompanionSetup companion("");
  test::Started f = test::StartOver({{"abc", S_FALSE}});
  EXPECT_EQ(2, f.next->RefCount());
  EXPECT_EQ(2, f.sink->RefCount());
  f.next->answer = kOdd;
  EXPECT_EQ(kOdd, f.filter->Terminate(7));
  EXPECT_EQ(1, f.next->RefCount());
  EXPECT_EQ(1, f.sink->RefCount());
  EXPECT_EQ((std::vector<std::string>{"Terminate(7)"}), f.next->Calls());

  ComPtr<IInternetProtocolSink> sink;
  ASSERT_EQ(S_OK, f.filter.As(IID_IInternetProtocolSink, sink));
  EXPECT_EQ(E_FAIL, sink->ReportData(1, 1, 1));
  PROTOCOLDATA data{};
  EXPECT_EQ(E_FAIL, f.filter->Continue(&data));
  EXPECT_EQ(E_FAIL, f.filter->Abort(E_FAIL, 0));
  EXPECT_EQ(E_FAIL, f.filter->Suspend());
  EXPECT_EQ(E_FAIL, f.filter->Resume());
  EXPECT_EQ(E_FAIL, f.filter->Terminate(0));
  char buffer[8];
  EXPECT_EQ(E_FAIL, f.filter->Read(buffer, sizeof buffer, nullptr));
  EXPECT_EQ(1u, f.next->Calls().size());
}

TEST(ProtocolFace, TerminateBeforeStartFails) {
  auto filter = NewFilter(test::AbsentCompanionPath());
  EXPECT_EQ(E_FAIL, filter->Terminate(0));
}

// The last outside reference destroys a started and terminated filter,
// which gives back its companion load and every reference it held.
TEST(ProtocolFace, DestroyedFilterFreesEverything) {
  CompanionSetup companion("");
  const LONG objects = ObjectCount();
  const LONG libraries = KelOpenLibraryCount();
  {
    test::Started f = test::StartOver({{"<p>abc</p>", S_FALSE}});
    EXPECT_EQ(objects + 1, ObjectCount());
    EXPECT_EQ(libraries + 1, KelOpenLibraryCount());
    host::ReadToEnd(f.filter.Get(), 4);
    f.filter->Terminate(0);
    auto next = f.next;
    auto sink = f.sink;
    f = test::Started();
    EXPECT_EQ(objects, ObjectCount());
    EXPECT_EQ(libraries, KelOpenLibraryCount());
    EXPECT_EQ(1, next->RefCount());
    EXPECT_EQ(1, sink->RefCount());
  }
  // Not terminated, or never started at all: the same.
  {
    test::Started f = test::StartOver({{"abc", S_FALSE}});
    auto next = f.next;
    f = test::Started();
    EXPECT_EQ(1, next->RefCount());
  }
  {
    auto filter = NewFilter(test::CompanionPath());
    auto next = host::ScriptedProtocol::Make({});
    EXPECT_EQ(E_INVALIDARG, host::StartFilter(filter.Get(), next.Get(), nullptr, nullptr, 0));
  }
  EXPECT_EQ(objects, ObjectCount());
  EXPECT_EQ(libraries, KelOpenLibraryCount());
}

// An outer object that counts the references that reach it.
class Outer final : public host::TRefCounted<IUnknown> {
 public:
  ComPtr<IUnknown> inner;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) return host::TRefCounted<IUnknown>::QueryInterface(riid, ppv);
    return inner->QueryInterface(riid, ppv);
  }

 private:
  bool Answers(REFIID) const override { return false; }
};

TEST(ProtocolFace, AggregatedFacesDelegateToTheOuterObject) {
  auto outer = ComPtr<Outer>::Attach(new Outer);
  ASSERT_EQ(S_OK,
            TComObject::Create<TVarnelHTMLFilter>(outer.Get(), IID_IUnknown, outer->inner.PutVoid(),
                                                  test::AbsentCompanionPath()));
  ComPtr<IInternetProtocol> protocol;
  ASSERT_EQ(S_OK, outer->inner.As(IID_IInternetProtocol, protocol));
  EXPECT_EQ(2, outer->RefCount());  // the face's AddRef went to the outer object
  ComPtr<IUnknown> identity;
  ASSERT_EQ(S_OK, protocol.As(IID_IUnknown, identity));
  EXPECT_EQ(static_cast<IUnknown*>(outer.Get()), identity.Get());
  identity = nullptr;
  protocol = nullptr;
  EXPECT_EQ(1, outer->RefCount());
  const LONG objects = ObjectCount();
  outer->inner = nullptr;
  EXPECT_EQ(objects - 1, ObjectCount());
}

}  // namespace
}  // namespace kel
