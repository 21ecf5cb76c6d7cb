// Working vectors of the native loops, kept from call to call on each thread.
//
// A call that allocates megabytes and frees them on return lets the
// allocator give the memory back to the system and take it again next time:
// page faults on every call and, with several threads, address-space changes
// that stall all of them. A Scratch borrows this thread's spare vector of its
// type and tag, and gives it back emptied but with its room, unless that is
// more than kScratchKeepBytes (so a rare huge call keeps nothing).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace orvex {

inline constexpr size_t kScratchKeepBytes = size_t{4} << 20;

// T must be trivially destructible: the vector is emptied wherever the
// Scratch ends, with or without the interpreter lock.
template <class T, class Tag = void>
class Scratch {
 public:
  Scratch() : items_(std::move(spare())) { items_.clear(); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    items_.clear();
    if (items_.capacity() * sizeof(T) <= kScratchKeepBytes) spare() = std::move(items_);
  }

  std::vector<T>& operator*() { return items_; }
  const std::vector<T>& operator*() const { return items_; }
  std::vector<T>* operator->() { return &items_; }
  const std::vector<T>* operator->() const { return &items_; }

 private:
  static std::vector<T>& spare() {
    thread_local std::vector<T> kept;
    return kept;
  }

  std::vector<T> items_;
};

}  // namespace orvex
