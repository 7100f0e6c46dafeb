#pragma once
// The command line of q7m-uart-bridge, which publishes the board UART as a
// pseudo-terminal: which route and baud rate, which board, where the link
// goes, how many bytes are kept for a client and the capture file.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kBridgeName = "q7m-uart-bridge";
inline constexpr std::size_t kDefaultKeepBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxKeepBytes = std::size_t{1} << 30;

struct BridgeOptions {
  int route = 0;                     // UartRouteReg, 0 to 5
  std::optional<std::int32_t> baud;  // none: the configuration's #COMMODE, else 115200
  std::string board;                 // number or PCI address; "" the access library's choice
  std::string link;                  // "" the default link
  std::size_t keep = kDefaultKeepBytes;
  std::string group;        // the group the pseudo-terminal is given to, "" none
  std::string log;          // capture file, "" for none
  bool timestamps = false;  // a time stamp at each line start of the capture
  // Only removes the link the other options name when it is a link to a
  // pseudo-terminal, left by a bridge that ended (a service's stop).
  bool removeLink = false;
};

// Reads the arguments (argv[0] excluded). --help and --version are answered
// before and skipped here. False, with `error` set, for an unknown option or
// a missing or unusable value.
bool ParseBridgeOptions(const std::vector<std::string_view>& arguments, BridgeOptions& options,
                        std::string& error);

// The options as --help lists them.
extern const char* const kBridgeOptionsHelp;

// The folder of the default link: $XDG_RUNTIME_DIR/q7m-uart when that is an
// absolute path, else /run/q7m-uart for root, else /tmp/q7m-uart-<uid>.
std::string DefaultLinkFolder(const char* xdgRuntimeDir, uid_t uid);
// The default link's name for a board as chosen ("" or "0" is the first
// board): ttyQ7M0, ttyQ7M1, ttyQ7M-0000:04:00.0.
std::string DefaultLinkName(std::string_view board);
// Paths of the options that are relative are taken from `folder`, so that
// they keep their meaning once the program has changed to its own folder.
void MakeOptionPathsAbsolute(BridgeOptions& options, const std::string& folder);
