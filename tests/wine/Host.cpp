// kelhost: the end-to-end tests of KelPlugins.dll on the platform's own COM,
// registry, URL-moniker and WinINet. Run as "kelhost GROUP"; each group
// ends with a line "GROUP: N passed, N failed" and exits non-zero on a
// failure. The DLLs are taken from the directory of this program.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <urlmon.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "tools/hostkit/HostKit.h"

using kel::ComPtr;

namespace {

// ---- Reporting ----------------------------------------------------------------

int passed = 0;
int failed = 0;

void Check(bool condition, const char* file, int line, const char* format, ...) {
  if (condition) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("%s:%d: Test failed: ", file, line);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}
#define ok(condition, ...) Check((condition), __FILE__, __LINE__, __VA_ARGS__)

std::string Hex(HRESULT hr) {
  return kel::host::HresultText(hr);
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// ---- Files and processes -----------------------------------------------------------

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L'\\'));
}

const std::wstring& BinDir() {
  static const std::wstring dir = ProgramDirectory();
  return dir;
}

std::wstring InBin(const std::wstring& name) {
  return BinDir() + L"\\" + name;
}

// A fresh directory below the program's, with copies of the named files.
std::wstring MakeDirectory(const std::wstring& name,
                           const std::vector<std::pair<std::wstring, std::wstring>>& copies) {
  const std::wstring dir = InBin(name);
  CreateDirectoryW(dir.c_str(), nullptr);
  for (const auto& [from, to] : copies) {
    const BOOL copied = CopyFileW(InBin(from).c_str(), (dir + L"\\" + to).c_str(), FALSE);
    ok(copied, "copy %s to %s", Narrow(from).c_str(), Narrow(dir + L"\\" + to).c_str());
  }
  return dir;
}

// The exit code, 0xFFFFFFFF when the program cannot start, 0xFFFFFFFE when
// it is still running after timeout milliseconds (it is then ended).
DWORD Run(const std::wstring& commandLine, const std::wstring& directory = L"",
          DWORD timeout = 120000) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring line = commandLine;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &si, &pi))
    return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(pi.hProcess, timeout) == WAIT_TIMEOUT) {
    TerminateProcess(pi.hProcess, 0xFFFFFFFE);
    WaitForSingleObject(pi.hProcess, 10000);
    code = 0xFFFFFFFE;
  } else {
    GetExitCodeProcess(pi.hProcess, &code);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

// A run that exits non-zero is tried once more, with its code printed: one
// run on another machine failed where every run here succeeds, and a one-off
// failure of a Wine process start must not fail the group. A module whose
// registration fails still fails both runs.
DWORD Regsvr32(const std::wstring& dll, bool unregister = false) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring line = L"\"" + std::wstring(system) + L"\\regsvr32.exe\" /s " +
                            (unregister ? L"/u " : L"") + L"\"" + dll + L"\"";
  DWORD code = Run(line);
  if (code != 0) {
    std::printf("regsvr32%s exited with 0x%lx; trying once more\n", unregister ? " /u" : "", code);
    code = Run(line);
  }
  return code;
}

std::string ReadText(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const std::wstring& path, const std::string& text) {
  std::ofstream(path.c_str(), std::ios::binary) << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The companion reads its settings from the C runtime's environment, which
// this program shares with it.
void SetCompanion(const std::wstring& rules, const std::wstring& log) {
  _wputenv((L"KELRPC_RULES=" + rules).c_str());
  _wputenv((L"KELRPC_LOG=" + log).c_str());
  DeleteFileW(log.c_str());
}

// ---- Registry ----------------------------------------------------------------------

const wchar_t kHelperClsid[] = L"{F70B6F7E-F774-4504-AA6F-84345782BD07}";
const wchar_t kFilterClsid[] = L"{0FCE58F0-8899-4255-B6DE-C14E01DDCAE9}";
const wchar_t kProgId[] = L"KelPlugins.VarnelHTMLFilter";
const std::wstring kBhoKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects\\";

const CLSID CLSID_Helper = {
    0xF70B6F7E, 0xF774, 0x4504, {0xAA, 0x6F, 0x84, 0x34, 0x57, 0x82, 0xBD, 0x07}};
const CLSID CLSID_Filter = {
    0x0FCE58F0, 0x8899, 0x4255, {0xB6, 0xDE, 0xC1, 0x4E, 0x01, 0xDD, 0xCA, 0xE9}};

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Subkey names and value names ("" for the default value) with their texts.
struct KeyContent {
  bool exists = false;
  std::vector<std::wstring> subkeys;
  std::map<std::wstring, std::wstring> values;
};

KeyContent ReadKey(HKEY root, const std::wstring& path) {
  KeyContent content;
  HKEY key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return content;
  content.exists = true;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    content.subkeys.emplace_back(name, length);
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    BYTE data[2048];
    DWORD size = sizeof data - 2;
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &length, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    data[size] = data[size + 1] = 0;
    content.values[std::wstring(name, length)] =
        type == REG_SZ ? std::wstring(reinterpret_cast<wchar_t*>(data)) : L"(not a string)";
  }
  RegCloseKey(key);
  return content;
}

std::string Describe(const KeyContent& c) {
  std::string text = c.exists ? "subkeys [" : "(missing) [";
  for (const auto& s : c.subkeys) text += Narrow(s) + " ";
  text += "] values [";
  for (const auto& [name, value] : c.values) text += Narrow(name) + "=" + Narrow(value) + " ";
  return text + "]";
}

void ExpectKey(HKEY root, const std::wstring& path, std::vector<std::wstring> subkeys,
               std::map<std::wstring, std::wstring> values) {
  KeyContent c = ReadKey(root, path);
  std::sort(c.subkeys.begin(), c.subkeys.end(), [](const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  });
  KeyContent want;
  want.exists = true;
  want.subkeys = subkeys;
  want.values = values;
  const bool same = c.exists && c.values == values && c.subkeys.size() == subkeys.size() &&
                    std::equal(subkeys.begin(), subkeys.end(), c.subkeys.begin(),
                               [](const std::wstring& a, const std::wstring& b) {
                                 return _wcsicmp(a.c_str(), b.c_str()) == 0;
                               });
  ok(same, "%s: %s, expected %s", Narrow(path).c_str(), Describe(c).c_str(),
     Describe(want).c_str());
}

