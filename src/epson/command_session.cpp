// The Remote Ethernet session core: connect and login with retries, one request and its reply at a
// time on the caller's thread, motion-control requests during a motion, orderly disconnect.
#include "epson/command_session.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "epson/caller_text.hpp"
#include "epson/wire_protocol.hpp"

namespace epson {

namespace {

using Clock = std::chrono::steady_clock;
using boost::asio::ip::tcp;

/// A partial reply line may fill the buffer up to the longest line and its CR LF.
constexpr std::size_t kMaxBufferedReply = wire::kMaxReplyBytes + 2;
/// The most one receive takes.
constexpr std::size_t kReceiveChunk = 16384;

/// Writes one whole log line and flushes it, so lines of several sessions never interleave.
void logLine(std::FILE* stream, const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

[[noreturn]] void logAndThrow(const std::string& message) {
  logLine(stderr, message);
  throw std::runtime_error(message);
}

Clock::time_point deadlineAfter(int timeoutMs) {
  const Clock::time_point now = Clock::now();
  const auto wanted = std::chrono::milliseconds(std::max(timeoutMs, 0));
  if (wanted >
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + wanted;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string endpointText(const std::string& host, std::uint16_t port) {
  return host + ":" + std::to_string(port);
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

std::string writeTimeoutMessage(const std::string& line, int timeoutMs) {
  return "Timed out sending an Epson Remote Ethernet request " + wire::shownCommandText(line) +
         " after " + std::to_string(timeoutMs) + " ms";
}

}  // namespace

CommandChannel::Impl::Impl() : socket(io) {}

CommandChannel::Impl::~Impl() {
  if (inForkedChild()) {
    releaseForkedCopy();
    return;
  }
  // A session dropped while connected runs its disconnect steps: motors this session turned on
  // are turned off, the Tool state is restored, the session logs out.
  try {
    disconnect();
  } catch (const std::exception&) {
    // Already logged; nobody is left to tell.
  }
  boost::system::error_code ignored;
  socket.close(ignored);
}

void CommandChannel::Impl::connect(const std::string& hostName, std::uint16_t portNumber,
                                   const std::string& password) {
  // Checked before the lock: a bad call never waits for a running motion.
  // A line ending would end the login request early and put the rest on the wire as a request.
  if (password.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("Remote Ethernet password must not contain line endings");
  }
  checkNoNul(password, "Remote Ethernet password");
  checkHost(hostName);
  if (inForkedChild()) releaseForkedCopy();
  std::lock_guard<std::timed_mutex> lock(connectionMutex);

  // A live session is closed the orderly way first, on its own controller: its Tool state is
  // restored there and the motors it turned on are turned off there.
  if (connected.load()) {
    try {
      disconnectLocked();
    } catch (const std::exception&) {
      // Logged by the step that failed; the old connection is closed either way.
    }
  }

  tcp::resolver resolver(io);
  boost::system::error_code resolveError;
  const auto endpoints = resolver.resolve(hostName, std::to_string(portNumber), resolveError);
  if (resolveError) {
    logAndThrow("Failed to resolve " + endpointText(hostName, portNumber) + ": " +
                resolveError.message());
  }

  host = hostName;
  port = portNumber;
  motorsOnBySession = false;
  motorOnError.clear();

  for (int attempt = 1;; ++attempt) {
    try {
      openSocket(endpoints);
      login(password);
      break;
    } catch (const std::exception& error) {
      closeSocketQuietly();
      connected.store(false);
      loggedIn.store(false);
      // The controller answered: a rejected login does not get better by asking again.
      if (lastRequestAnswered) throw;
      if (attempt >= kLoginAttempts) {
        throw std::runtime_error("Epson Remote Ethernet login failed after " +
                                 std::to_string(attempt) + " attempts: " + error.what());
      }
      logLine(stderr, "Epson Remote Ethernet login attempt " + std::to_string(attempt) +
                          " failed; retrying in " + std::to_string(kLoginRetryDelay.count()) +
                          " seconds");
      std::this_thread::sleep_for(kLoginRetryDelay);
    }
  }
  logLine(stdout, "Connected to " + endpointText(host, port));
}

void CommandChannel::Impl::openSocket(const tcp::resolver::results_type& endpoints) {
  {
    std::lock_guard<std::mutex> writeLock(writeMutex);
    boost::system::error_code ignored;
    socket.close(ignored);
    socket = tcp::socket(io);
  }
  // Bytes of an earlier connection are never read as replies to this one, and its
  // motion-control requests are not this one's.
  receiveBuffer.clear();
  receiveStart = 0;
  receiveTimeout = Clock::duration::zero();
  lastRequestAnswered = false;
  {
    std::lock_guard<std::mutex> pendingLock(pendingMutex);
    ++connectionGeneration;
    expiredRequestNames.clear();
  }

  boost::system::error_code connectError = boost::asio::error::would_block;
  bool finished = false;
  boost::asio::async_connect(socket, endpoints,
                             [&](const boost::system::error_code& error, const tcp::endpoint&) {
                               connectError = error;
                               finished = true;
                             });
  io.restart();
  io.run_for(kConnectTimeout);
  if (!finished) {
    closeSocketQuietly();
    io.restart();
    io.run();  // let the aborted connect complete before its state goes out of scope
    throw std::runtime_error("Connection to " + endpointText(host, port) + " timed out");
  }
  if (connectError) {
    closeSocketQuietly();
    throw std::runtime_error("Failed to connect to " + endpointText(host, port) + ": " +
                             connectError.message());
  }
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  // Replies are read with blocking receives (awaitDelimiter); writes never block (writeLine).
  boost::system::error_code modeError;
  socket.native_non_blocking(false, modeError);
  if (modeError) {
    closeSocketQuietly();
    throw std::runtime_error("Failed to connect to " + endpointText(host, port) + ": " +
                             modeError.message());
  }
  ownerPid.store(::getpid());
  liveDescriptor.store(socket.native_handle());
  connected.store(true);
  loggedIn.store(false);
}

void CommandChannel::Impl::login(const std::string& password) {
  if (!connected.load()) logAndThrow("login() called but not connected");
  if (loggedIn.load()) logAndThrow("login() called but already logged in");
  command("$Login," + password, kCommandTimeoutMs);
}

void CommandChannel::Impl::logout() {
  if (!connected.load()) logAndThrow("logout() called but not connected");
  if (!loggedIn.load()) logAndThrow("logout() called but not logged in");
  command("$Logout", kCommandTimeoutMs);
}

void CommandChannel::Impl::command(const std::string& line, int timeoutMs, ReplyWait wait) {
  if (inForkedChild()) releaseForkedCopy();
  if (!connected.load() || !socket.is_open()) {
    throw std::runtime_error("command() was called but socket not connected");
  }
  discardStaleLines();
  // Writes are bounded by the ordinary command time-out, also for a motion statement.
  bool written = false;
  try {
    written = writeLine(line, kCommandTimeoutMs);
  } catch (const std::exception&) {
    dropConnection();
    throw;
  }
  if (!written) {
    dropConnection();
    throw std::runtime_error(writeTimeoutMessage(line, kCommandTimeoutMs));
  }
  lastCommand = line;
  lastRequestAnswered = false;
  const std::string expected = wire::expectedReplyPrefix(line);
  const std::string_view expectedName = std::string_view(expected).substr(1);

  ReplyDeadline deadline{Clock::now(), timeoutMs, wait == ReplyWait::kMotion};
  std::string reply;
  for (;;) {
    if (!readReplyLine(deadline, reply)) throwReplyTimeout(timeoutMs);
    lastRequestAnswered = true;
    // A reply that belongs to an expired motion-control request comes first, in request order.
    if (swallowExpiredReply(reply)) continue;
    if (!reply.empty() && startsWith(reply, expected)) {
      lastResponse = reply;
      parseResponse(lastResponse, line);
      return;
    }
    if (routePendingReply(reply)) continue;
    const bool failure = !reply.empty() && reply.front() == '!';
    if (failure && wire::replyName(reply) == expectedName) {
      lastResponse = reply;
      parseResponse(lastResponse, line);  // throws the failure message
    }
    if (wait == ReplyWait::kMotion) {
      logLine(stderr,
              oneLine(unexpectedReplyMessage(reply, expected)) + " (ignored; the motion goes on)");
      continue;
    }
    // The real reply may still come: kept, it would be read as the next request's.
    dropConnection();
    if (failure) parseResponse(reply, line);  // the failure message, as the controller sent it
    throw std::runtime_error(unexpectedReplyMessage(reply, expected));
  }
}

void CommandChannel::Impl::beginMotion() {
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  pausedSince.reset();
  pausedTotal = Clock::duration::zero();
  motionInProgress.store(true);
}

void CommandChannel::Impl::endMotion() {
  {
    std::lock_guard<std::mutex> pendingLock(pendingMutex);
    motionInProgress.store(false);
    pausedSince.reset();
  }
  // A motion-control request still waiting now reads its reply itself.
  pendingCondition.notify_all();
}

void CommandChannel::Impl::discardStaleLines() {
  // Whatever the socket already holds arrived before this request was sent. Asked with
  // FIONREAD, not a receive: a receive would take a pending reset that the write must report.
  const int fd = socket.native_handle();
  char chunk[kReceiveChunk];
  int waiting = 0;
  while (receiveBuffer.size() < kMaxBufferedReply && ::ioctl(fd, FIONREAD, &waiting) == 0 &&
         waiting > 0) {
    const ssize_t received = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (received <= 0) break;  // a failure the request itself will meet
    receiveBuffer.append(chunk, static_cast<std::size_t>(received));
  }
  while (receiveStart < receiveBuffer.size()) {
    const bool complete = receiveBuffer.find('\n', receiveStart) != std::string::npos;
    const std::string line = takePhysicalLine();
    if (complete && (swallowExpiredReply(line) || routePendingReply(line))) continue;
    logLine(stderr, "Discarded an Epson response that answers no request: " + oneLine(line));
  }
  receiveBuffer.clear();
  receiveStart = 0;
}

std::string CommandChannel::Impl::execute(const std::string& statement) {
  command(wire::executeRequest(statement), kCommandTimeoutMs);
  return wire::executePayload(lastResponse);
}

void CommandChannel::Impl::parseResponse(const std::string& reply, const std::string& request) {
  switch (wire::checkReply(reply, request)) {
    case wire::LoginEffect::kLoggedIn:
      loggedIn.exchange(true);
      break;
    case wire::LoginEffect::kLoggedOut:
      loggedIn.exchange(false);
      break;
    case wire::LoginEffect::kNone:
      break;
  }
}

CommandChannel::Impl::Clock::time_point CommandChannel::Impl::deadlineOf(
    const ReplyDeadline& deadline) {
  Clock::time_point end =
      deadline.start + std::chrono::milliseconds(std::max(deadline.timeoutMs, 0));
  if (!deadline.motion) return end;
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  end += pausedTotal;
  if (pausedSince) end += Clock::now() - *pausedSince;
  return end;
}

bool CommandChannel::Impl::readReplyLine(ReplyDeadline& deadline, std::string& line) {
  if (!awaitDelimiter(deadline)) return false;
  line = takePhysicalLine();
  bool quoteOpen = wire::hasOpenQuote(line);
  while (quoteOpen) {
    if (!awaitDelimiter(deadline)) return false;
    const std::string next = takePhysicalLine();
    if (line.size() + 1 + next.size() > wire::kMaxReplyBytes) {
      dropConnection();
      wire::throwReplyTooLong();
    }
    line.push_back('\n');
    line.append(next);
    quoteOpen ^= wire::hasOpenQuote(next);
  }
  return true;
}

bool CommandChannel::Impl::awaitDelimiter(ReplyDeadline& deadline) {
  if (receiveBuffer.find('\n', receiveStart) != std::string::npos) return true;  // a line is here
  // Only a partial line is left: drop the consumed bytes before reading more.
  receiveBuffer.erase(0, receiveStart);
  receiveStart = 0;

  // A blocking receive bounded by the socket's receive time-out: one system call per reply and
  // a coarse kernel timer, where waiting in the reactor takes two calls and a precise timer.
  const int fd = socket.native_handle();
  for (;;) {
    const std::size_t have = receiveBuffer.size();
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
    if (remaining <= Clock::duration::zero()) return false;
    if (const boost::system::error_code error = setReceiveTimeout(fd, remaining)) {
      throwReceiveFailure(error);
    }
    // Received on the stack and appended: growing the buffer first would zero all the room.
    char chunk[kReceiveChunk];
    const ssize_t received = ::recv(fd, chunk, std::min(kMaxBufferedReply - have, sizeof chunk), 0);
    if (received > 0) {
      const auto size = static_cast<std::size_t>(received);
      receiveBuffer.append(chunk, size);
      if (std::memchr(chunk, '\n', size) != nullptr) return true;
      continue;
    }
    if (received == 0) throwReceiveFailure(boost::asio::error::eof);
    const int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;  // the loop re-checks
    throwReceiveFailure(boost::system::error_code(error, boost::system::system_category()));
  }
}

boost::system::error_code CommandChannel::Impl::setReceiveTimeout(int fd, Clock::duration timeout) {
  if (timeout == receiveTimeout) return {};
  // A zero time-out would mean no time-out at all; round up to the next microsecond.
  const auto micros =
      std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::microseconds>(timeout).count());
  timeval value{};
  value.tv_sec = static_cast<time_t>(micros / 1000000);
  value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) {
    return boost::system::error_code(errno, boost::system::system_category());
  }
  receiveTimeout = timeout;
  return {};
}

void CommandChannel::Impl::throwReplyTimeout(int timeoutMs) {
  dropConnection();
  throw std::runtime_error("Timed out waiting for an Epson Remote Ethernet response to " +
                           wire::shownCommandText(lastCommand) + " after " +
                           std::to_string(timeoutMs) + " ms");
}

void CommandChannel::Impl::throwReceiveFailure(const boost::system::error_code& error) {
  dropConnection();
  throw std::runtime_error("Failed while waiting for an Epson Remote Ethernet response: " +
                           error.message());
}

std::string CommandChannel::Impl::takePhysicalLine() {
  const std::size_t lineFeed = receiveBuffer.find('\n', receiveStart);
  std::size_t lineEnd = lineFeed == std::string::npos ? receiveBuffer.size() : lineFeed;
  const std::size_t begin = receiveStart;
  receiveStart = lineFeed == std::string::npos ? receiveBuffer.size() : lineFeed + 1;
  if (lineEnd > begin && receiveBuffer[lineEnd - 1] == '\r') --lineEnd;
  return receiveBuffer.substr(begin, lineEnd - begin);
}

bool CommandChannel::Impl::writeLine(const std::string& line, int timeoutMs) {
  const std::string data = line + lineTerminator;
  std::lock_guard<std::mutex> writeLock(writeMutex);
  if (!socket.is_open()) throw std::runtime_error("command() was called but socket not connected");
  const int fd = socket.native_handle();
  const Clock::time_point deadline = deadlineAfter(timeoutMs);
  std::size_t sent = 0;
  // Asio's blocking write waits forever on a peer that stops reading; send without blocking and
  // wait for room against the deadline instead.
  while (sent < data.size()) {
    const ssize_t written =
        ::send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (written >= 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw std::runtime_error(
          "write: " + boost::system::error_code(errno, boost::system::system_category()).message());
    }
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return false;
    pollfd waitFor{fd, POLLOUT, 0};
    ::poll(&waitFor, 1, static_cast<int>(std::min<long long>(remaining, 1000 * 60)));
  }
  return true;
}

void CommandChannel::Impl::closeSocketQuietly() {
  std::lock_guard<std::mutex> writeLock(writeMutex);
  liveDescriptor.store(-1);
  boost::system::error_code ignored;
  socket.close(ignored);
}

void CommandChannel::Impl::shutDownSocket() {
  std::lock_guard<std::mutex> writeLock(writeMutex);
  boost::system::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
}

bool CommandChannel::Impl::isConnected() const {
  if (!connected.load() || inForkedChild()) return false;
  // A peer that has closed or reset the connection shows on the descriptor without a request.
  // The descriptor may be closed meanwhile; a poll of a number reused elsewhere only reads.
  const int fd = liveDescriptor.load();
  if (fd < 0) return false;
  pollfd state{fd, POLLRDHUP, 0};
  if (::poll(&state, 1, 0) <= 0) return true;
  return (state.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool CommandChannel::Impl::inForkedChild() const {
  const pid_t owner = ownerPid.load();
  return owner != 0 && owner != ::getpid();
}

void CommandChannel::Impl::releaseForkedCopy() {
  // The parent still uses the connection: nothing is written and nothing is shut down. Closing
  // the child's descriptor leaves the connection to the parent. The event loop's descriptors
  // are shared with the parent too and are made anew for this process.
  ownerPid.store(0);
  liveDescriptor.store(-1);
  connected.store(false);
  loggedIn.store(false);
  motionInProgress.store(false);
  motorsOnBySession = false;
  discardTcpOffsetState();
  io.notify_fork(boost::asio::execution_context::fork_child);
  boost::system::error_code ignored;
  socket.close(ignored);
  receiveBuffer.clear();
  receiveStart = 0;
}

void CommandChannel::Impl::dropConnection() {
  closeSocketQuietly();
  ownerPid.store(0);
  connected.exchange(false);
  loggedIn.exchange(false);
  motorsOnBySession = false;
  discardTcpOffsetState();
  forgetExpiredRequests();
  pendingCondition.notify_all();
}

void CommandChannel::Impl::forgetExpiredRequests() {
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  expiredRequestNames.clear();
}

bool CommandChannel::Impl::routePendingReply(const std::string& line) {
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  if (pendingPrefix.empty() || line.empty() || pendingGeneration != connectionGeneration) {
    return false;
  }
  // A failure reply names its request, so the motion's own failure stays with the motion.
  const bool failure = line.front() == '!';
  const bool forPending = failure
                              ? wire::replyName(line) == std::string_view(pendingPrefix).substr(1)
                              : startsWith(line, pendingPrefix);
  if (!forPending) return false;
  // Time paused does not count against the motion's own deadline.
  if (!failure && motionInProgress.load()) {
    const Clock::time_point now = Clock::now();
    if (pendingPrefix == "#Pause" && !pausedSince) {
      pausedSince = now;
    } else if (pendingPrefix == "#Continue" && pausedSince) {
      pausedTotal += now - *pausedSince;
      pausedSince.reset();
    }
  }
  pendingReply = line;
  pendingCondition.notify_all();
  return true;
}

bool CommandChannel::Impl::swallowExpiredReply(const std::string& line) {
  if (line.empty() || (line.front() != '#' && line.front() != '!')) return false;
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  const auto expired =
      std::find(expiredRequestNames.begin(), expiredRequestNames.end(), wire::replyName(line));
  if (expired == expiredRequestNames.end()) return false;
  expiredRequestNames.erase(expired);
  return true;
}

void CommandChannel::Impl::motionCommand(const std::string& line) {
  // Without a motion the request waits for the connection like any other. A motion may take the
  // connection while we wait, and then holds it for minutes: a pause must not wait behind the
  // very motion it is meant to pause, so the wait is taken in slices and the flag re-read.
  constexpr auto kSlice = std::chrono::milliseconds(20);
  while (!motionInProgress.load()) {
    std::unique_lock<std::timed_mutex> lock(connectionMutex, std::defer_lock);
    if (lock.try_lock_for(kSlice)) {
      command(line, kCommandTimeoutMs);
      return;
    }
  }
  sendDuringMotion(line);
}

void CommandChannel::Impl::sendDuringMotion(const std::string& line) {
  // A Go or Move holds the connection; its thread reads our reply and routes it here. When the
  // motion ends first, this thread reads the reply itself.
  std::unique_lock<std::mutex> pendingLock(pendingMutex);
  if (!pendingPrefix.empty()) {
    throw std::runtime_error("Another Epson motion-control command is pending");
  }
  pendingPrefix = wire::expectedReplyPrefix(line);
  pendingReply.clear();
  const std::uint64_t generation = connectionGeneration;
  pendingGeneration = generation;
  const auto clearPending = [this] {
    pendingPrefix.clear();
    pendingReply.clear();
  };
  bool written = false;
  try {
    written = writeLine(line, kCommandTimeoutMs);
  } catch (...) {
    clearPending();
    // The motion's thread reads the socket: it meets the failure and drops the connection.
    shutDownSocket();
    throw;
  }
  if (!written) {
    clearPending();
    shutDownSocket();  // part of the request may be on the wire
    throw std::runtime_error(writeTimeoutMessage(line, kCommandTimeoutMs));
  }
  const Clock::time_point deadline = Clock::now() + kPendingReplyTimeout;
  const bool answeredOrEnded = pendingCondition.wait_until(
      pendingLock, deadline, [this] { return !pendingReply.empty() || !motionInProgress.load(); });
  if (answeredOrEnded && pendingReply.empty()) {
    try {
      readPendingReplyAfterMotion(pendingLock, deadline, generation);
    } catch (...) {
      clearPending();  // the next motion-control request must not find this one pending
      throw;
    }
  }
  const std::string reply = std::move(pendingReply);
  const std::string name = pendingPrefix.substr(1);
  clearPending();
  if (reply.empty()) {
    // The controller still answers it, in order: that reply must not pass for another one's,
    // on the connection it was sent on.
    if (generation == connectionGeneration) expiredRequestNames.push_back(name);
    throw std::runtime_error("Timed out waiting for Epson response to " + line);
  }
  parseResponse(reply, line);
}

void CommandChannel::Impl::readPendingReplyAfterMotion(std::unique_lock<std::mutex>& pendingLock,
                                                       Clock::time_point deadline,
                                                       std::uint64_t generation) {
  constexpr auto kSlice = std::chrono::milliseconds(20);
  while (pendingReply.empty() && Clock::now() < deadline) {
    if (motionInProgress.load()) {
      // Another motion holds the connection now; its thread routes the reply.
      pendingCondition.wait_until(pendingLock, std::min(deadline, Clock::now() + kSlice));
      continue;
    }
    // Lock order: connectionMutex before pendingMutex.
    pendingLock.unlock();
    std::unique_lock<std::timed_mutex> connectionLock(connectionMutex, std::defer_lock);
    const bool holding = connectionLock.try_lock_for(kSlice);
    pendingLock.lock();
    if (!holding || !pendingReply.empty()) continue;
    if (generation != connectionGeneration || !connected.load()) {
      // The connection it was sent on is gone: its reply will never come.
      pendingLock.unlock();
      connectionLock.unlock();
      std::this_thread::sleep_until(deadline);
      pendingLock.lock();
      return;
    }
    const std::string expected = pendingPrefix;
    pendingLock.unlock();
    try {
      ReplyDeadline wait{
          Clock::now(),
          static_cast<int>(
              std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()),
          false};
      std::string line;
      bool routed = false;
      while (!routed && readReplyLine(wait, line)) {
        if (swallowExpiredReply(line)) continue;
        routed = routePendingReply(line);
        if (!routed) {
          // Nobody else is waiting on this connection: a stray line is a fault, as for any
          // ordinary request.
          const std::string message = unexpectedReplyMessage(line, expected);
          dropConnection();
          throw std::runtime_error(message);
        }
      }
    } catch (...) {
      pendingLock.lock();
      throw;
    }
    pendingLock.lock();
    return;
  }
}

std::string CommandChannel::Impl::motorOnErrorText() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  return motorOnError;
}

void CommandChannel::Impl::disconnect() {
  // Checked before the lock: a parent thread may have held it when this process was forked.
  if (inForkedChild()) {
    releaseForkedCopy();
    return;
  }
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  disconnectLocked();
}

void CommandChannel::Impl::disconnectLocked() {
  if (!connected.load()) {
    discardTcpOffsetState();
    return;
  }
  if (loggedIn.load()) {
    try {
      restoreTcpOffsetLocked();
    } catch (const std::exception& error) {
      logLine(stderr, std::string("Failed to restore Epson TCP state: ") + error.what());
    }
    if (motorsOnBySession) {
      try {
        motorOffLocked();
        motorsOnBySession = false;
      } catch (const std::exception& error) {
        logLine(stderr, std::string("Failed to turn off motor: ") + error.what());
      }
    }
    try {
      logout();
    } catch (const std::exception& error) {
      logLine(stderr, std::string("Failed to log out of controller: ") + error.what());
    }
  }

  boost::system::error_code closeError;
  {
    std::lock_guard<std::mutex> writeLock(writeMutex);
    liveDescriptor.store(-1);
    if (socket.is_open()) {
      boost::system::error_code ignored;
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(closeError);
    }
  }
  ownerPid.store(0);
  connected.exchange(false);
  loggedIn.exchange(false);
  motorsOnBySession = false;
  discardTcpOffsetState();
  forgetExpiredRequests();
  if (closeError) logAndThrow("Failed to disconnect: " + closeError.message());
  logLine(stdout, "Disconnected from " + endpointText(host, port));
}

}  // namespace epson
