#include "console/terminal_console.h"

#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

#include "console/cp437.h"
#include "console/key_decoder.h"
#include "console/task_host.h"
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
constexpr std::uint64_t kEscWaitNs = 25'000'000;
// Bytes taken per input poll, so a flood of input cannot stall the caller.
constexpr std::size_t kMaxBytesPerPoll = 4096;

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

// The screen's part of giving the terminal back, run by RestoreTerminal.
void EndCurses() {
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

// Curses on the user's terminal. The thread that presents the screen may
// wait for a terminal that takes its output slowly (a slow SSH link, a busy
// machine, a stopped reader): the board is polled by a thread of its own.
// Keys are read straight from the terminal; curses never reads them.
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
  }
  ~TerminalConsole() override { Shutdown(); }

  void Present(ScreenModel& screen) override {
    if (!TtyActive() || suspended_) {
      // Drawn again whole on Resume.
      screen.MarkClean();
      return;
    }
    const bool resized = TerminalResized();
    bool changed = resized || redrawAll_ || screen.CursorRow() != shownCursorRow_ ||
                   screen.CursorCol() != shownCursorCol_ ||
                   screen.CursorVisible() != shownCursorVisible_;
    for (int row = 1; row <= screen.Rows() && !changed; ++row) changed = screen.RowDirty(row);
    if (!changed) return;
    Draw(screen, resized || redrawAll_);
    redrawAll_ = false;
    shownCursorRow_ = screen.CursorRow();
    shownCursorCol_ = screen.CursorCol();
    shownCursorVisible_ = screen.CursorVisible();
    screen.MarkClean();
  }

  std::uint64_t KeysArrived() override {
    ReadInput();
    return decoder_.Decoded();
  }

  std::string TakeKey() override {
    ReadInput();
    return decoder_.TakeKey();
  }

  bool KeyQueued(std::string_view key) override {
    ReadInput();
    return decoder_.Queued(key);
  }

  WaitEnd Wait(std::uint64_t deadlineNs, std::uint64_t keyMark,
               std::span<WaitSource* const> sources) override {
    std::vector<pollfd> fds;
    for (;;) {
      ReadInput();
      if (decoder_.Decoded() > keyMark) return WaitEnd::kKey;
      if (TtySignalPending()) return WaitEnd::kSignal;
      if (hungUp_) return WaitEnd::kHangUp;
      for (WaitSource* source : sources) {
        if (source->Ready()) return WaitEnd::kSource;
      }
      const std::uint64_t now = NowNs();
      if (now >= deadlineNs) return WaitEnd::kDeadline;
      std::uint64_t until = deadlineNs;
      // The rest of a key sequence is given a moment; then a lone Esc is Esc.
      if (decoder_.Pending()) until = std::min(until, lastInputNs_ + kEscWaitNs);
      fds.clear();
      fds.push_back({TtySignalFd(), POLLIN, 0});
      if (Reading()) fds.push_back({STDIN_FILENO, POLLIN, 0});
      for (WaitSource* source : sources) {
        if (source->Fd() >= 0) fds.push_back({source->Fd(), POLLIN, 0});
      }
      const std::uint64_t wait = until > now ? until - now : 0;
      const timespec timeout{static_cast<time_t>(wait / 1'000'000'000ULL),
                             static_cast<long>(wait % 1'000'000'000ULL)};
      ppoll(fds.data(), fds.size(), until == kNoDeadline ? nullptr : &timeout, nullptr);
    }
  }

  int TakeSignal() override { return TtyTakePendingSignal(); }

  std::uint64_t NowNs() const override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
  }

  // A terminal has one bell and no pitch or length.
  void Tone(int, int) override {
    if (!TtyActive() || suspended_) return;
    beep();
  }

  void Suspend() override {
    if (!TtyActive() || suspended_) return;
    def_prog_mode();
    endwin();
    suspended_ = true;
  }

  void Resume(ScreenModel& screen) override {
    if (!TtyActive() || !suspended_) return;
    reset_prog_mode();
    suspended_ = false;
    screen.MarkAllDirty();
    redrawAll_ = true;
  }

  void Shutdown() override { RestoreTerminal(); }

  WindowSize Window() override { return window_; }

 private:
  struct CellStyle {
    attr_t attr = A_NORMAL;
    short pair = 0;
    bool known = false;
  };

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

  void Draw(const ScreenModel& screen, bool all) {
    if (all || LINES != shownLines_ || COLS != shownCols_) {
      shownLines_ = LINES;
      shownCols_ = COLS;
      bkgdset(Style(7, 0).attr | COLOR_PAIR(Style(7, 0).pair));
      werase(stdscr);
      clearok(curscr, TRUE);
      all = true;
    }
    const int rows = std::min(screen.Rows(), LINES);
    const int cols = std::min(screen.Cols(), COLS);
    for (int row = 1; row <= rows; ++row) {
      if (all || screen.RowDirty(row)) DrawRow(screen, row, cols);
    }
    const bool cursorShown =
        screen.CursorVisible() && screen.CursorRow() <= rows && screen.CursorCol() <= cols;
    if (cursorShown) move(screen.CursorRow() - 1, screen.CursorCol() - 1);
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

  void DrawRow(const ScreenModel& screen, int row, int cols) {
    if (utf8_) {
      std::vector<cchar_t> line(static_cast<std::size_t>(cols));
      for (int col = 1; col <= cols; ++col) {
        const Cell& cell = screen.At(row, col);
        const CellStyle& style = Style(cell.fg, cell.bg);
        wchar_t text[2] = {static_cast<wchar_t>(Cp437Glyph(cell.ch)), L'\0'};
        setcchar(&line[static_cast<std::size_t>(col - 1)], text, style.attr, style.pair, nullptr);
      }
      mvadd_wchnstr(row - 1, 0, line.data(), cols);
    } else {
      std::vector<chtype> line(static_cast<std::size_t>(cols));
      for (int col = 1; col <= cols; ++col) {
        const Cell& cell = screen.At(row, col);
        const CellStyle& style = Style(cell.fg, cell.bg);
        line[static_cast<std::size_t>(col - 1)] =
            AcsFor(Cp437Glyph(cell.ch)) | style.attr | COLOR_PAIR(style.pair);
      }
      mvaddchnstr(row - 1, 0, line.data(), cols);
    }
  }

  // Stdin is the console's while the screen is up and not lent to another
  // program.
  bool Reading() const { return TtyActive() && !suspended_ && !hungUp_; }

  // Moves the bytes the terminal has sent into the decoder without waiting;
  // a sequence that stopped short long enough ago is finished as it is. A
  // terminal that has gone away (end of file, an error, a hang-up) is noted.
  void ReadInput() {
    if (!Reading()) return;
    std::array<unsigned char, 256> buffer{};
    std::size_t taken = 0;
    while (taken < kMaxBytesPerPoll) {
      pollfd fd{STDIN_FILENO, POLLIN, 0};
      if (poll(&fd, 1, 0) <= 0) break;
      if ((fd.revents & POLLIN) == 0) {
        if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hungUp_ = true;
        break;
      }
      const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        hungUp_ = true;
        break;
      }
      if (n < 0) break;
      for (ssize_t i = 0; i < n; ++i) decoder_.Feed(buffer[static_cast<std::size_t>(i)]);
      taken += static_cast<std::size_t>(n);
      lastInputNs_ = NowNs();
    }
    if (decoder_.Pending() && NowNs() >= lastInputNs_ + kEscWaitNs) decoder_.FlushPending();
  }

  bool utf8_;
  bool hungUp_ = false;
  std::uint64_t lastInputNs_ = 0;
  bool hasColors_ = false;
  bool brightColors_ = false;
  bool suspended_ = false;
  bool cursorShown_ = true;
  bool redrawAll_ = true;
  WindowSize window_;
  KeyDecoder decoder_;
  // What the terminal shows now.
  int shownLines_ = 0;
  int shownCols_ = 0;
  int shownCursorRow_ = 0;
  int shownCursorCol_ = 0;
  bool shownCursorVisible_ = false;
  std::array<CellStyle, 256> styles_{};
  std::map<std::pair<short, short>, short> pairs_;
  int nextPair_ = 1;
};

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
  // Every screen places its text by row and column: a terminal that cannot
  // move its cursor would run the screens together into one line.
  if (Capability("cup") == nullptr) {
    endwin();
    delscreen(g_screen);
    g_screen = nullptr;
    TtyReleaseSignals();
    const char* term = std::getenv("TERM");
    error = std::string("TERM=") + (term ? term : "") +
            " cannot move the cursor (no cup in its terminfo entry)";
    return nullptr;
  }
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
