#include "console/terminal_console.h"

#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "console/cp437.h"
#include "console/key_decoder.h"
#include "console/program_end.h"
#include "console/tty.h"

// Last: curses defines function-like macros (erase, clear, timeout) that
// would break the standard headers.
#include <curses.h>
#include <term.h>

// curses.h defines these as macros; the code below means the console's own.
#undef clear
#undef erase
#undef timeout

namespace {

// How long the bytes of a key sequence may trail its ESC.
constexpr int kEscWaitMs = 25;
// Bytes taken per input poll, so a flood of input cannot stall the caller.
constexpr std::size_t kMaxBytesPerPoll = 4096;

// The signals the drawing thread leaves to the program's thread, whose
// sleeps they must interrupt (SIGWINCH is seen by polling the size).
constexpr std::array<int, 4> kProgramThreadSignals = {SIGTERM, SIGHUP, SIGINT, SIGWINCH};

// Curses' screen; the terminal underneath is the tty layer's.
SCREEN* g_screen = nullptr;

const char* Capability(const char* name) {
  const char* value = tigetstr(const_cast<char*>(name));
  return value == reinterpret_cast<const char*>(-1) ? nullptr : value;
}

// Output that undoes what curses did to the screen: attributes, cursor,
// alternate screen. Made while curses is up, for the tty layer's crash path.
void BuildResetSequence() {
  std::string reset;
  const auto append = [&reset](const char* text) {
    if (text != nullptr && text != reinterpret_cast<const char*>(-1)) reset += text;
  };
  append(Capability("sgr0"));
  append(Capability("op"));
  append(Capability("cnorm"));
  if (const char* cup = Capability("cup")) append(tiparm(cup, LINES - 1, 0));
  const char* rmcup = Capability("rmcup");
  append(rmcup != nullptr ? rmcup : "\r\n");
  TtySetResetSequence(reset);
}

void StopDrawingThread();

// The screen's part of giving the terminal back, run by RestoreTerminal:
// curses is the drawing thread's while it runs, so the thread stops first.
void EndCurses() {
  StopDrawingThread();
  curs_set(1);
  attrset(A_NORMAL);
  refresh();
  endwin();
  if (g_screen != nullptr) {
    delscreen(g_screen);
    g_screen = nullptr;
  }
}

// The PC palette's first eight colours in curses' numbering.
constexpr std::array<short, 8> kCursesColor = {COLOR_BLACK,  COLOR_BLUE, COLOR_GREEN,
                                               COLOR_CYAN,   COLOR_RED,  COLOR_MAGENTA,
                                               COLOR_YELLOW, COLOR_WHITE};

// Box drawing and a few symbols as the terminal's line-drawing set, for a
// locale that cannot show the real glyphs.
chtype AcsFor(char32_t glyph) {
  switch (glyph) {
    case U'\x2500':
    case U'\x2550':
      return ACS_HLINE;
    case U'\x2502':
    case U'\x2551':
      return ACS_VLINE;
    case U'\x250C':
    case U'\x2554':
    case U'\x2552':
    case U'\x2553':
      return ACS_ULCORNER;
    case U'\x2510':
    case U'\x2557':
    case U'\x2555':
    case U'\x2556':
      return ACS_URCORNER;
    case U'\x2514':
    case U'\x255A':
    case U'\x2558':
    case U'\x2559':
      return ACS_LLCORNER;
    case U'\x2518':
    case U'\x255D':
    case U'\x255B':
    case U'\x255C':
      return ACS_LRCORNER;
    case U'\x251C':
    case U'\x2560':
    case U'\x255E':
    case U'\x255F':
      return ACS_LTEE;
    case U'\x2524':
    case U'\x2563':
    case U'\x2561':
    case U'\x2562':
      return ACS_RTEE;
    case U'\x252C':
    case U'\x2566':
    case U'\x2564':
    case U'\x2565':
      return ACS_TTEE;
    case U'\x2534':
    case U'\x2569':
    case U'\x2567':
    case U'\x2568':
      return ACS_BTEE;
    case U'\x253C':
    case U'\x256C':
    case U'\x256A':
    case U'\x256B':
      return ACS_PLUS;
    case U'\x2591':
    case U'\x2592':
    case U'\x2593':
      return ACS_CKBOARD;
    case U'\x2588':
    case U'\x2584':
    case U'\x258C':
    case U'\x2590':
    case U'\x2580':
    case U'\x25A0':
      return ACS_BLOCK;
    case U'\x00B0':
      return ACS_DEGREE;
    case U'\x00B1':
      return ACS_PLMINUS;
    case U'\x2022':
    case U'\x2219':
    case U'\x00B7':
      return ACS_BULLET;
    case U'\x2264':
      return ACS_LEQUAL;
    case U'\x2265':
      return ACS_GEQUAL;
    case U'\x03C0':
      return ACS_PI;
    case U'\x00A3':
      return ACS_STERLING;
    case U'\x2666':
      return ACS_DIAMOND;
    case U'\x2190':
    case U'\x25C4':
      return ACS_LARROW;
    case U'\x2192':
    case U'\x25BA':
      return ACS_RARROW;
    case U'\x2191':
    case U'\x25B2':
      return ACS_UARROW;
    case U'\x2193':
    case U'\x25BC':
      return ACS_DARROW;
    case U'\x00A0':
      return ' ';
    default:
      return glyph >= 0x20 && glyph < 0x7F ? static_cast<chtype>(glyph) : '?';
  }
}

// The screen as the drawing thread gets it: the model's cells and cursor,
// with the rows changed since it last took them.
struct Frame {
  int rows = 0;
  int cols = 0;
  std::vector<Cell> cells;
  std::vector<std::uint8_t> dirty;
  int cursorRow = 1;
  int cursorCol = 1;
  bool cursorVisible = true;

