// kelfilter: runs one HTML page through a real filter object, as URL-moniker
// would, and writes what the consumer reads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <limits.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "filter/MimeFilter.h"
#include "platform/Text.h"
#include "support/Url.h"
#include "tools/companion/RulesFile.h"
#include "tools/hostkit/HostKit.h"
#include "tools/kelfilter/StreamHost.h"

namespace {

constexpr char kUsage[] =
    "usage: kelfilter [FILE|-] [-o FILE] [--url URL] [--companion FILE] [--chunk N] [--read N] "
    "[--stats]\n"
    "       kelfilter --resolve BASE REF...\n";

struct Options {
  std::string input = "-";
  std::string output;
  std::string url;
  std::string companion;
  unsigned long chunk = 8192;
  unsigned long read = 65536;
  bool stats = false;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "kelfilter: %s\n", message.c_str());
  std::exit(1);
}

unsigned long Count(const char* option, const char* text) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (*text == 0 || *end != 0 || text[0] == '-' || v == 0 || v > 0x7FFFFFFFul)
    Fail(std::string(option) + " needs a positive number, not '" + text + "'");
  return v;
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  bool haveInput = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "-o") {
      o.output = value();
    } else if (arg == "--url") {
      o.url = value();
    } else if (arg == "--companion") {
      o.companion = value();
    } else if (arg == "--chunk") {
      o.chunk = Count("--chunk", value());
    } else if (arg == "--read") {
      o.read = Count("--read", value());
    } else if (arg == "--stats") {
      o.stats = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      Fail("unknown option " + arg + "\n" + kUsage);
    } else if (!haveInput) {
      o.input = arg;
      haveInput = true;
    } else {
      Fail("one input file at most\n" + std::string(kUsage));
    }
  }
  return o;
}

std::string FileUrl(const std::string& path) {
#ifdef _WIN32
  char full[4096];
  if (_fullpath(full, path.c_str(), sizeof full) == nullptr) return "file:///" + path;
  std::string p = full;
  for (char& c : p)
    if (c == '\\') c = '/';
  return "file:///" + p;
#else
  char full[PATH_MAX];
  if (realpath(path.c_str(), full) == nullptr) return "file://" + path;
  return std::string("file://") + full;
#endif
}

std::string CurrentDirectoryUrl() {
#ifdef _WIN32
  return FileUrl(".") + "/";
#else
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return "file:///";
  std::string url = std::string("file://") + cwd;
  return url.back() == '/' ? url : url + "/";
#endif
}

// The URL as the platform's bind information hands it over: a wide string
// (the ANSI code page on Windows, UTF-8 here; a byte that is not part of a
// UTF-8 sequence stands for itself).
std::wstring Widen(const std::string& text) {
#ifdef _WIN32
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? n : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(n > 0 ? n - 1 : 0);
  return wide;
#else
  std::wstring wide;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const int extra = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    std::uint32_t code = extra == 3 ? c & 0x07 : extra == 2 ? c & 0x0F : c & 0x1F;
    bool valid = extra > 0 && i + static_cast<std::size_t>(extra) < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const unsigned char d = static_cast<unsigned char>(text[i + k]);
      valid = (d & 0xC0) == 0x80;
      code = (code << 6) | (d & 0x3F);
    }
    if (valid && extra > 0) {
      wide += static_cast<wchar_t>(code);
      i += static_cast<std::size_t>(extra) + 1;
    } else {
      wide += static_cast<wchar_t>(c);
      ++i;
    }
  }
  return wide;
#endif
}

// The process's peak resident memory in kB; 0 where unknown.
long PeakMemoryKb() {
#ifdef _WIN32
  return 0;
#else
  rusage usage{};
  return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
#endif
}

}  // namespace

