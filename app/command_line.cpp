#include "app/command_line.h"

#include <cstdio>

#include "app/inspect_menu.h"
#include "app/program.h"
#include "bridge/bridge_options.h"

#ifndef Q7M_VERSION
#error "Q7M_VERSION names the version the programs report"
#endif

namespace fs = std::filesystem;

namespace {

const char* Name(ProgramKind program) {
  switch (program) {
    case ProgramKind::kUart:
      return "q7m-uart";
    case ProgramKind::kInspect:
      return "q7m-inspect";
    case ProgramKind::kBridge:
      return kBridgeName;
  }
  return "q7m-uart";
}

// A file the program writes: in the working folder, or in the folder the
// program is started from when it has none.
std::string Written(const ProgramPlaces& places, std::string_view name) {
  if (places.workDir.empty()) return std::string(name) + " in the folder it is started from";
  return (places.workDir / std::string(name)).string();
}

std::string FilesSection(ProgramKind program, const ProgramPlaces& places) {
  std::string text = "Files of this run:\n";
  const std::string config = places.configFile.empty() ? "none" : places.configFile.string();
  text += "  configuration       " + config + "\n";
  if (program != ProgramKind::kUart) {
    text += "                      (only its baud rate is used; it may be missing)\n";
  }
  if (places.installed) {
    if (!places.userConfigFile.empty() && places.configFile != places.userConfigFile) {
      text += "                      a Q7m_Uart.cfg of your own is read instead from\n";
      text += "                      " + places.userConfigFile.string() + "\n";
    }
    if (!places.systemConfigFile.empty() && places.configFile != places.systemConfigFile) {
      text +=
          "                      (the installed one is " + places.systemConfigFile.string() + ")\n";
    }
  }
  if (program == ProgramKind::kUart) {
    text += "  capture             " + Written(places, "Term.txt") + "\n";
  } else if (program == ProgramKind::kInspect) {
    text += "  configuration copy  " + Written(places, kConfigImageFileName) + "\n";
  }
  text += "  access library log  " + Written(places, "PCIAccessDll.log") + "\n";
  text += "                      (in the folder Q7M_PCI_LOG_DIR names when it is set)\n";
  return text;
}

}  // namespace

CommandLineRequest ReadCommandLine(const std::vector<std::string_view>& arguments) {
  for (const std::string_view argument : arguments) {
    if (argument == "--help") return CommandLineRequest::kHelp;
    if (argument == "--version") return CommandLineRequest::kVersion;
  }
  return CommandLineRequest::kNone;
}

static std::string BridgeHelpText(const ProgramPlaces& places, const RealTimePermission& realTime) {
  std::string text =
      std::string("Usage: ") + kBridgeName +
      " [options]\n"
      "Publishes the UART of a Q7M PCIe board (PCI 1172:5680) as a pseudo-terminal,\n"
      "for picocom, tio, pexpect, lrzsz, pyserial and ser2net (RFC 2217).\n"
      "\n"
      "Opens the board as q7m-uart does, routes and programs its UART, links the\n"
      "pseudo-terminal at a path, prints the path and runs until SIGTERM, SIGINT or\n"
      "SIGHUP, which put routing 0 back and close the board. q7m-uart-bridge-sim runs\n"
      "it on a simulated board. What it has to say goes to standard error.\n"
      "\n";
  text += kBridgeOptionsHelp;
  text +=
      "  --help            show this text and exit\n"
      "  --version         show the version and exit\n"
      "\n";
  text += FilesSection(ProgramKind::kBridge, places);
  text += "\n" + RealTimePermissionHelp(realTime);
  text += std::string("\nSee ") + kBridgeName + "(1) for the clients and a ser2net example.\n";
  return text;
}

std::string HelpText(ProgramKind program, const ProgramPlaces& places,
                     const RealTimePermission& realTime) {
  if (program == ProgramKind::kBridge) return BridgeHelpText(places, realTime);
  const std::string name = Name(program);
  std::string text = "Usage: " + name + " [--help | --version]\n";
  if (program == ProgramKind::kUart) {
    text +=
        "Bring-up and console tool for the Q7M PCIe board (PCI 1172:5680).\n"
        "\n"
        "Loads the access library libPCIAccessDll.so, opens and maps the board and\n"
        "shows the routing menu; a routing opens a serial terminal on the board UART,\n"
        "with macros and a help text from the configuration file. q7m-uart-sim runs it\n"
        "on a simulated board.\n";
  } else {
    text +=
        "Inspection screens for the Q7M PCIe board (PCI 1172:5680).\n"
        "\n"
        "Opens the board as q7m-uart does and offers live dumps of BAR 0 and of the\n"
        "configuration space, a saved copy of the configuration space, a code view\n"
        "of the board UART and file and directory selectors. q7m-inspect-sim runs it\n"
        "on a simulated board.\n";
  }
  text +=
      "It needs a terminal of at least 80 columns and 25 rows; other arguments are\n"
      "ignored.\n"
      "\n"
      "  --help     show this text and exit\n"
      "  --version  show the version and exit\n"
      "\n";
  text += FilesSection(program, places);
  text += "\n" + RealTimePermissionHelp(realTime);
  text += "\nSee " + name + "(1) for the keys, the files and the environment of the access\n" +
          "libraries.\n";
  return text;
}

std::string VersionText(ProgramKind program) {
  return std::string(Name(program)) + " " + Q7M_VERSION +
         "\nCopyright (c) the q7m-uart developers; MIT licence.\n";
}

std::optional<int> AnswerCommandLine(ProgramKind program, int argc, char** argv) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const CommandLineRequest request = ReadCommandLine(arguments);
  if (request == CommandLineRequest::kNone) return std::nullopt;
  const std::string text = request == CommandLineRequest::kHelp
                               ? HelpText(program, ThisProgramPlaces(), CheckRealTimePermission())
                               : VersionText(program);
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (!written || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write to standard output\n", Name(program));
    return 1;
  }
  return 0;
}
