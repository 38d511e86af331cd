#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kel::test {

std::string BinDir() {
  return KEL_BIN_DIR;
}
std::string CompanionPath() {
  return BinDir() + "/KelRPCPrx.dll";
}
std::string PartialCompanionPath() {
  return BinDir() + "/KelRPCPrx-partial.dll";
}
std::string AbsentCompanionPath() {
  return BinDir() + "/no-such-dir/KelRPCPrx.dll";
}

TempFile::TempFile(const std::string& name, const std::string& content) {
  char pattern[] = "/tmp/kel-test-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = dir;
  path_ = dir_ + "/" + name;
  std::ofstream(path_, std::ios::binary) << content;
}

TempFile::~TempFile() {
  std::remove(path_.c_str());
  rmdir(dir_.c_str());
}

std::string TempFile::Read() const {
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> TempFile::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(Read());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) {
    had_ = true;
    old_ = old;
  }
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

CompanionSetup::CompanionSetup(const std::string& rules)
    : rules_("rules.txt", rules), log_("calls.log") {
  setenv("KELRPC_RULES", rules_.Path().c_str(), 1);
  setenv("KELRPC_LOG", log_.Path().c_str(), 1);
}

CompanionSetup::~CompanionSetup() {
  unsetenv("KELRPC_RULES");
  unsetenv("KELRPC_LOG");
}

Started StartOver(std::vector<host::ReadStep> steps, const std::string& companion,
                  const std::wstring& url) {
  Started s;
  s.filter = NewFilter(companion, &s.object);
  s.next = host::ScriptedProtocol::Make(std::move(steps));
  s.sink = host::RecordingSink::Make();
  auto bindInfo = host::UrlBindInfo::Make(url);
  EXPECT_EQ(S_OK, host::StartFilter(s.filter.Get(), s.next.Get(), s.sink.Get(), bindInfo.Get()));
  return s;
}

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 32 || c >= 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else
      out += static_cast<char>(c);
  }
  return out;
}

}  // namespace kel::test
