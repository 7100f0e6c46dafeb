#include "pcie-linux/board_choice.h"

#include <cstdlib>

namespace q7m::pcie_linux {
namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char Lower(char c) {
  return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
}

// "dddd:bb:dd.f" (the domain 4 to 8 hex digits, as sysfs names it) or
// "bb:dd.f"; device 0 to 0x1f, function 0 to 7.
std::optional<std::string> NormalAddress(std::string_view text) {
  std::string domain = "0000";
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  if (text.find(':', first + 1) != std::string_view::npos) {
    const std::string_view d = text.substr(0, first);
    if (d.size() < 4 || d.size() > 8) return std::nullopt;
    domain.clear();
    for (const char c : d) {
      if (!IsHex(c)) return std::nullopt;
      domain.push_back(Lower(c));
    }
    text.remove_prefix(first + 1);
  }
  // What remains is "bb:dd.f".
  if (text.size() != 7 || text[2] != ':' || text[5] != '.') return std::nullopt;
  for (const std::size_t i : {0u, 1u, 3u, 4u}) {
    if (!IsHex(text[i])) return std::nullopt;
  }
  if (text[3] > '1' || text[6] < '0' || text[6] > '7') return std::nullopt;
  std::string address = domain + ":";
  for (const char c : text) address.push_back(Lower(c));
  return address;
}

}  // namespace

std::optional<BoardChoice> ParseBoardChoice(std::string_view text, std::string& error) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  BoardChoice choice;
  bool digits = !text.empty() && text.size() <= 9;
  for (const char c : text) digits = digits && c >= '0' && c <= '9';
  if (digits) {
    choice.index = static_cast<std::int32_t>(std::strtol(std::string(text).c_str(), nullptr, 10));
    return choice;
  }
  if (auto address = NormalAddress(text)) {
    choice.byAddress = true;
    choice.address = *address;
    return choice;
  }
  error = std::string(kDeviceVariable) + "=" + std::string(text) +
          " is neither a board number (0 the first, 1 the second, in bus-address order) nor a "
          "PCI bus address such as 0000:05:00.0 or 05:00.0 (as lspci shows it)";
  return std::nullopt;
}

std::optional<BoardChoice> ChooseBoard(std::int32_t index, std::string& error) {
  const char* variable = std::getenv(kDeviceVariable);
  if (variable != nullptr && *variable != '\0') {
    auto choice = ParseBoardChoice(variable, error);
    if (choice) choice->origin = std::string(kDeviceVariable) + "=" + variable;
    return choice;
  }
  if (index < 0) {
    error = "the index must be 0 or more (got " + std::to_string(index) + ")";
    return std::nullopt;
  }
  BoardChoice choice;
  choice.index = index;
  choice.origin = "index " + std::to_string(index);
  return choice;
}

}  // namespace q7m::pcie_linux