std::wstring ExpectedServerPath(const std::wstring& dll) {
  wchar_t longPath[MAX_PATH];
  DWORD n = GetLongPathNameW(dll.c_str(), longPath, MAX_PATH);
  std::wstring path = n ? std::wstring(longPath, n) : dll;
  if (path.find(L' ') == std::wstring::npos) return path;
  wchar_t shortPath[MAX_PATH];
  n = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
  return std::wstring(shortPath, n);
}

void ExpectRegistered(const std::wstring& dll) {
  const std::wstring server = ExpectedServerPath(dll);
  const std::wstring helper = std::wstring(L"CLSID\\") + kHelperClsid;
  const std::wstring filter = std::wstring(L"CLSID\\") + kFilterClsid;
  ExpectKey(HKEY_CLASSES_ROOT, helper, {L"InprocServer32"}, {{L"", L""}});
  ExpectKey(HKEY_CLASSES_ROOT, helper + L"\\InprocServer32", {},
            {{L"", server}, {L"ThreadingModel", L"Apartment"}});
  ExpectKey(HKEY_LOCAL_MACHINE, kBhoKey + kHelperClsid, {}, {});
  ExpectKey(HKEY_CLASSES_ROOT, filter, {L"InprocServer32", L"ProgID"}, {{L"", L""}});
  ExpectKey(HKEY_CLASSES_ROOT, filter + L"\\InprocServer32", {},
            {{L"", server}, {L"ThreadingModel", L"Apartment"}});
  ExpectKey(HKEY_CLASSES_ROOT, filter + L"\\ProgID", {}, {{L"", kProgId}});
  ExpectKey(HKEY_CLASSES_ROOT, kProgId, {L"Clsid"}, {{L"", L""}});
  ExpectKey(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\Clsid", {}, {{L"", kFilterClsid}});
}

void ExpectUnregistered() {
  ok(!KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kHelperClsid), "helper class left");
  ok(!KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid), "filter class left");
  ok(!KeyExists(HKEY_CLASSES_ROOT, kProgId), "ProgID left");
  ok(!KeyExists(HKEY_LOCAL_MACHINE, kBhoKey + kHelperClsid), "helper object key left");
}

void SetValue(HKEY root, const std::wstring& path, const wchar_t* name, const wchar_t* data) {
  HKEY key;
  RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                 static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// ---- The module's exports -----------------------------------------------------------

struct Module {
  HMODULE handle = nullptr;
  HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(WINAPI* canUnloadNow)() = nullptr;
  HRESULT(WINAPI* registerServer)() = nullptr;
  HRESULT(WINAPI* unregisterServer)() = nullptr;

  explicit Module(const std::wstring& path) {
    handle = LoadLibraryW(path.c_str());
    ok(handle != nullptr, "load %s: error %lu", Narrow(path).c_str(), GetLastError());
    if (!handle) return;
    Bind(getClassObject, "DllGetClassObject");
    Bind(canUnloadNow, "DllCanUnloadNow");
    Bind(registerServer, "DllRegisterServer");
    Bind(unregisterServer, "DllUnregisterServer");
  }
  ~Module() {
    if (handle) FreeLibrary(handle);
  }
  template <class F>
  void Bind(F& f, const char* name) {
    const FARPROC p = GetProcAddress(handle, name);
    ok(p != nullptr, "export %s", name);
    std::memcpy(&f, &p, sizeof f);
  }
  ComPtr<IClassFactory> Factory(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    const HRESULT hr = getClassObject(clsid, IID_IClassFactory, factory.PutVoid());
    ok(hr == S_OK, "DllGetClassObject: %s", Hex(hr).c_str());
    return factory;
  }
};

ComPtr<IObjectWithSite> NewHelper(IClassFactory* factory) {
  ComPtr<IObjectWithSite> helper;
  const HRESULT hr = factory->CreateInstance(nullptr, IID_IObjectWithSite, helper.PutVoid());
  ok(hr == S_OK && helper, "create helper: %s", Hex(hr).c_str());
  return helper;
}

// ---- A page served through the platform's URL-moniker --------------------------------

const UINT kDeliver = WM_APP + 1;
HWND window = nullptr;

// The page the "http" name space serves: its bytes and the chunk size.
std::string servedPage;
std::size_t servedChunk = 8192;
int protocolsFinished = 0;

// A pluggable protocol that reports "text/html" as verified, no cache file,
// and delivers the page one chunk per posted message.
class PageProtocol final : public kel::host::TServingProtocol {
 public:
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink* sink, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    sink_ = ComPtr<IInternetProtocolSink>(sink);
    page_ = servedPage;
    chunk_ = servedChunk;
    sink_->ReportProgress(BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE, L"text/html");
    Post();
    return S_OK;
  }
  void Deliver() {
    if (!sink_) return;
    const bool first = available_ == 0 && !reported_;
    reported_ = true;
    available_ = std::min(page_.size(), available_ + chunk_);
    DWORD flags = first ? BSCF_FIRSTDATANOTIFICATION : BSCF_INTERMEDIATEDATANOTIFICATION;
    const bool last = available_ == page_.size();
    if (last) flags |= BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE;
    ComPtr<IInternetProtocolSink> sink = sink_;
    sink->ReportData(flags, static_cast<ULONG>(available_), static_cast<ULONG>(page_.size()));
    if (!last) {
      Post();
    } else {
      sink->ReportResult(S_OK, 0, nullptr);
      ++protocolsFinished;
    }
  }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const std::size_t n = std::min<std::size_t>(cb, available_ - position_);
    std::memcpy(pv, page_.data() + position_, n);
    position_ += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    if (position_ == page_.size()) return S_FALSE;
    return n > 0 ? S_OK : E_PENDING;
  }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override {
    sink_ = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }

 private:
  void Post() {
    AddRef();
    PostMessageW(window, kDeliver, 0, reinterpret_cast<LPARAM>(this));
  }
  ComPtr<IInternetProtocolSink> sink_;
  std::string page_;
  std::size_t chunk_ = 8192;
  std::size_t available_ = 0;
  std::size_t position_ = 0;
  bool reported_ = false;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kDeliver) {
    auto* protocol = reinterpret_cast<PageProtocol*>(lParam);
    protocol->Deliver();
    protocol->Release();
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

class PageProtocolFactory final : public kel::host::TRefCounted<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto protocol = ComPtr<PageProtocol>::Attach(new PageProtocol);
    return protocol->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  bool Answers(REFIID riid) const override { return IsEqualIID(riid, IID_IClassFactory); }
};

