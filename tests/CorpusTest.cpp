// With a companion that keeps every tag, every real page comes out byte for
// byte as it went in, whatever the chunk and request sizes.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/TestSupport.h"

namespace kel {
namespace {

std::vector<std::string> CorpusPages() {
  std::vector<std::string> pages;
  if (DIR* dir = opendir(KEL_CORPUS_DIR)) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 5 && name.substr(name.size() - 5) == ".html")
        pages.push_back(std::string(KEL_CORPUS_DIR) + "/" + name);
    }
    closedir(dir);
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct RoundTrip {
  const char* name;
  const char* rules;  // "" keeps every tag; "binding 0" passes the page through
  bool active;
  friend void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }
};

class Corpus : public testing::TestWithParam<RoundTrip> {};

// Requests smaller than the next protocol's chunks, and larger; in pass-
// through mode the consumer's requests go straight to the next protocol.
TEST_P(Corpus, EveryPageComesOutUnchanged) {
  const std::vector<std::string> pages = CorpusPages();
  if (pages.empty()) GTEST_SKIP() << "no pages in " << KEL_CORPUS_DIR;
  test::CompanionSetup companion(GetParam().rules);
  struct Sizes {
    std::size_t chunk;
    ULONG read;
  } sizes[] = {{8192, 65536}, {8192, 100}, {1000, 7}, {13, 8192}, {7, 3}};
  for (const std::string& path : pages) {
    const std::string page = ReadFile(path);
    for (const Sizes& s : sizes) {
      if (page.size() / s.chunk > 20000 || page.size() / s.read > 20000) continue;
      test::Started f = test::StartOver(host::PageSteps(page, s.chunk));
      ASSERT_EQ(GetParam().active, f.object->Active());
      const host::Drained d = host::ReadToEnd(f.filter.Get(), s.read);
      ASSERT_EQ(S_FALSE, d.last) << path;
      ASSERT_TRUE(d.bytes == page) << path << " chunk " << s.chunk << " read " << s.read;
      if (GetParam().active) {
        EXPECT_GT(f.object->Stats().TagsSeen, 0u) << path;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Corpus,
                         testing::Values(RoundTrip{"KeepEverything", "", true},
                                         RoundTrip{"PassThrough", "binding 0\n", false}),
                         [](const testing::TestParamInfo<RoundTrip>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kel
