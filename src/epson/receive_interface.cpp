// The telemetry connection: blocking reads on one reader thread, latest-value records, sample
// streams, silent reconnection, connect attempts bounded in time and ended early by a stop.
#include "epson/receive_interface.hpp"

#include <poll.h>
#include <sys/eventfd.h>
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
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "epson/caller_text.hpp"
#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"
#include "epson/interruption.hpp"

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

/// The longest a wait without an end of its own sleeps before it looks again (interruptible
/// waits look every kInterruptSlice).
constexpr std::chrono::hours kLongWait{1};

boost::system::error_code systemError(int code) {
  return boost::system::error_code(code, boost::system::system_category());
}

/// The end of the next slice of a wait that ends at `deadline`.
Clock::time_point sliceEnd(Clock::time_point deadline) {
  const Clock::time_point now = Clock::now();
  if (deadline <= now) return deadline;
  return now + interruptSlice(std::min<Clock::duration>(deadline - now, kLongWait));
}

/// Waits on `condition` until `ready()` or `deadline`, in slices between which an installed
/// interrupt check is asked with `lock` released (the check may take the interpreter lock, which
/// a thread waiting for this mutex may hold). Returns ready().
template <typename Ready>
bool waitInSlices(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                  Clock::time_point deadline, Ready ready) {
  for (;;) {
    if (condition.wait_until(lock, sliceEnd(deadline), ready)) return true;
    if (Clock::now() >= deadline) return false;
    lock.unlock();
    throwIfInterrupted();
    lock.lock();
  }
}

}  // namespace

// -- sample streams ------------------------------------------------------------------------------

/// Shared by the stream's handle and, through a weak pointer, the interface that fills it.
struct SampleStream::State {
  explicit State(std::size_t capacity) : ring(capacity), ownerPid(::getpid()) {}
  ~State() {
    if (readyFd.load() >= 0) ::close(readyFd.load());
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  /// A copy in a process forked from the one that made the stream: its mutex may have been held
  /// at the fork by a thread that does not exist here, so the copy is left alone and has ended.
  bool inForkedChild() const { return ownerPid != ::getpid(); }
  bool readyLocked() const { return count > 0 || ended || closed.load(); }

  /// Reader thread: queues `sample`, dropping the oldest when full. False when the stream is
  /// closed, for the reader to forget it.
  bool push(const TelemetrySample& sample);
  /// The interface is disconnected: nothing more will be queued.
  void end();
  /// Makes the ready descriptor readable, when there is one.
  void signalReady() const;
  /// Clears the ready descriptor: the queue was found empty (mutex held).
  void clearReadyLocked() const;

  std::mutex mutex;
  std::condition_variable changed;        // a sample queued, the stream ended or closed
  std::vector<TelemetrySample> ring;      // mutex; sized once, so that pushing never allocates
  std::size_t head = 0;                   // mutex: the oldest queued sample
  std::size_t count = 0;                  // mutex
  bool ended = false;                     // mutex; written by the interface
  std::atomic<bool> closed{false};        // written under mutex by close()
  std::atomic<std::uint64_t> dropped{0};  // written under mutex by the reader
  std::atomic<int> readyFd{-1};           // an eventfd, made once under mutex; -1: none
  const pid_t ownerPid;
};

void SampleStream::State::signalReady() const {
  const int fd = readyFd.load();
  if (fd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);  // full: readable
}

void SampleStream::State::clearReadyLocked() const {
  const int fd = readyFd.load();
  if (fd < 0) return;
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t taken = ::read(fd, &value, sizeof value);  // empty: EAGAIN
}

bool SampleStream::State::push(const TelemetrySample& sample) {
  bool wasEmpty = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed.load()) return false;
    if (count == ring.size()) {
      head = (head + 1) % ring.size();
      --count;
      dropped.fetch_add(1);
    }
    wasEmpty = count == 0;
    ring[(head + count) % ring.size()] = sample;
    ++count;
  }
  changed.notify_all();
  // Only the first sample into an empty queue: the consumer takes all it finds once woken.
  if (wasEmpty) signalReady();
  return true;
}

void SampleStream::State::end() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }
  changed.notify_all();
  signalReady();
}

SampleStream::SampleStream(std::shared_ptr<State> state) : state_(std::move(state)) {}

SampleStream::~SampleStream() {
  if (!state_) return;  // moved from
  if (state_->inForkedChild()) {
    // Destroying a condition variable that a parent thread waited on at the fork blocks for
    // ever: the copy is left to the end of the process.
    static_cast<void>(new std::shared_ptr<State>(std::move(state_)));
    return;
  }
  close();
}

