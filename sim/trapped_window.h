// A memory mapping whose every byte load and store is handed to a client, in
// program order, while the program runs unchanged: the pages carry no access
// rights and a SIGSEGV handler answers each access.
// Fast path: the handler decodes the faulting instruction; for the byte forms
// compilers emit (mov, movzx, movsx, and loads folded into test, cmp, and,
// or, xor, add) it emulates the instruction on the saved registers and skips
// it, with no change to the page.
// Slow path, for any other form: the handler opens the page, single-steps the
// instruction with the trap flag, and a SIGTRAP handler closes the page again.
// Each slow-path access is counted, and an undecoded form is noted as a
// warning rather than printed (the program's screen is curses): it costs
// several times more, a page opened and closed for each access.
//
// The handlers run synchronously: a fault comes only from the program's own
// byte access to the window, which is made by its board accessors and never
// from inside the C library. So the handlers, and the client behind them (the
// device model, the remote consoles, the trace), are ordinary code: they may
// allocate and format text as any other code does. What a handler must not
// do is wait for another thread.
#ifndef Q7M_SIM_TRAPPED_WINDOW_H
#define Q7M_SIM_TRAPPED_WINDOW_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace q7m::sim {

class WindowClient {
 public:
  virtual ~WindowClient() = default;
  // A load at `offset`: the value the program will read.
  virtual std::uint8_t Load(std::uint32_t offset) = 0;
  // A store at `offset`, after the instruction executed.
  virtual void Store(std::uint32_t offset, std::uint8_t value) = 0;
  // The instruction of the last Load or Store also changed other bytes of the
  // page: it was wider than one byte, which the window does not model.
  virtual void Wide(std::uint32_t offset, bool isWrite) = 0;
};

class TrappedWindow {
 public:
  // Maps `size` bytes without access rights and installs the handlers. Only
  // one window may exist at a time; returns null when one does or on failure.
  static std::unique_ptr<TrappedWindow> Open(std::size_t size, WindowClient& client);
  // Restores the handlers found at Open and unmaps.
  ~TrappedWindow();
  TrappedWindow(const TrappedWindow&) = delete;
  TrappedWindow& operator=(const TrappedWindow&) = delete;

  void* base() const { return base_; }
  std::size_t size() const { return size_; }
  // Accesses handed to the client so far, and how many of them were
  // single-stepped.
  std::uint64_t trapCount() const;
  std::uint64_t slowPathCount() const;
  // The last warning about an access (an undecoded form), or empty.
  const char* lastWarning() const;
  // Decoding on (the default) or off, which single-steps every access: for
  // measurements and for comparing the two paths.
  void setFastPath(bool enabled);

 private:
  struct Key {};  // only Open constructs windows

 public:
  TrappedWindow(Key, void* base, std::size_t size) : base_(base), size_(size) {}

 private:
  void* base_;
  std::size_t size_;
};

}  // namespace q7m::sim

#endif
