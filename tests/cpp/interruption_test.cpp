// Interruption of blocking calls (Ctrl-C in the Python bindings): the scopes themselves, and what
// the session core leaves behind when a request, a motion or a lock wait is interrupted.
#include "epson/interruption.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "controller_end.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::atomic<bool> interruptRequested{false};
std::atomic<int> checksAsked{0};

bool requested() {
  ++checksAsked;
  return interruptRequested.load();
}

/// Requests the interrupt `after` from now, from another thread, as a signal would arrive.
std::thread interruptAfter(std::chrono::milliseconds after) {
  interruptRequested = false;
  return std::thread([after] {
    std::this_thread::sleep_for(after);
    interruptRequested = true;
  });
}

TEST(InterruptScope, AsksOnlyWhenInstalledAndLatchesOnceFired) {
  interruptRequested = false;
  checksAsked = 0;
  EXPECT_NO_THROW(epson::throwIfInterrupted());
  EXPECT_EQ(epson::interruptSlice(5000ms), 5000ms);  // nothing installed: waits run whole
  {
    const epson::InterruptScope scope(&requested);
    EXPECT_EQ(epson::interruptSlice(5000ms), epson::kInterruptSlice);
    EXPECT_NO_THROW(epson::throwIfInterrupted());
    interruptRequested = true;
    EXPECT_THROW(epson::throwIfInterrupted(), epson::Interrupted);
    interruptRequested = false;
    const int asked = checksAsked;
    EXPECT_THROW(epson::throwIfInterrupted(), epson::Interrupted);  // fired stays fired
    EXPECT_EQ(checksAsked, asked);
    {
      const epson::UninterruptedScope wholly;
      EXPECT_FALSE(epson::interruptible());
      EXPECT_NO_THROW(epson::throwIfInterrupted());
    }
    EXPECT_TRUE(epson::interruptible());
  }
  EXPECT_FALSE(epson::interruptible());
}

TEST(InterruptScope, SleepEndsWithinASlice) {
  std::thread signal = interruptAfter(150ms);
  const epson::InterruptScope scope(&requested);
  const Clock::time_point started = Clock::now();
  EXPECT_THROW(epson::sleepInterruptibly(10s), epson::Interrupted);
  signal.join();
  EXPECT_LT(Clock::now() - started, 1s);
}

class InterruptedSession : public epson::testing::ControllerEnd {
 protected:
  /// Runs `line` under an installed check; returns what it threw ("" for nothing).
  std::string interruptedCommand(const std::string& line, int timeoutMs, epson::ReplyWait wait) {
    const epson::InterruptScope scope(&requested);
    try {
      if (wait == epson::ReplyWait::kMotion) {
        const epson::MotionLock hold(session_);
        session_.command(hold.held(), line, timeoutMs, wait);
      } else {
        const epson::ConnectionLock lock(session_);
        session_.command(lock.held(), line, timeoutMs, wait);
      }
    } catch (const epson::Interrupted&) {
      return "Interrupted";
    } catch (const std::exception& error) {
      return error.what();
    }
    return "";
  }

  std::string ordinary(const std::string& line) {
    const epson::ConnectionLock lock(session_);
    session_.command(lock.held(), line, epson::kCommandTimeoutMs);
    return session_.lastResponse(lock.held());
  }
};

TEST_F(InterruptedSession, AnInterruptedRequestsLateReplyIsNotTheNextOnes) {
  std::thread signal = interruptAfter(200ms);
  const Clock::time_point started = Clock::now();
  std::thread asker([&] {
    EXPECT_EQ(interruptedCommand("$Execute,\"Print Tool\"", 5000, epson::ReplyWait::kOrdinary),
              "Interrupted");
  });
  ASSERT_EQ(request(), "$Execute,\"Print Tool\"");
  asker.join();
  signal.join();
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_TRUE(session_.connectionOpen());
  reply("#Execute,\" 3\"");  // the interrupted request's reply, late
  std::thread next([&] { EXPECT_EQ(ordinary("$Execute,\"Print Power\""), "#Execute,\" 0\""); });
  ASSERT_EQ(request(), "$Execute,\"Print Power\"");
  reply("#Execute,\" 0\"");
  next.join();
}

TEST_F(InterruptedSession, PartOfAReplyAtTheInterruptDropsTheConnection) {
  std::thread signal = interruptAfter(200ms);
  std::thread asker([&] {
    EXPECT_EQ(interruptedCommand("$Execute,\"Print Tool\"", 5000, epson::ReplyWait::kOrdinary),
              "Interrupted");
  });
  ASSERT_EQ(request(), "$Execute,\"Print Tool\"");
  send("#Execute,\" 3");  // no line end yet
  asker.join();
  signal.join();
  EXPECT_FALSE(session_.connectionOpen());
}

TEST_F(InterruptedSession, AnInterruptedMotionIsAbortedAndAwaited) {
  std::thread signal = interruptAfter(200ms);
  std::string outcome;
  std::thread mover([&] {
    outcome = interruptedCommand("$Execute,\"Go P1\"", 300000, epson::ReplyWait::kMotion);
  });
  ASSERT_EQ(request(), "$Execute,\"Go P1\"");
  ASSERT_EQ(request(), "$Abort");  // sent by the motion's own thread
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(outcome.empty());  // it waits for the motion's end
  reply("!Execute,99");
  reply("#Abort,0");
  mover.join();
  signal.join();
  EXPECT_EQ(outcome, "Interrupted");
  EXPECT_TRUE(session_.connectionOpen());
  // The abort's reply, read by the next request, is swallowed.
  std::thread next([&] { EXPECT_EQ(ordinary("$Execute,\"Print Power\""), "#Execute,\" 0\""); });
  ASSERT_EQ(request(), "$Execute,\"Print Power\"");
  reply("#Execute,\" 0\"");
  next.join();
}

TEST_F(InterruptedSession, AWaitBehindAMotionEndsAndSendsNothing) {
  std::thread mover([&] {
    const epson::MotionLock hold(session_);
    session_.command(hold.held(), "$Execute,\"Go P1\"", 300000, epson::ReplyWait::kMotion);
  });
  ASSERT_EQ(request(), "$Execute,\"Go P1\"");
  std::thread signal = interruptAfter(200ms);
  const Clock::time_point started = Clock::now();
  EXPECT_EQ(interruptedCommand("$Execute,\"Print Tool\"", 5000, epson::ReplyWait::kOrdinary),
            "Interrupted");
  signal.join();
  EXPECT_LT(Clock::now() - started, 1s);
  reply("#Execute,0");
  mover.join();
  EXPECT_TRUE(session_.connectionOpen());
  EXPECT_FALSE(session_.motionInProgress());
}

}  // namespace
