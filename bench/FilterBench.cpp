// Throughput and scaling of the filter through its COM face, with the
// sample companion: real pages, and the inputs that would be quadratic in
// a naive split (an unclosed "<", an unclosed comment, dense tags).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "filter/MimeFilter.h"
#include "tools/hostkit/HostKit.h"

namespace {

const std::string kCompanion = std::string(KEL_BIN_DIR) + "/KelRPCPrx.dll";

std::vector<std::string> LoadCorpus() {
  std::vector<std::string> pages;
  if (DIR* dir = opendir(KEL_CORPUS_DIR)) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() <= 5 || name.substr(name.size() - 5) != ".html") continue;
      std::ifstream in(std::string(KEL_CORPUS_DIR) + "/" + name, std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      pages.push_back(s.str());
    }
    closedir(dir);
  }
  return pages;
}

const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> pages = LoadCorpus();
  return pages;
}

// Rules for the companion: empty keeps every tag; null means the built-in ones.
void UseRules(const char* rules) {
  static const std::string empty = [] {
    char path[] = "/tmp/kel-bench-rules-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    return std::string(path);
  }();
  if (rules == nullptr) {
    unsetenv("KELRPC_RULES");
  } else {
    std::ofstream(empty) << rules;
    setenv("KELRPC_RULES", empty.c_str(), 1);
  }
  unsetenv("KELRPC_LOG");
}

std::size_t Filter(const std::string& page, std::size_t chunk, ULONG read) {
  auto filter = kel::NewFilter(kCompanion);
  auto next = kel::host::ScriptedProtocol::Make(kel::host::PageSteps(page, chunk));
  auto bindInfo = kel::host::UrlBindInfo::Make(L"http://bench.test/dir/page.html");
  kel::host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get());
  return kel::host::ReadToEnd(filter.Get(), read).bytes.size();
}

void RunCorpus(benchmark::State& state, const char* rules) {
  UseRules(rules);
  std::size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& page : Corpus()) benchmark::DoNotOptimize(Filter(page, 8192, 65536));
    bytes = 0;
    for (const std::string& page : Corpus()) bytes += page.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_CorpusKeepEverything(benchmark::State& state) {
  RunCorpus(state, "");
}
void BM_CorpusBuiltInRules(benchmark::State& state) {
  RunCorpus(state, nullptr);
}

void RunPage(benchmark::State& state, const std::string& page) {
  UseRules("");
  for (auto _ : state) benchmark::DoNotOptimize(Filter(page, 8192, 65536));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
  state.SetComplexityN(static_cast<std::int64_t>(page.size()));
}

void BM_UnclosedTag(benchmark::State& state) {
  RunPage(state, "<" + std::string(static_cast<std::size_t>(state.range(0)), 'a'));
}

void BM_UnclosedComment(benchmark::State& state) {
  RunPage(state, "<!--" + std::string(static_cast<std::size_t>(state.range(0)), '>'));
}

void BM_DenseTags(benchmark::State& state) {
  std::string page;
  while (page.size() < static_cast<std::size_t>(state.range(0))) page += "<b>x";
  RunPage(state, page);
}

void BM_SplitTextAndTag(benchmark::State& state) {
  const std::string buffer = std::string(200, 't') + "<img src=\"a.gif\" width=468 height=60>";
  for (auto _ : state)
    benchmark::DoNotOptimize(
        kel::SplitTextAndTag(buffer.data(), static_cast<std::int32_t>(buffer.size())));
}

void BM_ParseTag(benchmark::State& state) {
  const std::string tag = "<img src=\"http://a.test/x.gif\" width=468 height=60 alt='banner'>";
  kel::TTagParser parser;
  for (auto _ : state)
    benchmark::DoNotOptimize(parser.Parse(tag.data(), static_cast<int>(tag.size())));
}

}  // namespace

BENCHMARK(BM_CorpusKeepEverything)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorpusBuiltInRules)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedTag)
    ->RangeMultiplier(4)
    ->Range(1 << 18, 1 << 24)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnclosedComment)
    ->RangeMultiplier(4)
    ->Range(1 << 18, 1 << 24)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseTags)
    ->RangeMultiplier(4)
    ->Range(1 << 18, 1 << 24)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitTextAndTag);
BENCHMARK(BM_ParseTag);

BENCHMARK_MAIN();
