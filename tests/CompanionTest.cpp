// The sample companion, loaded from the build tree and called through its
// entry points as the filter calls them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "service/KelRPC.h"
#include "tests/TestSupport.h"
#include "tools/companion/RulesFile.h"

namespace kel {
namespace {

class Companion : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA(test::CompanionPath().c_str());
    ASSERT_NE(nullptr, module_);
    getBinding_ = GetEntryPoint<TGetBinding>(module_, kGetBindingName);
    revise_ = GetEntryPoint<TReviseResource>(module_, kReviseResourceName);
    note_ = GetEntryPoint<TNoteResourceWithHref>(module_, kNoteResourceWithHrefName);
    ASSERT_TRUE(getBinding_ && revise_ && note_);
  }
  void TearDown() override { FreeLibrary(module_); }

  HMODULE module_ = nullptr;
  TGetBinding getBinding_ = nullptr;
  TReviseResource revise_ = nullptr;
  TNoteResourceWithHref note_ = nullptr;
};

// One call after a GetBinding under rules; the status, the action (99 when
// left as it was) and the log line of the call.
struct RuleCase {
  const char* name;
  const char* rules;
  bool note;
  const char* url;
  const char* type;
  const char* href;
  std::int32_t width, height;
  std::int32_t status, action;
  friend void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }
};

class RuleDecision : public Companion, public testing::WithParamInterface<RuleCase> {};

TEST_P(RuleDecision, FirstMatchingRuleDecides) {
  const RuleCase& c = GetParam();
  test::CompanionSetup setup(c.rules);
  std::uint32_t binding = 0;
  ASSERT_EQ(0, getBinding_(&binding));
  std::int32_t action = 99;
  std::string line;
  if (c.note) {
    EXPECT_EQ(c.status, note_(binding, c.url, c.href, &action));
    line = "NoteResourceWithHref\t1\t" + std::string(c.url) + "\t" + c.href;
  } else {
    EXPECT_EQ(c.status, revise_(binding, c.url, c.type, "http://doc.test/p.html", c.href, c.width,
                                c.height, -1, &action));
    line = "ReviseResource\t1\t" + std::string(c.url) + "\t" + c.type +
           "\thttp://doc.test/p.html\t" + c.href + "\t" + std::to_string(c.width) + "\t" +
           std::to_string(c.height) + "\t-1";
  }
  EXPECT_EQ(c.action, action);
  line += "\t->\t" + std::to_string(c.status) + "\t" + std::to_string(c.action);
  EXPECT_EQ((std::vector<std::string>{"GetBinding\t->\t0\t1", line}), setup.Log());
}

const char kBanners[] = "image * size=468,60 action=3\nany *://*/ads/* action=2\n";

INSTANTIATE_TEST_SUITE_P(
    Rules, RuleDecision,
    testing::Values(
        RuleCase{"NoRulesKeeps", "", false, "http://a.test/x.gif", "image/*", "", 468, 60, 0, 0},
        RuleCase{"SizeMatches", kBanners, false, "http://a.test/x.gif", "image/*", "", 468, 60, 0,
                 3},
        RuleCase{"SizeDiffers", kBanners, false, "http://a.test/x.gif", "image/*", "", 468, 61, 0,
                 0},
        RuleCase{"AnyMatchesNote", kBanners, true, "http://a.test/ads/x.gif", "", "http://h/", -1,
                 -1, 0, 2},
        RuleCase{"ImageRuleIgnoresFrames", "image * action=4\n", false, "http://a.test/f.html",
                 "text/html", "", -1, -1, 0, 0},
        RuleCase{"HtmlRule", "html *frame* action=1\n", false, "http://a.test/frame.html",
                 "text/html", "", -1, -1, 0, 1},
        RuleCase{"FlashRuleEmptyUrl", "flash * action=3\n", false, "",
                 "application/x-shockwave-flash", "", -1, -1, 0, 3},
        RuleCase{"NoteRuleWithHref", "note *.gif href=*/buy/* action=5\n", true, "http://a/x.GIF",
                 "", "http://b/buy/now", -1, -1, 0, 5},
        RuleCase{"NoteRuleHrefDiffers", "note *.gif href=*/buy/* action=5\n", true,
                 "http://a/x.gif", "", "http://b/sell/now", -1, -1, 0, 0},
        RuleCase{"StatusLeavesAction", "image * status=4\n", false, "u", "image/*", "", 1, 2, 4,
                 99},
        RuleCase{"WildcardSize", "image * size=*,60 action=2\n", false, "u", "image/*", "", 7, 60,
                 0, 2},
        RuleCase{"DocGlob", "image * doc=*//doc.test/* action=2\n", false, "u", "image/*", "", 1, 1,
                 0, 2},
        RuleCase{"FirstMatchWins", "image * action=2\nimage * action=3\n", false, "u", "image/*",
                 "", 1, 1, 0, 2},
        RuleCase{"CommentsAndCrlf", "# banners\r\n\r\nimage  *\tsize=1,1   action=2 # tail\r\n",
                 false, "u", "image/*", "", 1, 1, 0, 2},
        RuleCase{"QuestionMark", "image http://a?test/* action=2\n", false, "http://a.test/x",
                 "image/*", "", 1, 1, 0, 2}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

TEST_F(Companion, DefaultRulesWithoutRulesFile) {
  test::ScopedEnv rules("KELRPC_RULES", nullptr);
  test::ScopedEnv log("KELRPC_LOG", nullptr);
  std::uint32_t binding = 0;
  ASSERT_EQ(0, getBinding_(&binding));
  EXPECT_EQ(1u, binding);
  struct {
    const char* url;
    std::int32_t w, h, action;
  } cases[] = {{"http://a/x.gif", 468, 60, 3},   {"http://a/x.gif", 970, 90, 3},
               {"http://a/x.gif", 100, 100, 0},  {"http://a/ads/x.gif", 1, 1, 2},
               {"https://ads.b/x.gif", 1, 1, 2}, {"http://x.doubleclick.net/y", 1, 1, 2}};
  for (const auto& c : cases) {
    std::int32_t action = 99;
    EXPECT_EQ(0, revise_(binding, c.url, "image/*", "", "", c.w, c.h, -1, &action));
    EXPECT_EQ(c.action, action) << c.url;
  }
}

struct BadRules {
  const char* name;
  const char* text;
  const char* where;  // expected in the message
  friend void PrintTo(const BadRules& c, std::ostream* os) { *os << c.name; }
};

class MalformedRules : public Companion, public testing::WithParamInterface<BadRules> {};

// The page passes unchanged: no binding, status 1, and one message naming
// the file and the line.
TEST_P(MalformedRules, DeclineTheDocument) {
  test::CompanionSetup setup(GetParam().text);
  std::uint32_t binding = 77;
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, getBinding_(&binding));
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, binding);
  EXPECT_NE(std::string::npos, message.find(std::string("rules.txt:") + GetParam().where))
      << message;
  EXPECT_EQ(1, std::count(message.begin(), message.end(), '\n')) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MalformedRules,
    testing::Values(BadRules{"UnknownKind", "picture * action=1\n", "1:"},
                    BadRules{"NoDecision", "# ok\nimage *\n", "2:"},
                    BadRules{"TwoDecisions", "image * action=1 status=2\n", "1:"},
                    BadRules{"BadNumber", "image * action=x\n", "1:"},
                    BadRules{"BadSize", "\n\nimage * size=1 action=2\n", "3:"},
                    BadRules{"UnknownField", "image * colour=red action=2\n", "1:"},
                    BadRules{"NoPattern", "image\n", "1:"},
                    BadRules{"BindingWithoutValue", "binding\n", "1:"},
                    BadRules{"HugeNumber", "image * action=99999999999\n", "1:"}),
    [](const testing::TestParamInfo<BadRules>& info) { return std::string(info.param.name); });

