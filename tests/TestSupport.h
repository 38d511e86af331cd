// Shared pieces of the tests: where the built companions are, the
// environment the sample companion reads, temporary files.
#pragma once

#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "filter/MimeFilter.h"
#include "tools/hostkit/HostKit.h"

namespace kel::test {

std::string BinDir();
std::string CompanionPath();         // the full companion
std::string PartialCompanionPath();  // without NoteResourceWithHref
std::string AbsentCompanionPath();

// A file in a fresh directory of its own, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& name, const std::string& content = "");
  ~TempFile();
  const std::string& Path() const { return path_; }
  std::string Read() const;
  std::vector<std::string> Lines() const;

 private:
  std::string dir_;
  std::string path_;
};

// Points the companion at a rules text and a fresh call log for the
// object's lifetime; restores the environment afterwards.
class CompanionSetup {
 public:
  explicit CompanionSetup(const std::string& rules);
  ~CompanionSetup();
  std::vector<std::string> Log() const { return log_.Lines(); }

 private:
  TempFile rules_;
  TempFile log_;
};

// Sets or (value null) removes an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// A filter over the real companion, started over a page served in chunks.
struct Started {
  ComPtr<IInternetProtocol> filter;
  TVarnelHTMLFilter* object = nullptr;
  ComPtr<host::ScriptedProtocol> next;
  ComPtr<host::RecordingSink> sink;
};
Started StartOver(std::vector<host::ReadStep> steps, const std::string& companion = CompanionPath(),
                  const std::wstring& url = L"http://example.test/dir/page.html");

std::string Escape(const std::string& bytes);

}  // namespace kel::test
