// The telemetry connection: blocking reads on one reader thread, latest-value records, silent
// reconnection, connect attempts bounded in time and ended early by a stop.
#include "epson/receive_interface.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "epson/caller_text.hpp"
#include "epson/core_helpers.hpp"

namespace epson {

namespace {

using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kFirstSampleTimeout{2};
constexpr std::chrono::seconds kReconnectDelay{1};
/// Bounds each connect attempt, over all the addresses of the host: a controller that has gone
/// away drops the handshake instead of refusing it.
constexpr std::chrono::seconds kConnectTimeout{2};
/// How often a connect attempt in progress looks for a stop request.
constexpr std::chrono::milliseconds kStopCheckInterval{50};
/// A peer that writes this much without a CR is not writing telemetry lines: the stream is
/// treated as broken and reopened.
constexpr std::size_t kMaxBufferedBytes = 64 * 1024;

constexpr const char* kNoSampleMessage =
    "Connected to the Epson telemetry port, but no complete six-axis sample was received within "
    "2 seconds. Check that the controller Background Task is running and continuously writing "
    "all X-W and J1-J6 angle fields.";

boost::system::error_code systemError(int code) {
  return boost::system::error_code(code, boost::system::system_category());
}

}  // namespace

/// Threads: the caller of connect()/disconnect() (one at a time), the reader thread, and any
/// reader of the records. No path holds two of the mutexes at once, and none holds one across a
/// connect attempt.
///
/// A process forked from the one that connected has a copy whose reader thread does not exist
/// there and whose mutexes and condition variable may have been held or waited on by threads
/// that do not exist either: the copy only closes its descriptors (releaseForkedCopy()).
class EthernetReceiveInterface::Impl {
 public:
  Impl() : socket(io) {}

  void connect(const std::string& hostName, std::uint16_t portNumber);
  void disconnect();
  bool isConnected() const { return connected.load() && !inForkedChild(); }
  TelemetrySample sampleCopy() const;
  TelemetryStatus statusCopy() const;

  /// True in a process forked from the one that connected.
  bool inForkedChild() const;
  /// In a forked child: closes this process's descriptors of the parent's connection (a close,
  /// never a shutdown, which would end the connection for the parent too) and lets go of the
  /// reader thread, which does not exist here. Takes no lock: a parent thread may have held one
  /// at the fork. Later calls do nothing.
  void releaseForkedCopy();

 private:
  void resolve();
  /// Connects a new socket and puts it in place of the old one; throws the connect message.
  void openSocket();
  /// Connects `attempt` to the first endpoint that accepts within kConnectTimeout of them all;
  /// operation_aborted when a stop is requested meanwhile.
  boost::system::error_code connectAttempt(tcp::socket& attempt);
  boost::system::error_code connectEndpoint(tcp::socket& attempt, const tcp::endpoint& endpoint,
                                            Clock::time_point deadline);
  void closeSocket();
  void interruptRead();
  void readLoop();
  void readLines();
  /// Waits out the reconnection pause; false when a stop was requested before or during it.
  bool pauseBeforeReconnect();
  void parseLine(std::string_view line);

