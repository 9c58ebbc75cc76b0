// The Remote Ethernet session core: connect and login with retries, one request and its reply at a
// time on the caller's thread, motion-control requests during a motion, orderly close.
#include "epson/session_core.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"
#include "epson/interruption.hpp"
#include "epson/wire_protocol.hpp"

namespace epson {

namespace {

using Clock = std::chrono::steady_clock;
using boost::asio::ip::tcp;

constexpr std::chrono::seconds kLoginRetryDelay{2};
constexpr std::chrono::seconds kPendingReplyTimeout{5};
/// How long a Go or Move interrupted by Ctrl-C waits for its own reply after its $Abort.
constexpr int kInterruptedMotionEndMs = 5000;
constexpr auto kMotionEndWait = std::chrono::milliseconds(kMotionEndWaitMs);
/// How often a thread waiting for the connection re-reads the motion flag.
constexpr auto kMotionFlagSlice = std::chrono::milliseconds(20);
/// A partial reply line may fill the buffer up to the longest line and its CR LF.
constexpr std::size_t kMaxBufferedReply = wire::kMaxReplyBytes + 2;
/// The most one receive takes.
constexpr std::size_t kReceiveChunk = 16384;

/// The one translation of a system error into the session's failure text.
std::string systemErrorText(int error) {
  return boost::system::error_code(error, boost::system::system_category()).message();
}

/// A reply as one log line: line breaks inside a quoted reply are shown as escapes.
std::string oneLine(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

std::string unexpectedReplyMessage(const std::string& reply, const std::string& expected) {
  if (reply.empty()) return "Empty response from Epson controller";
  return "Unexpected Epson response while waiting for " + expected + ": " + reply;
}

[[noreturn]] void throwReceiveFailure(const std::string& errorText) {
  throw SessionFailure("Failed while waiting for an Epson Remote Ethernet response: " + errorText);
}

}  // namespace

ConnectionLock::ConnectionLock(SessionCore& session)
    : lock_(session.connectionMutex_, std::defer_lock) {
  if (!interruptible()) {
    lock_.lock();
    return;
  }
  while (!lock_.try_lock_for(kInterruptSlice)) throwIfInterrupted();
}

ConnectionLock::ConnectionLock(SessionCore& session, std::chrono::milliseconds wait)
    : lock_(session.connectionMutex_, deadlineAfter(wait)) {}

ConnectionLock::ConnectionLock(SessionCore& session, EndingMotions)
    : lock_(session.connectionMutex_, std::defer_lock) {
  session.lockEndingMotions(lock_);
}

MotionLock::MotionLock(SessionCore& session) : lock_(session), session_(session) {
  session_.beginMotion();
}

MotionLock::~MotionLock() {
  session_.endMotion();  // lock_ is released after this body
}

SessionCore::SessionCore() : socket_(io_) {}

SessionCore::~SessionCore() {
  if (inForkedChild()) {
    releaseForkedCopy();
    return;
  }
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void SessionCore::onConnectionEnded(std::function<void()> listener) {
  endListeners_.push_back(std::move(listener));
}

void SessionCore::connectLocked(const ConnectionHeld& held, const std::string& hostName,
                                std::uint16_t portNumber, const std::string& password,
                                const ConnectOptions& options) {
  const auto attemptTimeout =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout_s));
  tcp::resolver resolver(io_);
  boost::system::error_code resolveError;
  const auto endpoints = resolver.resolve(hostName, std::to_string(portNumber), resolveError);
  if (resolveError) {
    logAndThrow<ConnectionLost>("Failed to resolve " + endpointText(hostName, portNumber) + ": " +
                                resolveError.message());
  }
  host_ = hostName;
  port_ = portNumber;