const CLSID CLSID_PageProtocol = {
    0x5E0B1D33, 0x1B7C, 0x4C1E, {0x9A, 0x42, 0x6D, 0x21, 0x7F, 0x10, 0x55, 0xA3}};

// The consumer, as a renderer binds: asynchronously, pulling data.
class Consumer final : public kel::host::TRefCounted<IBindStatusCallback> {
 public:
  std::string bytes;
  bool stopped = false;
  HRESULT stopResult = S_OK;
  ComPtr<IStream> stream;

  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT hr, LPCWSTR) override {
    stopped = true;
    stopResult = hr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_NOWRITECACHE;
    const ULONG size = info->cbSize;
    std::memset(info, 0, size);
    info->cbSize = size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) override {
    if (medium != nullptr && medium->tymed == TYMED_ISTREAM && !stream)
      stream = ComPtr<IStream>(medium->pstm);
    Drain();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  void Drain() {
    if (!stream) return;
    char buffer[3000];
    for (;;) {
      ULONG n = 0;
      const HRESULT hr = stream->Read(buffer, sizeof buffer, &n);
      bytes.append(buffer, n);
      if (hr != S_OK || n == 0) break;
    }
  }

 private:
  bool Answers(REFIID riid) const override { return IsEqualIID(riid, IID_IBindStatusCallback); }
};

void Pump(const std::function<bool()>& done, DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < milliseconds) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (!done()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

// Binds url to a stream and returns what the consumer read.
std::string Fetch(const std::wstring& url, const std::string& page, std::size_t chunk) {
  servedPage = page;
  servedChunk = chunk;
  const int finishedBefore = protocolsFinished;
  ComPtr<IMoniker> moniker;
  HRESULT hr = CreateURLMoniker(nullptr, url.c_str(), moniker.Put());
  ok(hr == S_OK, "CreateURLMoniker: %s", Hex(hr).c_str());
  auto consumer = ComPtr<Consumer>::Attach(new Consumer);
  ComPtr<IBindCtx> context;
  hr = CreateAsyncBindCtx(0, consumer.Get(), nullptr, context.Put());
  ok(hr == S_OK, "CreateAsyncBindCtx: %s", Hex(hr).c_str());
  ComPtr<IStream> stream;
  hr = moniker->BindToStorage(context.Get(), nullptr, IID_IStream, stream.PutVoid());
  ok(hr == MK_S_ASYNCHRONOUS || hr == S_OK, "BindToStorage: %s", Hex(hr).c_str());
  // OnStopBinding may come before the protocol's own end.
  Pump([&] { return consumer->stopped && protocolsFinished > finishedBefore; }, 20000);
  ok(consumer->stopped, "binding did not stop");
  consumer->Drain();
  ok(consumer->stopResult == S_OK, "OnStopBinding: %s", Hex(consumer->stopResult).c_str());
  RevokeBindStatusCallback(context.Get(), consumer.Get());
  consumer->stream = nullptr;
  return consumer->bytes;
}

ComPtr<IInternetSession> Session() {
  ComPtr<IInternetSession> session;
  const HRESULT hr = CoInternetGetSession(0, session.Put(), 0);
  ok(hr == S_OK && session, "CoInternetGetSession: %s", Hex(hr).c_str());
  return session;
}

// Serves "http:" from PageProtocol for the lifetime of the object.
class ServedNameSpace {
 public:
  ServedNameSpace() : factory_(ComPtr<PageProtocolFactory>::Attach(new PageProtocolFactory)) {
    session_ = Session();
    const HRESULT hr =
        session_->RegisterNameSpace(factory_.Get(), CLSID_PageProtocol, L"http", 0, nullptr, 0);
    ok(hr == S_OK, "RegisterNameSpace: %s", Hex(hr).c_str());
  }
  ~ServedNameSpace() { session_->UnregisterNameSpace(factory_.Get(), L"http"); }

 private:
  ComPtr<PageProtocolFactory> factory_;
  ComPtr<IInternetSession> session_;
};

const char kPage[] =
    "<html><body>\n"
    "<img src=\"banner.gif\" width=468 height=60>\n"
    "<img src=ad.gif>\n"
    "<img src=photo.jpg width=10 height=10>\n"
    "<img src=map.gif usemap=#m><map name=m><area href=buy.html><area href=sell.html></map>\n"
    "<iframe src=frame-ad.html>inner</iframe>\n"
    "<object codebase=\"http://download.macromedia.com/pub/x.cab\" width=5 height=6><param "
    "name=movie value=a.swf>text</object>\n"
    "end</body></html>\n";

const char kRewritten[] =
    "<html><body>\n"
    "<IMG WIDTH=468 HEIGHT=60 border=0 alt=AD usemap=>\n"
    "[AD]\n"
    "<img src=photo.jpg width=10 height=10>\n"
    "<img src=map.gif usemap=#m><map name=m><area href=buy.html><area href=sell.html></map>\n"
    "inner\n"
    "[FLASH]\n"
    "end</body></html>\n";

const char kRules[] =
    "image *banner* action=3\n"
    "image *ad.gif action=2\n"
    "note * href=*buy* action=1\n"
    "html *frame-ad* action=2\n"
    "flash * action=2\n";

const std::wstring kPageUrl = L"http://kel.test/dir/page.html";

std::vector<std::string> ExpectedCalls() {
  const std::string doc = "http://kel.test/dir/page.html";
  const std::string dir = "http://kel.test/dir/";
  auto image = [&](const std::string& file, int w, int h, int action) {
    return "ReviseResource\t1\t" + dir + file + "\timage/*\t" + doc + "\t\t" + std::to_string(w) +
           "\t" + std::to_string(h) + "\t-1\t->\t0\t" + std::to_string(action);
  };
  return {
      "GetBinding\t->\t0\t1",
      image("banner.gif", 468, 60, 3),
      image("ad.gif", -1, -1, 2),
      image("photo.jpg", 10, 10, 0),
      image("map.gif", -1, -1, 0),
      "NoteResourceWithHref\t1\t" + dir + "map.gif\t" + dir + "buy.html\t->\t0\t1",
      "ReviseResource\t1\t" + dir + "frame-ad.html\ttext/html\t" + doc + "\t\t-1\t-1\t-1\t->\t0\t2",
      "ReviseResource\t1\t\tapplication/x-shockwave-flash\t\t\t-1\t-1\t-1\t->\t0\t2"};
}

std::string Shown(const std::string& bytes) {
  std::string out;
  for (char c : bytes) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

// ---- Groups -------------------------------------------------------------------------

void Registration() {
  const std::wstring dll = InBin(L"KelPlugins.dll");
  ok(Regsvr32(dll) == 0, "regsvr32");
  ExpectRegistered(dll);
  ok(Regsvr32(dll) == 0, "regsvr32 again");
  ExpectRegistered(dll);

  // Other software's additions: below the helper's key, which goes whole,
  // and below the filter's class key, which then stays.
  SetValue(HKEY_LOCAL_MACHINE, kBhoKey + kHelperClsid, L"NoExplorer", L"1");
  SetValue(HKEY_LOCAL_MACHINE, kBhoKey + kHelperClsid + L"\\Extra\\Deeper", nullptr, L"x");
  SetValue(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid + L"\\Other", nullptr, L"y");
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u");
  ok(!KeyExists(HKEY_LOCAL_MACHINE, kBhoKey + kHelperClsid), "helper object key left");
  ok(!KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kHelperClsid), "helper class left");
  ok(!KeyExists(HKEY_CLASSES_ROOT, kProgId), "ProgID left");
  ExpectKey(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid, {L"Other"}, {{L"", L""}});
  RegDeleteKeyW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kFilterClsid + L"\\Other").c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kFilterClsid).c_str());
  ExpectUnregistered();
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u when nothing is registered");

  // A directory with a space registers the short form of the path.
  const std::wstring spaced =
      MakeDirectory(L"dir with space", {{L"KelPlugins.dll", L"KelPlugins.dll"}});
  ok(Regsvr32(spaced + L"\\KelPlugins.dll") == 0, "regsvr32 in a directory with a space");
  ExpectRegistered(spaced + L"\\KelPlugins.dll");
  const std::wstring server =
      ReadKey(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid + L"\\InprocServer32")
          .values[L""];
  ok(server.find(L' ') == std::wstring::npos, "short path expected: %s", Narrow(server).c_str());
  ok(Regsvr32(spaced + L"\\KelPlugins.dll", true) == 0, "regsvr32 /u");
  ExpectUnregistered();

  // The ProgID follows the file's name.
  const std::wstring renamed = MakeDirectory(L"renamed", {{L"KelPlugins.dll", L"Other.dll"}});
  ok(Regsvr32(renamed + L"\\Other.dll") == 0, "regsvr32 renamed");
  ExpectKey(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid + L"\\ProgID", {},
            {{L"", L"Other.VarnelHTMLFilter"}});
  ok(KeyExists(HKEY_CLASSES_ROOT, L"Other.VarnelHTMLFilter"), "renamed ProgID");
  ok(Regsvr32(renamed + L"\\Other.dll", true) == 0, "regsvr32 /u renamed");
  ok(!KeyExists(HKEY_CLASSES_ROOT, L"Other.VarnelHTMLFilter"), "renamed ProgID left");
  ExpectUnregistered();
}

