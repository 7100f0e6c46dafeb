// The rules of XON/XOFF between the board and a client of the bridge, as a
// serial port's line discipline applies them for the client's termios.

#include "bridge/software_flow.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

FlowModes Ixon(bool ixany = false) {
  FlowModes modes;
  modes.ixon = true;
  modes.ixany = ixany;
  return modes;
}

FlowModes Ixoff() {
  FlowModes modes;
  modes.ixoff = true;
  return modes;
}

TEST(SoftwareFlow, WithoutIxonEveryByteReachesTheClientAndNothingIsHeld) {
  SoftwareFlow flow;
  const std::string bytes =
      "a\x13"
      "b\x11"
      "c\x13";
  EXPECT_EQ(flow.Receive(bytes), bytes);
  EXPECT_FALSE(flow.SendingHeld());
  EXPECT_EQ(flow.InputControl(1000, 1000, true), std::nullopt) << "nor IXOFF's STOP";
}

TEST(SoftwareFlow, WithIxonStopHoldsStartReleasesAndNeitherReachesTheClient) {
  SoftwareFlow flow;
  flow.SetModes(Ixon());
  EXPECT_EQ(flow.Receive("one\x13two"), "onetwo");
  EXPECT_TRUE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive("three"), "three") << "other bytes leave the hold as it is";
  EXPECT_TRUE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive("\x11"
                         "four"),
            "four");
  EXPECT_FALSE(flow.SendingHeld());
  // The last of them in a batch decides.
  EXPECT_EQ(flow.Receive("\x13\x11\x13"), "");
  EXPECT_TRUE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive("\x11\x13\x11"), "");
  EXPECT_FALSE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive(std::string("x\0y", 3)), std::string("x\0y", 3)) << "NUL is data";
}

TEST(SoftwareFlow, IxanyReleasesOnAnyByteAndClearingIxonReleasesToo) {
  SoftwareFlow flow;
  flow.SetModes(Ixon(true));
  EXPECT_EQ(flow.Receive("\x13"), "");
  EXPECT_TRUE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive("z"), "z");
  EXPECT_FALSE(flow.SendingHeld());

  flow.SetModes(Ixon());
  flow.Receive("\x13");
  ASSERT_TRUE(flow.SendingHeld());
  flow.SetModes(Ixon());
  EXPECT_TRUE(flow.SendingHeld()) << "another change with IXON kept keeps the hold";
  flow.SetModes(FlowModes{});
  EXPECT_FALSE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive("\x13"), "\x13") << "and the STOP is a byte again";
  EXPECT_FALSE(flow.SendingHeld());
}

TEST(SoftwareFlow, TheClientsOwnCharactersCountAndADisabledOneIsData) {
  SoftwareFlow flow;
  FlowModes modes = Ixon();
  modes.stop = 'S';
  modes.start = 'Q';
  flow.SetModes(modes);
  EXPECT_EQ(flow.Receive("aSb\x13\x11"), "ab\x13\x11");
  EXPECT_TRUE(flow.SendingHeld());
  EXPECT_EQ(flow.Receive("Q"), "");
  EXPECT_FALSE(flow.SendingHeld());

  modes.stop = 0;  // _POSIX_VDISABLE
  flow.SetModes(modes);
  EXPECT_EQ(flow.Receive(std::string("\0", 1)), std::string("\0", 1));
  EXPECT_FALSE(flow.SendingHeld());
}

TEST(SoftwareFlow, IxoffSaysStopNearTheLimitAndStartOnceDrainedOrTheClientLeaves) {
  SoftwareFlow flow;
  flow.SetModes(Ixoff());
  EXPECT_EQ(flow.InputControl(749, 1000, true), std::nullopt);
  EXPECT_EQ(flow.InputControl(750, 1000, true), '\x13');
  EXPECT_TRUE(flow.BoardAskedToStop());
  EXPECT_EQ(flow.InputControl(900, 1000, true), std::nullopt) << "said once";
  EXPECT_EQ(flow.InputControl(251, 1000, true), std::nullopt);
  EXPECT_EQ(flow.InputControl(250, 1000, true), '\x11');
  EXPECT_FALSE(flow.BoardAskedToStop());
  EXPECT_EQ(flow.InputControl(250, 1000, true), std::nullopt);

  EXPECT_EQ(flow.InputControl(1000, 1000, true), '\x13');
  EXPECT_EQ(flow.InputControl(1000, 1000, false), '\x11') << "the client left";
  EXPECT_EQ(flow.InputControl(1000, 1000, false), std::nullopt) << "no client, no STOP";

  EXPECT_EQ(flow.InputControl(800, 1000, true), '\x13');
  FlowModes changed = Ixoff();
  changed.start = 'Q';
  changed.ixoff = false;
  flow.SetModes(changed);
  EXPECT_EQ(flow.InputControl(800, 1000, true), '\x11')
      << "IXOFF cleared: the START that undoes the STOP sent";
  EXPECT_EQ(flow.InputControl(1000, 1000, true), std::nullopt);
}

}  // namespace
