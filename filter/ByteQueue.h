// A growable byte buffer used as a queue: bytes are appended at the end and
// consumed from the front. Consuming only moves an offset; the live bytes
// are moved down when the consumed part is at least as large as they are, so
// every byte is moved a bounded number of times.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace kel {

class ByteQueue {
 public:
  const char* Data() const { return bytes_.data() + head_; }
  std::size_t Size() const { return bytes_.size() - head_; }
  bool Empty() const { return Size() == 0; }
  // Bytes allocated, live or not.
  std::size_t Capacity() const { return bytes_.capacity(); }

  // Throws std::bad_alloc when the buffer cannot grow.
  void Append(const char* data, std::size_t count) {
    if (count == 0) return;
    if (head_ > 0 && head_ >= Size()) Compact();
    bytes_.insert(bytes_.end(), data, data + count);
  }

  // Room for count more bytes at the end, to be written in place and then
  // kept with Commit; valid until the next change of the queue.
  char* Prepare(std::size_t count) {
    if (head_ > 0 && head_ >= Size()) Compact();
    pending_ = bytes_.size();
    bytes_.resize(pending_ + count);
    return bytes_.data() + pending_;
  }
  // Keeps the first count bytes written since Prepare; drops the rest.
  void Commit(std::size_t count) { bytes_.resize(pending_ + count); }

  void Consume(std::size_t count) {
    head_ += count < Size() ? count : Size();
    if (head_ == bytes_.size()) Clear();
  }

  // Keeps the capacity for reuse.
  void Clear() {
    bytes_.clear();
    head_ = 0;
  }

 private:
  void Compact() {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

  std::vector<char> bytes_;
  std::size_t head_ = 0;
  std::size_t pending_ = 0;
};

}  // namespace kel