void ClassObjects() {
  Module module(InBin(L"KelPlugins.dll"));
  if (!module.handle) return;
  ok(module.canUnloadNow() == S_OK, "unused module must be unloadable");

  const CLSID other = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  void* out = reinterpret_cast<void*>(1);
  HRESULT hr = module.getClassObject(other, IID_IClassFactory, &out);
  ok(hr == CLASS_E_CLASSNOTAVAILABLE && out == nullptr, "other class: %s", Hex(hr).c_str());
  out = reinterpret_cast<void*>(1);
  hr = module.getClassObject(CLSID_Filter, IID_IInternetProtocol, &out);
  ok(hr == E_NOINTERFACE && out == nullptr, "factory for IInternetProtocol: %s", Hex(hr).c_str());
  ok(module.canUnloadNow() == S_OK, "after failed lookups");

  {
    ComPtr<IUnknown> unknown;
    hr = module.getClassObject(CLSID_Helper, IID_IUnknown, unknown.PutVoid());
    ok(hr == S_OK && unknown, "helper factory as IUnknown: %s", Hex(hr).c_str());
    ok(module.canUnloadNow() == S_FALSE, "a factory reference is held");
  }
  ok(module.canUnloadNow() == S_OK, "factory released");

  ComPtr<IClassFactory> filterFactory = module.Factory(CLSID_Filter);
  {
    ComPtr<IInternetProtocol> filter;
    hr = filterFactory->CreateInstance(nullptr, IID_IInternetProtocol, filter.PutVoid());
    ok(hr == S_OK && filter, "create filter: %s", Hex(hr).c_str());
    filterFactory = nullptr;
    ok(module.canUnloadNow() == S_FALSE, "a filter lives");

    ComPtr<IInternetProtocolRoot> root;
    hr = filter->QueryInterface(IID_IInternetProtocolRoot, root.PutVoid());
    ok(hr == E_NOINTERFACE && !root, "filter answers IInternetProtocolRoot: %s", Hex(hr).c_str());
  }
  ok(module.canUnloadNow() == S_OK, "filter released");

  ComPtr<IClassFactory> helperFactory = module.Factory(CLSID_Helper);
  hr = helperFactory->LockServer(TRUE);
  ok(hr == S_OK, "LockServer(TRUE): %s", Hex(hr).c_str());
  helperFactory = nullptr;
  ok(module.canUnloadNow() == S_FALSE, "an unmatched LockServer(TRUE)");
  module.Factory(CLSID_Helper)->LockServer(FALSE);
  ok(module.canUnloadNow() == S_OK, "lock released");

  // An unlock without its lock, while a filter lives, must not let the
  // module go under the filter; nor does it count as a lock taken back.
  {
    ComPtr<IInternetProtocol> filter;
    hr = module.Factory(CLSID_Filter)
             ->CreateInstance(nullptr, IID_IInternetProtocol, filter.PutVoid());
    ok(hr == S_OK, "create filter: %s", Hex(hr).c_str());
    ok(module.Factory(CLSID_Filter)->LockServer(FALSE) == S_OK, "unmatched LockServer(FALSE)");
    ok(module.Factory(CLSID_Helper)->LockServer(FALSE) == S_OK, "unmatched LockServer(FALSE)");
    ok(module.canUnloadNow() == S_FALSE, "a filter lives after unmatched unlocks");
    module.Factory(CLSID_Helper)->LockServer(TRUE);
    filter = nullptr;
    ok(module.canUnloadNow() == S_FALSE, "a lock is held");
    module.Factory(CLSID_Filter)->LockServer(FALSE);
    ok(module.canUnloadNow() == S_OK, "filter and lock gone");
  }

  // Creation rules of the factory.
  ComPtr<IClassFactory> factory = module.Factory(CLSID_Filter);
  hr = factory->CreateInstance(nullptr, IID_IInternetProtocol, nullptr);
  ok(hr == E_POINTER, "null out pointer: %s", Hex(hr).c_str());
  auto outer = ComPtr<kel::host::RecordingSink>(kel::host::RecordingSink::Make());
  out = reinterpret_cast<void*>(1);
  hr = factory->CreateInstance(outer.Get(), IID_IInternetProtocol, &out);
  ok(hr == CLASS_E_NOAGGREGATION && out == nullptr, "aggregation with another IID: %s",
     Hex(hr).c_str());
  ComPtr<IUnknown> inner;
  hr = factory->CreateInstance(outer.Get(), IID_IUnknown, inner.PutVoid());
  ok(hr == S_OK && inner, "aggregated filter: %s", Hex(hr).c_str());
  inner = nullptr;
  factory = nullptr;
  ok(module.canUnloadNow() == S_OK, "everything released");
}

