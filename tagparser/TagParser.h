// Turns the text of one tag into its upper-cased name and two parallel lists:
// the upper-cased attribute names and the values as written, quotes removed.
// No entity decoding, no trimming, no case folding of values.
#pragma once

#include <string>
#include <string_view>

#include "support/StringList.h"

namespace kel {

// The scanner: an eight-state machine over text[1, length - 1), stopping early
// at the first ">". Returns 0, or -1 on a syntax error, with what was stored
// before the error left in place.
int ParseTagText(const char* text, int length, std::string& name, TStringList& names,
                 TStringList& values);

class TTagParser {
 public:
  // True when the tag parsed without a syntax error. Reads text[0, length).
  bool Parse(const char* text, int length);

  const std::string& TagName() const { return FTagName; }

  // The value of the first attribute of that name (any case), or empty;
  // valid until the next Parse.
  const std::string& GetAttribute(std::string_view name) const;

  const TStringList& AttrNames() const { return FAttrNames; }
  const TStringList& AttrValues() const { return FAttrValues; }

 private:
  std::string FTagName;
  TStringList FAttrNames;
  TStringList FAttrValues;
};

// Upper-cases the ASCII letters "a" to "z" only.
std::string UpperCaseAscii(std::string_view text);

// The tag's name as Parse reads it, without parsing the rest and without
// upper-casing: from after "<" to the first white space or ">", never
// including the tag's last byte. length is at least 2.
std::string_view TagNameText(const char* text, std::size_t length);

// name, with "a" to "z" upper-cased as TagName() has them, equals upper.
bool TagNameIs(std::string_view name, std::string_view upper);

}  // namespace kel