  void Resize(int r, int c) {
    rows = r;
    cols = c;
    cells.assign(static_cast<std::size_t>(r * c), Cell{});
    dirty.assign(static_cast<std::size_t>(r), 1);
  }
  const Cell& At(int row, int col) const {
    return cells[static_cast<std::size_t>((row - 1) * cols + (col - 1))];
  }
};

// Curses on the user's terminal. The program's thread never writes to the
// terminal: it hands each changed screen to a drawing thread of its own and
// goes on, so a terminal that takes its output slowly (a slow SSH link, a
// busy machine, a stopped reader) delays only the drawing, never the board.
// The drawing thread always draws the latest screen: frames the terminal had
// no time for are skipped, not queued. Keys are read straight from the
// terminal by the program's thread; curses never reads them.
class TerminalConsole : public ConsoleBackend {
 public:
  explicit TerminalConsole(bool utf8) : utf8_(utf8), decoder_(utf8) {
    hasColors_ = has_colors();
    if (hasColors_) {
      start_color();
      brightColors_ = COLORS >= 16;
    }
    shownLines_ = LINES;
    shownCols_ = COLS;
    window_ = {LINES, COLS};
    g_console = this;
    // The drawing thread leaves the termination signals to the program's
    // thread, whose sleeps they must interrupt.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    for (int sig : kProgramThreadSignals) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    drawer_ = std::thread([this] { DrawLoop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~TerminalConsole() override {
    Shutdown();
    StopDrawing();
  }

  void Present(ScreenModel& screen) override {
    if (!TtyActive() || suspended_) return;
    bool changed = screen.CursorRow() != published_.cursorRow ||
                   screen.CursorCol() != published_.cursorCol ||
                   screen.CursorVisible() != published_.cursorVisible;
    for (int row = 1; row <= screen.Rows() && !changed; ++row) changed = screen.RowDirty(row);
    if (!changed) return;
    {
      // Never waits for the drawing thread, which runs at a lower priority
      // and may be off the processor while it holds the lock: the rows stay
      // marked and go with the next offer.
      const std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
      if (!lock.owns_lock()) return;
      if (frame_.rows != screen.Rows() || frame_.cols != screen.Cols()) {
        frame_.Resize(screen.Rows(), screen.Cols());
        screen.MarkAllDirty();
      }
      for (int row = 1; row <= screen.Rows(); ++row) {
        if (!screen.RowDirty(row)) continue;
        for (int col = 1; col <= screen.Cols(); ++col) {
          frame_.cells[static_cast<std::size_t>((row - 1) * frame_.cols + (col - 1))] =
              screen.At(row, col);
        }
        frame_.dirty[static_cast<std::size_t>(row - 1)] = 1;
      }
      frame_.cursorRow = screen.CursorRow();
      frame_.cursorCol = screen.CursorCol();
      frame_.cursorVisible = screen.CursorVisible();
      framePending_ = true;
    }
    published_.cursorRow = screen.CursorRow();
    published_.cursorCol = screen.CursorCol();
    published_.cursorVisible = screen.CursorVisible();
    screen.MarkClean();
    wake_.notify_one();
  }

