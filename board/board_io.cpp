#include "board/board_io.h"

#include "board/pcie_library.h"

namespace {
volatile std::uint8_t* PortAddress(std::uint32_t port) {
  return BoardMemBase + kBoardIoWindowOffset + port;
}
}  // namespace

void BoardPortWrite(std::uint32_t port, std::uint8_t value) {
  *PortAddress(port) = value;
}

std::uint8_t BoardPortRead(std::uint32_t port) {
  return *PortAddress(port);
}

void BoardRegSelect(std::uint32_t port, std::uint8_t index) {
  BoardPortWrite(port + 1, index);
}

void BoardRegWrite(std::uint32_t port, std::uint8_t index, std::uint8_t value) {
  BoardRegSelect(port, index);
  BoardPortWrite(port, value);
}

std::uint8_t BoardRegRead(std::uint32_t port, std::uint8_t index) {
  BoardRegSelect(port, index);
  return BoardPortRead(port);
}
