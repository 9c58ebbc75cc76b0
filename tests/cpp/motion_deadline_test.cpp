// A motion's reply deadline with short time-outs, over a connected socket pair: time spent
// paused does not count against it, and lines routed to a pending pause do not extend it.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "controller_end.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// A motion statement run on another thread, as Go and Move do.
class MotionDeadline : public epson::testing::ControllerEnd {
 protected:
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
