#pragma once
// A 1-based array of texts with a fixed upper bound, the shape of the name
// lists and line arrays of the file selector and the text viewer. Entries 1 to
// Capacity() always exist (empty until set); the array never grows, and an
// index outside 1 to Capacity() reads as an empty text and writes nothing, so
// no count handed around with it can make it index outside its storage.

#include <cstdint>
#include <string>
#include <vector>

class TextArray {
 public:
  // A capacity below 0 is taken as 0.
  explicit TextArray(std::int32_t capacity);

  std::int32_t Capacity() const { return static_cast<std::int32_t>(items_.size()) - 1; }
  // Entry i, or an empty text when i is outside 1 to Capacity().
  const std::string& Get(std::int32_t i) const;
  // Ignored when i is outside 1 to Capacity().
  void Set(std::int32_t i, std::string text);
  // Ignored unless both indexes are inside.
  void Swap(std::int32_t i, std::int32_t j);
  // Empties every entry.
  void Clear();

 private:
  bool Inside(std::int32_t i) const { return i >= 1 && i <= Capacity(); }
  // Capacity + 1 places; place 0 is never used so that entries keep their
  // 1-based numbers.
  std::vector<std::string> items_;
};