bool SampleStream::next(TelemetrySample& sample) {
  if (state_->inForkedChild()) return false;
  std::unique_lock<std::mutex> lock(state_->mutex);
  waitInSlices(lock, state_->changed, Clock::time_point::max(),
               [this] { return state_->readyLocked(); });
  if (state_->count == 0 || state_->closed.load()) return false;
  sample = state_->ring[state_->head];
  state_->head = (state_->head + 1) % state_->ring.size();
  --state_->count;
  return true;
}

SampleStream::Next SampleStream::tryNext(TelemetrySample& sample) {
  if (state_->inForkedChild()) return Next::kEnded;
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->closed.load()) return Next::kEnded;
  if (state_->count == 0) {
    if (state_->ended) return Next::kEnded;
    state_->clearReadyLocked();  // the next sample makes it readable again
    return Next::kEmpty;
  }
  sample = state_->ring[state_->head];
  state_->head = (state_->head + 1) % state_->ring.size();
  --state_->count;
  return Next::kSample;
}

bool SampleStream::waitReady(std::chrono::nanoseconds timeout) {
  if (state_->inForkedChild()) return true;
  const Clock::time_point deadline =
      deadlineAfter(std::chrono::ceil<std::chrono::milliseconds>(timeout));
  std::unique_lock<std::mutex> lock(state_->mutex);
  return waitInSlices(lock, state_->changed, deadline, [this] { return state_->readyLocked(); });
}

void SampleStream::close() {
  if (state_->inForkedChild()) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closed.exchange(true)) return;
    state_->count = 0;
  }
  state_->changed.notify_all();
  state_->signalReady();
}

int SampleStream::readyDescriptor() {
  State& state = *state_;
  const auto make = [&state] {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    state.readyFd.store(fd);
  };
  if (state.inForkedChild()) {  // ended here; the mutex is left alone
    if (state.readyFd.load() < 0) make();
    state.signalReady();
    return state.readyFd.load();
  }
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.readyFd.load() < 0) {
    make();
    if (state.readyLocked()) state.signalReady();
  }
  return state.readyFd.load();
}

std::uint64_t SampleStream::dropped() const {
  return state_->dropped.load();
}
std::size_t SampleStream::capacity() const {
  return state_->ring.size();
}
bool SampleStream::closed() const {
  return state_->closed.load();
}

// -- the interface -------------------------------------------------------------------------------

/// Threads: the caller of connect()/disconnect() (one at a time), the reader thread, and any
/// reader of the records or consumer of a stream. The only nesting of mutexes is streamsMutex,
/// then a stream's own; no path holds one across a connect attempt, and none takes the
/// interpreter lock while holding one.
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
  std::optional<TelemetrySample> waitForSample(std::optional<std::uint64_t> after,
                                               std::chrono::nanoseconds timeout);
  SampleStream samples(std::size_t maxQueue);

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
  /// Reader thread: queues `record` in every open stream and forgets the closed ones.
  void publish(const TelemetrySample& record);
  /// Ends every stream and accepts no more until the next connect().
  void endStreams();

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
  TelemetryStatus status;   // statusMutex; written by the reader
  std::mutex streamsMutex;  // taken before a stream's own mutex
  /// Weak, so that a stream its consumer let go of is freed; pruned by the reader.
  std::vector<std::weak_ptr<SampleStream::State>> streams;  // streamsMutex
  bool streaming = false;  // streamsMutex: new streams are filled; connect() to disconnect()
};

void EthernetReceiveInterface::Impl::connect(const std::string& hostName,
                                             std::uint16_t portNumber) {
  checkHost(hostName);  // before anything is closed or opened
  disconnect();
  {
    std::lock_guard<std::mutex> lock(sampleMutex);
    sample.valid = false;
    sample.sequence = 0;
  }
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    status.valid = false;
  }
  {
    std::lock_guard<std::mutex> lock(streamsMutex);
    streaming = true;
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
    endStreams();
    throw;
  }
  reader = std::make_unique<std::thread>([this] { readLoop(); });

  bool ready = false;
  try {
    std::unique_lock<std::mutex> lock(sampleMutex);
    waitInSlices(lock, sampleCondition, Clock::now() + kFirstSampleTimeout,
                 [this] { return sample.valid || stopRequested.load(); });
    ready = sample.valid;
  } catch (const Interrupted&) {
    disconnect();
    throw;
  }
  if (ready) return;
  disconnect();
  throw EpsonTimeout(kNoSampleMessage);
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
  endStreams();  // after the join: the reader queues nothing more
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
    throw ConnectionLost("Failed to resolve Epson telemetry endpoint " + endpointText(host, port) +
                         ": " + error.message());
  }
  endpoints.clear();
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
}

