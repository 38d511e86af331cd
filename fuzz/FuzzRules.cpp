// The companion's rules-file parser on any bytes: rules, or one line that
// says what is wrong and where; never a crash. The rules it gives then
// decide a few calls.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/companion/RulesFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kelrpc::RuleSet rules = kelrpc::ParseRules(text, "fuzz.rules");
  if (!rules.error.empty()) {
    if (rules.error.find('\n') != std::string::npos || rules.error.rfind("fuzz.rules:", 0) != 0)
      std::abort();
    return 0;
  }
  const kelrpc::Call calls[] = {
      {false, "http://ads.test/a/b.gif", "image/*", "http://doc.test/", "", 468, 60},
      {false, "http://x.test/f.html", "text/html", "http://doc.test/", "", -1, -1},
      {false, "", "application/x-shockwave-flash", "", "", -1, -1},
      {true, "http://x.test/m.gif", "", "", "http://x.test/buy", -1, -1},
  };
  for (const kelrpc::Call& call : calls) kelrpc::Decide(rules, call);
  return 0;
}