// --resolve: each REF as the filter resolves it against the document URL
// BASE, escaped as in the companion's call log; an empty line when the two
// cannot be combined.
int Resolve(int argc, char** argv) {
  if (argc < 3) Fail("--resolve needs a document URL\n" + std::string(kUsage));
  // The document URL reaches the filter as the bind information's wide
  // string, which the filter turns into its own text.
  const std::wstring wide = Widen(argv[2]);
  const std::string base = kel::WideToAnsi(wide.c_str());
  for (int i = 3; i < argc; ++i) {
    std::string url;
    try {
      url = kel::CombineUrl(base, argv[i]);
    } catch (const std::exception& e) {
      Fail(std::string("cannot resolve ") + argv[i] + ": " + e.what());
    }
    std::printf("%s\n", kelrpc::EscapeLogField(url).c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--resolve") == 0) return Resolve(argc, argv);
  const Options options = ParseArguments(argc, argv);

  std::FILE* in = stdin;
  if (options.input == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  } else {
    in = std::fopen(options.input.c_str(), "rb");
    if (in == nullptr) Fail("cannot open " + options.input + ": " + std::strerror(errno));
  }
  // Large transfers to and from the system; the buffers are the same size
  // whatever the page.
  static char inBuffer[1 << 18];
  std::setvbuf(in, inBuffer, _IOFBF, sizeof inBuffer);
  std::string url = options.url;
  if (url.empty()) url = options.input == "-" ? CurrentDirectoryUrl() : FileUrl(options.input);

  if (!options.companion.empty()) {
    HMODULE probe = LoadLibraryA(options.companion.c_str());
    if (probe == nullptr) Fail("cannot load the companion " + options.companion);
    FreeLibrary(probe);
  }

  kel::TVarnelHTMLFilter* object = nullptr;
  kel::ComPtr<IInternetProtocol> filter = kel::NewFilter(
      options.companion.empty() ? kel::kCompanionLibraryName : options.companion, &object);
  if (!filter) Fail("cannot create the filter");

  // The page is read as the filter asks for it and written as it comes out:
  // memory stays within a chunk, a request and the longest pending tag.
  auto next = kel::kelfilter::StreamProtocol::Make(in, options.chunk);
  auto sink = kel::kelfilter::QuietSink::Make();
  auto bindInfo = kel::kelfilter::DocumentBindInfo::Make(Widen(url));
  const HRESULT started =
      kel::host::StartFilter(filter.Get(), next.Get(), sink.Get(), bindInfo.Get());
  if (FAILED(started)) Fail("Start failed with " + kel::host::HresultText(started));

  std::FILE* out = stdout;
  if (!options.output.empty()) {
    out = std::fopen(options.output.c_str(), "wb");
    if (out == nullptr) Fail("cannot write " + options.output + ": " + std::strerror(errno));
  } else {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
  }

  static char outBuffer[1 << 18];
  std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);

  const auto began = std::chrono::steady_clock::now();
  std::vector<char> buffer(options.read);
  std::uint64_t written = 0;
  int idle = 0;
  for (;;) {
    ULONG n = 0;
    const HRESULT hr = filter->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &n);
    if (hr == INET_E_DOWNLOAD_FAILURE)
      Fail("cannot read " +
           (options.input == "-" ? std::string("the standard input") : options.input));
    if (FAILED(hr) && hr != E_PENDING) Fail("Read failed with " + kel::host::HresultText(hr));
    if (n > 0 && std::fwrite(buffer.data(), 1, n, out) != n) Fail("cannot write the output");
    written += n;
    if (hr == S_FALSE) break;
    idle = n == 0 ? idle + 1 : 0;
    if (idle > 1000) Fail("Read delivers nothing and does not end");
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  filter->Terminate(0);
  if (in != stdin) std::fclose(in);
  if (out != stdout && std::fclose(out) != 0) Fail("cannot write " + options.output);
  if (out == stdout && std::fflush(stdout) != 0) Fail("cannot write the output");

  if (options.stats) {
    const kel::TFilterStats& s = object->Stats();
    const std::uint64_t bytesIn = next->BytesRead();
    const double mb = static_cast<double>(bytesIn) / 1e6;
    std::fprintf(stderr,
                 "kelfilter: in %llu bytes, out %llu bytes, tags %llu (rewritten %llu, dropped "
                 "%llu), companion calls %llu, mode %s, %.6f s, %.1f MB/s, peak memory %ld kB\n",
                 static_cast<unsigned long long>(bytesIn), static_cast<unsigned long long>(written),
                 static_cast<unsigned long long>(s.TagsSeen),
                 static_cast<unsigned long long>(s.TagsRewritten),
                 static_cast<unsigned long long>(s.TagsDropped),
                 static_cast<unsigned long long>(s.CompanionCalls),
                 object->Active() ? "active" : "pass-through", seconds,
                 seconds > 0 ? mb / seconds : 0.0, PeakMemoryKb());
  }
  return 0;
}
