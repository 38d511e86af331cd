// A growable byte buffer used as a queue: bytes are appended at the end and
// consumed from the front. Consuming only moves an offset; the live bytes
// are moved down when the consumed part is at least as large as they are, so
// every byte is moved a bounded number of times. The buffer is never filled
// with zeros: room handed out by Prepare costs nothing until it is written.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace kel {

class ByteQueue {
 public:
  const char* Data() const { return bytes_.get() + head_; }
  std::size_t Size() const { return tail_ - head_; }
  bool Empty() const { return tail_ == head_; }
  // Bytes allocated, live or not.
  std::size_t Capacity() const { return capacity_; }

  // Throws std::bad_alloc when the buffer cannot grow.
  void Append(const char* data, std::size_t count) {
    if (count == 0) return;
    std::memcpy(Room(count), data, count);
    tail_ += count;
  }

  // Room for count more bytes at the end, to be written in place and then
  // kept with Commit; valid until the next change of the queue.
  char* Prepare(std::size_t count) { return Room(count); }
  // Keeps the first count bytes written since Prepare.
  void Commit(std::size_t count) { tail_ += count; }

  void Consume(std::size_t count) {
    head_ += count < Size() ? count : Size();
    if (head_ == tail_) Clear();
  }

  // Keeps the capacity for reuse.
  void Clear() { head_ = tail_ = 0; }

 private:
  // Makes room for count bytes after the live ones and returns where.
  char* Room(std::size_t count) {
    if (head_ > 0 && head_ >= Size()) {
      std::memmove(bytes_.get(), bytes_.get() + head_, Size());
      tail_ -= head_;
      head_ = 0;
    }
    if (capacity_ - tail_ < count) {
      std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
      while (capacity - tail_ < count) {
        if (capacity > (static_cast<std::size_t>(-1) >> 1)) throw std::bad_alloc();
        capacity *= 2;
      }
      // realloc: a large block grows in place or has its pages moved, not
      // copied and touched afresh.
      void* bytes = std::realloc(bytes_.get(), capacity);
      if (bytes == nullptr) throw std::bad_alloc();
      bytes_.release();
      bytes_.reset(static_cast<char*>(bytes));
      capacity_ = capacity;
    }
    return bytes_.get() + tail_;
  }

  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> bytes_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
};

}  // namespace kel
