// Interruption of blocking calls. A caller that wants a call to end early on a request of its own
// (the Python bindings, for Ctrl-C in the main thread) installs a check for the duration of that
// call; every wait of the core then runs in short slices and asks the check between them. Without
// a check installed nothing changes: waits run whole and nothing is asked.
#pragma once

#include <chrono>
#include <stdexcept>

namespace epson {

/// The installed check fired: the call ends, leaving the session consistent. The caller that
/// installed the check knows what to report (the bindings raise the pending Python exception).
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("Interrupted") {}
};

/// True when the caller wants the call to end. Called on the calling thread, between waits.
using InterruptCheck = bool (*)();

/// Installs `check` on this thread for a scope (nullptr: none). Scopes nest.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptCheck check);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptCheck previousCheck_;
  bool previousFired_;
};

/// Suspends the check for a scope: steps that must run to their end once begun, such as the
/// bounded wait for an aborted motion's reply.
class UninterruptedScope {
 public:
  UninterruptedScope();
  ~UninterruptedScope();
  UninterruptedScope(const UninterruptedScope&) = delete;
  UninterruptedScope& operator=(const UninterruptedScope&) = delete;

 private:
  bool previousSuspended_;
};

/// Whether a check is installed (and not suspended) on this thread.
bool interruptible();
/// Asks the check; throws Interrupted when it fires (and, once it has fired in a scope, at every
/// later call in that scope without asking again).
void throwIfInterrupted();

/// The longest single wait while a check is installed: Ctrl-C is answered within about this.
inline constexpr std::chrono::milliseconds kInterruptSlice{100};

/// `wanted`, capped to one slice when the calling thread is interruptible.
template <typename Duration>
Duration interruptSlice(Duration wanted) {
  if (!interruptible()) return wanted;
  const auto slice = std::chrono::duration_cast<Duration>(kInterruptSlice);
  return wanted < slice ? wanted : slice;
}

/// Sleeps `duration`, in slices that ask the check when interruptible.
void sleepInterruptibly(std::chrono::steady_clock::duration duration);

}  // namespace epson
