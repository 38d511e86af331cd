#include "support/StringList.h"

#include <algorithm>

#include "platform/Text.h"

namespace kel {

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_)
    std::sort(items_.begin(), items_.end(), [](const std::string& a, const std::string& b) {
      return CompareTextIgnoreCase(a, b) < 0;
    });
  sorted_ = sorted;
}

bool TStringList::Find(std::string_view text, std::size_t& index) const {
  std::size_t low = 0;
  std::size_t high = items_.size();
  bool found = false;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    const int c = CompareTextIgnoreCase(items_[mid], text);
    if (c < 0) {
      low = mid + 1;
    } else {
      if (c == 0) found = true;
      high = mid;
    }
  }
  index = low;
  return found;
}

int TStringList::Add(std::string text) {
  std::size_t index = items_.size();
  if (sorted_ && Find(text, index) && ignoreDuplicates_) return static_cast<int>(index);
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(text));
  return static_cast<int>(index);
}

int TStringList::IndexOf(std::string_view text) const {
  if (sorted_) {
    std::size_t index = 0;
    return Find(text, index) ? static_cast<int>(index) : -1;
  }
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (CompareTextIgnoreCase(items_[i], text) == 0) return static_cast<int>(i);
  return -1;
}

std::string TStringList::Value(std::string_view name) const {
  for (const std::string& item : items_) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    if (CompareTextIgnoreCase(std::string_view(item).substr(0, eq), name) == 0)
      return item.substr(eq + 1);
  }
  return {};
}

}  // namespace kel
