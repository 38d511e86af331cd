// The sample companion's rules: which answer each call gets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelrpc {

enum class Kind { kImage, kHtml, kFlash, kNote, kAny };

struct Rule {
  Kind kind = Kind::kAny;
  std::string glob;  // the resource (or image) URL
  bool hasSize = false;
  std::optional<std::int32_t> width;  // nullopt: "*"
  std::optional<std::int32_t> height;
  std::optional<std::string> href;
  std::optional<std::string> doc;
  bool givesStatus = false;  // status=N instead of action=N
  std::int32_t value = 0;
};

struct RuleSet {
  std::uint32_t binding = 1;
  std::int32_t bindingStatus = 0;
  std::vector<Rule> rules;
  std::string error;  // non-empty: the file could not be used; says why and where
};

// One call as the rules see it. A NoteResourceWithHref call has no type, a
// size of -1,-1 and an empty document URL.
struct Call {
  bool note = false;
  std::string_view url;
  std::string_view type;
  std::string_view documentUrl;
  std::string_view href;
  std::int32_t width = -1;
  std::int32_t height = -1;
};

struct Decision {
  std::int32_t status = 0;
  std::optional<std::int32_t> action;  // nullopt: left as it was
};

RuleSet ParseRules(std::string_view text, const std::string& fileName);
RuleSet DefaultRules();
Decision Decide(const RuleSet& rules, const Call& call);

// A text as a field of the call log: TAB, CR, LF and backslash written as
// "\t", "\r", "\n" and "\\", so that a call stays one line whatever its
// URLs hold.
std::string EscapeLogField(std::string_view text);

// "*" any run (also none), "?" one character, all else itself, ASCII case ignored.
bool GlobMatch(std::string_view glob, std::string_view text);

}  // namespace kelrpc
