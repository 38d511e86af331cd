// Exceptions with position codes, CombineUrl's calling protocol, the URL
// resolver under it, string lists and the integer reading of sizes.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <utility>

#include "filter/MimeFilter.h"
#include "support/Exceptions.h"
#include "support/StringList.h"
#include "support/Url.h"

namespace kel {
namespace {

const std::string kSuffix = "\r\n>>370";

TEST(ReRaiseWithCode, KeepsTheKindAndExtendsTheMessage) {
  try {
    ReRaiseWithCode(Exception("", 5), 370);
  } catch (const DravoException&) {
    FAIL() << "a plain exception became a DravoException";
  } catch (const Exception& e) {
    EXPECT_EQ(kSuffix, e.Message());
    EXPECT_EQ(7u, e.Message().size());
    EXPECT_EQ(0, e.HelpContext());
  }
  try {
    ReRaiseWithCode(EOleException("ole", E_NOINTERFACE, "src", "help.hlp", 42), 370);
  } catch (const EOleException& e) {
    EXPECT_EQ("ole" + kSuffix, e.Message());
    EXPECT_EQ(E_NOINTERFACE, e.ErrorCode);
    EXPECT_EQ("src", e.Source);
    EXPECT_EQ("help.hlp", e.HelpFile);
    EXPECT_EQ(42, e.HelpContext());
  }
  try {
    ReRaiseWithCode(DravoException("dravo", 7), -12);
  } catch (const DravoException& e) {
    EXPECT_EQ("dravo\r\n>>-12", e.Message());
    EXPECT_EQ(7, e.FCode);
  }
  try {
    ReRaiseWithCode(std::bad_alloc(), 370);
  } catch (const EOleException&) {
    FAIL();
  } catch (const DravoException&) {
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ("Out of memory" + kSuffix, e.Message());
  }
}

// The message a failed construction shows, taken without allocating: the
// way there must not fail when memory is what ran short.
TEST(CopyMessageOf, CopiesCutsAndNeverThrows) {
  static_assert(noexcept(CopyMessageOf(std::declval<const std::exception&>(), nullptr, 0)));
  char out[8];
  CopyMessageOf(std::bad_alloc(), out, sizeof out);
  EXPECT_STREQ("Out of ", out);
  CopyMessageOf(Exception("short"), out, sizeof out);
  EXPECT_STREQ("short", out);
  CopyMessageOf(Exception(std::string(100, 'x')), out, sizeof out);
  EXPECT_STREQ("xxxxxxx", out);
  CopyMessageOf(std::runtime_error("std"), out, 1);
  EXPECT_STREQ("", out);
}

// A scripted InternetCombineUrlA: answers from a queue and records calls.
struct Answer {
  BOOL ok;
  DWORD size;
  const char* text;
};
std::vector<Answer> answers;
std::vector<std::string> calls;

BOOL Scripted(LPCSTR base, LPCSTR relative, LPSTR buffer, DWORD* size, DWORD flags) {
  calls.push_back(std::string(base) + "|" + relative + "|" + (buffer ? "buffer" : "null") + "|" +
                  std::to_string(*size) + "|" + std::to_string(flags));
  const Answer a = answers.at(0);
  answers.erase(answers.begin());
  if (a.text != nullptr) std::strcpy(buffer, a.text);
  *size = a.size;
  return a.ok;
}

BOOL Throwing(LPCSTR, LPCSTR, LPSTR, DWORD*, DWORD) {
  throw DravoException("inside", 9);
}
BOOL ThrowingOther(LPCSTR, LPCSTR, LPSTR, DWORD*, DWORD) {
  throw 17;
}

class CombineUrlProtocol : public testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    answers.clear();
    previous_ = KelReplaceInternetCombineUrl(Scripted);
  }
  void TearDown() override { KelReplaceInternetCombineUrl(previous_); }
  KelCombineUrlFunction previous_ = nullptr;
};

TEST_F(CombineUrlProtocol, AsksForTheSizeThenFillsTheBuffer) {
  answers = {{FALSE, 12, nullptr}, {TRUE, 11, "http://a/b/"}};
  EXPECT_EQ("http://a/b/", CombineUrl("http://a/", "b/"));
  EXPECT_EQ((std::vector<std::string>{"http://a/|b/|null|0|0", "http://a/|b/|buffer|12|0"}), calls);
}

TEST_F(CombineUrlProtocol, SuccessWithoutBufferGivesEmpty) {
  answers = {{TRUE, 0, nullptr}};
  EXPECT_EQ("", CombineUrl("http://a/", "b"));
  EXPECT_EQ(1u, calls.size());
}

TEST_F(CombineUrlProtocol, SizeZeroMakesSecondCallWithoutBuffer) {
  answers = {{FALSE, 0, nullptr}, {FALSE, 0, nullptr}};
  EXPECT_EQ("", CombineUrl("", ""));
  EXPECT_EQ((std::vector<std::string>{"||null|0|0", "||null|0|0"}), calls);
}

TEST_F(CombineUrlProtocol, SecondFailureGivesEmpty) {
  answers = {{FALSE, 5, nullptr}, {FALSE, 9, nullptr}};
  EXPECT_EQ("", CombineUrl("x", "y"));
}