  for (int attempt = 1;; ++attempt) {
    try {
      openSocket(endpoints, attemptTimeout);
      login(held, password);
      break;
    } catch (const Interrupted&) {
      // Ctrl-C ends the attempt and the retries: nothing stays open.
      closeSocketQuietly();
      connected_.store(false);
      loggedIn_.store(false);
      throw;
    } catch (const std::exception& error) {
      closeSocketQuietly();
      connected_.store(false);
      loggedIn_.store(false);
      // The controller answered: a rejected login does not get better by asking again.
      if (lastRequestAnswered_) throw;
      if (attempt >= options.attempts) {
        // The kind of the last attempt's failure, with the attempts counted.
        rethrowWithMessage(error, "Epson Remote Ethernet login failed after " +
                                      std::to_string(attempt) +
                                      (attempt == 1 ? " attempt: " : " attempts: ") + error.what());
      }
      logLine(stderr, "Epson Remote Ethernet login attempt " + std::to_string(attempt) +
                          " failed; retrying in " + std::to_string(kLoginRetryDelay.count()) +
                          " seconds");
      sleepInterruptibly(kLoginRetryDelay);
    }
  }
  logLine(stdout, "Connected to " + endpointText(host_, port_));
}

void SessionCore::openSocket(const tcp::resolver::results_type& endpoints,
                             Clock::duration timeout) {
  {
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    boost::system::error_code ignored;
    socket_.close(ignored);
    socket_ = tcp::socket(io_);
  }
  // Bytes of an earlier connection are never read as replies to this one, and its
  // motion-control requests are not this one's.
  receiveBuffer_.clear();
  receiveStart_ = 0;
  receiveTimeout_ = Clock::duration::zero();
  lastRequestAnswered_ = false;
  {
    std::lock_guard<std::mutex> pendingLock(pendingMutex_);
    ++connectionGeneration_;
    expiredRequestNames_.clear();
  }

  boost::system::error_code connectError = boost::asio::error::would_block;
  bool finished = false;
  boost::asio::async_connect(socket_, endpoints,
                             [&](const boost::system::error_code& error, const tcp::endpoint&) {
                               connectError = error;
                               finished = true;
                             });
  const auto abandonConnect = [this] {
    closeSocketQuietly();
    io_.restart();
    io_.run();  // let the aborted connect complete before its state goes out of scope
  };
  const Clock::time_point deadline = Clock::now() + timeout;
  for (Clock::duration left = timeout; !finished && left > Clock::duration::zero();
       left = deadline - Clock::now()) {
    io_.restart();
    io_.run_for(interruptSlice(left));
    if (finished) break;
    try {
      throwIfInterrupted();
    } catch (const Interrupted&) {
      abandonConnect();
      throw;
    }
  }
  if (!finished) {
    abandonConnect();
    throw SessionTimeout("Connection to " + endpointText(host_, port_) + " timed out");
  }
  if (connectError) {
    closeSocketQuietly();
    throw SessionFailure("Failed to connect to " + endpointText(host_, port_) + ": " +
                         connectError.message());
  }
  boost::system::error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  // Replies are read with blocking receives (awaitDelimiter); writes never block (writeLine).
  boost::system::error_code modeError;
  socket_.native_non_blocking(false, modeError);
  if (modeError) {
    closeSocketQuietly();
    throw SessionFailure("Failed to connect to " + endpointText(host_, port_) + ": " +
                         modeError.message());
  }
  ownerPid_.store(::getpid());
  liveDescriptor_.store(socket_.native_handle());
  connected_.store(true);
  loggedIn_.store(false);
}

void SessionCore::login(const ConnectionHeld& held, const std::string& password) {
  if (!connected_.load()) logAndThrow<NotConnected>("login() called but not connected");
  if (loggedIn_.load()) logAndThrow("login() called but already logged in");
  command(held, "$Login," + password, kCommandTimeoutMs);
}

void SessionCore::logoutLocked(const ConnectionHeld& held) {
  if (!connected_.load()) logAndThrow<NotConnected>("logout() called but not connected");
  if (!loggedIn_.load()) logAndThrow<NotConnected>("logout() called but not logged in");
  command(held, "$Logout", kCommandTimeoutMs);
}

void SessionCore::closeLocked(const ConnectionHeld&) {
  // Also after a disconnect step dropped the connection: the close is reported either way.
  boost::system::error_code closeError;
  {
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    liveDescriptor_.store(-1);
    if (socket_.is_open()) {
      boost::system::error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_both, ignored);
      socket_.close(closeError);
    }
  }
  ownerPid_.store(0);
  connected_.store(false);
  loggedIn_.store(false);
  connectionEnded();
  if (closeError) logAndThrow<ConnectionLost>("Failed to disconnect: " + closeError.message());
  logLine(stdout, "Disconnected from " + endpointText(host_, port_));
}

