#pragma once
// Which board an access library opens when a PC holds several of them.
//
// InitPCIAccess's third argument picks the n-th board with the IDs, 0 the
// first, in bus-address order. The programs pass 0; Q7M_PCI_DEVICE, read by
// the access libraries (the programs read no environment), takes the
// argument's place: a number picks the n-th board, a bus address such as
// 0000:05:00.0 (or 05:00.0, domain 0000) picks the board at that address.
// The simulated library offers its boards the same way.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace q7m::pcie_linux {

inline constexpr const char* kDeviceVariable = "Q7M_PCI_DEVICE";

struct BoardChoice {
  bool byAddress = false;
  std::int32_t index = 0;  // the n-th board, when not by address
  std::string address;     // lower case, with its domain: "0000:05:00.0"
  std::string origin;      // for the log: "Q7M_PCI_DEVICE=05:00.0" or "index 0"
};

// A number or a bus address; nullopt with `error` set for anything else.
std::optional<BoardChoice> ParseBoardChoice(std::string_view text, std::string& error);

// Q7M_PCI_DEVICE when it is set and not empty, else `index`. A negative
// index, or a value that is neither form, gives nullopt and `error`.
std::optional<BoardChoice> ChooseBoard(std::int32_t index, std::string& error);

}  // namespace q7m::pcie_linux
