// The filter itself through its COM face, over a next protocol that hands
// out a page already in memory: the corpus in active mode (built-in rules,
// keep-all rules) and in pass-through mode beside a memcpy of the same
// chunks, the inputs that a naive split would make quadratic at 1 to 64 MB,
// and the cost of one download apart from its bytes.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "filter/MimeFilter.h"
#include "tools/hostkit/HostKit.h"

namespace {

const std::string kCompanion = std::string(KEL_BIN_DIR) + "/KelRPCPrx.dll";
constexpr std::size_t kChunk = 8192;
constexpr ULONG kRequest = 65536;

std::vector<std::string> LoadCorpus() {
  std::vector<std::string> names;
  if (DIR* dir = opendir(KEL_CORPUS_DIR)) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 5 && name.substr(name.size() - 5) == ".html") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> pages;
  for (const std::string& name : names) {
    std::ifstream in(std::string(KEL_CORPUS_DIR) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    pages.push_back(s.str());
  }
  return pages;
}

const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> pages = LoadCorpus();
  return pages;
}

std::size_t CorpusBytes() {
  std::size_t bytes = 0;
  for (const std::string& page : Corpus()) bytes += page.size();
  return bytes;
}

// Rules for the companion: null means the built-in ones.
void UseRules(const char* rules) {
  static const std::string file = [] {
    char path[] = "/tmp/kel-bench-rules-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    return std::string(path);
  }();
  if (rules == nullptr) {
    unsetenv("KELRPC_RULES");
  } else {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << rules;
    setenv("KELRPC_RULES", file.c_str(), 1);
  }
  unsetenv("KELRPC_LOG");
}

// Hands out a page that is already in memory, chunk by chunk, with S_FALSE
// on the last bytes; no copies of its own and nothing recorded.
class ViewProtocol final : public kel::host::TServingProtocol {
 public:
  ViewProtocol(const std::string& page, std::size_t chunk)
      : data_(page.data()), size_(page.size()), chunk_(chunk) {}
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const std::size_t n = std::min<std::size_t>({cb, chunk_, size_ - at_});
    std::memcpy(pv, data_ + at_, n);
    at_ += n;
    *pcbRead = static_cast<ULONG>(n);
    return at_ == size_ ? S_FALSE : S_OK;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t chunk_;
  std::size_t at_ = 0;
};

class LeanBindInfo final : public kel::host::TRefCounted<IInternetBindInfo> {
 public:
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindString(ULONG, LPOLESTR* strings, ULONG,
                                          ULONG* fetched) override {
    static const wchar_t kUrl[] = L"http://bench.test/dir/page.html";
    strings[0] = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof kUrl));
    std::memcpy(strings[0], kUrl, sizeof kUrl);
    *fetched = 1;
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return riid == IID_IInternetBindInfo; }
};

struct Result {
  std::size_t bytes = 0;
  std::uint64_t tags = 0;
};

// One download: create, start, read to the end, terminate, release.
Result Download(const std::string& page, std::size_t chunk, ULONG request,
                std::vector<char>& buffer) {
  kel::TVarnelHTMLFilter* object = nullptr;
  auto filter = kel::NewFilter(kCompanion, &object);
  ViewProtocol next(page, chunk);
  next.AddRef();  // lives on the stack
  LeanBindInfo bindInfo;
  bindInfo.AddRef();
  kel::host::StartFilter(filter.Get(), &next, nullptr, &bindInfo);
  Result r;
  for (;;) {
    ULONG n = 0;
    const HRESULT hr = filter->Read(buffer.data(), request, &n);
    r.bytes += n;
    if (hr != S_OK) break;
  }
  r.tags = object->Stats().TagsSeen;
  filter->Terminate(0);
  return r;
}

