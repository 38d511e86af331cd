#include <gtest/gtest.h>

#include "tagparser/TagParser.h"

namespace kel {
namespace {

std::vector<std::string> Items(const TStringList& list) {
  std::vector<std::string> items;
  for (int i = 0; i < list.Count(); ++i) items.push_back(list[i]);
  return items;
}

struct ParseCase {
  std::string text;
  std::string name;
  std::vector<std::string> names;
  std::vector<std::string> values;
  bool ok;
  friend void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.text; }
};

class Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Parse, GivesNameAttributesAndResult) {
  const ParseCase& c = GetParam();
  TTagParser parser;
  parser.Parse("<img src=\"old\" width=1>", 23);  // nothing of it may remain
  EXPECT_EQ(c.ok, parser.Parse(c.text.data(), static_cast<int>(c.text.size())));
  EXPECT_EQ(c.name, parser.TagName());
  EXPECT_EQ(c.names, Items(parser.AttrNames()));
  EXPECT_EQ(c.values, Items(parser.AttrValues()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Parse,
    testing::Values(
        ParseCase{"<img src=\"a.gif\" width=10>", "IMG", {"SRC", "WIDTH"}, {"a.gif", "10"}, true},
        ParseCase{"<A HREF='x'>", "A", {"HREF"}, {"x"}, true},
        ParseCase{"<br>", "BR", {}, {}, true}, ParseCase{"</MAP>", "/MAP", {}, {}, true},
        ParseCase{"<img =x>", "IMG", {}, {}, false},
        ParseCase{"<input disabled name=a>", "INPUT", {"DISABLED", "NAME"}, {"", "a"}, true},
        ParseCase{"<input disabled>", "INPUT", {"DISABLED"}, {}, true},
        ParseCase{"<input disabled >", "INPUT", {"DISABLED"}, {}, true},
        ParseCase{"<a href=\"x>", "A", {"HREF"}, {}, false},
        ParseCase{"<img src=>", "IMG", {"SRC"}, {}, false},
        ParseCase{"<img src=\"a\" =x>", "IMG", {"SRC"}, {"a"}, false},
        ParseCase{"<a b==c>", "A", {"B"}, {}, false},
        ParseCase{"<img src=\"a\" src=\"b\">", "IMG", {"SRC", "SRC"}, {"a", "b"}, true},
        ParseCase{"<a href = \"x\">", "A", {"HREF"}, {"x"}, true},
        ParseCase{"<a x=\"1\"y=2>", "A", {"X", "Y"}, {"1", "2"}, true},
        ParseCase{"<p title='it\"s'>", "P", {"TITLE"}, {"it\"s"}, true},
        ParseCase{"<img alt=\"\">", "IMG", {"ALT"}, {""}, true},
        ParseCase{"<br/>", "BR/", {}, {}, true}, ParseCase{"<br />", "BR", {"/"}, {}, true},
        ParseCase{"<img src=a.gif/>", "IMG", {"SRC"}, {"a.gif/"}, true},
        ParseCase{"<>", "", {}, {}, true},
        ParseCase{"< img src=x>", "", {"IMG", "SRC"}, {"", "x"}, true},
        ParseCase{"<!DOCTYPE html>", "!DOCTYPE", {"HTML"}, {}, true},
        ParseCase{"<!-- a > b -->", "!--", {"A"}, {}, true},
        ParseCase{"<td\tvalign=top\r\n>", "TD", {"VALIGN"}, {"top"}, true},
        ParseCase{"<a\vhref=x>", "A\vHREF=X", {}, {}, true},
        ParseCase{"<img src=x", "IMG", {"SRC"}, {}, false}, ParseCase{"<ab", "A", {}, {}, true},
        // Only ASCII letters change case; values keep theirs.
        ParseCase{"<\xE4mg S\xC4=V\xE4>", "\xE4MG", {"S\xC4"}, {"V\xE4"}, true},
        ParseCase{"<a href='x' title=\"y\">", "A", {"HREF", "TITLE"}, {"x", "y"}, true}));

struct LookupCase {
  std::string text;
  std::string name;
  std::string value;
  friend void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.text << " " << c.name; }
};

class Lookup : public testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, FindsFirstAttributeOfThatName) {
  const LookupCase& c = GetParam();
  TTagParser parser;
  parser.Parse(c.text.data(), static_cast<int>(c.text.size()));
  EXPECT_EQ(c.value, parser.GetAttribute(c.name));
}

INSTANTIATE_TEST_SUITE_P(Table, Lookup,
                         testing::Values(LookupCase{"<IMG Src=\"A.GIF\">", "src", "A.GIF"},
                                         LookupCase{"<img src=\"a\" src=\"b\">", "SRC", "a"},
                                         LookupCase{"<input disabled name=a>", "disabled", ""},
                                         LookupCase{"<input disabled name=a>", "Name", "a"},
                                         LookupCase{"<input disabled>", "DISABLED", ""},
                                         LookupCase{"<img src=x>", "WIDTH", ""}));

TEST(TagParser, ReadsNothingBeyondTheText) {
  // The text ends where the splitter's tag ends; no terminator follows.
  const std::string page = "<img src=x>";
  std::vector<char> exact(page.begin(), page.end());
  TTagParser parser;
  EXPECT_TRUE(parser.Parse(exact.data(), static_cast<int>(exact.size())));
  EXPECT_EQ("x", parser.GetAttribute("SRC"));
  EXPECT_FALSE(parser.Parse(exact.data(), 1));
  EXPECT_EQ("", parser.TagName());
}

// The name the rules read in place is the name Parse gives.
TEST(TagNameText, AgreesWithTheParser) {
  for (const std::string tag : {"<img src=a>", "<IMG>", "<a\thref=x>", "<Map\nname=m>", "</a>",
                                "<>", "<x", "<ab>c>", "<iframe",
                                "<\xE4"
                                "Bc d>"}) {
    TTagParser parser;
    parser.Parse(tag.data(), static_cast<int>(tag.size()));
    const std::string_view name = TagNameText(tag.data(), tag.size());
    EXPECT_EQ(parser.TagName(), UpperCaseAscii(name)) << tag;
    EXPECT_TRUE(TagNameIs(name, parser.TagName())) << tag;
  }
  EXPECT_FALSE(TagNameIs("img", "IMGX"));
  EXPECT_FALSE(TagNameIs("\xE4", "\xC4"));
}

}  // namespace
}  // namespace kel
