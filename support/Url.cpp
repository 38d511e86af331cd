#include "support/Url.h"

#include <cstring>
#include <vector>

#include "platform/Platform.h"
#include "support/Exceptions.h"

namespace kel {

std::string CombineUrl(const std::string& base, const std::string& relative) {
  try {
    std::string result;
    DWORD size = 0;
    // The first call, without a buffer, only learns the size needed.
    if (InternetCombineUrlA(base.c_str(), relative.c_str(), nullptr, &size, 0)) return result;
    std::vector<char> buffer(size, '\0');
    if (InternetCombineUrlA(base.c_str(), relative.c_str(), size > 0 ? buffer.data() : nullptr,
                            &size, 0))
      result.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    return result;
  } catch (const std::exception& e) {
    ReRaiseWithCode(e, kCombineUrlPosition);
  }
}

}  // namespace kel
