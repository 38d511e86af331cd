// The splitter and the tag parser on any bytes: what they give must hold
// together, and a scan resumed anywhere must agree with one pass.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filter/MimeFilter.h"
#include "filter/TagSplitter.h"
#include "tagparser/TagParser.h"

namespace {
void Require(bool condition) {
  if (!condition) std::abort();
}

// The split as its rules say, a byte at a time: the text before the first
// "<"; a tag ends at the first ">", unless its first four bytes are "<!--",
// when it ends at the first ">" that is at least its seventh byte and
// follows "--". The tag's length, 0 when it does not end.
std::size_t NaiveTagLength(const char* text, std::size_t size, std::size_t lt) {
  bool comment = false;
  for (std::size_t q = lt + 1; q < size; ++q) {
    const std::size_t length = q - lt + 1;
    if (length == 4 && text[q] != '>') comment = std::string(text + lt, 4) == "<!--";
    if (text[q] != '>') continue;
    if (!comment || (length >= 7 && text[q - 1] == '-' && text[q - 2] == '-')) return length;
  }
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const kel::TTextAndTag r = kel::SplitTextAndTag(text, static_cast<std::int32_t>(size));
  Require(r.TextLength + r.TagLength <= size);
  for (std::uint32_t i = 0; i < r.TextLength; ++i) Require(text[i] != '<');
  if (r.TagLength > 0) {
    Require(r.TagStart == text + r.TextLength && r.TagLength >= 2);
    Require(r.TagStart[0] == '<' && r.TagStart[r.TagLength - 1] == '>');
  }

  std::size_t lt = 0;
  while (lt < size && text[lt] != '<') ++lt;
  Require(r.TextLength == lt);
  Require(r.TagLength == (lt < size ? NaiveTagLength(text, size, lt) : 0));

  kel::TagScanner scanner;
  const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
  bool found = scanner.Scan(text, cut);
  if (!found) found = scanner.Scan(text, size);
  Require(found == (r.TagLength > 0));
  Require(scanner.TextLength() == r.TextLength && scanner.TagLength() == r.TagLength);

  if (size >= 2) {
    kel::TTagParser parser;
    parser.Parse(text, static_cast<int>(size));
    const int names = parser.AttrNames().Count();
    const int values = parser.AttrValues().Count();
    Require(values == names || values == names - 1);
    auto clean = [](const std::string& s, bool upper) {
      for (char c : s) {
        if (c == '>') return false;
        if (upper && c >= 'a' && c <= 'z') return false;
      }
      return true;
    };
    Require(clean(parser.TagName(), true));
    // The name read in place is the parser's name.
    Require(kel::UpperCaseAscii(kel::TagNameText(text, size)) == parser.TagName());
    Require(kel::TagNameIs(kel::TagNameText(text, size), parser.TagName()));
    for (int i = 0; i < names; ++i) Require(clean(parser.AttrNames()[i], true));
    for (int i = 0; i < values; ++i) Require(clean(parser.AttrValues()[i], false));
    kel::AttributeInteger(parser.GetAttribute("WIDTH"));
  }
  return 0;
}
