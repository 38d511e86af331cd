#include "platform/Text.h"

#include <climits>
#include <stdexcept>

namespace kel {

std::string WideToAnsi(LPCWSTR text) {
  if (text == nullptr || text[0] == 0) return {};
  const int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return {};
  std::string result(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), needed, nullptr, nullptr);
  result.resize(static_cast<std::size_t>(needed) - 1);
  return result;
}

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) throw std::length_error("text too long to compare");
  const int r = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.empty() ? "" : a.data(),
                               static_cast<int>(a.size()), b.empty() ? "" : b.data(),
                               static_cast<int>(b.size()));
  return r - CSTR_EQUAL;
}

#ifdef _WIN32
std::wstring ModuleFileName(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return {};  // beyond the longest path there is
    path.resize(path.size() * 2);
  }
}
#endif

}  // namespace kel