// Needs the classes registered: CoGetClassObject finds the filter's
// factory through its registration only.
void Helpers() {
  const std::wstring dll = InBin(L"KelPlugins.dll");
  ok(Regsvr32(dll) == 0, "regsvr32");
  {
    Module module(dll);
    ServedNameSpace served;
    const std::wstring rules = InBin(L"helpers-rules.txt");
    const std::wstring log = InBin(L"helpers-calls.log");
    WriteText(rules, kRules);
    SetCompanion(rules, log);

    ok(Fetch(kPageUrl, kPage, 8192) == kPage, "no helper: the page arrives unchanged");
    ComPtr<IClassFactory> factory = module.Factory(CLSID_Helper);
    ComPtr<IObjectWithSite> first = NewHelper(factory.Get());
    ComPtr<IObjectWithSite> second = NewHelper(factory.Get());
    factory = nullptr;
    ok(module.canUnloadNow() == S_FALSE, "helpers live");

    // The site is neither kept nor asked anything.
    auto site = kel::host::RecordingSink::Make();
    ok(first->SetSite(site.Get()) == S_OK && first->SetSite(nullptr) == S_OK, "SetSite");
    ok(site->RefCount() == 1, "SetSite kept a reference");
    void* got = reinterpret_cast<void*>(1);
    ok(first->GetSite(IID_IUnknown, &got) == S_OK && got == nullptr, "GetSite");
    ok(first->GetSite(IID_IUnknown, nullptr) == S_OK, "GetSite without out pointer");

    for (std::size_t chunk : {std::size_t{8192}, std::size_t{7}, std::size_t{1}}) {
      DeleteFileW(log.c_str());
      const std::string bytes = Fetch(kPageUrl, kPage, chunk);
      ok(bytes == kRewritten, "chunk %u: rewritten page expected, got %s",
         static_cast<unsigned>(chunk), Shown(bytes).c_str());
      const std::vector<std::string> calls = Lines(ReadText(log));
      ok(calls == ExpectedCalls(), "chunk %u: companion calls: %s", static_cast<unsigned>(chunk),
         Shown(ReadText(log)).c_str());
    }
    // Real pages, with rules that keep everything: byte for byte as sent.
    WriteText(InBin(L"keep-rules.txt"), "");
    SetCompanion(InBin(L"keep-rules.txt"), log);
    const std::wstring corpus = InBin(L"..\\..\\..\\..\\shared\\corpus\\pages\\");
    for (const wchar_t* name :
         {L"001.html", L"guardian-1.html", L"yahoo-2.html", L"wikipedia.html"}) {
      const std::string page = ReadText(corpus + name);
      if (page.empty()) continue;  // no corpus beside this checkout
      const std::string bytes = Fetch(kPageUrl, page, 8192);
      ok(bytes == page, "%s: %u bytes in, %u out", Narrow(name).c_str(),
         static_cast<unsigned>(page.size()), static_cast<unsigned>(bytes.size()));
    }
    SetCompanion(rules, log);

    first = nullptr;
    ok(Fetch(kPageUrl, kPage, 100) == kRewritten, "one helper left: still filtered");
    second = nullptr;
    ok(Fetch(kPageUrl, kPage, 100) == kPage, "last helper gone: unchanged");
    // Every filter URL-moniker made is gone again, with its companion.
    ok(module.canUnloadNow() == S_OK, "filters or factory references left behind");
    ok(GetModuleHandleW(L"KelRPCPrx.dll") == nullptr, "the companion is still loaded");

    // A later helper registers anew.
    ComPtr<IObjectWithSite> again = NewHelper(module.Factory(CLSID_Helper).Get());
    ok(Fetch(kPageUrl, kPage, 50) == kRewritten, "a later helper: filtered again");
    again = nullptr;
    ok(module.canUnloadNow() == S_OK, "after the later helper");
  }
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u");
}

