// q7m-uart-bridge's command line and the default place of its link.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/bridge_options.h"

namespace {

struct Parsed {
  bool ok;
  BridgeOptions options;
  std::string error;
};

Parsed Parse(const std::vector<std::string_view>& arguments) {
  Parsed parsed{false, {}, {}};
  parsed.ok = ParseBridgeOptions(arguments, parsed.options, parsed.error);
  return parsed;
}

TEST(BridgeOptions, EveryOptionWithItsValueSeparateOrAfterAnEqualsSign) {
  const Parsed p =
      Parse({"--route", "3", "--baud=57600", "--board", "0000:04:00.0", "--link=rel/x", "--keep",
             "64K", "--log", "/tmp/boot.log", "--timestamps", "--help", "--group", "q7m"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.route, 3);
  EXPECT_EQ(p.options.baud, 57600);
  EXPECT_EQ(p.options.board, "0000:04:00.0");
  EXPECT_EQ(p.options.link, "rel/x");
  EXPECT_EQ(p.options.keep, 64u * 1024);
  EXPECT_EQ(p.options.log, "/tmp/boot.log");
  EXPECT_TRUE(p.options.timestamps);
  EXPECT_EQ(p.options.group, "q7m");

  const Parsed defaults = Parse({});
  ASSERT_TRUE(defaults.ok);
  EXPECT_EQ(defaults.options.route, 0);
  EXPECT_FALSE(defaults.options.baud) << "the configuration's #COMMODE decides";
  EXPECT_EQ(defaults.options.keep, std::size_t{1} << 20);
  EXPECT_TRUE(defaults.options.link.empty());
  EXPECT_FALSE(defaults.options.timestamps);
  EXPECT_TRUE(defaults.options.group.empty()) << "the system's choice of the pty's group";
  EXPECT_EQ(Parse({"--keep", "2M"}).options.keep, std::size_t{2} << 20);
  EXPECT_EQ(Parse({"--board", "1"}).options.board, "1");
  EXPECT_FALSE(defaults.options.removeLink);
  const Parsed removal = Parse({"--board", "1", "--remove-link", "--link", "/run/x"});
  ASSERT_TRUE(removal.ok) << removal.error;
  EXPECT_TRUE(removal.options.removeLink);
  EXPECT_EQ(removal.options.link, "/run/x");
}

TEST(BridgeOptions, BadValuesAndUnknownOptionsAreRefusedWithTheReason) {
  const struct {
    std::vector<std::string_view> arguments;
    const char* says;
  } cases[] = {
      {{"--route", "6"}, "0 to 5"},
      {{"--route", "-1"}, "0 to 5"},
      {{"--route", "two"}, "0 to 5"},
      {{"--baud", "1907"}, "1908 to 250000000"},
      {{"--baud", "0"}, "1908 to 250000000"},
      {{"--baud", "fast"}, "1908 to 250000000"},
      {{"--baud", "99999999999999999999"}, "1908 to 250000000"},
      {{"--keep", "0"}, "byte count"},
      {{"--keep", "2000M"}, "byte count"},
      {{"--keep", "K"}, "byte count"},
      {{"--board", "../etc"}, "PCI address"},
      {{"--board", ""}, "PCI address"},
      {{"--link="}, "needs a path"},
      {{"--log", ""}, "needs a path"},
      {{"--group="}, "needs a group's name"},
      {{"--route"}, "needs a value"},
      {{"--verbose"}, "unknown option --verbose"},
      {{"/dev/ttyS0"}, "unknown option /dev/ttyS0"},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.arguments);
    EXPECT_FALSE(p.ok) << c.arguments[0];
    EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
  }
}

TEST(BridgeOptions, TheDefaultLinkIsInTheRuntimeFolderNamedAfterTheBoard) {
  EXPECT_EQ(DefaultLinkFolder("/run/user/1000", 1000), "/run/user/1000/q7m-uart");
  EXPECT_EQ(DefaultLinkFolder("relative/dir", 1000), "/tmp/q7m-uart-1000");
  EXPECT_EQ(DefaultLinkFolder(nullptr, 0), "/run/q7m-uart");
  EXPECT_EQ(DefaultLinkFolder("", 0), "/run/q7m-uart");
  EXPECT_EQ(DefaultLinkFolder(nullptr, 1000), "/tmp/q7m-uart-1000");

  EXPECT_EQ(DefaultLinkName(""), "ttyQ7M0");
  EXPECT_EQ(DefaultLinkName("2"), "ttyQ7M2");
  EXPECT_EQ(DefaultLinkName("0000:04:00.0"), "ttyQ7M-0000:04:00.0");
  // A choice taken from the environment stays one file name.
  EXPECT_EQ(DefaultLinkName("../x y"), "ttyQ7M-.._x_y");
}

TEST(BridgeOptions, RelativePathsAreTakenFromTheStartFolder) {
  BridgeOptions options;
  options.link = "pty/board";
  options.log = "./logs/../boot.log";
  MakeOptionPathsAbsolute(options, "/home/me/lab");
  EXPECT_EQ(options.link, "/home/me/lab/pty/board");
  EXPECT_EQ(options.log, "/home/me/lab/boot.log");
  options.link = "/run/x";
  options.log.clear();
  MakeOptionPathsAbsolute(options, "/home/me");
  EXPECT_EQ(options.link, "/run/x");
  EXPECT_EQ(options.log, "");
}

}  // namespace