void SessionCore::command(const ConnectionHeld&, const std::string& line, int timeoutMs,
                          ReplyWait wait) {
  if (inForkedChild()) releaseForkedCopy();
  if (!connected_.load() || !socket_.is_open()) {
    throw NotConnected("command() was called but socket not connected");
  }
  // Every failure of the connection itself drops it, here in one place.
  try {
    discardStaleLines();
    // Writes are bounded by the ordinary command time-out, also for a motion statement.
    writeLine(line, kCommandTimeoutMs);
    lastCommand_ = line;
    lastRequestAnswered_ = false;
    const std::string expected = wire::expectedReplyPrefix(line);

    ReplyDeadline deadline{Clock::now(), timeoutMs, wait == ReplyWait::kMotion};
    try {
      awaitReply(line, expected, deadline, wait);
    } catch (const Interrupted&) {
      if (wait == ReplyWait::kMotion) {
        abortInterruptedMotion(expected);
      } else {
        expireInterruptedRequest(expected);
      }
      throw;
    }
  } catch (const SessionTimeout&) {
    dropConnection();
    throw;
  } catch (const SessionFailure&) {
    dropConnection();
    throw;
  }
}

void SessionCore::awaitReply(const std::string& line, const std::string& expected,
                             ReplyDeadline& deadline, ReplyWait wait) {
  const std::string_view expectedName = std::string_view(expected).substr(1);
  for (;;) {
    const std::string reply = readReplyLine(deadline);
    lastRequestAnswered_ = true;
    // A reply that belongs to an expired motion-control request comes first, in request order.
    if (swallowExpiredReply(reply)) continue;
    if (wire::isSuccessReply(reply, expected)) {
      lastResponse_ = reply;
      parseResponse(lastResponse_, line);
      return;
    }
    if (routePendingReply(reply)) continue;
    const bool failure = !reply.empty() && reply.front() == '!';
    if (failure && wire::replyName(reply) == expectedName) {
      lastResponse_ = reply;
      parseResponse(lastResponse_, line);  // throws the failure message
    }
    if (wait == ReplyWait::kMotion) {
      logLine(stderr,
              oneLine(unexpectedReplyMessage(reply, expected)) + " (ignored; the motion goes on)");
      continue;
    }
    // The real reply may still come: kept, it would be read as the next request's.
    dropConnection();
    if (failure) parseResponse(reply, line);  // the failure message, as the controller sent it
    throw ProtocolError(unexpectedReplyMessage(reply, expected));
  }
}