// Creates and at once releases count helpers through the module's factory,
// yielding now and then; returns how many could not be created.
LONG ChurnHelpers(Module& module, int count, int yieldEvery) {
  LONG failures = 0;
  ComPtr<IClassFactory> factory;
  module.getClassObject(CLSID_Helper, IID_IClassFactory, factory.PutVoid());
  for (int i = 0; i < count && factory; ++i) {
    ComPtr<IObjectWithSite> helper;
    if (FAILED(factory->CreateInstance(nullptr, IID_IObjectWithSite, helper.PutVoid()))) ++failures;
    if (i % yieldEvery == 0) Sleep(0);
  }
  return failures;
}

DWORD WINAPI HelperThread(LPVOID parameter) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ChurnHelpers(*static_cast<Module*>(parameter), 40, 3);
  CoUninitialize();
  return 0;
}

void Threads() {
  const std::wstring dll = InBin(L"KelPlugins.dll");
  ok(Regsvr32(dll) == 0, "regsvr32");
  {
    Module module(dll);
    ServedNameSpace served;
    WriteText(InBin(L"threads-rules.txt"), kRules);
    SetCompanion(InBin(L"threads-rules.txt"), InBin(L"threads-calls.log"));
    HANDLE threads[4];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, HelperThread, &module, 0, nullptr);
    WaitForMultipleObjects(4, threads, TRUE, 60000);
    for (HANDLE t : threads) CloseHandle(t);
    ok(module.canUnloadNow() == S_OK, "helpers or factory references left");
    ok(Fetch(kPageUrl, kPage, 64) == kPage, "the filter is still registered");
  }
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u");
}

// The filter's class is not registered: the first helper finds no factory.
void UnregisteredFilter() {
  const std::wstring dll = InBin(L"KelPlugins.dll");
  ok(Regsvr32(dll) == 0, "regsvr32");
  const std::wstring filterKey = std::wstring(L"CLSID\\") + kFilterClsid;
  RegDeleteKeyW(HKEY_CLASSES_ROOT, (filterKey + L"\\InprocServer32").c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT, (filterKey + L"\\ProgID").c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT, filterKey.c_str());
  {
    Module module(dll);
    ServedNameSpace served;
    WriteText(InBin(L"unregistered-rules.txt"), kRules);
    SetCompanion(InBin(L"unregistered-rules.txt"), InBin(L"unregistered-calls.log"));
    ComPtr<IObjectWithSite> helper = NewHelper(module.Factory(CLSID_Helper).Get());
    ok(module.canUnloadNow() == S_FALSE, "the helper is counted");
    ok(Fetch(kPageUrl, kPage, 64) == kPage, "no filter in place: unchanged");
    ComPtr<IObjectWithSite> second = NewHelper(module.Factory(CLSID_Helper).Get());
    second = nullptr;
    helper = nullptr;
    ok(module.canUnloadNow() == S_OK, "after the helpers");
  }
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u");
}

// The companion is taken from the directory of KelPlugins.dll, and never
// from the current directory.
void CompanionSearch() {
  const std::wstring cwd =
      MakeDirectory(L"search-cwd", {{L"KelRPCPrx-decoy.dll", L"KelRPCPrx.dll"}});
  const std::wstring withCompanion =
      MakeDirectory(L"search-with",
                    {{L"KelPlugins.dll", L"KelPlugins.dll"}, {L"KelRPCPrx.dll", L"KelRPCPrx.dll"}});
  WriteText(InBin(L"search-rules.txt"), "");
  const std::wstring log = InBin(L"search-calls.log");
  SetCompanion(InBin(L"search-rules.txt"), log);
  SetCurrentDirectoryW(cwd.c_str());
  {
    Module module(withCompanion + L"\\KelPlugins.dll");
    ComPtr<IInternetProtocol> filter;
    module.Factory(CLSID_Filter)->CreateInstance(nullptr, IID_IInternetProtocol, filter.PutVoid());
    auto next = kel::host::ScriptedProtocol::Make({{"<p>x</p>", S_FALSE}});
    auto bindInfo = kel::host::UrlBindInfo::Make(L"http://kel.test/");
    ok(kel::host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get()) == S_OK, "Start");
    const std::vector<std::string> calls = Lines(ReadText(log));
    ok(calls == std::vector<std::string>{"GetBinding\t->\t0\t1"},
       "the companion beside the module: %s", Shown(ReadText(log)).c_str());
  }
  SetCurrentDirectoryW(BinDir().c_str());
}

// Run from a copy of this program in a directory without a companion: only
// the decoy in the current directory is within reach, and it must stay out.
void CompanionSearchAlone() {
  const std::wstring log = InBin(L"..\\search-calls.log");
  SetCompanion(InBin(L"..\\search-rules.txt"), log);
  SetCurrentDirectoryW(InBin(L"..\\search-cwd").c_str());
  {
    Module module(InBin(L"KelPlugins.dll"));
    ComPtr<IInternetProtocol> filter;
    module.Factory(CLSID_Filter)->CreateInstance(nullptr, IID_IInternetProtocol, filter.PutVoid());
    auto next = kel::host::ScriptedProtocol::Make({{"<p>x</p>", S_FALSE}});
    auto bindInfo = kel::host::UrlBindInfo::Make(L"http://kel.test/");
    ok(kel::host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get()) == S_OK, "Start");
    const kel::host::Drained d = kel::host::ReadToEnd(filter.Get(), 64);
    ok(d.bytes == "<p>x</p>", "page: %s", d.bytes.c_str());
    ok(ReadText(log).empty(), "a companion was called: %s", Shown(ReadText(log)).c_str());
    ok(GetModuleHandleW(L"KelRPCPrx.dll") == nullptr, "a companion was loaded");
  }
}