TEST_F(Companion, UnreadableRulesFileDeclines) {
  test::ScopedEnv rules("KELRPC_RULES", "/nonexistent/rules.txt");
  std::uint32_t binding = 77;
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, getBinding_(&binding));
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, binding);
  EXPECT_NE(std::string::npos, message.find("/nonexistent/rules.txt")) << message;
}

// A call is one line of the log whatever its fields hold.
TEST_F(Companion, LogKeepsOneCallALine) {
  test::CompanionSetup setup("");
  std::uint32_t binding = 0;
  ASSERT_EQ(0, getBinding_(&binding));
  std::int32_t action = 0;
  revise_(binding, "http://a.test/x\ny.gif", "image/*", "http://doc.test/p\r.html",
          "http://a.test/go\tto\\here", 1, 2, -1, &action);
  note_(binding, "m.gif", "a\\b\n", &action);
  EXPECT_EQ((std::vector<std::string>{
                "GetBinding\t->\t0\t1",
                "ReviseResource\t1\thttp://a.test/x\\ny.gif\timage/*\thttp://doc.test/p\\r.html\t"
                "http://a.test/go\\tto\\\\here\t1\t2\t-1\t->\t0\t0",
                "NoteResourceWithHref\t1\tm.gif\ta\\\\b\\n\t->\t0\t0"}),
            setup.Log());
}

// A document's GetBinding reads the rules file only when it changed: the
// same name, size and time of last write give the rules parsed before.
TEST_F(Companion, RulesAreParsedAgainOnlyWhenTheFileChanges) {
  test::TempFile file("rules.txt", "binding 7\n");
  test::ScopedEnv rules("KELRPC_RULES", file.Path().c_str());
  std::uint32_t binding = 0;
  ASSERT_EQ(0, getBinding_(&binding));
  EXPECT_EQ(7u, binding);

  struct stat before {};
  ASSERT_EQ(0, stat(file.Path().c_str(), &before));
  std::ofstream(file.Path(), std::ios::binary | std::ios::trunc) << "binding 8\n";
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, file.Path().c_str(), times, 0));
  ASSERT_EQ(0, getBinding_(&binding));
  EXPECT_EQ(7u, binding) << "an unchanged file was parsed again";

  const timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 1, before.st_mtim.tv_nsec}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, file.Path().c_str(), later, 0));
  ASSERT_EQ(0, getBinding_(&binding));
  EXPECT_EQ(8u, binding);

  std::ofstream(file.Path(), std::ios::binary | std::ios::trunc) << "binding 12\n";
  ASSERT_EQ(0, getBinding_(&binding));
  EXPECT_EQ(12u, binding) << "a file of another size";
}

TEST(Glob, MatchesWholeTextIgnoringAsciiCase) {
  struct {
    const char* glob;
    const char* text;
    bool match;
  } cases[] = {{"*", "", true},           {"*", "abc", true},   {"a*c", "abc", true},
               {"a*c", "abcd", false},    {"A?C", "abc", true}, {"a?c", "ac", false},
               {"*ads*", "xADSy", true},  {"**a", "a", true},   {"a*b*c", "aXbYc", true},
               {"a*b*c", "aXcYb", false}, {"", "", true},       {"", "a", false},
               {"\xC4", "\xE4", false}};
  for (const auto& c : cases)
    EXPECT_EQ(c.match, kelrpc::GlobMatch(c.glob, c.text)) << c.glob << " ~ " << c.text;
}

}  // namespace
}  // namespace kel
