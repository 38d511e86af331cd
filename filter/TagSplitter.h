// Cuts the front of the filter's input into the text run before the first
// "<" and the first complete tag after it. Only "<", ">" and the comment
// opener "<!--" mean anything here: a comment ends at a ">" that is at least
// the seventh byte of the tag and follows "--".
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

struct TTextAndTag {
  const char* TextStart = nullptr;  // the buffer's start when TextLength > 0
  std::uint32_t TextLength = 0;     // bytes before the first "<"
  const char* TagStart = nullptr;   // the first "<" when a complete tag was found
  std::uint32_t TagLength = 0;      // "<" through the closing ">"; 0 when none
};

// One stateless pass over buffer[0, length). A length of 0 or less reads nothing.
TTextAndTag SplitTextAndTag(const char* buffer, std::int32_t length);

// The same scan, resumable: the read loop keeps one across reads so that a
// pending incomplete tag is not scanned again from its "<" each time more
// bytes arrive. Scan must see the same bytes at the positions it has
// already scanned, so the caller only appends between calls, or tells the
// scanner what it removed from the front.
class TagScanner {
 public:
  // Continues over data[0, size). True when a complete tag has been found;
  // TextLength() and TagLength() then describe it.
  bool Scan(const char* data, std::size_t size);

  // Bytes of the text run: before the first "<", or all bytes scanned when
  // there is none.
  std::size_t TextLength() const { return text_; }
  std::size_t TagLength() const { return complete_ ? scanned_ - text_ : 0; }

  // The caller removed the text run from the front.
  void DropText() {
    scanned_ -= text_;
    text_ = 0;
  }
  // The caller removed everything scanned from the front.
  void Reset() { *this = TagScanner(); }

 private:
  enum class State { kText, kTagHead, kTag, kComment };

  State state_ = State::kText;
  bool complete_ = false;
  std::size_t scanned_ = 0;  // bytes examined so far
  std::size_t text_ = 0;     // text run length; the tag starts there
};

}  // namespace kel
