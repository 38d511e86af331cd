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

TEST(Corpus, KeepEverythingLeavesEveryPageUnchanged) {
  const std::vector<std::string> pages = CorpusPages();
  if (pages.empty()) GTEST_SKIP() << "no pages in " << KEL_CORPUS_DIR;
  test::CompanionSetup companion("");  // no rules: every answer keeps the tag
  struct Sizes {
    std::size_t chunk;
    ULONG read;
  } sizes[] = {{8192, 65536}, {8192, 100}, {1000, 7}, {13, 8192}};
  for (const std::string& path : pages) {
    const std::string page = ReadFile(path);
    for (const Sizes& s : sizes) {
      if (page.size() / s.chunk > 20000 || page.size() / s.read > 20000) continue;
      test::Started f = test::StartOver(host::PageSteps(page, s.chunk));
      ASSERT_TRUE(f.object->Active());
      const host::Drained d = host::ReadToEnd(f.filter.Get(), s.read);
      ASSERT_EQ(S_FALSE, d.last) << path;
      ASSERT_TRUE(d.bytes == page) << path << " chunk " << s.chunk << " read " << s.read;
      EXPECT_GT(f.object->Stats().TagsSeen, 0u) << path;
    }
  }
}

}  // namespace
}  // namespace kel
