// A motion's reply deadline with short time-outs, over a connected socket pair: time spent
// paused does not count against it, and lines routed to a pending pause do not extend it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "epson/session_core.hpp"
#include "epson/session_core_seam.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// The controller's end of a session whose client end is a connected session core.
class MotionDeadline : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    epson::SessionCoreSeam::adoptConnectedSocket(session_, fds[0], true);
    controller_ = fds[1];
  }

  void TearDown() override {
    epson::SessionCoreSeam::forgetConnection(session_);  // the peer is a test
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

  void reply(const std::string& line) {
    const std::string data = line + "\r\n";
    ASSERT_EQ(::send(controller_, data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
  }

  /// Runs a motion statement with `timeoutMs` on another thread, as Go and Move do.
  std::thread motion(int timeoutMs, std::string& error) {
    return std::thread([this, timeoutMs, &error] {
      const epson::MotionLock hold(session_);
      try {
        session_.command(hold.held(), "$Execute,\"Go P1\"", timeoutMs, epson::ReplyWait::kMotion);
      } catch (const std::exception& failure) {
        error = failure.what();
      }
    });
  }

  epson::SessionCore session_;
  int controller_ = -1;
};

TEST_F(MotionDeadline, TimeSpentPausedDoesNotCount) {
  std::string error = "none";
  std::thread mover = motion(600, error);
  ASSERT_EQ(request(), "$Execute,\"Go P1\"");

  std::thread pauser([this] { session_.motionControl("$Pause"); });
  ASSERT_EQ(request(), "$Pause");
  reply("#Pause,0");
  pauser.join();
  std::this_thread::sleep_for(1200ms);  // twice the motion's time-out, paused

  std::thread continuer([this] { session_.motionControl("$Continue"); });
  ASSERT_EQ(request(), "$Continue");
  reply("#Continue,0");
  continuer.join();
  std::this_thread::sleep_for(200ms);
  reply("#Execute,0");
  mover.join();
  EXPECT_EQ(error, "none");
  EXPECT_TRUE(session_.connectionOpen());
}

TEST_F(MotionDeadline, RunningTimeStillCounts) {
  std::string error;
  const Clock::time_point started = Clock::now();
  std::thread mover = motion(600, error);
  ASSERT_EQ(request(), "$Execute,\"Go P1\"");
  // A pause refused by the controller stops no clock; its routed reply extends nothing.
  std::thread pauser([this] {
    try {
      session_.motionControl("$Pause");
    } catch (const std::runtime_error&) {
    }
  });
  ASSERT_EQ(request(), "$Pause");
  std::this_thread::sleep_for(400ms);
  reply("!Pause,20");
  pauser.join();
  mover.join();
  const auto took = Clock::now() - started;
  EXPECT_EQ(error,
            "Timed out waiting for an Epson Remote Ethernet response to $Execute,\"Go P1\" after "
            "600 ms");
  EXPECT_LT(took, 1500ms);
  EXPECT_FALSE(session_.connectionOpen());
}

}  // namespace
