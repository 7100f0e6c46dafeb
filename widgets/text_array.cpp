#include "widgets/text_array.h"

#include <utility>

namespace {
const std::string kEmpty;
}

TextArray::TextArray(std::int32_t capacity)
    : items_(static_cast<std::size_t>(capacity > 0 ? capacity : 0) + 1) {}

const std::string& TextArray::Get(std::int32_t i) const {
  return Inside(i) ? items_[static_cast<std::size_t>(i)] : kEmpty;
}

void TextArray::Set(std::int32_t i, std::string text) {
  if (Inside(i)) items_[static_cast<std::size_t>(i)] = std::move(text);
}

void TextArray::Swap(std::int32_t i, std::int32_t j) {
  if (Inside(i) && Inside(j)) {
    std::swap(items_[static_cast<std::size_t>(i)], items_[static_cast<std::size_t>(j)]);
  }
}

void TextArray::Clear() {
  for (std::string& item : items_) item.clear();
}
