#include "epson/robot_cell.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using epson::detail::disconnectFailureMessage;

TEST(RobotCellDisconnect, NamesTheInterfaceThatFailed) {
  EXPECT_EQ(disconnectFailureMessage("", ""), "");
  EXPECT_EQ(disconnectFailureMessage("join failed", ""),
            "Failed to disconnect Epson receive interface: join failed");
  EXPECT_EQ(disconnectFailureMessage("", "Failed to disconnect: Bad file descriptor"),
            "Failed to disconnect Epson control interface: Failed to disconnect: Bad file "
            "descriptor");
  EXPECT_EQ(disconnectFailureMessage("join failed", "socket"),
            "Failed to disconnect both Epson interfaces: receive error: join failed; control "
            "error: socket");
}

}  // namespace