void EthernetReceiveInterface::Impl::openSocket() {
  tcp::socket attempt(io);
  boost::system::error_code error;
  try {
    error = connectAttempt(attempt);
  } catch (const Interrupted&) {
    attemptDescriptor.store(-1);
    boost::system::error_code ignored;
    attempt.close(ignored);
    throw;
  }
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
  throw ConnectionLost("Failed to connect to Epson telemetry at " + endpointText(host, port) +
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
    // The handshake is watched in short slices, so that a stop (or an interruption of the
    // caller of connect(); none reaches the reader thread) is seen within one of them.
    for (;;) {
      if (stopRequested.load()) return boost::asio::error::operation_aborted;
      throwIfInterrupted();
      const Clock::duration left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return systemError(ETIMEDOUT);
      const auto slice = std::chrono::ceil<std::chrono::milliseconds>(
          std::min<Clock::duration>(interruptSlice(left), kStopCheckInterval));
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
      // While the reader runs it alone writes the sample: reading it here needs no lock.
      TelemetrySample record;
      record.joints = result.joints;
      record.pose = result.pose;
      record.timestamp = Clock::now();
      record.sequence = sample.sequence + 1;
      record.valid = true;
      // Queued before it is stored: a stream made by someone who has seen this sample as the
      // latest (connect() returning, waitForSample()) starts after it, not with it again.
      publish(record);
      {
        std::lock_guard<std::mutex> lock(sampleMutex);
        sample = record;
      }
      sampleCondition.notify_all();
      break;
    }
  }
}

void EthernetReceiveInterface::Impl::publish(const TelemetrySample& record) {
  std::lock_guard<std::mutex> lock(streamsMutex);
  auto kept = streams.begin();
  for (auto current = streams.begin(); current != streams.end(); ++current) {
    const std::shared_ptr<SampleStream::State> stream = current->lock();
    if (!stream || !stream->push(record)) continue;  // let go of, or closed: forgotten
    if (kept != current) *kept = std::move(*current);
    ++kept;
  }
  streams.erase(kept, streams.end());  // in place: the reader allocates nothing here
}

void EthernetReceiveInterface::Impl::endStreams() {
  std::vector<std::weak_ptr<SampleStream::State>> ending;
  {
    std::lock_guard<std::mutex> lock(streamsMutex);
    streaming = false;
    ending.swap(streams);
  }
  for (const auto& weak : ending) {
    if (const auto stream = weak.lock()) stream->end();
  }
}

std::optional<TelemetrySample> EthernetReceiveInterface::Impl::waitForSample(
    std::optional<std::uint64_t> after, std::chrono::nanoseconds timeout) {
  if (inForkedChild()) return std::nullopt;  // no reader here, and the mutex may be held
  const Clock::time_point deadline =
      deadlineAfter(std::chrono::ceil<std::chrono::milliseconds>(timeout));
  const auto wanted = [this, after] {
    return sample.valid && (!after || sample.sequence > *after);
  };
  std::unique_lock<std::mutex> lock(sampleMutex);
  // Disconnected (stopRequested set by disconnect(), cleared by connect()): nothing will come.
  waitInSlices(lock, sampleCondition, deadline, [&] { return wanted() || stopRequested.load(); });
  if (wanted()) return sample;
  return std::nullopt;
}

SampleStream EthernetReceiveInterface::Impl::samples(std::size_t maxQueue) {
  if (maxQueue < 1 || maxQueue > kMaxSampleQueue) {
    throw std::invalid_argument("Sample queue size must be between 1 and " +
                                std::to_string(kMaxSampleQueue));
  }
  auto state = std::make_shared<SampleStream::State>(maxQueue);
  bool attached = false;
  if (!inForkedChild()) {
    std::lock_guard<std::mutex> lock(streamsMutex);
    if (streaming) {
      streams.push_back(state);
      attached = true;
    }
  }
  if (!attached) state->ended = true;  // not shared yet: no lock needed
  return SampleStream(std::move(state));
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
std::optional<TelemetrySample> EthernetReceiveInterface::waitForSample(
    std::optional<std::uint64_t> after, std::chrono::nanoseconds timeout) const {
  return impl_->waitForSample(after, timeout);
}
SampleStream EthernetReceiveInterface::samples(std::size_t maxQueue) {
  return impl_->samples(maxQueue);
}

}  // namespace epson