  bool KeyWaiting() override {
    ReadInput();
    return decoder_.HasKey();
  }

  std::string TakeKey() override {
    ReadInput();
    return decoder_.TakeKey();
  }

  // A termination signal cuts the sleep short, for the console to act on.
  void SleepMs(int ms) override {
    if (ms <= 0 || TtySignalPending()) return;
    timespec request{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) == -1 && errno == EINTR && !TtySignalPending()) {
      request = remaining;
    }
  }

  std::uint64_t NowNs() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
  }

  bool SleepsInRealTime() const override { return true; }

  // A terminal has one bell and no pitch or length; the drawing thread rings it.
  void Tone(int, int) override {
    if (!TtyActive() || suspended_) return;
    // Without the lock, for the same reason as above: at worst the bell
    // waits for the drawing thread's next look.
    bellPending_ = true;
    wake_.notify_one();
  }

  void Suspend() override {
    if (!TtyActive() || suspended_) return;
    PauseDrawing();
    def_prog_mode();
    endwin();
    suspended_ = true;
  }

  void Resume(ScreenModel& screen) override {
    if (!TtyActive() || !suspended_) return;
    reset_prog_mode();
    suspended_ = false;
    screen.MarkAllDirty();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      redrawAll_ = true;
      pauseRequested_ = false;
    }
    wake_.notify_one();
  }

  void Shutdown() override { RestoreTerminal(); }

  WindowSize Window() override { return window_; }

  // Ends the drawing thread; it finishes the frame it is writing first.
  void StopDrawing() {
    if (!drawer_.joinable()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    drawer_.join();
    if (g_console == this) g_console = nullptr;
  }

  static TerminalConsole* g_console;

 private:
  struct CellStyle {
    attr_t attr = A_NORMAL;
    short pair = 0;
    bool known = false;
  };

  // Waits until the drawing thread has put its frame down and stays idle.
  void PauseDrawing() {
    std::unique_lock<std::mutex> lock(mutex_);
    pauseRequested_ = true;
    wake_.notify_one();
    paused_.wait(lock, [this] { return drawerIdle_ || !drawer_.joinable(); });
  }

  void DrawLoop() {
    // On a busy machine the program's thread, which polls the board, goes
    // first: drawing can wait, the UART's buffer cannot.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kDrawerNice);
    std::unique_lock<std::mutex> lock(mutex_);
    std::uint64_t lastDrawNs = 0;
    Frame local;
    for (;;) {
      drawerIdle_ = true;
      paused_.notify_all();
      wake_.wait_for(lock, std::chrono::milliseconds(kResizeCheckMs), [this] {
        return stop_ || (!pauseRequested_ && (framePending_ || bellPending_ || redrawAll_));
      });
      if (stop_) return;
      if (pauseRequested_) continue;
      const bool resized = TerminalResized();
      if (!framePending_ && !bellPending_ && !redrawAll_ && !resized) continue;
      // At most one frame per kFrameNs; what changes meanwhile joins it.
      const std::uint64_t now = NowNs();
      if (now < lastDrawNs + kFrameNs) {
        wake_.wait_for(lock, std::chrono::nanoseconds(lastDrawNs + kFrameNs - now),
                       [this] { return stop_ || pauseRequested_; });
        if (stop_) return;
        if (pauseRequested_) continue;
      }
      drawerIdle_ = false;
      if (local.rows != frame_.rows || local.cols != frame_.cols) {
        local.Resize(frame_.rows, frame_.cols);
      }
      for (int row = 1; row <= frame_.rows; ++row) {
        auto& dirty = frame_.dirty[static_cast<std::size_t>(row - 1)];
        if (dirty == 0) continue;
        const auto begin = frame_.cells.begin() + (row - 1) * frame_.cols;
        std::copy(begin, begin + frame_.cols, local.cells.begin() + (row - 1) * local.cols);
        local.dirty[static_cast<std::size_t>(row - 1)] = 1;
        dirty = 0;
      }
      local.cursorRow = frame_.cursorRow;
      local.cursorCol = frame_.cursorCol;
      local.cursorVisible = frame_.cursorVisible;
      const bool all = redrawAll_ || resized;
      const bool ringBell = bellPending_.exchange(false);
      framePending_ = false;
      redrawAll_ = false;
      lock.unlock();
      // Only this thread draws, and only here may it wait for the terminal.
      Draw(local, all);
      if (ringBell) beep();
      lastDrawNs = NowNs();
      lock.lock();
    }
  }

  // The terminal's size as the kernel has it now; curses is told of a change.
  bool TerminalResized() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
      return false;
    }
    if (size.ws_row == LINES && size.ws_col == COLS) return false;
    resizeterm(size.ws_row, size.ws_col);
    return true;
  }

  void Draw(Frame& frame, bool all) {
    if (all || LINES != shownLines_ || COLS != shownCols_) {
      shownLines_ = LINES;
      shownCols_ = COLS;
      bkgdset(Style(7, 0).attr | COLOR_PAIR(Style(7, 0).pair));
      werase(stdscr);
      clearok(curscr, TRUE);
      std::fill(frame.dirty.begin(), frame.dirty.end(), 1);
    }
    const int rows = std::min(frame.rows, LINES);
    const int cols = std::min(frame.cols, COLS);
    for (int row = 1; row <= rows; ++row) {
      if (frame.dirty[static_cast<std::size_t>(row - 1)] != 0) DrawRow(frame, row, cols);
    }
    std::fill(frame.dirty.begin(), frame.dirty.end(), 0);
    const bool cursorShown =
        frame.cursorVisible && frame.cursorRow <= rows && frame.cursorCol <= cols;
    if (cursorShown) move(frame.cursorRow - 1, frame.cursorCol - 1);
    if (cursorShown != cursorShown_) {
      curs_set(cursorShown ? 1 : 0);
      cursorShown_ = cursorShown;
    }
    refresh();
  }

  // Attribute and colour pair for a PC colour pair, made on first use.
  const CellStyle& Style(int fg, int bg) {
    fg &= 15;
    bg &= 15;
    CellStyle& style = styles_[static_cast<std::size_t>(fg * 16 + bg)];
    if (style.known) return style;
    style.known = true;
    if (!hasColors_) {
      // Monochrome: brightness as bold, any background as reverse video.
      style.attr = (fg >= 8 ? A_BOLD : A_NORMAL) | (bg != 0 ? A_REVERSE : A_NORMAL);
      return style;
    }
    short cursesFg = kCursesColor[static_cast<std::size_t>(fg & 7)];
    short cursesBg = kCursesColor[static_cast<std::size_t>(bg & 7)];
    if (brightColors_) {
      if (fg >= 8) cursesFg = static_cast<short>(cursesFg + 8);
      if (bg >= 8) cursesBg = static_cast<short>(cursesBg + 8);
    } else if (fg >= 8) {
      // Eight colours: a bright foreground is the bold one; a bright
      // background has no equivalent and loses its bright bit.
      style.attr = A_BOLD;
    }
    auto key = std::make_pair(cursesFg, cursesBg);
    auto found = pairs_.find(key);
    if (found != pairs_.end()) {
      style.pair = found->second;
    } else if (nextPair_ < COLOR_PAIRS && nextPair_ <= SHRT_MAX) {
      init_pair(static_cast<short>(nextPair_), cursesFg, cursesBg);
      style.pair = static_cast<short>(nextPair_++);
      pairs_.emplace(key, style.pair);
    }
    // Out of pairs: the terminal's default pair is the best left.
    return style;
  }

  void DrawRow(const Frame& frame, int row, int cols) {
    if (utf8_) {
      std::vector<cchar_t> line(static_cast<std::size_t>(cols));
      for (int col = 1; col <= cols; ++col) {
        const Cell& cell = frame.At(row, col);
        const CellStyle& style = Style(cell.fg, cell.bg);
        wchar_t text[2] = {static_cast<wchar_t>(Cp437Glyph(cell.ch)), L'\0'};
        setcchar(&line[static_cast<std::size_t>(col - 1)], text, style.attr, style.pair, nullptr);
      }
      mvadd_wchnstr(row - 1, 0, line.data(), cols);
    } else {
      std::vector<chtype> line(static_cast<std::size_t>(cols));
      for (int col = 1; col <= cols; ++col) {
        const Cell& cell = frame.At(row, col);
        const CellStyle& style = Style(cell.fg, cell.bg);
        line[static_cast<std::size_t>(col - 1)] =
            AcsFor(Cp437Glyph(cell.ch)) | style.attr | COLOR_PAIR(style.pair);
      }
      mvaddchnstr(row - 1, 0, line.data(), cols);
    }
  }

  // Moves the bytes the terminal has sent into the decoder, waiting briefly
  // when they stop inside an escape sequence.
  void ReadInput() {
    if (!TtyActive() || suspended_ || TtySignalPending()) return;
    std::array<unsigned char, 256> buffer{};
    std::size_t taken = 0;
    while (taken < kMaxBytesPerPoll) {
      int waitMs = 0;
      if (!InputWaiting(0)) {
        if (!decoder_.Pending()) break;
        waitMs = kEscWaitMs;
        if (!InputWaiting(waitMs)) {
          decoder_.FlushPending();
          break;
        }
      }
      const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) decoder_.Feed(buffer[static_cast<std::size_t>(i)]);
      taken += static_cast<std::size_t>(n);
    }
  }

  static bool InputWaiting(int ms) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    return poll(&fd, 1, ms) > 0 && (fd.revents & POLLIN) != 0;
  }

  bool utf8_;
  bool hasColors_ = false;
  bool brightColors_ = false;
  bool suspended_ = false;
  bool cursorShown_ = true;
  WindowSize window_;
  static constexpr std::uint64_t kFrameNs = 25'000'000;
  static constexpr int kResizeCheckMs = 100;
  static constexpr int kDrawerNice = 10;
  KeyDecoder decoder_;
  // The cursor as last handed over, so that an unchanged screen is not.
  struct {
    int cursorRow = 0;
    int cursorCol = 0;
    bool cursorVisible = false;
  } published_;

  // Shared with the drawing thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable paused_;
  Frame frame_;
  bool framePending_ = false;
  std::atomic<bool> bellPending_ = false;
  bool redrawAll_ = true;
  bool pauseRequested_ = false;
  bool drawerIdle_ = false;
  bool stop_ = false;

  // The drawing thread's own.
  int shownLines_ = 0;
  int shownCols_ = 0;
  std::array<CellStyle, 256> styles_{};
  std::map<std::pair<short, short>, short> pairs_;
  int nextPair_ = 1;

  std::thread drawer_;
};