  boost::asio::io_context io;  // never run: only blocking operations are used
  tcp::socket socket;  // replaced and closed under socketMutex; read by the reader without it
  std::string receiveBuffer;  // reader thread; disconnect() once the reader is joined
  std::mutex socketMutex;
  /// A pointer, so that a forked child can let go of a thread it cannot join.
  std::unique_ptr<std::thread> reader;  // caller of connect()/disconnect()
  std::atomic<bool> stopRequested{true};
  std::atomic<bool> connected{false};
  /// The process that connected; 0 when not connected.
  std::atomic<pid_t> ownerPid{0};
  /// The descriptors of `socket` and of a connect attempt in progress (-1: none), for a forked
  /// child to close without taking a lock. Cleared before the descriptor is closed.
  std::atomic<int> socketDescriptor{-1};
  std::atomic<int> attemptDescriptor{-1};
  std::atomic<bool> forkedCopyReleased{false};
  std::string host;  // written by connect() before the reader starts
  std::uint16_t port = kDefaultTelemetryPort;
  /// Resolved once by connect(): a reconnection never waits on name resolution.
  std::vector<tcp::endpoint> endpoints;    // written by connect() before the reader starts
  telemetry::PendingFields pendingFields;  // reader thread; connect() before it starts
  mutable std::mutex sampleMutex;
  std::condition_variable sampleCondition;  // a stored sample; disconnect()
  TelemetrySample sample;                   // sampleMutex; written by the reader
  mutable std::mutex statusMutex;
  TelemetryStatus status;  // statusMutex; written by the reader
};

void EthernetReceiveInterface::Impl::connect(const std::string& hostName,
                                             std::uint16_t portNumber) {
  checkHost(hostName);  // before anything is closed or opened
  disconnect();
  {
    std::lock_guard<std::mutex> lock(sampleMutex);
    sample.valid = false;
  }
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    status.valid = false;
  }
  pendingFields.clear();
  host = hostName;
  port = portNumber;
  ownerPid.store(::getpid());
  stopRequested.exchange(false);

  try {
    resolve();
    openSocket();
  } catch (const std::exception&) {
    stopRequested.exchange(true);
    ownerPid.store(0);
    throw;
  }
  reader = std::make_unique<std::thread>([this] { readLoop(); });

  bool ready = false;
  {
    std::unique_lock<std::mutex> lock(sampleMutex);
    sampleCondition.wait_until(lock, Clock::now() + kFirstSampleTimeout,
                               [this] { return sample.valid || stopRequested.load(); });
    ready = sample.valid;
  }
  if (ready) return;
  disconnect();
  throw std::runtime_error(kNoSampleMessage);
}

void EthernetReceiveInterface::Impl::disconnect() {
  // Checked before any lock: a parent thread may have held one when this process was forked.
  if (inForkedChild()) {
    releaseForkedCopy();
    return;
  }
  stopRequested.exchange(true);
  connected.exchange(false);
  // Passing through the mutex orders the flag with a waiter's predicate check, so a waiter that
  // has just found the flag clear is already waiting when it is notified.
  {
    std::lock_guard<std::mutex> lock(sampleMutex);
  }
  sampleCondition.notify_all();

  if (reader) {
    // A blocked read ends at the shutdown, the reconnection pause at the notification, and a
    // connect attempt at its next look at the stop flag.
    interruptRead();
    if (reader->get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                              "EthernetReceiveInterface::disconnect on its reader thread");
    }
    reader->join();
    reader.reset();
  }
  // Also closes a socket that the reader reopened after the interruption.
  closeSocket();
  connected.exchange(false);
  receiveBuffer.clear();
  ownerPid.store(0);
}

bool EthernetReceiveInterface::Impl::inForkedChild() const {
  const pid_t owner = ownerPid.load();
  return owner != 0 && owner != ::getpid();
}

void EthernetReceiveInterface::Impl::releaseForkedCopy() {
  if (forkedCopyReleased.exchange(true)) return;
  stopRequested.store(true);
  connected.store(false);
  const int attemptFd = attemptDescriptor.exchange(-1);
  const int socketFd = socketDescriptor.exchange(-1);
  if (socketFd >= 0) ::close(socketFd);
  if (attemptFd >= 0 && attemptFd != socketFd) ::close(attemptFd);
  // The socket object still names the closed descriptor: it is never used or destroyed here.
  static_cast<void>(reader.release());
}

void EthernetReceiveInterface::Impl::resolve() {
  tcp::resolver resolver(io);
  boost::system::error_code error;
  const auto results =
      resolver.resolve(host, std::to_string(port), static_cast<tcp::resolver::flags>(0), error);
  if (error) {
    throw std::runtime_error("Failed to resolve Epson telemetry endpoint " +
                             endpointText(host, port) + ": " + error.message());
  }
  endpoints.clear();
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
}

