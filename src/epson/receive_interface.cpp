// The telemetry connection: blocking reads on one reader thread, latest-value records, silent
// reconnection.
#include "epson/receive_interface.hpp"

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

namespace epson {

namespace {

using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kFirstSampleTimeout{2};
constexpr std::chrono::seconds kReconnectDelay{1};
/// A peer that writes this much without a CR is not writing telemetry lines: the stream is
/// treated as broken and reopened.
constexpr std::size_t kMaxBufferedBytes = 64 * 1024;

constexpr const char* kNoSampleMessage =
    "Connected to the Epson telemetry port, but no complete six-axis sample was received within "
    "2 seconds. Check that the controller Background Task is running and continuously writing "
    "all X-W and J1-J6 angle fields.";

std::string endpointText(const std::string& host, std::uint16_t port) {
  return host + ":" + std::to_string(port);
}

}  // namespace

/// Threads: the caller of connect()/disconnect() (one at a time), the reader thread, and any
/// reader of the records. No path holds two of the mutexes at once.
class EthernetReceiveInterface::Impl {
 public:
  Impl() : socket(io) {}

  void connect(const std::string& hostName, std::uint16_t portNumber);
  void disconnect();
  bool isConnected() const { return connected.load(); }
  TelemetrySample sampleCopy() const;
  TelemetryStatus statusCopy() const;

 private:
  void openSocket();
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
  std::thread reader;  // caller of connect()/disconnect()
  std::atomic<bool> stopRequested{true};
  std::atomic<bool> connected{false};
  std::string host;  // written by connect() before the reader starts
  std::uint16_t port = kDefaultTelemetryPort;
  telemetry::PendingFields pendingFields;  // reader thread; connect() before it starts
  mutable std::mutex sampleMutex;
  std::condition_variable sampleCondition;  // a stored sample; disconnect()
  TelemetrySample sample;                   // sampleMutex; written by the reader
  mutable std::mutex statusMutex;
  TelemetryStatus status;  // statusMutex; written by the reader
};

void EthernetReceiveInterface::Impl::connect(const std::string& hostName,
                                             std::uint16_t portNumber) {
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
  stopRequested.exchange(false);

  openSocket();
  reader = std::thread([this] { readLoop(); });

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
  stopRequested.exchange(true);
  connected.exchange(false);
  // Passing through the mutex orders the flag with a waiter's predicate check, so a waiter that
  // has just found the flag clear is already waiting when it is notified.
  { std::lock_guard<std::mutex> lock(sampleMutex); }
  sampleCondition.notify_all();

  if (reader.joinable()) {
    interruptRead();
    if (reader.get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                              "EthernetReceiveInterface::disconnect on its reader thread");
    }
    reader.join();
    reader = std::thread();
  }
  // Also closes a socket that the reader reopened after the interruption.
  closeSocket();
  connected.exchange(false);
  receiveBuffer.clear();
}

void EthernetReceiveInterface::Impl::openSocket() {
  std::lock_guard<std::mutex> lock(socketMutex);
  boost::system::error_code error;
  socket.close(error);
  socket = tcp::socket(io);

  tcp::resolver resolver(io);
  const auto endpoints =
      resolver.resolve(host, std::to_string(port), static_cast<tcp::resolver::flags>(0), error);
  if (error) {
    throw std::runtime_error("Failed to resolve Epson telemetry endpoint " +
                             endpointText(host, port) + ": " + error.message());
  }
  boost::asio::connect(socket, endpoints, error);
  if (error) {
    boost::system::error_code ignored;
    socket.close(ignored);  // the failed attempt leaves the descriptor open
    throw std::runtime_error("Failed to connect to Epson telemetry at " + endpointText(host, port) +
                             ": " + error.message());
  }
  socket.set_option(tcp::no_delay(true), error);  // latency only: a failure is harmless
  connected.exchange(true);
}

void EthernetReceiveInterface::Impl::closeSocket() {
  std::lock_guard<std::mutex> lock(socketMutex);
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
        // The next read fails at once on the closed socket, so the reopen is retried after
        // another pause.
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
  try {
    impl_->disconnect();
  } catch (const std::exception&) {
    // Nothing to report to from a destructor; the reader has been asked to stop either way.
  }
}

void EthernetReceiveInterface::connect(const std::string& host, std::uint16_t port) {
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