void SessionCore::abortInterruptedMotion(const std::string& expected) {
  // The arm must not go on moving because the caller stopped waiting for it.
  const UninterruptedScope wholly;
  const std::string_view expectedName = std::string_view(expected).substr(1);
  try {
    writeLine(wire::kAbortRequest, kCommandTimeoutMs);
    {
      // Its reply may come before or after the motion's; it answers nobody here.
      const std::lock_guard<std::mutex> pendingLock(pendingMutex_);
      expiredRequestNames_.push_back(wire::kAbortRequest.substr(1));
    }
    ReplyDeadline deadline{Clock::now(), kInterruptedMotionEndMs, false};
    for (;;) {
      const std::string reply = readReplyLine(deadline);
      if (swallowExpiredReply(reply)) continue;
      const bool ownFailure =
          !reply.empty() && reply.front() == '!' && wire::replyName(reply) == expectedName;
      if (ownFailure || wire::isSuccessReply(reply, expected)) {
        logLine(stderr, "Epson motion aborted on interrupt: " + oneLine(reply));
        return;
      }
      if (routePendingReply(reply)) continue;
      logLine(stderr, oneLine(unexpectedReplyMessage(reply, expected)) +
                          " (ignored; the motion is being aborted)");
    }
  } catch (const std::exception& error) {
    logLine(stderr, std::string("The interrupted Epson motion did not confirm its end (") +
                        error.what() + "); the connection is dropped");
    dropConnection();
  }
}

void SessionCore::expireInterruptedRequest(const std::string& expected) {
  if (receiveStart_ < receiveBuffer_.size()) {
    // Part of the reply is here already: the rest could not be told from a new reply.
    logLine(stderr, "Interrupted in the middle of an Epson response; the connection is dropped");
    dropConnection();
    return;
  }
  const std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  expiredRequestNames_.emplace_back(std::string_view(expected).substr(1));
}

void SessionCore::checkInterruptUnlocked(std::unique_lock<std::mutex>& pendingLock) {
  pendingLock.unlock();
  try {
    throwIfInterrupted();
  } catch (...) {
    pendingLock.lock();
    throw;
  }
  pendingLock.lock();
}

std::string SessionCore::execute(const ConnectionHeld& held, const std::string& statement) {
  command(held, wire::executeRequest(statement), kCommandTimeoutMs);
  return wire::executePayload(lastResponse_);
}

void SessionCore::parseResponse(const std::string& reply, const std::string& request) {
  switch (wire::checkReply(reply, request)) {
    case wire::LoginEffect::kLoggedIn:
      loggedIn_.store(true);
      break;
    case wire::LoginEffect::kLoggedOut:
      loggedIn_.store(false);
      break;
    case wire::LoginEffect::kNone:
      break;
  }
}

void SessionCore::beginMotion() {
  std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  pausedSince_.reset();
  pausedTotal_ = Clock::duration::zero();
  motionsBegun_.fetch_add(1);
  motionInProgress_.store(true);
}

void SessionCore::lockEndingMotions(std::unique_lock<std::timed_mutex>& lock) {
  std::optional<Clock::time_point> firstAbort;
  std::uint64_t abortedMotion = 0;
  while (!lock.try_lock_for(kMotionFlagSlice)) {
    throwIfInterrupted();
    if (!motionInProgress_.load()) continue;  // an ordinary request: bounded by its time-out
    const std::uint64_t motion = motionsBegun_.load();
    if (motion != abortedMotion) {
      abortedMotion = motion;
      if (!firstAbort) firstAbort = Clock::now();
      logLine(stderr, "Aborting the running Epson motion to end the session");
      try {
        motionControl(wire::kAbortRequest, true);
      } catch (const Interrupted&) {
        throw;
      } catch (const std::exception& error) {
        logLine(stderr, std::string("Failed to abort the Epson motion: ") + error.what());
      }
      continue;
    }
    if (Clock::now() - *firstAbort >= kMotionEndWait) {
      logLine(stderr, "The Epson motion did not end within " +
                          std::to_string(kMotionEndWaitMs / 1000) +
                          " s of $Abort; the connection is shut down under it");
      shutDownSocket();  // the motion's thread meets the failure at once and lets go
      lock.lock();
      return;
    }
  }
}

void SessionCore::endMotion() {
  {
    std::lock_guard<std::mutex> pendingLock(pendingMutex_);
    motionInProgress_.store(false);
    pausedSince_.reset();
  }
  // A motion-control request still waiting now reads its reply itself.
  pendingCondition_.notify_all();
}

