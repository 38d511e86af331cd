// An ordered list of strings whose comparisons ignore case as the platform's
// string lists do (kel::CompareTextIgnoreCase). A sorted list inserts at the
// sorted place; set to ignore duplicates, it skips an entry equal to one
// already present.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kel {

class TStringList {
 public:
  void SetSorted(bool sorted);
  void SetIgnoreDuplicates(bool ignore) { ignoreDuplicates_ = ignore; }

  // Returns the entry's index (that of the equal entry when one was skipped).
  int Add(std::string text);
  void Clear() { items_.clear(); }

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const {
    return items_.at(static_cast<std::size_t>(index));
  }

  // The index of the first entry equal to text ignoring case, or -1.
  int IndexOf(std::string_view text) const;

  // Name=value lookup: the text after the first "=" of the first entry whose
  // part before it equals name ignoring case; empty when there is none.
  std::string Value(std::string_view name) const;

 private:
  // Binary search: true when found; index is where text is or belongs.
  bool Find(std::string_view text, std::size_t& index) const;

  std::vector<std::string> items_;
  bool sorted_ = false;
  bool ignoreDuplicates_ = false;
};

}  // namespace kel