void CompanionSearchFromAlone() {
  CompanionSearch();
  const std::wstring alone = MakeDirectory(
      L"search-alone", {{L"kelhost.exe", L"kelhost.exe"}, {L"KelPlugins.dll", L"KelPlugins.dll"}});
  const DWORD code = Run(L"\"" + alone + L"\\kelhost.exe\" companion-search-alone", alone);
  ok(code == 0, "the run without a companion failed (%lu)", code);
}

// ---- Installed under a name outside the ANSI code page ----------------------------------

// "Εφαρμογές漢字": Greek and CJK, no space, so no plain-ASCII short form.
const wchar_t kUnicodeDirectory[] =
    L"\u0395\u03C6\u03B1\u03C1\u03BC\u03BF\u03B3\u03AD\u03C2\u6F22\u5B57";

std::wstring ParentOf(const std::wstring& dir) {
  return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring LongDirectory(const std::wstring& base);

// Run from a copy of this program in a directory without a companion, so
// that only the companion beside KelPlugins.dll can filter the page.
void UnicodeDirectoryRun() {
  const std::wstring dir = ParentOf(BinDir()) + L"\\" + kUnicodeDirectory;
  const std::wstring dll = dir + L"\\KelPlugins.dll";
  ok(Regsvr32(dll) == 0, "regsvr32 in the Greek and CJK directory");
  ExpectRegistered(dll);
  const std::wstring server =
      ReadKey(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kFilterClsid + L"\\InprocServer32")
          .values[L""];
  ok(server == dll, "InprocServer32 names %s", Narrow(server).c_str());
  {
    Module module(dll);
    ServedNameSpace served;
    WriteText(InBin(L"unicode-rules.txt"), kRules);
    SetCompanion(InBin(L"unicode-rules.txt"), InBin(L"unicode-calls.log"));
    ComPtr<IObjectWithSite> helper = NewHelper(module.Factory(CLSID_Helper).Get());
    const std::string bytes = Fetch(kPageUrl, kPage, 8192);
    ok(bytes == kRewritten, "page filtered by the companion beside the module: %s",
       Shown(bytes).c_str());
    ok(Lines(ReadText(InBin(L"unicode-calls.log"))) == ExpectedCalls(), "companion calls: %s",
       Shown(ReadText(InBin(L"unicode-calls.log"))).c_str());
    helper = nullptr;
    ok(module.canUnloadNow() == S_OK, "after the helper");
  }
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u");
  ExpectUnregistered();

  // Deeper than MAX_PATH: the module is loaded by its extended path and
  // still finds the companion beside it.
  const std::wstring deep = L"\\\\?\\" + LongDirectory(ParentOf(BinDir()));
  {
    Module module(deep + L"\\KelPlugins.dll");
    if (!module.handle) return;
    ComPtr<IInternetProtocol> filter;
    module.Factory(CLSID_Filter)->CreateInstance(nullptr, IID_IInternetProtocol, filter.PutVoid());
    WriteText(InBin(L"deep-rules.txt"), kRules);
    SetCompanion(InBin(L"deep-rules.txt"), InBin(L"deep-calls.log"));
    auto next = kel::host::ScriptedProtocol::Make({{"<img src=ad.gif>", S_FALSE}});
    auto bindInfo = kel::host::UrlBindInfo::Make(kPageUrl);
    ok(kel::host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get()) == S_OK, "Start");
    const kel::host::Drained d = kel::host::ReadToEnd(filter.Get(), 64);
    ok(d.bytes == "[AD]", "page from a module deeper than MAX_PATH: %s", d.bytes.c_str());
  }
}

// A directory below base whose path is longer than MAX_PATH, each
// component short enough for the file system.
std::wstring LongDirectory(const std::wstring& base) {
  std::wstring dir = base + L"\\deep";
  while (dir.size() <= MAX_PATH + 20) dir += L"\\" + std::wstring(60, L'd');
  return dir;
}

void UnicodeDirectory() {
  MakeDirectory(kUnicodeDirectory,
                {{L"KelPlugins.dll", L"KelPlugins.dll"}, {L"KelRPCPrx.dll", L"KelRPCPrx.dll"}});
  // The deep directory, made one component at a time in the extended form.
  const std::wstring deep = LongDirectory(BinDir());
  for (std::size_t at = BinDir().size() + 1; at != std::wstring::npos;
       at = deep.find(L'\\', at + 1))
    CreateDirectoryW((L"\\\\?\\" + deep.substr(0, at)).c_str(), nullptr);
  CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr);
  for (const wchar_t* name : {L"KelPlugins.dll", L"KelRPCPrx.dll"})
    ok(CopyFileW(InBin(name).c_str(), (L"\\\\?\\" + deep + L"\\" + name).c_str(), FALSE),
       "copy %s into the deep directory", Narrow(name).c_str());
  const std::wstring host = MakeDirectory(L"unicode-host", {{L"kelhost.exe", L"kelhost.exe"}});
  const DWORD code = Run(L"\"" + host + L"\\kelhost.exe\" unicode-directory-run", host);
  ok(code == 0, "the run from the Greek and CJK directory failed (0x%lx)", code);
}

// ---- Process exit while other threads are inside the module -------------------------

DWORD WINAPI BusyThread(LPVOID parameter) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  auto* module = static_cast<Module*>(parameter);
  for (;;) {
    ComPtr<IClassFactory> factory;
    module->getClassObject(CLSID_Helper, IID_IClassFactory, factory.PutVoid());
    ComPtr<IObjectWithSite> helper;
    if (factory) factory->CreateInstance(nullptr, IID_IObjectWithSite, helper.PutVoid());
  }
}

// Registration holds the server's lock while it writes the registry, which
// takes a while: a thread that keeps registering holds it most of the time.
DWORD WINAPI RegisteringThread(LPVOID parameter) {
  auto* module = static_cast<Module*>(parameter);
  for (;;) module->registerServer();
}