void SessionCore::discardStaleLines() {
  // Whatever the socket already holds arrived before this request was sent. Asked with
  // FIONREAD, not a receive: a receive would take a pending reset that the write must report.
  const int fd = socket_.native_handle();
  char chunk[kReceiveChunk];
  int waiting = 0;
  while (receiveBuffer_.size() < kMaxBufferedReply && ::ioctl(fd, FIONREAD, &waiting) == 0 &&
         waiting > 0) {
    const ssize_t received = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (received <= 0) break;  // a failure the request itself will meet
    receiveBuffer_.append(chunk, static_cast<std::size_t>(received));
  }
  while (receiveStart_ < receiveBuffer_.size()) {
    const bool complete = receiveBuffer_.find('\n', receiveStart_) != std::string::npos;
    const std::string line = takePhysicalLine();
    if (complete && (swallowExpiredReply(line) || routePendingReply(line))) continue;
    logLine(stderr, "Discarded an Epson response that answers no request: " + oneLine(line));
  }
  receiveBuffer_.clear();
  receiveStart_ = 0;
}

SessionCore::Clock::time_point SessionCore::deadlineOf(const ReplyDeadline& deadline) {
  Clock::time_point end =
      deadline.start + std::chrono::milliseconds(std::max(deadline.timeoutMs, 0));
  if (!deadline.motion) return end;
  std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  end += pausedTotal_;
  if (pausedSince_) end += Clock::now() - *pausedSince_;
  return end;
}

std::string SessionCore::readReplyLine(ReplyDeadline& deadline) {
  awaitDelimiter(deadline);
  std::string line = takePhysicalLine();
  bool quoteOpen = wire::hasOpenQuote(line);
  while (quoteOpen) {
    awaitDelimiter(deadline);
    const std::string next = takePhysicalLine();
    if (line.size() + 1 + next.size() > wire::kMaxReplyBytes) {
      dropConnection();
      wire::throwReplyTooLong();
    }
    line.push_back('\n');
    line.append(next);
    quoteOpen ^= wire::hasOpenQuote(next);
  }
  return line;
}

void SessionCore::awaitDelimiter(ReplyDeadline& deadline) {
  if (receiveBuffer_.find('\n', receiveStart_) != std::string::npos) return;  // a line is here
  // Only a partial line is left: drop the consumed bytes before reading more.
  receiveBuffer_.erase(0, receiveStart_);
  receiveStart_ = 0;

  // A blocking receive bounded by the socket's receive time-out: one system call per reply and a
  // coarse kernel timer, where waiting in the reactor takes two calls and a precise timer.
  const int fd = socket_.native_handle();
  for (;;) {
    const std::size_t have = receiveBuffer_.size();
    if (have >= kMaxBufferedReply) {
      dropConnection();
      wire::throwReplyTooLong();
    }
    Clock::duration remaining;
    if (deadline.fresh) {
      remaining = std::chrono::milliseconds(std::max(deadline.timeoutMs, 0));
      deadline.fresh = false;
    } else {
      remaining = deadlineOf(deadline) - Clock::now();
    }
    if (remaining <= Clock::duration::zero()) {
      throw SessionTimeout("Timed out waiting for an Epson Remote Ethernet response to " +
                           wire::shownCommandText(lastCommand_) + " after " +
                           std::to_string(deadline.timeoutMs) + " ms");
    }
    setReceiveTimeout(fd, interruptSlice(remaining));
    // Received on the stack and appended: growing the buffer first would zero all the room.
    char chunk[kReceiveChunk];
    const ssize_t received = ::recv(fd, chunk, std::min(kMaxBufferedReply - have, sizeof chunk), 0);
    if (received > 0) {
      const auto size = static_cast<std::size_t>(received);
      receiveBuffer_.append(chunk, size);
      if (std::memchr(chunk, '\n', size) != nullptr) return;
      continue;
    }
    if (received == 0)
      throwReceiveFailure(boost::system::error_code(boost::asio::error::eof).message());
    const int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) {
      throwIfInterrupted();
      continue;  // the loop re-checks the deadline
    }
    throwReceiveFailure(systemErrorText(error));
  }
}

