#include "filter/TagSplitter.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kel {

bool TagScanner::Scan(const char* data, std::size_t size) {
  std::size_t p = scanned_;
  while (!complete_ && p < size) {
    switch (state_) {
      case State::kText: {
        const void* lt = std::memchr(data + p, '<', size - p);
        if (lt == nullptr) {
          p = size;
          text_ = size;
          break;
        }
        p = static_cast<std::size_t>(static_cast<const char*>(lt) - data);
        text_ = p;
        ++p;
        state_ = State::kTagHead;
        break;
      }
      case State::kTagHead: {
        // The comment decision is taken when the fourth byte of the tag is
        // scanned, unless that byte (or an earlier one) is ">".
        const char c = data[p++];
        if (c == '>') {
          complete_ = true;
        } else if (p - text_ == 4) {
          state_ = std::memcmp(data + text_, "<!--", 4) == 0 ? State::kComment : State::kTag;
        }
        break;
      }
      case State::kTag: {
        const void* gt = std::memchr(data + p, '>', size - p);
        if (gt == nullptr) {
          p = size;
          break;
        }
        p = static_cast<std::size_t>(static_cast<const char*>(gt) - data) + 1;
        complete_ = true;
        break;
      }
      case State::kComment: {
        // The comment ends at the first "-->" whose ">" is at least the
        // seventh byte of the tag and not yet scanned; its dashes may have
        // been scanned already.
        const std::size_t from = std::max(p, text_ + 6) - 2;
        const std::size_t at = std::string_view(data + from, size - from).find("-->");
        if (at == std::string_view::npos) {
          p = size;
          break;
        }
        p = from + at + 3;
        complete_ = true;
        break;
      }
    }
  }
  scanned_ = p;
  return complete_;
}

TTextAndTag SplitTextAndTag(const char* buffer, std::int32_t length) {
  TTextAndTag result;
  if (length <= 0) return result;
  TagScanner scanner;
  const bool found = scanner.Scan(buffer, static_cast<std::size_t>(length));
  result.TextLength = static_cast<std::uint32_t>(scanner.TextLength());
  if (result.TextLength > 0) result.TextStart = buffer;
  if (found) {
    result.TagStart = buffer + scanner.TextLength();
    result.TagLength = static_cast<std::uint32_t>(scanner.TagLength());
  }
  return result;
}

}  // namespace kel
