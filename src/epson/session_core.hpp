// The Remote Ethernet session core: the socket and its framing, the reply wait, the connection
// lock and the flags, connect/login/logout and drop, and motion-control requests delivered past a
// running motion. It knows nothing of Tools, motors or the TCP: the operations beside it
// (controller_status, workspace_limit, tool_slots, tcp_offset, motion_commands,
// state_kinematics) build their requests on it. Private to the core.
//
// Locks, outermost first: connection -> pending -> write. Members marked "connection" are read
// and written only by the thread that holds the connection lock; that thread is also the only one
// that reads the socket.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "epson/command_channel.hpp"  // the time-outs
#include "epson/errors.hpp"

namespace epson {

class SessionCore;
class SessionCoreSeam;

/// A reply, write, receive or connect attempt that did not complete in time.
class SessionTimeout : public EpsonTimeout {
 public:
  using EpsonTimeout::EpsonTimeout;
};

/// A connect, write or receive that failed, with the system's error text.
class SessionFailure : public ConnectionLost {
 public:
  using ConnectionLost::ConnectionLost;
};

/// Proof that the caller holds the session's connection lock: every `...Locked` operation takes
/// one, and only a ConnectionLock (or a MotionLock) makes one.
class ConnectionHeld {
 public:
  ConnectionHeld(const ConnectionHeld&) = delete;
  ConnectionHeld& operator=(const ConnectionHeld&) = delete;

 private:
  friend class ConnectionLock;
  ConnectionHeld() = default;
};

/// Tag of the lock taken by the steps that end a session: see ConnectionLock.
struct EndingMotions {};
inline constexpr EndingMotions kEndingMotions{};

/// Holds the connection lock of a session for a scope.
class ConnectionLock {
 public:
  /// Waits for the lock (when the thread is interruptible, in slices that ask the check).
  explicit ConnectionLock(SessionCore& session);
  /// Waits at most `wait`; ownsLock() tells whether it was taken.
  ConnectionLock(SessionCore& session, std::chrono::milliseconds wait);
  /// For disconnect, a second connect and teardown: a motion of another thread that holds the
  /// connection is aborted and awaited at most kMotionEndWaitMs; a motion that still has not
  /// ended then has the connection shut down under it, so that it lets go at once.
  ConnectionLock(SessionCore& session, EndingMotions);

  bool ownsLock() const { return lock_.owns_lock(); }
  const ConnectionHeld& held() const { return held_; }

 private:
  std::unique_lock<std::timed_mutex> lock_;
  ConnectionHeld held_;
};

/// Runs an operation's `...Locked` form under a lock of the connection taken for it.
template <typename Locked, typename... Arguments>
decltype(auto) underLock(SessionCore& session, Locked&& locked, Arguments&&... arguments) {
  const ConnectionLock lock(session);
  return locked(session, lock.held(), std::forward<Arguments>(arguments)...);
}

/// Holds the connection for one Go or Move and marks the session as moving, so that pause and
/// continue reach the controller past it. The mark is cleared before the lock is released.
class MotionLock {
 public:
  explicit MotionLock(SessionCore& session);
  ~MotionLock();
  MotionLock(const MotionLock&) = delete;
  MotionLock& operator=(const MotionLock&) = delete;

  const ConnectionHeld& held() const { return lock_.held(); }

 private:
  ConnectionLock lock_;
  SessionCore& session_;
};

/// How a reply wait treats a line that answers no request of ours.
enum class ReplyWait {
  /// The line is a fault: the connection is dropped, since the real reply may still come.
  kOrdinary,
  /// A Go or Move: the line is logged and skipped, and the motion keeps waiting (dropping the
  /// connection would leave a moving arm that nothing can pause). Time spent paused does not
  /// count against the time-out.
  kMotion,
};

class SessionCore {
 public:
  SessionCore();
  /// Closes the socket; sends nothing (the disconnect steps are the owner's).
  ~SessionCore();
  SessionCore(const SessionCore&) = delete;
  SessionCore& operator=(const SessionCore&) = delete;