void SessionCore::setReceiveTimeout(int fd, Clock::duration timeout) {
  if (timeout == receiveTimeout_) return;
  // A zero time-out would mean no time-out at all; round up to the next microsecond.
  const auto micros =
      std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::microseconds>(timeout).count());
  timeval value{};
  value.tv_sec = static_cast<time_t>(micros / 1000000);
  value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) {
    throwReceiveFailure(systemErrorText(errno));
  }
  receiveTimeout_ = timeout;
}

std::string SessionCore::takePhysicalLine() {
  const std::size_t lineFeed = receiveBuffer_.find('\n', receiveStart_);
  std::size_t lineEnd = lineFeed == std::string::npos ? receiveBuffer_.size() : lineFeed;
  const std::size_t begin = receiveStart_;
  receiveStart_ = lineFeed == std::string::npos ? receiveBuffer_.size() : lineFeed + 1;
  if (lineEnd > begin && receiveBuffer_[lineEnd - 1] == '\r') --lineEnd;
  return receiveBuffer_.substr(begin, lineEnd - begin);
}

void SessionCore::writeLine(const std::string& line, int timeoutMs) {
  const std::string data = line + "\r\n";
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  if (!socket_.is_open()) throw NotConnected("command() was called but socket not connected");
  const int fd = socket_.native_handle();
  const Clock::time_point deadline = deadlineAfter(std::chrono::milliseconds(timeoutMs));
  std::size_t sent = 0;
  // A blocking write waits forever on a peer that stops reading; send without blocking and wait
  // for room against the deadline instead.
  while (sent < data.size()) {
    const ssize_t written =
        ::send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (written >= 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw SessionFailure("write: " + systemErrorText(errno));
    }
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) {
      throw SessionTimeout("Timed out sending an Epson Remote Ethernet request " +
                           wire::shownCommandText(line) + " after " + std::to_string(timeoutMs) +
                           " ms");
    }
    pollfd waitFor{fd, POLLOUT, 0};
    ::poll(&waitFor, 1, static_cast<int>(std::min<long long>(remaining, 1000 * 60)));
  }
}

