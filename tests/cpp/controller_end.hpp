// The controller's end of a session core: the core gets one end of a connected socket pair, the
// test reads the request lines and writes the replies at the other.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "epson/session_core.hpp"
#include "epson/session_core_seam.hpp"

namespace epson::testing {

class ControllerEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    SessionCoreSeam::adoptConnectedSocket(session_, fds[0], true);
    controller_ = fds[1];
  }

  void TearDown() override {
    SessionCoreSeam::forgetConnection(session_);  // the peer is a test
    ::close(controller_);
  }

  /// Reads one request line from the session.
  std::string request() {
    std::string line;
    for (char c = 0; ::recv(controller_, &c, 1, 0) == 1 && c != '\n';) {
      if (c != '\r') line.push_back(c);
    }
    return line;
  }

  /// Writes `data` as it stands (a reply line, or part of one).
  void send(const std::string& data) {
    ASSERT_EQ(::send(controller_, data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
  }

  void reply(const std::string& line) { send(line + "\r\n"); }

  SessionCore session_;
  int controller_ = -1;
};

}  // namespace epson::testing
