#include "bridge/bridge_options.h"

#include <filesystem>

#include "uart/uart.h"

namespace {

// A decimal number without sign, or nullopt (empty, other characters, or
// beyond `limit`).
std::optional<std::uint64_t> Decimal(std::string_view text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit) return std::nullopt;
  }
  return value;
}

// Bytes, with K or M for KiB and MiB.
std::optional<std::uint64_t> ByteCount(std::string_view text) {
  std::uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) unit = 1024;
  if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) unit = 1024 * 1024;
  if (unit != 1) text.remove_suffix(1);
  const auto value = Decimal(text, kMaxKeepBytes / unit);
  if (!value) return std::nullopt;
  return *value * unit;
}

// The forms the access libraries take: a board number or a bus address
// (0000:05:00.0 or 05:00.0). The library checks the form and says what it
// did not like; these characters keep the link's name a plain file name.
bool BoardText(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  for (const char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != ':' && c != '.') return false;
  }
  return true;
}

}  // namespace

const char* const kBridgeOptionsHelp =
    "  --route N         routes the board UART to console N (UartRouteReg, 0 to 5;\n"
    "                    default 0); routing 0 is put back when the bridge ends\n"
    "  --baud N          bit rate of the board UART (1908 to 250000000); default\n"
    "                    the configuration's #COMMODE, else 115200. A client's own\n"
    "                    speed change (tcsetattr, picocom -b, RFC 2217) reprograms it\n"
    "  --board N|ADDR    the board to open: a number (0 the first, in bus-address\n"
    "                    order) or a PCI address as lspci shows it (04:00.0);\n"
    "                    default Q7M_PCI_DEVICE, else the first board\n"
    "  --link PATH       where the pseudo-terminal's link goes, printed on standard\n"
    "                    output (default $XDG_RUNTIME_DIR/q7m-uart/ttyQ7M<board>,\n"
    "                    for root without it /run/q7m-uart/ttyQ7M<board>)\n"
    "  --keep BYTES      received bytes kept while no client reads (K and M\n"
    "                    suffixes; default 1M); beyond it the oldest are dropped\n"
    "  --group NAME      gives the pseudo-terminal to the group NAME, read-write,\n"
    "                    so that its members' programs can open it\n"
    "  --log FILE        writes every received byte to FILE (emptied at start)\n"
    "  --timestamps      starts each line of the --log file with the local time\n"
    "  --remove-link     removes the link the other options name, if it is a link to\n"
    "                    a pseudo-terminal, and ends (for a service manager, once the\n"
    "                    bridge has ended however it ended)\n";

bool ParseBridgeOptions(const std::vector<std::string_view>& arguments, BridgeOptions& options,
                        std::string& error) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view name = arguments[i];
    if (name == "--help" || name == "--version") continue;
    if (name == "--timestamps") {
      options.timestamps = true;
      continue;
    }
    if (name == "--remove-link") {
      options.removeLink = true;
      continue;
    }
    std::optional<std::string_view> value;
    if (const std::size_t equals = name.find('=');
        name.rfind("--", 0) == 0 && equals != name.npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const bool takesValue = name == "--route" || name == "--baud" || name == "--board" ||
                            name == "--link" || name == "--keep" || name == "--log" ||
                            name == "--group";
    if (!takesValue) {
      error = "unknown option " + std::string(arguments[i]);
      return false;
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        error = "option " + std::string(name) + " needs a value";
        return false;
      }
      value = arguments[++i];
    }
    const std::string quoted = std::string(name) + " " + std::string(*value);
    if (name == "--route") {
      const auto route = Decimal(*value, 5);
      if (!route) {
        error = quoted + ": the route is a number from 0 to 5";
        return false;
      }
      options.route = static_cast<int>(*route);
    } else if (name == "--baud") {
      const auto baud = Decimal(*value, 250'000'000);
      if (!baud || !UartBaudRateUsable(static_cast<std::int64_t>(*baud))) {
        error = quoted + ": the board UART takes 1908 to 250000000 bits per second";
        return false;
      }
      options.baud = static_cast<std::int32_t>(*baud);
    } else if (name == "--board") {
      if (!BoardText(*value)) {
        error = quoted + ": a board is a number (0 the first) or a PCI address (0000:04:00.0)";
        return false;
      }
      options.board = std::string(*value);
    } else if (name == "--keep") {
      const auto keep = ByteCount(*value);
      if (!keep || *keep == 0) {
        error = quoted + ": a byte count from 1 to 1024M (K and M suffixes allowed)";
        return false;
      }
      options.keep = static_cast<std::size_t>(*keep);
    } else if (name == "--group") {
      if (value->empty()) {
        error = "option --group needs a group's name";
        return false;
      }
      options.group = std::string(*value);
    } else if (value->empty()) {
      error = "option " + std::string(name) + " needs a path";
      return false;
    } else if (name == "--link") {
      options.link = std::string(*value);
    } else {
      options.log = std::string(*value);
    }
  }
  return true;
}

std::string DefaultLinkFolder(const char* xdgRuntimeDir, uid_t uid) {
  if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/') {
    return (std::filesystem::path(xdgRuntimeDir) / "q7m-uart").string();
  }
  if (uid == 0) return "/run/q7m-uart";
  return "/tmp/q7m-uart-" + std::to_string(uid);
}

std::string DefaultLinkName(std::string_view board) {
  if (board.empty()) return "ttyQ7M0";
  const bool number = board.find_first_not_of("0123456789") == std::string_view::npos;
  std::string name = (number ? "ttyQ7M" : "ttyQ7M-") + std::string(board);
  // A choice from the environment may hold anything; the name stays a name.
  for (char& c : name) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == ':' || c == '.' || c == '-';
    if (!plain) c = '_';
  }
  return name;
}

void MakeOptionPathsAbsolute(BridgeOptions& options, const std::string& folder) {
  for (std::string* path : {&options.link, &options.log}) {
    if (path->empty() || path->front() == '/') continue;
    *path = (std::filesystem::path(folder) / *path).lexically_normal().string();
  }
}