TerminalConsole* TerminalConsole::g_console = nullptr;

void StopDrawingThread() {
  if (TerminalConsole::g_console != nullptr) TerminalConsole::g_console->StopDrawing();
}

}  // namespace

std::unique_ptr<ConsoleBackend> OpenTerminalConsole(std::string& error) {
  if (!isatty(STDIN_FILENO)) {
    error = "standard input is not a terminal";
    return nullptr;
  }
  if (!isatty(STDOUT_FILENO)) {
    error = "standard output is not a terminal";
    return nullptr;
  }
  if (TtyActive()) {
    error = "the terminal console is already open";
    return nullptr;
  }
  std::setlocale(LC_ALL, "");
  const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;

  TtyTakeOver();
  g_screen = newterm(nullptr, stdout, stdin);
  if (g_screen == nullptr) {
    TtyReleaseSignals();
    const char* term = std::getenv("TERM");
    error = std::string("cannot start the terminal (TERM=") + (term ? term : "") + ")";
    return nullptr;
  }
  set_term(g_screen);
  raw();
  noecho();
  nonl();
  // Keys are decoded from the raw bytes, so curses must not do it.
  keypad(stdscr, FALSE);
  meta(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  intrflush(stdscr, FALSE);
  leaveok(stdscr, FALSE);
  // Lets curses scroll the terminal instead of redrawing every row when the
  // received text scrolls.
  idlok(stdscr, TRUE);
  // Keys are read by the program's thread, not by curses: curses must not
  // look for typed-ahead input and hold its updates back for it.
  typeahead(-1);
  BuildResetSequence();
  TtySetScreenEnd(EndCurses);
  TtySetActive();
  return std::make_unique<TerminalConsole>(utf8);
}

int TerminalRows() {
  return TtyActive() ? LINES : 0;
}

int RunOnTerminal(std::string_view programName, const std::function<void()>& body) {
  std::string error;
  std::unique_ptr<ConsoleBackend> backend = OpenTerminalConsole(error);
  if (!backend) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(programName.size()), programName.data(),
                 error.c_str());
    return 1;
  }
  ConsoleAttach(std::move(backend), std::max(kLayoutRows, TerminalRows()), kLayoutCols);
  body();
  EndProgram(0);
}