  /// Resolves, connects and logs in, with retries; prints "Connected to HOST:PORT". A session
  /// that is connected must be closed first.
  void connectLocked(const ConnectionHeld& held, const std::string& host, std::uint16_t port,
                     const std::string& password, const ConnectOptions& options = {});
  void logoutLocked(const ConnectionHeld& held);
  /// Shuts the socket down and closes it (if a failed step has not closed it already), clears the
  /// flags and prints "Disconnected from ..."; throws "Failed to disconnect: ..." when the close
  /// fails. For a session that was connected: the owner checks that first.
  void closeLocked(const ConnectionHeld& held);

  /// Writes `line`, waits for its reply (the whole logical reply within `timeoutMs`) and checks
  /// it; the reply is lastResponse() afterwards.
  void command(const ConnectionHeld& held, const std::string& line, int timeoutMs,
               ReplyWait wait = ReplyWait::kOrdinary);
  /// Runs a SPEL+ statement through `$Execute` (5000 ms) and returns the printed payload.
  std::string execute(const ConnectionHeld& held, const std::string& statement);
  const std::string& lastResponse(const ConnectionHeld&) const { return lastResponse_; }

  /// A motion-control request ($Pause, $Continue, $Abort): delivered at once past a running
  /// motion, whose thread routes the reply here; without a motion an ordinary request. Only one
  /// is pending at a time: with `queue`, a request waits for the one pending (bounded by its
  /// time-out) instead of being refused.
  /// Returns the reply line.
  std::string motionControl(const std::string& line, bool queue = false);

  /// False also when the peer has closed or reset the connection, seen without a request.
  bool isConnected() const;
  bool isLoggedIn() const { return loggedIn_.load() && isConnected(); }
  /// The flags alone, as the session last saw them (no look at the socket).
  bool connectionOpen() const { return connected_.load(); }
  bool loggedInFlag() const { return loggedIn_.load(); }
  bool motionInProgress() const { return motionInProgress_.load(); }

  /// True in a process forked from the one that opened the connection.
  bool inForkedChild() const;
  /// In a forked child: lets go of the parent's connection without writing to it or shutting it
  /// down. Takes no lock (a parent thread may have held one at the fork).
  void releaseForkedCopy();

  /// Called, with the connection lock held (or in a forked child, without it), whenever the
  /// connection ends: closed, dropped after a failure, or let go after a fork. The state that
  /// belongs to a connection (motors turned on, a saved Tool) forgets it here.
  void onConnectionEnded(std::function<void()> listener);

 private:
  friend class ConnectionLock;
  friend class MotionLock;
  friend class SessionCoreSeam;
  using Clock = std::chrono::steady_clock;

  /// One request's reply deadline: the whole logical reply, continuation lines included, and for
  /// a motion extended by the time spent paused.
  struct ReplyDeadline {
    Clock::time_point start;
    int timeoutMs;
    bool motion;
    /// The first receive may use the full time-out: the socket's receive time-out then usually
    /// needs no new setting.
    bool fresh = true;
  };

