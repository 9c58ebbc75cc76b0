// The Remote Ethernet session core: connect and login with retries, one request and its reply at a
// time on the caller's thread, motion-control requests during a motion, orderly disconnect.
#include "epson/command_session.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

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

std::string writeTimeoutMessage(const std::string& line, int timeoutMs) {
  return "Timed out sending an Epson Remote Ethernet request " + wire::shownCommandText(line) +
         " after " + std::to_string(timeoutMs) + " ms";
}

}  // namespace

CommandChannel::Impl::Impl() : socket(io) {}

CommandChannel::Impl::~Impl() {
  boost::system::error_code ignored;
  socket.close(ignored);
}

void CommandChannel::Impl::connect(const std::string& hostName, std::uint16_t portNumber,
                                   const std::string& password) {
  // A line ending would end the login request early and put the rest on the wire as a request.
  if (password.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("Remote Ethernet password must not contain line endings");
  }
  std::lock_guard<std::timed_mutex> lock(connectionMutex);

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
      const bool stillConnected = connected.load() && socket.is_open();
      closeSocketQuietly();
      connected.store(false);
      loggedIn.store(false);
      // The controller answered: a rejected login does not get better by asking again.
      if (stillConnected) throw;
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
  // Bytes of an earlier connection are never read as replies to this one.
  receiveBuffer.clear();
  receiveStart = 0;
  receiveTimeout = Clock::duration::zero();
  forgetExpiredRequests();

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

void CommandChannel::Impl::command(const std::string& line, int timeoutMs) {
  if (!connected.load() || !socket.is_open()) {
    throw std::runtime_error("command() was called but socket not connected");
  }
  // Writes are bounded by the ordinary command time-out, also for a motion statement.
  if (!writeLine(line, kCommandTimeoutMs)) {
    dropConnection();
    throw std::runtime_error(writeTimeoutMessage(line, kCommandTimeoutMs));
  }
  lastCommand = line;
  const std::string expected = wire::expectedReplyPrefix(line);

  std::string reply = readReplyLine(timeoutMs);
  while (!reply.empty()) {
    // A reply that belongs to an expired motion-control request comes first, in request order.
    if (swallowExpiredReply(reply)) {
      reply = readReplyLine(timeoutMs);
      continue;
    }
    if (startsWith(reply, expected)) {
      lastResponse = reply;
      parseResponse(lastResponse, line);
      return;
    }
    if (routePendingReply(reply)) {
      reply = readReplyLine(timeoutMs);
      continue;
    }
    if (reply.front() == '!') {
      lastResponse = reply;
      parseResponse(lastResponse, line);  // throws the failure message
    }
    throw std::runtime_error("Unexpected Epson response while waiting for " + expected + ": " +
                             reply);
  }
  throw std::runtime_error("Empty response from Epson controller");
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

std::string CommandChannel::Impl::readReplyLine(int timeoutMs) {
  awaitDelimiter(timeoutMs);
  std::string text = takePhysicalLine();
  bool quoteOpen = wire::hasOpenQuote(text);
  while (quoteOpen) {
    awaitDelimiter(timeoutMs);
    const std::string next = takePhysicalLine();
    if (text.size() + 1 + next.size() > wire::kMaxReplyBytes) {
      dropConnection();
      wire::throwReplyTooLong();
    }
    text.push_back('\n');
    text.append(next);
    quoteOpen ^= wire::hasOpenQuote(next);
  }
  return text;
}

void CommandChannel::Impl::awaitDelimiter(int timeoutMs) {
  if (receiveBuffer.find('\n', receiveStart) != std::string::npos) return;  // a line is here
  // Only a partial line is left: drop the consumed bytes before reading more.
  receiveBuffer.erase(0, receiveStart);
  receiveStart = 0;

  // A blocking receive bounded by the socket's receive time-out: one system call per reply and
  // a coarse kernel timer, where waiting in the reactor takes two calls and a precise timer.
  const Clock::time_point deadline = deadlineAfter(timeoutMs);
  const int fd = socket.native_handle();
  bool firstReceive = true;
  for (;;) {
    const std::size_t have = receiveBuffer.size();
    if (have >= kMaxBufferedReply) {
      dropConnection();
      wire::throwReplyTooLong();
    }
    const auto remaining = firstReceive ? std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::milliseconds(std::max(timeoutMs, 0)))
                                        : deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) throwReplyTimeout(timeoutMs);
    if (const boost::system::error_code error = setReceiveTimeout(fd, remaining)) {
      throwReceiveFailure(error);
    }
    firstReceive = false;
    // Received on the stack and appended: growing the buffer first would zero all the room.
    char chunk[kReceiveChunk];
    const ssize_t received = ::recv(fd, chunk, std::min(kMaxBufferedReply - have, sizeof chunk), 0);
    if (received > 0) {
      const auto size = static_cast<std::size_t>(received);
      receiveBuffer.append(chunk, size);
      if (std::memchr(chunk, '\n', size) != nullptr) return;
      continue;
    }
    if (received == 0) throwReceiveFailure(boost::asio::error::eof);
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (Clock::now() >= deadline) throwReplyTimeout(timeoutMs);
      continue;  // woken early: wait out the rest
    }
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
      throw boost::system::system_error(
          boost::system::error_code(errno, boost::system::system_category()), "write");
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
  boost::system::error_code ignored;
  socket.close(ignored);
}

