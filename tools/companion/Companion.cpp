// A sample companion service that decides by rules, so that the filter can be
// run and tested without the real service.
//
//   KELRPC_RULES  the rules file; the built-in banner rules when unset
//   KELRPC_LOG    a file to which every call appends one line
//
// Every GetBinding, that is every document, looks at the rules file again;
// it is read and parsed anew only when it has changed (another name, size
// or time of last write).
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/Platform.h"
#include "tools/companion/RulesFile.h"

namespace {

using kelrpc::RuleSet;

// Holds a small spin lock for the scope.
class SpinGuard {
 public:
  explicit SpinGuard(std::atomic_flag& flag) : flag_(flag) {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SpinGuard() { flag_.clear(std::memory_order_release); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  std::atomic_flag& flag_;
};

// The rules in force. Calls of several documents may overlap, so the set is
// swapped whole under a small lock and each call keeps its own reference.
class CurrentRules {
 public:
  std::shared_ptr<const RuleSet> Get() {
    SpinGuard guard(flag_);
    return rules_;
  }
  void Set(std::shared_ptr<const RuleSet> rules) {
    SpinGuard guard(flag_);
    rules_ = std::move(rules);
  }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
  std::shared_ptr<const RuleSet> rules_;
};

CurrentRules current;

// What tells one version of a rules file from another.
struct FileStamp {
  std::string path;
  std::uint64_t size = 0;
  std::uint64_t written = 0;
  bool operator==(const FileStamp& o) const {
    return path == o.path && size == o.size && written == o.written;
  }
};

// False when the file's attributes cannot be read.
bool StampOf(const char* path, FileStamp& stamp) {
  stamp.path = path;
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  stamp.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  stamp.written = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                  data.ftLastWriteTime.dwLowDateTime;
#else
  struct stat st;
  if (stat(path, &st) != 0) return false;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.written = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                  static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
#endif
  return true;
}

std::shared_ptr<const RuleSet> ReadRules(const char* path);

// The rules for a new document: the built-in ones, or the file's, parsed
// again only when the file changed since it was last parsed.
std::shared_ptr<const RuleSet> LoadRules() {
  static std::shared_ptr<const RuleSet> builtIn;
  static FileStamp lastStamp;
  static std::shared_ptr<const RuleSet> lastRules;
  static std::atomic_flag busy = ATOMIC_FLAG_INIT;
  const char* path = std::getenv("KELRPC_RULES");
  SpinGuard guard(busy);
  if (path == nullptr || *path == 0) {
    if (!builtIn) builtIn = std::make_shared<const RuleSet>(kelrpc::DefaultRules());
    return builtIn;
  }
  FileStamp stamp;
  const bool stamped = StampOf(path, stamp);
  if (stamped && lastRules && stamp == lastStamp) return lastRules;
  std::shared_ptr<const RuleSet> rules = ReadRules(path);
  // A file that could not be read, or whose stamp cannot be had, is tried
  // again next time.
  if (stamped && rules->error.empty()) {
    lastStamp = stamp;
    lastRules = rules;
  } else {
    lastRules = nullptr;
  }
  return rules;
}

std::shared_ptr<const RuleSet> ReadRules(const char* path) {
  std::string text;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    auto failed = std::make_shared<RuleSet>();
    failed->error = std::string(path) + ": cannot read the rules file";
    return failed;
  }
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  const bool readError = std::ferror(file) != 0;
  std::fclose(file);
  if (readError) {
    auto failed = std::make_shared<RuleSet>();
    failed->error = std::string(path) + ": cannot read the rules file";
    return failed;
  }
  return std::make_shared<const RuleSet>(kelrpc::ParseRules(text, path));
}

std::shared_ptr<const RuleSet> Rules() {
  std::shared_ptr<const RuleSet> rules = current.Get();
  if (!rules) {
    rules = LoadRules();
    current.Set(rules);
  }
  return rules;
}

// The call log's file name; null when calls are not logged.
const char* LogPath() {
  const char* path = std::getenv("KELRPC_LOG");
  return path != nullptr && *path != 0 ? path : nullptr;
}

void Log(const std::string& line) {
  const char* path = LogPath();
  if (path == nullptr) return;
  if (std::FILE* file = std::fopen(path, "ab")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
    std::fclose(file);
  }
}

const char* Text(const char* s) {
  return s != nullptr ? s : "";
}

std::int32_t Answer(const kelrpc::Call& call, std::int32_t* action) {
  const std::shared_ptr<const RuleSet> rules = Rules();
  if (!rules->error.empty()) return 1;
  const kelrpc::Decision d = kelrpc::Decide(*rules, call);
  if (d.action && action != nullptr) *action = *d.action;
  return d.status;
}

std::string Field(std::int64_t v) {
  return "\t" + std::to_string(v);
}
std::string Field(const char* s) {
  return "\t" + kelrpc::EscapeLogField(Text(s));
}

}  // namespace

extern "C" {

std::int32_t KEL_STDCALL GetBinding(std::uint32_t* binding) {
#ifdef KELRPC_DECOY
  // A stand-in planted where it must never be loaded from; it says so.
  Log("DECOY");
#endif
  std::shared_ptr<const RuleSet> rules = LoadRules();
  current.Set(rules);
  std::uint32_t value = 0;
  std::int32_t status = 0;
  if (!rules->error.empty()) {
    std::fprintf(stderr, "KelRPCPrx: %s\n", rules->error.c_str());
    status = 1;
  } else {
    value = rules->binding;
    status = rules->bindingStatus;
  }
  if (binding != nullptr) *binding = value;
  Log("GetBinding\t->" + Field(status) + Field(value));
  return status;
}

std::int32_t KEL_STDCALL ReviseResource(std::uint32_t binding, const char* url,
                                        const char* contentType, const char* documentUrl,
                                        const char* href, std::int32_t width, std::int32_t height,
                                        std::int32_t reserved, std::int32_t* action) {
  kelrpc::Call call;
  call.url = Text(url);
  call.type = Text(contentType);
  call.documentUrl = Text(documentUrl);
  call.href = Text(href);
  call.width = width;
  call.height = height;
  const std::int32_t status = Answer(call, action);
  if (LogPath() != nullptr)
    Log("ReviseResource" + Field(binding) + Field(url) + Field(contentType) + Field(documentUrl) +
        Field(href) + Field(width) + Field(height) + Field(reserved) + "\t->" + Field(status) +
        Field(action != nullptr ? *action : 0));
  return status;
}

#ifndef KELRPC_WITHOUT_NOTE
std::int32_t KEL_STDCALL NoteResourceWithHref(std::uint32_t binding, const char* imageUrl,
                                              const char* href, std::int32_t* action) {
  kelrpc::Call call;
  call.note = true;
  call.url = Text(imageUrl);
  call.href = Text(href);
  const std::int32_t status = Answer(call, action);
  if (LogPath() != nullptr)
    Log("NoteResourceWithHref" + Field(binding) + Field(imageUrl) + Field(href) + "\t->" +
        Field(status) + Field(action != nullptr ? *action : 0));
  return status;
}
#endif

}  // extern "C"