void EthernetReceiveInterface::Impl::openSocket() {
  tcp::socket attempt(io);
  boost::system::error_code error = connectAttempt(attempt);
  if (!error) {
    attempt.set_option(tcp::no_delay(true), error);  // latency only: a failure is harmless
    error.clear();
    std::lock_guard<std::mutex> lock(socketMutex);
    if (stopRequested.load()) {
      // The stop's interruption found the old socket: this one would never be interrupted.
      error = boost::asio::error::operation_aborted;
    } else {
      boost::system::error_code ignored;
      socket.close(ignored);
      socket = std::move(attempt);
      socketDescriptor.store(socket.native_handle());
      attemptDescriptor.store(-1);
      connected.exchange(true);
      return;
    }
  }
  attemptDescriptor.store(-1);
  boost::system::error_code ignored;
  attempt.close(ignored);  // a failed attempt leaves the descriptor open
  throw std::runtime_error("Failed to connect to Epson telemetry at " + endpointText(host, port) +
                           ": " + error.message());
}

boost::system::error_code EthernetReceiveInterface::Impl::connectAttempt(tcp::socket& attempt) {
  const Clock::time_point deadline = Clock::now() + kConnectTimeout;
  boost::system::error_code error = boost::asio::error::not_found;  // no endpoint at all
  for (const tcp::endpoint& endpoint : endpoints) {
    error = connectEndpoint(attempt, endpoint, deadline);
    if (!error) return error;
    attemptDescriptor.store(-1);
    boost::system::error_code ignored;
    attempt.close(ignored);
    if (error == boost::asio::error::operation_aborted || error == systemError(ETIMEDOUT)) {
      return error;  // stopped, or no time left for the next address
    }
  }
  return error;
}

boost::system::error_code EthernetReceiveInterface::Impl::connectEndpoint(
    tcp::socket& attempt, const tcp::endpoint& endpoint, Clock::time_point deadline) {
  boost::system::error_code error;
  attempt.open(endpoint.protocol(), error);
  if (error) return error;
  attemptDescriptor.store(attempt.native_handle());
  attempt.non_blocking(true, error);
  if (error) return error;
  const int fd = attempt.native_handle();
  if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
    if (errno != EINPROGRESS) return systemError(errno);
    // The handshake is watched in short slices, so that a stop is seen within one of them.
    for (;;) {
      if (stopRequested.load()) return boost::asio::error::operation_aborted;
      const Clock::duration left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return systemError(ETIMEDOUT);
      const auto slice = std::chrono::ceil<std::chrono::milliseconds>(
          std::min<Clock::duration>(left, kStopCheckInterval));
      pollfd writable{fd, POLLOUT, 0};
      const int ready = ::poll(&writable, 1, static_cast<int>(slice.count()));
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) return systemError(errno);
    }
    int result = 0;
    socklen_t length = sizeof result;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) result = errno;
    if (result != 0) return systemError(result);
  }
  attempt.non_blocking(false, error);  // the reads block; a shutdown ends them
  return error;
}

