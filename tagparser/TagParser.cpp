#include "tagparser/TagParser.h"

namespace kel {

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return result;
}

namespace {

enum State {
  kTagName = 0,
  kBeforeAttribute = 1,
  kAfterAttributeName = 2,
  kAttributeName = 3,
  kAfterEquals = 4,
  kUnquotedValue = 5,
  kSingleQuotedValue = 6,
  kDoubleQuotedValue = 7,
};

bool IsWhiteSpace(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

}  // namespace

std::string_view TagNameText(const char* text, std::size_t length) {
  std::size_t p = 1;
  while (p < length - 1 && text[p] != '>' && !IsWhiteSpace(text[p])) ++p;
  return {text + 1, p - 1};
}

bool TagNameIs(std::string_view name, std::string_view upper) {
  if (name.size() != upper.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

int ParseTagText(const char* text, int length, std::string& name, TStringList& names,
                 TStringList& values) {
  name.clear();
  names.Clear();
  values.Clear();
  int state = kTagName;
  int s = 1;
  int p = 1;
  // The text from s to p: positions s to p - 1, empty when s >= p.
  auto piece = [&]() {
    return std::string_view(text + s, p > s ? static_cast<std::size_t>(p - s) : 0);
  };

  while (p < length - 1 && text[p] != '>') {
    const char c = text[p];
    const bool space = IsWhiteSpace(c);
    switch (state) {
      case kTagName:
        if (space) {
          name = UpperCaseAscii(piece());
          state = kBeforeAttribute;
        }
        break;
      case kBeforeAttribute:
        if (space) break;
        if (c == '=') return -1;
        s = p;
        state = kAttributeName;
        break;
      case kAfterAttributeName:
        if (space) break;
        if (c == '=') {
          state = kAfterEquals;
          break;
        }
        values.Add(std::string());
        s = p;
        state = kAttributeName;
        break;
      case kAttributeName:
        if (space || c == '=') {
          names.Add(UpperCaseAscii(piece()));
          state = space ? kAfterAttributeName : kAfterEquals;
        }
        break;
      case kAfterEquals:
        if (space) break;
        if (c == '=') return -1;
        if (c == '"') {
          s = p + 1;
          state = kDoubleQuotedValue;
        } else if (c == '\'') {
          s = p + 1;
          state = kSingleQuotedValue;
        } else {
          s = p;
          state = kUnquotedValue;
        }
        break;
      case kUnquotedValue:
        if (space) {
          values.Add(std::string(piece()));
          state = kBeforeAttribute;
        }
        break;
      case kSingleQuotedValue:
        if (c == '\'') {
          values.Add(std::string(piece()));
          state = kBeforeAttribute;
        }
        break;
      case kDoubleQuotedValue:
        if (c == '"') {
          values.Add(std::string(piece()));
          state = kBeforeAttribute;
        }
        break;
    }
    ++p;
  }

  switch (state) {
    case kTagName:
      name = UpperCaseAscii(piece());
      return 0;
    case kAttributeName:
      names.Add(UpperCaseAscii(piece()));
      return 0;
    case kUnquotedValue:
      values.Add(std::string(piece()));
      return 0;
    case kAfterEquals:
    case kSingleQuotedValue:
    case kDoubleQuotedValue:
      return -1;
    default:
      return 0;
  }
}

bool TTagParser::Parse(const char* text, int length) {
  FTagName.clear();
  if (length < 2) {
    // Outside the splitter's contract: nothing to read.
    FAttrNames.Clear();
    FAttrValues.Clear();
    return false;
  }
  return ParseTagText(text, length, FTagName, FAttrNames, FAttrValues) == 0;
}

const std::string& TTagParser::GetAttribute(std::string_view name) const {
  static const std::string kNone;
  // The list compares ignoring case already: no upper-cased copy needed.
  const int index = FAttrNames.IndexOf(name);
  if (index >= 0 && index < FAttrValues.Count()) return FAttrValues[index];
  return kNone;
}

}  // namespace kel
