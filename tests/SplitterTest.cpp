#include <gtest/gtest.h>

#include <string>

#include "filter/TagSplitter.h"

namespace kel {
namespace {

struct SplitCase {
  std::string buffer;
  std::string text;  // the text run
  std::string tag;   // the complete tag, empty when none
  friend void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.buffer; }
};

class SplitTextAndTagTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTextAndTagTest, CutsTextRunAndFirstCompleteTag) {
  const SplitCase& c = GetParam();
  const char* buffer = c.buffer.data();
  const TTextAndTag r = SplitTextAndTag(buffer, static_cast<std::int32_t>(c.buffer.size()));
  EXPECT_EQ(c.text.size(), r.TextLength);
  EXPECT_EQ(c.text.empty() ? nullptr : buffer, r.TextStart);
  EXPECT_EQ(c.tag.size(), r.TagLength);
  if (c.tag.empty()) {
    EXPECT_EQ(nullptr, r.TagStart);
  } else {
    EXPECT_EQ(buffer + c.text.size(), r.TagStart);
    EXPECT_EQ(c.tag, std::string(r.TagStart, r.TagLength));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SplitTextAndTagTest,
    testing::Values(
        SplitCase{"", "", ""}, SplitCase{"plain text", "plain text", ""},
        SplitCase{"abc<", "abc", ""}, SplitCase{"abc<img src=x", "abc", ""},
        SplitCase{"ab<b>cd", "ab", "<b>"}, SplitCase{"a > b<i>", "a > b", "<i>"},
        SplitCase{"<a <b>c>", "", "<a <b>"}, SplitCase{"<>", "", "<>"},
        SplitCase{"<!->", "", "<!->"}, SplitCase{"<!DOCTYPE html>", "", "<!DOCTYPE html>"},
        SplitCase{"<!-->x", "", ""}, SplitCase{"<!--->x", "", ""},
        SplitCase{"<!---->x", "", "<!---->"}, SplitCase{"<!-- a > b -->z", "", "<!-- a > b -->"},
        SplitCase{"<!-- x -- y >", "", ""}, SplitCase{"<!---x-->", "", "<!---x-->"},
        SplitCase{"<<!-- a > b -->", "", "<<!-- a >"}, SplitCase{"x<!---->", "x", "<!---->"},
        // Any byte is an ordinary byte, NUL included.
        SplitCase{std::string("a\0b<\0>c", 7), std::string("a\0b", 3), std::string("<\0>", 3)},
        SplitCase{"<!-- -> --->", "", "<!-- -> --->"}, SplitCase{"<!--x", "", ""},
        SplitCase{"<ab>", "", "<ab>"},
        // The comment decision needs all four bytes of "<!--".
        SplitCase{"<!-x>a", "", "<!-x>"}, SplitCase{"<!x->a", "", "<!x->"}));

TEST(SplitTextAndTag, NonPositiveLengthReadsNothing) {
  for (std::int32_t length : {0, -1, -1000}) {
    const TTextAndTag r = SplitTextAndTag(nullptr, length);
    EXPECT_EQ(nullptr, r.TextStart);
    EXPECT_EQ(0u, r.TextLength);
    EXPECT_EQ(nullptr, r.TagStart);
    EXPECT_EQ(0u, r.TagLength);
  }
}

// The resumable scan fed in pieces gives what one pass over the whole
// buffer gives, wherever the pieces are cut.
TEST(TagScanner, ResumedScanMatchesOnePass) {
  const std::string samples[] = {"ab<b>cd", "<!-- a > b -->z", "<!-->x-->",       "x<!---->",
                                 "<!->",    "text only",       "<<!-- a > b -->", "<a <b>c>"};
  for (const std::string& s : samples) {
    const TTextAndTag whole = SplitTextAndTag(s.data(), static_cast<std::int32_t>(s.size()));
    for (std::size_t cut = 0; cut <= s.size(); ++cut) {
      TagScanner scanner;
      bool found = scanner.Scan(s.data(), cut);
      if (!found) found = scanner.Scan(s.data(), s.size());
      SCOPED_TRACE(s + " cut at " + std::to_string(cut));
      EXPECT_EQ(whole.TagLength > 0, found);
      EXPECT_EQ(whole.TextLength, scanner.TextLength());
      EXPECT_EQ(whole.TagLength, scanner.TagLength());
    }
  }
}

}  // namespace
}  // namespace kel