TEST_F(CombineUrlProtocol, FailuresInsideGetThePositionCode) {
  KelReplaceInternetCombineUrl(Throwing);
  try {
    CombineUrl("http://a/", "b");
    FAIL();
  } catch (const DravoException& e) {
    EXPECT_EQ("inside" + kSuffix, e.Message());
    EXPECT_EQ(9, e.FCode);
  }
  // What is not of the general kind passes untouched.
  KelReplaceInternetCombineUrl(ThrowingOther);
  EXPECT_THROW(CombineUrl("http://a/", "b"), int);
}

struct ResolveCase {
  const char* base;
  const char* relative;
  const char* result;  // empty: no URL
  friend void PrintTo(const ResolveCase& c, std::ostream* os) {
    *os << c.base << " + " << c.relative;
  }
};

class Resolve : public testing::TestWithParam<ResolveCase> {};

TEST_P(Resolve, CombinesAsWinInetDoes) {
  const ResolveCase& c = GetParam();
  EXPECT_EQ(c.result, CombineUrl(c.base, c.relative)) << c.base << " + " << c.relative;
}

// RFC 3986's examples, spaces and other unsafe characters, failures.
INSTANTIATE_TEST_SUITE_P(
    Table, Resolve,
    testing::Values(ResolveCase{"http://a/b/c/d;p?q", "g", "http://a/b/c/g"},
                    ResolveCase{"http://a/b/c/d;p?q", "./g", "http://a/b/c/g"},
                    ResolveCase{"http://a/b/c/d;p?q", "g/", "http://a/b/c/g/"},
                    ResolveCase{"http://a/b/c/d;p?q", "/g", "http://a/g"},
                    ResolveCase{"http://a/b/c/d;p?q", "//g", "http://g"},
                    ResolveCase{"http://a/b/c/d;p?q", "?y", "http://a/b/c/d;p?y"},
                    ResolveCase{"http://a/b/c/d;p?q", "#s", "http://a/b/c/d;p?q#s"},
                    ResolveCase{"http://a/b/c/d;p?q", "../../g", "http://a/g"},
                    ResolveCase{"http://a/b/c/d;p?q", "../../../g", "http://a/g"},
                    ResolveCase{"http://a/b/c/d;p?q", "g/../h/./i", "http://a/b/c/h/i"},
                    ResolveCase{"http://a/b/c/d;p?q", "", "http://a/b/c/d;p?q"},
                    ResolveCase{"http://a/b/", "http://other/x/../y", "http://other/y"},
                    ResolveCase{"http://a/b/", "my file.gif", "http://a/b/my%20file.gif"},
                    ResolveCase{"http://a/b/", "a\"b<c>\xE4.gif", "http://a/b/a%22b%3Cc%3E%E4.gif"},
                    ResolveCase{"http://a/b/", "100%.gif", "http://a/b/100%25.gif"},
                    ResolveCase{"http://a/b/", "x%41.gif", "http://a/b/x%41.gif"},
                    ResolveCase{"http://a/b/", "g#x#y", "http://a/b/g#x%23y"},
                    ResolveCase{"http://a/b/", "p[1].gif", "http://a/b/p%5B1%5D.gif"},
                    ResolveCase{"", "http://a/b", "http://a/b"}, ResolveCase{"", "b.gif", ""},
                    ResolveCase{"not a base", "b.gif", ""}));

TEST(StringList, SortedIgnoresDuplicatesAndLooksUpNames) {
  TStringList list;
  list.SetSorted(true);
  list.SetIgnoreDuplicates(true);
  list.Add("m=http://x/b.gif");
  list.Add("M=http://x/a.gif");
  list.Add("m=HTTP://X/B.GIF");  // equal ignoring case: skipped
  list.Add("a=b=c");
  ASSERT_EQ(3, list.Count());
  EXPECT_EQ("a=b=c", list[0]);
  EXPECT_EQ("M=http://x/a.gif", list[1]);
  EXPECT_EQ("m=http://x/b.gif", list[2]);
  EXPECT_EQ("http://x/a.gif", list.Value("m"));
  EXPECT_EQ("b=c", list.Value("A"));
  EXPECT_EQ("", list.Value("a=b"));
  EXPECT_EQ("", list.Value("none"));
  EXPECT_EQ(1, list.IndexOf("m=HTTP://x/A.gif"));
  EXPECT_EQ(-1, list.IndexOf("m="));
}

TEST(AttributeInteger, ReadsDecimalAndHexadecimalOrGivesMinusOne) {
  struct {
    const char* text;
    std::int32_t value;
  } cases[] = {{"468", 468},
               {"  60", 60},
               {"+5", 5},
               {"-5", -5},
               {"007", 7},
               {"$1D4", 468},
               {"x3c", 60},
               {"X3C", 60},
               {"0x3C", 60},
               {"0X3c", 60},
               {"-$10", -16},
               {"$FFFFFFFF", -1},
               {"$80000000", INT32_MIN},
               {"2147483647", INT32_MAX},
               {"-2147483648", INT32_MIN},
               {"2147483648", -1},
               {"$100000000", -1},
               {"", -1},
               {" ", -1},
               {"+", -1},
               {"50%", -1},
               {"60 ", -1},
               {"12px", -1},
               {"0x", -1},
               {"$", -1},
               {"\t5", -1},
               {"1.5", -1},
               {"--1", -1},
               {"0x-1", -1},
               {"99999999999999999999", -1}};
  for (const auto& c : cases) EXPECT_EQ(c.value, AttributeInteger(c.text)) << "'" << c.text << "'";
}

}  // namespace
}  // namespace kel
