// The filter through its COM face on any page, cut into any chunks and read
// in any sizes: with a companion that keeps every tag, and in pass-through
// mode, the page comes out unchanged; with rules that rewrite, it ends
// cleanly and its output does not depend on the chunk or request size.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "filter/MimeFilter.h"
#include "tools/hostkit/HostKit.h"

namespace {

const std::string kCompanion = std::string(KEL_BIN_DIR) + "/KelRPCPrx.dll";

std::string RulesFile(const char* name, const char* rules) {
  const std::string path = std::string("/tmp/kel-fuzz-") + std::to_string(getpid()) + "-" + name;
  std::ofstream(path) << rules;
  return path;
}

kel::host::Drained Run(const std::string& page, std::size_t chunk, ULONG read) {
  auto filter = kel::NewFilter(kCompanion);
  auto next = kel::host::ScriptedProtocol::Make(kel::host::PageSteps(page, chunk));
  auto bindInfo = kel::host::UrlBindInfo::Make(L"http://fuzz.test/dir/page.html");
  kel::host::StartFilter(filter.Get(), next.Get(), nullptr, bindInfo.Get());
  return kel::host::ReadToEnd(filter.Get(), read, 1 << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Held for the whole run: the fuzzer keeps counting coverage in the
  // companion's code, which must not be unmapped when a filter frees it.
  static const HMODULE companion = LoadLibraryA(kCompanion.c_str());
  if (companion == nullptr) std::abort();
  static const std::string keep = RulesFile("keep", "");
  static const std::string rewrite =
      RulesFile("rewrite",
                "image *a* action=2\nimage * size=1,* action=3\nhtml * action=1\nflash * action=3\n"
                "note *b* action=1\nimage *z* status=4\nany * action=0\n");
  static const std::string passThrough = RulesFile("pass", "binding 0\n");
  unsetenv("KELRPC_LOG");
  if (size < 2) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  const ULONG read = 1 + data[1] % 128;
  const std::string page(reinterpret_cast<const char*>(data) + 2, size - 2);

  setenv("KELRPC_RULES", keep.c_str(), 1);
  const kel::host::Drained kept = Run(page, chunk, read);
  if (kept.last != S_FALSE || kept.bytes != page) std::abort();

  setenv("KELRPC_RULES", passThrough.c_str(), 1);
  const kel::host::Drained passed = Run(page, chunk, read);
  if (passed.last != S_FALSE || passed.bytes != page) std::abort();

  setenv("KELRPC_RULES", rewrite.c_str(), 1);
  const kel::host::Drained rewritten = Run(page, chunk, read);
  if (rewritten.last != S_FALSE) std::abort();
  const std::size_t whole = page.empty() ? 1 : page.size();
  const kel::host::Drained atOnce = Run(page, whole, static_cast<ULONG>(whole) + 64);
  if (atOnce.last != S_FALSE || atOnce.bytes != rewritten.bytes) std::abort();
  return 0;
}