  void beginMotion();
  void endMotion();
  /// The body of ConnectionLock(session, kEndingMotions).
  void lockEndingMotions(std::unique_lock<std::timed_mutex>& lock);
  /// Reads the reply to `line` (expected prefix `expected`) against `deadline`.
  void awaitReply(const std::string& line, const std::string& expected, ReplyDeadline& deadline,
                  ReplyWait wait);
  /// Ctrl-C during a Go or Move: sends $Abort and waits, bounded and uninterruptible, for the
  /// motion's own reply; drops the connection when it does not come.
  void abortInterruptedMotion(const std::string& expected);
  /// Ctrl-C during an ordinary request: its reply, still to come, is marked to be swallowed (or
  /// the connection dropped when part of it has arrived already).
  void expireInterruptedRequest(const std::string& expected);
  /// Asks the interrupt check with the pending lock released: the check may wait for the GIL.
  void checkInterruptUnlocked(std::unique_lock<std::mutex>& pendingLock);
  void login(const ConnectionHeld& held, const std::string& password);
  void openSocket(const boost::asio::ip::tcp::resolver::results_type& endpoints,
                  Clock::duration timeout);
  /// Checks `reply` to `request`, updating the login flag; throws on failure.
  void parseResponse(const std::string& reply, const std::string& request);
  /// Closes the socket, clears the flags and tells the listeners. Nothing is sent or logged.
  void dropConnection();
  void closeSocketQuietly();
  /// Ends reading and writing without closing, so that the thread that reads the socket meets
  /// the failure and drops the connection itself.
  void shutDownSocket();
  void connectionEnded();
  /// Handles lines that arrived after the last reply and before this request: replies of expired
  /// or pending motion-control requests go where they belong, anything else is logged and
  /// discarded, so that it is never read as the next request's reply.
  void discardStaleLines();
  Clock::time_point deadlineOf(const ReplyDeadline& deadline);
  /// The next logical reply line; SessionTimeout when the deadline passes first.
  std::string readReplyLine(ReplyDeadline& deadline);
  /// Receives until the buffer holds a line end; SessionTimeout when the deadline passes first.
  void awaitDelimiter(ReplyDeadline& deadline);
  void setReceiveTimeout(int fd, Clock::duration timeout);
  std::string takePhysicalLine();
  /// Writes `line` + terminator within `timeoutMs`.
  void writeLine(const std::string& line, int timeoutMs);
  std::string sendDuringMotion(const std::string& line, bool queue);
  /// Waits, after the motion that carried it has ended, for a pending motion-control reply: reads
  /// the connection itself unless another holder routes the reply first.
  void readPendingReplyAfterMotion(std::unique_lock<std::mutex>& pendingLock,
                                   Clock::time_point deadline, std::uint64_t generation);
  /// Reads the connection for the pending reply until it is routed or `deadline` passes.
  void readPendingReply(const ConnectionHeld& held, std::unique_lock<std::mutex>& pendingLock,
                        Clock::time_point deadline);
  bool routePendingReply(const std::string& line);
  bool swallowExpiredReply(const std::string& line);
  void forgetExpiredRequests();

  boost::asio::io_context io_;           // connection
  boost::asio::ip::tcp::socket socket_;  // connection (writes and close: writeMutex_)
  std::string receiveBuffer_;            // connection
  std::size_t receiveStart_ = 0;         // connection; bytes before it are consumed
  /// The socket's receive time-out as last set; zero: not set (the kernel waits forever).
  Clock::duration receiveTimeout_{};  // connection
  std::string host_;                  // connection
  std::uint16_t port_ = 0;            // connection
  std::string lastCommand_;           // connection
  std::string lastResponse_;          // connection
  /// Whether the last request got a reply line of any kind (connection).
  bool lastRequestAnswered_ = false;
  std::vector<std::function<void()>> endListeners_;  // set before use
  std::atomic<bool> connected_{false};
  std::atomic<bool> loggedIn_{false};
  std::atomic<bool> motionInProgress_{false};
  /// Counts the motions begun, so that a disconnect aborts each motion it waits behind once.
  std::atomic<std::uint64_t> motionsBegun_{0};
  /// The descriptor of the open connection for the request-free liveness check; -1 when closed.
  std::atomic<int> liveDescriptor_{-1};
  /// The process that opened the connection; 0 when none is open.
  std::atomic<pid_t> ownerPid_{0};
  std::mutex writeMutex_;
  std::mutex pendingMutex_;
  std::condition_variable pendingCondition_;
  std::string pendingPrefix_;  // pending
  std::string pendingReply_;   // pending
  /// Counts the connections opened; a motion-control request belongs to the one it was sent on
  /// (written under the connection and the pending lock; read under either).
  std::uint64_t connectionGeneration_ = 0;
  std::uint64_t pendingGeneration_ = 0;  // pending
  /// Time spent paused in the current motion (pending).
  std::optional<Clock::time_point> pausedSince_;
  Clock::duration pausedTotal_{};
  /// Names of motion-control requests whose wait expired, oldest first; the next reply of each
  /// name is theirs and is swallowed wherever it is read (pending).
  std::deque<std::string> expiredRequestNames_;
  std::timed_mutex connectionMutex_;
};

}  // namespace epson
