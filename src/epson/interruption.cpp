#include "epson/interruption.hpp"

#include <thread>

namespace epson {

namespace {

struct InterruptState {
  InterruptCheck check = nullptr;
  bool suspended = false;
  bool fired = false;
};

thread_local InterruptState state;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check)
    : previousCheck_(state.check), previousFired_(state.fired) {
  state.check = check;
  state.fired = false;
}

InterruptScope::~InterruptScope() {
  state.check = previousCheck_;
  state.fired = previousFired_;
}

UninterruptedScope::UninterruptedScope() : previousSuspended_(state.suspended) {
  state.suspended = true;
}

UninterruptedScope::~UninterruptedScope() {
  state.suspended = previousSuspended_;
}

bool interruptible() {
  return state.check != nullptr && !state.suspended;
}

void throwIfInterrupted() {
  if (!interruptible()) return;
  if (!state.fired) state.fired = state.check();
  if (state.fired) throw Interrupted();
}

void sleepInterruptibly(std::chrono::steady_clock::duration duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  for (auto left = duration; left > std::chrono::steady_clock::duration::zero();
       left = end - std::chrono::steady_clock::now()) {
    std::this_thread::sleep_for(interruptSlice(left));
    throwIfInterrupted();
  }
}

}  // namespace epson
