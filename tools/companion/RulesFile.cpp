#include "tools/companion/RulesFile.h"

#include <climits>
#include <cstdlib>

namespace kelrpc {
namespace {

constexpr char kDefaultRules[] =
    "image * size=468,60 action=3\n"
    "image * size=728,90 action=3\n"
    "image * size=300,250 action=3\n"
    "image * size=336,280 action=3\n"
    "image * size=160,600 action=3\n"
    "image * size=120,600 action=3\n"
    "image * size=234,60 action=3\n"
    "image * size=320,50 action=3\n"
    "image * size=970,90 action=3\n"
    "any *://*/ads/* action=2\n"
    "any *://ads.* action=2\n"
    "any *doubleclick.net/* action=2\n";

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool ParseInteger(std::string_view text, long long low, long long high, long long& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > high + 1) return false;
  }
  if (negative) value = -value;
  if (value < low || value > high) return false;
  out = value;
  return true;
}

bool ParseInt32(std::string_view text, std::int32_t& out) {
  long long v = 0;
  if (!ParseInteger(text, INT32_MIN, INT32_MAX, v)) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

bool ParseSizePart(std::string_view text, std::optional<std::int32_t>& out) {
  if (text == "*") {
    out.reset();
    return true;
  }
  std::int32_t v = 0;
  if (!ParseInt32(text, v)) return false;
  out = v;
  return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] == '#') break;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// Parses one non-empty line into rules; returns an error text, or empty.
std::string ParseLine(const std::vector<std::string_view>& f, RuleSet& set) {
  const std::string_view keyword = f[0];
  if (keyword == "binding" || keyword == "binding-status") {
    if (f.size() != 2) return std::string(keyword) + " takes one number";
    long long v = 0;
    if (keyword == "binding") {
      if (!ParseInteger(f[1], 0, UINT32_MAX, v)) return "bad binding value";
      set.binding = static_cast<std::uint32_t>(v);
    } else {
      if (!ParseInteger(f[1], INT32_MIN, INT32_MAX, v)) return "bad binding-status value";
      set.bindingStatus = static_cast<std::int32_t>(v);
    }
    return {};
  }

  Rule rule;
  if (keyword == "image")
    rule.kind = Kind::kImage;
  else if (keyword == "html")
    rule.kind = Kind::kHtml;
  else if (keyword == "flash")
    rule.kind = Kind::kFlash;
  else if (keyword == "note")
    rule.kind = Kind::kNote;
  else if (keyword == "any")
    rule.kind = Kind::kAny;
  else
    return "unknown keyword '" + std::string(keyword) + "'";
  if (f.size() < 2) return "a rule needs a URL pattern";
  rule.glob = std::string(f[1]);

  bool decided = false;
  for (std::size_t i = 2; i < f.size(); ++i) {
    const std::string_view field = f[i];
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return "unknown field '" + std::string(field) + "'";
    const std::string_view name = field.substr(0, eq);
    const std::string_view value = field.substr(eq + 1);
    if (name == "size") {
      const std::size_t comma = value.find(',');
      if (rule.hasSize || comma == std::string_view::npos ||
          !ParseSizePart(value.substr(0, comma), rule.width) ||
          !ParseSizePart(value.substr(comma + 1), rule.height))
        return "bad size field '" + std::string(field) + "'";
      rule.hasSize = true;
    } else if (name == "href" || name == "doc") {
      std::optional<std::string>& target = name == "href" ? rule.href : rule.doc;
      if (target) return "repeated field '" + std::string(name) + "'";
      target = std::string(value);
    } else if (name == "action" || name == "status") {
      if (decided) return "a rule takes one action= or status=";
      if (!ParseInt32(value, rule.value)) return "bad number in '" + std::string(field) + "'";
      rule.givesStatus = name == "status";
      decided = true;
    } else {
      return "unknown field '" + std::string(field) + "'";
    }
  }
  if (!decided) return "a rule needs action= or status=";
  set.rules.push_back(std::move(rule));
  return {};
}

bool KindMatches(Kind kind, const Call& call) {
  switch (kind) {
    case Kind::kAny:
      return true;
    case Kind::kNote:
      return call.note;
    case Kind::kImage:
      return !call.note && call.type == "image/*";
    case Kind::kHtml:
      return !call.note && call.type == "text/html";
    case Kind::kFlash:
      return !call.note && call.type == "application/x-shockwave-flash";
  }
  return false;
}

}  // namespace

std::string EscapeLogField(std::string_view text) {
  std::string field;
  field.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\t':
        field += "\\t";
        break;
      case '\r':
        field += "\\r";
        break;
      case '\n':
        field += "\\n";
        break;
      case '\\':
        field += "\\\\";
        break;
      default:
        field += c;
    }
  }
  return field;
}

bool GlobMatch(std::string_view glob, std::string_view text) {
  if (glob == "*") return true;
  std::size_t g = 0, t = 0;
  std::size_t starG = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (g < glob.size() && glob[g] == '*') {
      starG = g++;
      starT = t;
    } else if (g < glob.size() && (glob[g] == '?' || Lower(glob[g]) == Lower(text[t]))) {
      ++g;
      ++t;
    } else if (starG != std::string_view::npos) {
      g = starG + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == '*') ++g;
  return g == glob.size();
}

RuleSet ParseRules(std::string_view text, const std::string& fileName) {
  RuleSet set;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string_view> fields = Fields(line);
    if (fields.empty()) continue;
    const std::string error = ParseLine(fields, set);
    if (!error.empty()) {
      set.error = fileName + ":" + std::to_string(lineNumber) + ": " + error;
      set.rules.clear();
      return set;
    }
  }
  return set;
}

RuleSet DefaultRules() {
  return ParseRules(kDefaultRules, "(built-in rules)");
}

Decision Decide(const RuleSet& rules, const Call& call) {
  for (const Rule& rule : rules.rules) {
    if (!KindMatches(rule.kind, call)) continue;
    // The size first: it is cheaper than the glob, and every condition must hold.
    if (rule.hasSize &&
        ((rule.width && *rule.width != call.width) || (rule.height && *rule.height != call.height)))
      continue;
    if (!GlobMatch(rule.glob, call.url)) continue;
    if (rule.href && !GlobMatch(*rule.href, call.href)) continue;
    if (rule.doc && !GlobMatch(*rule.doc, call.documentUrl)) continue;
    if (rule.givesStatus) return Decision{rule.value, std::nullopt};
    return Decision{0, rule.value};
  }
  return Decision{0, 0};
}

}  // namespace kelrpc
