// Cost of one byte access through the trapped window, against the time one
// character takes on the wire: whether the simulator keeps up with a UART
// flood at line rate. Usage: q7m-window-bench [accesses per row]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "sim/trapped_window.h"

namespace {

using q7m::sim::TrappedWindow;
using q7m::sim::WindowClient;

// Answers every load with the same byte, as a quiet status register would.
class QuietClient final : public WindowClient {
 public:
  std::uint8_t Load(std::uint32_t) override {
    ++loads;
    return 0x5A;
  }
  void Store(std::uint32_t, std::uint8_t) override { ++stores; }
  void Wide(std::uint32_t, bool) override { ++wide; }
  std::uint64_t loads = 0;
  std::uint64_t stores = 0;
  std::uint64_t wide = 0;
};

// Out of line, so each is the program's own form of access: one byte load or
// store through a volatile pointer.
[[gnu::noinline]] std::uint8_t LoadByte(volatile std::uint8_t* p) {
  return *p;
}
[[gnu::noinline]] void StoreByte(volatile std::uint8_t* p, std::uint8_t v) {
  *p = v;
}

double MicrosPerAccess(bool load, volatile std::uint8_t* p, std::uint32_t count) {
  const auto start = std::chrono::steady_clock::now();
  std::uint32_t sink = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (load) {
      sink += LoadByte(p);
    } else {
      StoreByte(p, static_cast<std::uint8_t>(i));
    }
  }
  const auto end = std::chrono::steady_clock::now();
  if (load && sink != 0x5Au * count) std::fprintf(stderr, "bench: loads answered wrongly\n");
  return std::chrono::duration<double, std::micro>(end - start).count() / count;
}

// One character is a start bit, 8 data bits and a stop bit.
double CharacterMicros(double baud) {
  return 10.0 * 1e6 / baud;
}

void Row(const char* path, const char* kind, double us) {
  const double c1 = CharacterMicros(115200);
  const double c2 = CharacterMicros(230400);
  std::printf("%-24s %-6s %10.3f %14.4f %14.4f\n", path, kind, us, us / c1, us / c2);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t count = 20000;
  if (argc > 1) count = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (count == 0) count = 1;
  QuietClient client;
  auto window = TrappedWindow::Open(0x20000, client);
  if (window == nullptr) {
    std::fprintf(stderr, "bench: cannot open the trapped window\n");
    return 1;
  }
  auto* port = static_cast<volatile std::uint8_t*>(window->base()) + 0x1B352;

  std::printf("%u accesses per row; character time %.2f us at 115200, %.2f us at 230400\n", count,
              CharacterMicros(115200), CharacterMicros(230400));
  // The last two columns: one access as a share of a character time.
  std::printf("%-24s %-6s %10s %14s %14s\n", "path", "access", "us/access", "char@115200",
              "char@230400");
  Row("fast (decoded)", "load", MicrosPerAccess(true, port, count));
  Row("fast (decoded)", "store", MicrosPerAccess(false, port, count));
  const std::uint64_t slowBefore = window->slowPathCount();
  window->setFastPath(false);
  Row("slow (single-step)", "load", MicrosPerAccess(true, port, count));
  Row("slow (single-step)", "store", MicrosPerAccess(false, port, count));

  // Each row's accesses must have reached the client once, on the path named.
  const bool exact = client.loads == 2u * count && client.stores == 2u * count &&
                     client.wide == 0 && slowBefore == 0 && window->slowPathCount() == 2u * count;
  if (slowBefore != 0) std::fprintf(stderr, "bench: %s\n", window->lastWarning());
  if (!exact) {
    std::fprintf(stderr, "bench: the client saw %llu loads, %llu stores, %llu wide\n",
                 static_cast<unsigned long long>(client.loads),
                 static_cast<unsigned long long>(client.stores),
                 static_cast<unsigned long long>(client.wide));
    return 1;
  }
  return 0;
}
