#pragma once
// A bounded ring between exactly one producing and one consuming thread,
// with no lock and no allocation after construction: the producer never
// waits for the consumer, it is told how much fitted. Positions count every
// element ever pushed, so that a second ring can name places in this one.
//
// Ours rather than Boost's spsc_queue: the receive engine needs those
// absolute positions to put receive errors at their place in the byte
// stream, and one block of storage it can lock in memory.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

template <typename T>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // Room for `capacity` elements, rounded up to a power of two.
  explicit SpscRing(std::size_t capacity)
      : capacity_(std::bit_ceil(std::max<std::size_t>(capacity, 2))),
        storage_(std::make_unique<T[]>(capacity_)) {}
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  std::size_t Capacity() const { return capacity_; }
  // The storage, for locking it in memory.
  const void* Storage() const { return storage_.get(); }
  std::size_t StorageBytes() const { return capacity_ * sizeof(T); }

  // Producer side. Pushes as many of the n elements as fit; returns how many.
  std::size_t Push(const T* items, std::size_t n) {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    n = std::min<std::size_t>(n, capacity_ - static_cast<std::size_t>(head - tail));
    Copy(storage_.get(), head, items, n);
    head_.store(head + n, std::memory_order_release);
    return n;
  }
  std::size_t Free() const {
    return capacity_ - static_cast<std::size_t>(head_.load(std::memory_order_relaxed) -
                                                tail_.load(std::memory_order_acquire));
  }
  // Elements pushed since construction: the position of the next one.
  std::uint64_t Pushed() const { return head_.load(std::memory_order_acquire); }

  // Consumer side. Elements popped since construction: the position of the
  // next one to take.
  std::uint64_t Popped() const { return tail_.load(std::memory_order_relaxed); }
  std::size_t Available() const {
    return static_cast<std::size_t>(head_.load(std::memory_order_acquire) -
                                    tail_.load(std::memory_order_relaxed));
  }
  // Copies out up to `max` elements without taking them.
  std::size_t Peek(T* out, std::size_t max) const {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    max = std::min(max, Available());
    CopyOut(out, tail, max);
    return max;
  }
  // Takes n elements that Peek or Available showed.
  void Drop(std::size_t n) {
    tail_.store(tail_.load(std::memory_order_relaxed) + n, std::memory_order_release);
  }
  std::size_t Pop(T* out, std::size_t max) {
    const std::size_t n = Peek(out, max);
    Drop(n);
    return n;
  }

 private:
  void Copy(T* ring, std::uint64_t at, const T* items, std::size_t n) {
    if (n == 0) return;
    const std::size_t start = static_cast<std::size_t>(at) & (capacity_ - 1);
    const std::size_t first = std::min(n, capacity_ - start);
    std::memcpy(ring + start, items, first * sizeof(T));
    std::memcpy(ring, items + first, (n - first) * sizeof(T));
  }
  void CopyOut(T* out, std::uint64_t at, std::size_t n) const {
    if (n == 0) return;
    const std::size_t start = static_cast<std::size_t>(at) & (capacity_ - 1);
    const std::size_t first = std::min(n, capacity_ - start);
    std::memcpy(out, storage_.get() + start, first * sizeof(T));
    std::memcpy(out + first, storage_.get(), (n - first) * sizeof(T));
  }

  const std::size_t capacity_;
  std::unique_ptr<T[]> storage_;
  // Apart, so that the two threads do not share a cache line.
  alignas(64) std::atomic<std::uint64_t> head_{0};
  alignas(64) std::atomic<std::uint64_t> tail_{0};
};