void SetFigures(benchmark::State& state, std::size_t bytes, std::uint64_t tags) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  if (tags > 0)
    state.counters["time_per_tag"] =
        benchmark::Counter(static_cast<double>(tags) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void RunCorpus(benchmark::State& state, const char* rules) {
  UseRules(rules);
  std::vector<char> buffer(kRequest);
  std::uint64_t tags = 0;
  for (auto _ : state) {
    tags = 0;
    for (const std::string& page : Corpus()) tags += Download(page, kChunk, kRequest, buffer).tags;
  }
  SetFigures(state, CorpusBytes(), tags);
}

void BM_CorpusBuiltInRules(benchmark::State& state) {
  RunCorpus(state, nullptr);
}
void BM_CorpusKeepAll(benchmark::State& state) {
  RunCorpus(state, "");
}
void BM_CorpusPassThrough(benchmark::State& state) {
  RunCorpus(state, "binding 0\n");
}

// The baseline: the same chunks copied into the same requests, and nothing else.
void BM_CorpusMemcpy(benchmark::State& state) {
  std::vector<char> chunk(kChunk);
  std::vector<char> buffer(kRequest);
  for (auto _ : state) {
    for (const std::string& page : Corpus()) {
      for (std::size_t at = 0; at < page.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, page.size() - at);
        std::memcpy(chunk.data(), page.data() + at, n);
        std::memcpy(buffer.data() + (at % kRequest), chunk.data(), n);
      }
      benchmark::DoNotOptimize(buffer.data());
      benchmark::ClobberMemory();
    }
  }
  SetFigures(state, CorpusBytes(), 0);
}

// The inputs that a naive split makes quadratic, at 1, 4, 16 and 64 MB.
std::string Worst(int kind, std::size_t size) {
  switch (kind) {
    case 0:
      return "<" + std::string(size - 1, 'a');
    case 1:
      return "<!--" + std::string(size - 4, '>');
    default: {
      std::string page;
      page.reserve(size + 4);
      while (page.size() < size) page += "<b>x";
      return page;
    }
  }
}

void RunWorst(benchmark::State& state, int kind) {
  UseRules("");
  const std::string page = Worst(kind, static_cast<std::size_t>(state.range(0)) << 20);
  std::vector<char> buffer(kRequest);
  std::uint64_t tags = 0;
  for (auto _ : state) tags = Download(page, kChunk, kRequest, buffer).tags;
  SetFigures(state, page.size(), tags);
}

void BM_UnclosedTag(benchmark::State& state) {
  RunWorst(state, 0);
}
void BM_UnclosedComment(benchmark::State& state) {
  RunWorst(state, 1);
}
void BM_DenseTags(benchmark::State& state) {
  RunWorst(state, 2);
}

// A real page repeated to the size, served a byte at a time, or read a
// byte at a time.
void RunTiny(benchmark::State& state, std::size_t chunk, ULONG request) {
  UseRules("");
  const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
  std::string page;
  page.reserve(size);
  while (page.size() < size) page += Corpus().empty() ? std::string("<p>x</p>") : Corpus()[0];
  page.resize(size);
  std::vector<char> buffer(kRequest);
  std::uint64_t tags = 0;
  for (auto _ : state) tags = Download(page, chunk, request, buffer).tags;
  SetFigures(state, page.size(), tags);
}

void BM_OneByteChunks(benchmark::State& state) {
  RunTiny(state, 1, kRequest);
}
void BM_OneByteRequests(benchmark::State& state) {
  RunTiny(state, kChunk, 1);
}

// One download apart from its bytes: creation with the companion load,
// Start with GetBinding, a 1 KB page, Terminate and the last Release.
void BM_Download(benchmark::State& state) {
  UseRules(nullptr);
  std::string page = "<html><body>";
  while (page.size() < 1000) page += "<p>text <a href=/x>link</a> <img src=i.gif></p>";
  std::vector<char> buffer(kRequest);
  for (auto _ : state) benchmark::DoNotOptimize(Download(page, kChunk, kRequest, buffer));
}

}  // namespace

BENCHMARK(BM_CorpusBuiltInRules)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorpusKeepAll)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorpusPassThrough)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorpusMemcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedTag)->RangeMultiplier(4)->Range(1, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedComment)->RangeMultiplier(4)->Range(1, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseTags)->RangeMultiplier(4)->Range(1, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneByteChunks)->RangeMultiplier(4)->Range(1, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneByteRequests)->RangeMultiplier(4)->Range(1, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