void CommandChannel::Impl::dropConnection() {
  closeSocketQuietly();
  connected.exchange(false);
  loggedIn.exchange(false);
  motorsOnBySession = false;
  discardTcpOffsetState();
  forgetExpiredRequests();
}

void CommandChannel::Impl::forgetExpiredRequests() {
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  expiredRequestNames.clear();
}

bool CommandChannel::Impl::routePendingReply(const std::string& line) {
  std::lock_guard<std::mutex> pendingLock(pendingMutex);
  if (pendingPrefix.empty() || line.empty()) return false;
  // A failure reply names its request, so the motion's own failure stays with the motion.
  const bool forPending = line.front() == '!'
                              ? wire::replyName(line) == std::string_view(pendingPrefix).substr(1)
                              : startsWith(line, pendingPrefix);
  if (!forPending) return false;
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
  // A Go or Move holds the connection; its thread reads our reply and routes it here.
  std::unique_lock<std::mutex> pendingLock(pendingMutex);
  if (!pendingPrefix.empty()) {
    throw std::runtime_error("Another Epson motion-control command is pending");
  }
  pendingPrefix = wire::expectedReplyPrefix(line);
  pendingReply.clear();
  bool written = false;
  try {
    written = writeLine(line, kCommandTimeoutMs);
  } catch (...) {
    pendingPrefix.clear();
    throw;
  }
  if (!written) {
    pendingPrefix.clear();
    throw std::runtime_error(writeTimeoutMessage(line, kCommandTimeoutMs));
  }
  const bool answered = pendingCondition.wait_until(
      pendingLock, Clock::now() + kPendingReplyTimeout, [this] { return !pendingReply.empty(); });
  const std::string reply = std::move(pendingReply);
  const std::string name = pendingPrefix.substr(1);
  pendingPrefix.clear();
  pendingReply.clear();
  if (!answered) {
    // The controller still answers it, in order: that reply must not pass for another one's.
    expiredRequestNames.push_back(name);
    throw std::runtime_error("Timed out waiting for Epson response to " + line);
  }
  parseResponse(reply, line);
}

std::string CommandChannel::Impl::motorOnErrorText() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  return motorOnError;
}

void CommandChannel::Impl::disconnect() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
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
    if (socket.is_open()) {
      boost::system::error_code ignored;
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(closeError);
    }
  }
  connected.exchange(false);
  loggedIn.exchange(false);
  motorsOnBySession = false;
  forgetExpiredRequests();
  if (closeError) logAndThrow("Failed to disconnect: " + closeError.message());
  logLine(stdout, "Disconnected from " + endpointText(host, port));
}

}  // namespace epson