void SessionCore::closeSocketQuietly() {
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  liveDescriptor_.store(-1);
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void SessionCore::shutDownSocket() {
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
}

bool SessionCore::isConnected() const {
  if (!connected_.load() || inForkedChild()) return false;
  // A peer that has closed or reset the connection shows on the descriptor without a request.
  // The descriptor may be closed meanwhile; a poll of a number reused elsewhere only reads.
  const int fd = liveDescriptor_.load();
  if (fd < 0) return false;
  pollfd state{fd, POLLRDHUP, 0};
  if (::poll(&state, 1, 0) <= 0) return true;
  return (state.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool SessionCore::inForkedChild() const {
  const pid_t owner = ownerPid_.load();
  return owner != 0 && owner != ::getpid();
}

void SessionCore::releaseForkedCopy() {
  // The parent still uses the connection: nothing is written and nothing is shut down. Closing
  // the child's descriptor leaves the connection to the parent. The event loop's descriptors are
  // shared with the parent too and are made anew for this process.
  ownerPid_.store(0);
  liveDescriptor_.store(-1);
  connected_.store(false);
  loggedIn_.store(false);
  motionInProgress_.store(false);
  io_.notify_fork(boost::asio::execution_context::fork_child);
  boost::system::error_code ignored;
  socket_.close(ignored);
  receiveBuffer_.clear();
  receiveStart_ = 0;
  for (const auto& listener : endListeners_) listener();
}

void SessionCore::dropConnection() {
  closeSocketQuietly();
  ownerPid_.store(0);
  connected_.store(false);
  loggedIn_.store(false);
  connectionEnded();
}

void SessionCore::connectionEnded() {
  forgetExpiredRequests();
  pendingCondition_.notify_all();
  for (const auto& listener : endListeners_) listener();
}

void SessionCore::forgetExpiredRequests() {
  std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  expiredRequestNames_.clear();
}

bool SessionCore::routePendingReply(const std::string& line) {
  std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  if (pendingPrefix_.empty() || line.empty() || pendingGeneration_ != connectionGeneration_) {
    return false;
  }
  // A failure reply names its request, so the motion's own failure stays with the motion.
  const bool failure = line.front() == '!';
  const bool forPending = failure
                              ? wire::replyName(line) == std::string_view(pendingPrefix_).substr(1)
                              : wire::isSuccessReply(line, pendingPrefix_);
  if (!forPending) return false;
  // Time paused does not count against the motion's own deadline.
  if (!failure && motionInProgress_.load()) {
    const Clock::time_point now = Clock::now();
    if (pendingPrefix_ == "#Pause" && !pausedSince_) {
      pausedSince_ = now;
    } else if (pendingPrefix_ == "#Continue" && pausedSince_) {
      pausedTotal_ += now - *pausedSince_;
      pausedSince_.reset();
    }
  }
  pendingReply_ = line;
  pendingCondition_.notify_all();
  return true;
}

bool SessionCore::swallowExpiredReply(const std::string& line) {
  if (line.empty() || (line.front() != '#' && line.front() != '!')) return false;
  std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  const auto expired =
      std::find(expiredRequestNames_.begin(), expiredRequestNames_.end(), wire::replyName(line));
  if (expired == expiredRequestNames_.end()) return false;
  expiredRequestNames_.erase(expired);
  return true;
}

std::string SessionCore::motionControl(const std::string& line, bool queue) {
  // Without a motion the request waits for the connection like any other. A motion may take the
  // connection while we wait, and then holds it for minutes: a pause must not wait behind the
  // very motion it is meant to pause, so the wait is taken in slices and the flag re-read.
  while (!motionInProgress_.load()) {
    ConnectionLock lock(*this,
                        std::chrono::duration_cast<std::chrono::milliseconds>(kMotionFlagSlice));
    if (lock.ownsLock()) {
      command(lock.held(), line, kCommandTimeoutMs);
      return lastResponse_;
    }
    throwIfInterrupted();
  }
  return sendDuringMotion(line, queue);
}

std::string SessionCore::sendDuringMotion(const std::string& line, bool queue) {
  // A Go or Move holds the connection; its thread reads our reply and routes it here. When the
  // motion ends first, this thread reads the reply itself.
  std::unique_lock<std::mutex> pendingLock(pendingMutex_);
  if (!pendingPrefix_.empty() && queue) {
    // The one pending ends within its own time-out, answered or expired.
    const Clock::time_point slotDeadline = Clock::now() + kPendingReplyTimeout + kMotionFlagSlice;
    while (!pendingPrefix_.empty() && Clock::now() < slotDeadline) {
      pendingCondition_.wait_until(pendingLock,
                                   std::min(slotDeadline, Clock::now() + kMotionFlagSlice));
      checkInterruptUnlocked(pendingLock);
    }
  }
  if (!pendingPrefix_.empty()) {
    throw EpsonError("Another Epson motion-control command is pending");
  }
  pendingPrefix_ = wire::expectedReplyPrefix(line);
  pendingReply_.clear();
  const std::uint64_t generation = connectionGeneration_;
  pendingGeneration_ = generation;
  const auto clearPending = [this] {
    pendingPrefix_.clear();
    pendingReply_.clear();
  };
  try {
    writeLine(line, kCommandTimeoutMs);
  } catch (...) {
    clearPending();
    // The motion's thread reads the socket: it meets the failure and drops the connection. After
    // a time-out part of the request may be on the wire.
    shutDownSocket();
    throw;
  }
  const Clock::time_point deadline = Clock::now() + kPendingReplyTimeout;
  const auto answeredOrEnded = [this] {
    return !pendingReply_.empty() || !motionInProgress_.load();
  };
  try {
    bool ended = false;
    for (;;) {
      ended = pendingCondition_.wait_until(
          pendingLock, std::min(deadline, Clock::now() + interruptSlice(kPendingReplyTimeout)),
          answeredOrEnded);
      if (ended || Clock::now() >= deadline) break;
      checkInterruptUnlocked(pendingLock);
    }
    if (ended && pendingReply_.empty()) {
      readPendingReplyAfterMotion(pendingLock, deadline, generation);
    }
  } catch (const Interrupted&) {
    // Its reply still comes, in order: it must not pass for another one's.
    if (pendingReply_.empty() && generation == connectionGeneration_) {
      expiredRequestNames_.push_back(pendingPrefix_.substr(1));
    }
    clearPending();
    throw;
  } catch (...) {
    clearPending();  // the next motion-control request must not find this one pending
    throw;
  }
  const std::string reply = std::move(pendingReply_);
  const std::string name = pendingPrefix_.substr(1);
  clearPending();
  if (reply.empty()) {
    // The controller still answers it, in order: that reply must not pass for another one's, on
    // the connection it was sent on.
    if (generation == connectionGeneration_) expiredRequestNames_.push_back(name);
    throw EpsonTimeout("Timed out waiting for Epson response to " + line);
  }
  parseResponse(reply, line);
  return reply;
}

void SessionCore::readPendingReplyAfterMotion(std::unique_lock<std::mutex>& pendingLock,
                                              Clock::time_point deadline,
                                              std::uint64_t generation) {
  const auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(kMotionFlagSlice);
  while (pendingReply_.empty() && Clock::now() < deadline) {
    if (motionInProgress_.load()) {
      // Another motion holds the connection now; its thread routes the reply.
      pendingCondition_.wait_until(pendingLock, std::min(deadline, Clock::now() + slice));
      if (pendingReply_.empty()) checkInterruptUnlocked(pendingLock);
      continue;
    }
    // Lock order: connection before pending.
    pendingLock.unlock();
    {
      ConnectionLock connectionLock(*this, slice);
      pendingLock.lock();
      if (!connectionLock.ownsLock()) checkInterruptUnlocked(pendingLock);
      if (!connectionLock.ownsLock() || !pendingReply_.empty()) continue;
      if (generation == connectionGeneration_ && connected_.load()) {
        readPendingReply(connectionLock.held(), pendingLock, deadline);
        return;
      }
    }
    // The connection it was sent on is gone: its reply will never come.
    pendingLock.unlock();
    try {
      sleepInterruptibly(deadline - Clock::now());
    } catch (...) {
      pendingLock.lock();
      throw;
    }
    pendingLock.lock();
    return;
  }
}

void SessionCore::readPendingReply(const ConnectionHeld&, std::unique_lock<std::mutex>& pendingLock,
                                   Clock::time_point deadline) {
  const std::string expected = pendingPrefix_;
  pendingLock.unlock();
  try {
    ReplyDeadline wait{
        Clock::now(),
        static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()),
        false};
    for (bool routed = false; !routed;) {
      const std::string line = readReplyLine(wait);
      if (swallowExpiredReply(line)) continue;
      routed = routePendingReply(line);
      if (!routed) {
        // Nobody else waits on this connection: a stray line is a fault, as for any request.
        const std::string message = unexpectedReplyMessage(line, expected);
        dropConnection();
        throw ProtocolError(message);
      }
    }
  } catch (const SessionTimeout&) {
    // Its own 5 s are up: the request expires, the connection stays.
  } catch (const SessionFailure&) {
    dropConnection();
    pendingLock.lock();
    throw;
  } catch (...) {
    pendingLock.lock();
    throw;
  }
  pendingLock.lock();
}

}  // namespace epson