// Threads keep taking the module's locks when the process exits; the exit
// ends them wherever they are, and the module must not wait for a lock one
// of them held.
void ExitWhileBusyRun() {
  static Module module(InBin(L"KelPlugins.dll"));
  CreateThread(nullptr, 0, RegisteringThread, &module, 0, nullptr);
  for (int i = 0; i < 2; ++i) CreateThread(nullptr, 0, BusyThread, &module, 0, nullptr);
  Sleep(300);
  ExitProcess(0);
}

void ExitWhileBusy() {
  for (int run = 0; run < 3; ++run) {
    const DWORD code = Run(L"\"" + InBin(L"kelhost.exe") + L"\" exit-while-busy-run", L"", 20000);
    ok(code == 0, "run %d: exit code 0x%lx (0xfffffffe: the exit hung)", run, code);
  }
  ok(Regsvr32(InBin(L"KelPlugins.dll"), true) == 0, "regsvr32 /u");
  ExpectUnregistered();
}

// ---- Many downloads at once ----------------------------------------------------------------

struct Downloads {
  Module* module;
  int pages = 0;
  int wrong = 0;
  volatile LONG running = 0;
  volatile LONG failedHelpers = 0;
};

DWORD WINAPI DownloadThread(LPVOID parameter) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  auto* d = static_cast<Downloads*>(parameter);
  int pages = 0;
  int wrong = 0;
  {
    ComPtr<IClassFactory> factory;
    d->module->getClassObject(CLSID_Filter, IID_IClassFactory, factory.PutVoid());
    for (int i = 0; i < 150 && factory; ++i) {
      ComPtr<IInternetProtocol> filter;
      if (FAILED(factory->CreateInstance(nullptr, IID_IInternetProtocol, filter.PutVoid()))) {
        ++wrong;
        continue;
      }
      auto next = kel::host::ScriptedProtocol::Make(kel::host::PageSteps(kPage, 1 + i % 97));
      auto sink = kel::host::RecordingSink::Make();
      auto bindInfo = kel::host::UrlBindInfo::Make(kPageUrl);
      kel::host::StartFilter(filter.Get(), next.Get(), sink.Get(), bindInfo.Get());
      const kel::host::Drained out = kel::host::ReadToEnd(filter.Get(), 1 + (i * 7) % 300);
      filter->Terminate(0);
      ++pages;
      if (out.bytes != kRewritten || out.last != S_FALSE) ++wrong;
    }
  }
  CoUninitialize();
  InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&d->pages), pages);
  InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&d->wrong), wrong);
  return 0;
}

// Helpers come and go on apartment and free threads. A helper made on the
// main thread lives throughout, as a browser window stays open, so these
// never register the filter themselves: from a free thread that takes
// CoGetClassObject of an apartment-model class, and Wine's host apartment
// then keeps a factory reference for good (a bare CoGetClassObject from a
// free thread, released at once, leaves DllCanUnloadNow at S_FALSE).
DWORD WINAPI ChurnThread(LPVOID parameter) {
  auto* d = static_cast<Downloads*>(parameter);
  const bool apartment = InterlockedIncrement(&d->running) % 2 == 0;
  CoInitializeEx(nullptr, apartment ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
  InterlockedExchangeAdd(&d->failedHelpers, ChurnHelpers(*d->module, 200, 5));
  CoUninitialize();
  return 0;
}

// 8 threads pull pages through filters from the real class factory while
// helpers come and go on apartment and free threads beside them.
void ManyDownloads() {
  const std::wstring dll = InBin(L"KelPlugins.dll");
  ok(Regsvr32(dll) == 0, "regsvr32");
  {
    Module module(dll);
    ServedNameSpace served;
    WriteText(InBin(L"many-rules.txt"), kRules);
    SetCompanion(InBin(L"many-rules.txt"), L"");
    Downloads d{&module};
    ComPtr<IObjectWithSite> openWindow = NewHelper(module.Factory(CLSID_Helper).Get());
    std::vector<HANDLE> threads;
    for (int i = 0; i < 8; ++i)
      threads.push_back(CreateThread(nullptr, 0, DownloadThread, &d, 0, nullptr));
    for (int i = 0; i < 4; ++i)
      threads.push_back(CreateThread(nullptr, 0, ChurnThread, &d, 0, nullptr));
    ok(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 240000) !=
           WAIT_TIMEOUT,
       "the threads did not finish");
    for (HANDLE t : threads) CloseHandle(t);
    ok(d.pages == 8 * 150, "pages read: %d", d.pages);
    ok(d.wrong == 0, "pages not as the rules say: %d", d.wrong);
    ok(d.failedHelpers == 0, "helpers not created: %ld", d.failedHelpers);
    ok(Fetch(kPageUrl, kPage, 64) == kRewritten, "the filter is in place");
    openWindow = nullptr;
    ok(module.canUnloadNow() == S_OK, "objects, factory references or locks left");
    ok(Fetch(kPageUrl, kPage, 64) == kPage, "the filter is still registered");
  }
  ok(Regsvr32(dll, true) == 0, "regsvr32 /u");
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string group = argc > 1 ? argv[1] : "";
  const std::map<std::string, void (*)()> groups = {
      {"registration", Registration},
      {"class-objects", ClassObjects},
      {"helpers", Helpers},
      {"threads", Threads},
      {"unregistered-filter", UnregisteredFilter},
      {"companion-search", CompanionSearchFromAlone},
      {"companion-search-alone", CompanionSearchAlone},
      {"unicode-directory", UnicodeDirectory},
      {"unicode-directory-run", UnicodeDirectoryRun},
      {"exit-while-busy", ExitWhileBusy},
      {"exit-while-busy-run", ExitWhileBusyRun},
      {"many-downloads", ManyDownloads},
  };
  const auto found = groups.find(group);
  if (found == groups.end()) {
    std::printf("usage: kelhost GROUP; groups:");
    for (const auto& g : groups) std::printf(" %s", g.first.c_str());
    std::printf("\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"kelhost";
  RegisterClassW(&wc);
  window =
      CreateWindowW(L"kelhost", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  found->second();
  DestroyWindow(window);
  CoUninitialize();
  std::printf("%s: %d passed, %d failed\n", group.c_str(), passed, failed);
  return failed == 0 ? 0 : 1;
}