void EthernetReceiveInterface::Impl::closeSocket() {
  std::lock_guard<std::mutex> lock(socketMutex);
  socketDescriptor.store(-1);
  boost::system::error_code ignored;
  socket.cancel(ignored);
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

void EthernetReceiveInterface::Impl::interruptRead() {
  // A shutdown ends the reader's blocked read. Closing here instead would release the descriptor
  // number while the reader may still be about to read it, and the next socket opened anywhere in
  // the process could take that number; the descriptor is closed once the reader has ended.
  std::lock_guard<std::mutex> lock(socketMutex);
  boost::system::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
}

void EthernetReceiveInterface::Impl::readLoop() {
  while (!stopRequested.load()) {
    try {
      readLines();
    } catch (const std::exception&) {
      // A read error or the end of the stream: reconnect silently.
      connected.exchange(false);
      closeSocket();  // let the peer see the end now rather than at the reopen
      if (!pauseBeforeReconnect()) return;
      receiveBuffer.clear();
      try {
        openSocket();
      } catch (const std::exception&) {
        // Refused, not answered in time or stopped: the next read fails at once on the closed
        // socket, so the reopen is retried after another pause unless a stop ends the loop.
      }
    }
  }
}

void EthernetReceiveInterface::Impl::readLines() {
  while (!stopRequested.load()) {
    // The length counts the line's CR; the line is parsed where it lies, then dropped.
    const std::size_t length = boost::asio::read_until(
        socket, boost::asio::dynamic_buffer(receiveBuffer, kMaxBufferedBytes), '\r');
    try {
      parseLine(std::string_view(receiveBuffer.data(), length - 1));
    } catch (const std::exception&) {
      // A bad number rejects the line; a partly collected sample is not trusted either.
      pendingFields.clear();
    }
    receiveBuffer.erase(0, length);
  }
}

bool EthernetReceiveInterface::Impl::pauseBeforeReconnect() {
  // A condition-variable wait rather than a sleep: disconnect() signals it, so stopping never
  // has to wait out the pause.
  std::unique_lock<std::mutex> lock(sampleMutex);
  return !sampleCondition.wait_until(lock, Clock::now() + kReconnectDelay,
                                     [this] { return stopRequested.load(); });
}

void EthernetReceiveInterface::Impl::parseLine(std::string_view line) {
  const telemetry::LineResult result = telemetry::parseLine(line, pendingFields);
  switch (result.kind) {
    case telemetry::LineResult::Kind::kNothing:
      break;
    case telemetry::LineResult::Kind::kStatus: {
      std::lock_guard<std::mutex> lock(statusMutex);
      telemetry::storeStatus(result.status, status.fields);  // in place: no allocation
      status.timestamp = Clock::now();
      status.valid = true;
      break;
    }
    case telemetry::LineResult::Kind::kSample: {
      {
        std::lock_guard<std::mutex> lock(sampleMutex);
        sample.joints = result.joints;
        sample.pose = result.pose;
        sample.timestamp = Clock::now();
        sample.valid = true;
      }
      sampleCondition.notify_all();
      break;
    }
  }
}

TelemetrySample EthernetReceiveInterface::Impl::sampleCopy() const {
  std::lock_guard<std::mutex> lock(sampleMutex);
  return sample;
}

TelemetryStatus EthernetReceiveInterface::Impl::statusCopy() const {
  std::lock_guard<std::mutex> lock(statusMutex);
  return status;
}

EthernetReceiveInterface::EthernetReceiveInterface() : impl_(std::make_unique<Impl>()) {}

EthernetReceiveInterface::~EthernetReceiveInterface() {
  if (impl_->inForkedChild()) {
    impl_->releaseForkedCopy();
    // Destroying a condition variable that a parent thread waited on at the fork blocks for ever,
    // and a mutex a parent thread held stays locked: the copy is left to the end of the process.
    static_cast<void>(impl_.release());
    return;
  }
  try {
    impl_->disconnect();
  } catch (const std::exception&) {
    // Nothing to report to from a destructor; the reader has been asked to stop either way.
  }
}

void EthernetReceiveInterface::connect(const std::string& host, std::uint16_t port) {
  if (impl_->inForkedChild()) {
    // A forked child connects on an interface of its own, leaving the parent's copy alone.
    auto fresh = std::make_unique<Impl>();
    impl_->releaseForkedCopy();
    static_cast<void>(impl_.release());
    impl_ = std::move(fresh);
  }
  impl_->connect(host, port);
}
void EthernetReceiveInterface::disconnect() {
  impl_->disconnect();
}
bool EthernetReceiveInterface::isConnected() const {
  return impl_->isConnected();
}
TelemetrySample EthernetReceiveInterface::getSample() const {
  return impl_->sampleCopy();
}
TelemetryStatus EthernetReceiveInterface::getStatus() const {
  return impl_->statusCopy();
}

}  // namespace epson
