#include "app/bridge_startup.h"

#include <grp.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/program.h"
#include "app/settings.h"
#include "board/pcie_library.h"
#include "bridge/bridge_options.h"
#include "bridge/link_path.h"
#include "config/config_file.h"
#include "config/host_files.h"
#include "uart/uart.h"

namespace {

// The access libraries' variable that names the board to open.
constexpr const char* kBoardVariable = "Q7M_PCI_DEVICE";

}  // namespace

std::optional<int> PrepareBridge(int argc, char** argv, BridgeSetup& setup) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  BridgeOptions options;
  std::string error;
  if (!ParseBridgeOptions(arguments, options, error)) {
    BridgeSay(error);
    BridgeSay(std::string("try '") + kBridgeName + " --help'");
    return 2;
  }
  // Paths the user typed are taken from where the program was started.
  std::error_code cwdError;
  MakeOptionPathsAbsolute(options, std::filesystem::current_path(cwdError).string());

  if (!options.group.empty()) {
    const group* entry = ::getgrnam(options.group.c_str());
    if (entry == nullptr) {
      BridgeSay("--group " + options.group + ": there is no such group");
      return 2;
    }
    setup.group = entry->gr_gid;
  }

  // The access library picks the board; the option takes the variable's place.
  if (!options.board.empty()) ::setenv(kBoardVariable, options.board.c_str(), 1);
  if (options.link.empty()) {
    const std::string folder = DefaultLinkFolder(::getenv("XDG_RUNTIME_DIR"), ::getuid());
    if (!options.removeLink) {
      std::string notice;
      const std::string reason = PrepareLinkFolder(folder, setup.group, options.group, notice);
      if (!notice.empty()) BridgeSay(notice);
      if (!reason.empty()) {
        BridgeSay(reason);
        return 1;
      }
    }
    const char* chosen = ::getenv(kBoardVariable);
    options.link = folder + "/" + DefaultLinkName(chosen != nullptr ? chosen : "");
  }
  if (options.removeLink) {
    bool failed = false;
    const std::string done = RemoveLeftLink(options.link, failed);
    if (!done.empty()) BridgeSay(done);
    return failed ? 1 : 0;
  }
  // What is at the link's place stays as it is unless it is a link of a
  // bridge's: a wrong --link does not become right by waiting.
  if (const std::string refusal = LinkPathRefusal(options.link); !refusal.empty()) {
    BridgeSay(refusal);
    return 2;
  }

  // The start-up of q7m-uart up to the board: settings, the configuration
  // space copy, the working folder (where the access library logs).
  InitSettings();
  ConfigShadow.fill(0);
  ConfigShadowValid = 0;
  std::string notice;
  ChangeToWorkingDirectory(notice);
  if (!notice.empty()) BridgeSay(notice);

  BaudRate = kStartBaudRate;
  if (options.baud) {
    BaudRate = *options.baud;
  } else if (FileExists(ConfigFilePath)) {
    const std::string file = ConfigFilePath;
    ConfigLoad load;
    load.baudRateUsable = UartBaudRateUsable;
    load.report = [&file](std::string_view text) { BridgeSay(file + ": " + std::string(text)); };
    LoadConfig(load);
  }
  InitPortSettings();
  setup.route = options.route;
  setup.baud = BaudRate;
  setup.link = options.link;
  setup.keep = options.keep;
  setup.log = options.log;
  setup.timestamps = options.timestamps;
  return std::nullopt;
}
