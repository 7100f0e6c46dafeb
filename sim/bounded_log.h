// A log of the latest entries, up to a fixed count, in storage taken once:
// the simulator adds to it inside the program's board accesses, on whatever
// thread makes them, and a log that grew there would make that thread grow
// its heap (a memory-map change, which waits for every other thread's page
// faults) in the middle of the program's most timely work.
#ifndef Q7M_SIM_BOUNDED_LOG_H
#define Q7M_SIM_BOUNDED_LOG_H

#include <cstddef>
#include <vector>

namespace q7m::sim {

template <typename T>
class BoundedLog {
 public:
  explicit BoundedLog(std::size_t limit) : entries_(limit) {}

  // Adds an entry; when full, the oldest goes.
  void push_back(const T& entry) {
    entries_[(start_ + size_) % entries_.size()] = entry;
    if (size_ < entries_.size()) {
      ++size_;
    } else {
      start_ = (start_ + 1) % entries_.size();
    }
  }
  void clear() {
    start_ = 0;
    size_ = 0;
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Entry i, the oldest being 0.
  const T& operator[](std::size_t i) const { return entries_[(start_ + i) % entries_.size()]; }
  T& back() { return entries_[(start_ + size_ - 1) % entries_.size()]; }
  const T& back() const { return (*this)[size_ - 1]; }
  const T& front() const { return (*this)[0]; }

 private:
  std::vector<T> entries_;
  std::size_t start_ = 0;
  std::size_t size_ = 0;
};

}  // namespace q7m::sim

#endif
