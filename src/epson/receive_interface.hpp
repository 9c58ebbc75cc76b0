// The telemetry connection to the controller's Background Task.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "epson/telemetry_parser.hpp"

namespace epson {

constexpr std::uint16_t kDefaultTelemetryPort = 2000;
/// Samples a SampleStream holds for its consumer unless told otherwise, and at most.
constexpr std::size_t kDefaultSampleQueue = 1024;
constexpr std::size_t kMaxSampleQueue = std::size_t{1} << 20;

/// Every sample the reader stores, in order, from the moment the stream is made: a bounded queue
/// of its own that the reader thread fills and its consumer empties. The reader never waits for
/// the consumer: when the queue is full it drops the oldest sample and counts it in dropped().
/// The stream ends when the interface is disconnected (once the samples queued before have been
/// taken) or when it is closed (at once); the reader's own reconnections do not end it.
///
/// Thread safety: every member may be called from any thread; the waits end when the stream
/// ends or is closed from another thread. A copy made in a forked child is ended there.
class SampleStream {
 public:
  struct State;
  /// What tryNext() found.
  enum class Next { kSample, kEmpty, kEnded };

  explicit SampleStream(std::shared_ptr<State> state);
  /// Closes the stream.
  ~SampleStream();
  SampleStream(SampleStream&&) noexcept = default;
  SampleStream& operator=(SampleStream&&) noexcept = default;
  SampleStream(const SampleStream&) = delete;
  SampleStream& operator=(const SampleStream&) = delete;

  /// Takes the oldest queued sample into `sample`, waiting for one; false once the stream has
  /// ended. Interruptible (interruption.hpp).
  bool next(TelemetrySample& sample);
  /// Takes the oldest queued sample into `sample` without waiting.
  Next tryNext(TelemetrySample& sample);
  /// Waits at most `timeout` for tryNext() to have something other than kEmpty to say; returns
  /// whether it has. Interruptible.
  bool waitReady(std::chrono::nanoseconds timeout);
  /// Detaches the stream from the reader and drops what it holds; later calls do nothing.
  void close();
  /// A descriptor for an event loop to watch, made on the first call (an eventfd): readable
  /// while tryNext() may have something other than kEmpty to say. tryNext() clears it when it
  /// finds the queue empty; the next sample, the end or close() makes it readable again. Open as
  /// long as the stream's state is; not to be read or closed by the caller. Throws
  /// std::system_error when no descriptor can be made.
  int readyDescriptor();

  /// Samples dropped so far because the queue was full.
  std::uint64_t dropped() const;
  /// The most samples the queue holds.
  std::size_t capacity() const;
  /// Whether close() was called.
  bool closed() const;

 private:
  std::shared_ptr<State> state_;
};

/// One TCP connection to the telemetry port, read by a reader thread that keeps the latest
/// complete sample and the latest status and reconnects by itself one second after a failure.
/// Every connect attempt, the first and each reconnection, gives up after 2 s.
///
/// Thread safety: getSample(), getStatus(), isConnected(), waitForSample() and samples() may be
/// called from any thread at any time. connect() and disconnect() are issued from one thread at a
/// time; a disconnect() from another thread ends a connect attempt or first-sample wait in
/// progress, and every waitForSample() in progress.
///
/// After a fork, the child's copy leaves the parent's connection alone: it reports not connected,
/// and disconnecting or destroying it only closes the child's descriptor.
class EthernetReceiveInterface {
 public:
  class Impl;

  EthernetReceiveInterface();
  /// Disconnects; failures are swallowed. Returns promptly whatever the reader is doing.
  ~EthernetReceiveInterface();
  EthernetReceiveInterface(const EthernetReceiveInterface&) = delete;
  EthernetReceiveInterface& operator=(const EthernetReceiveInterface&) = delete;

  /// Connects and returns once a complete sample has arrived (at most 2 s after connecting).
  /// Throws std::runtime_error when resolution, the connection (refused, or not answered within
  /// 2 s) or the first-sample wait fails. Interruptible (interruption.hpp) while it waits for the
  /// connection or the first sample: it then throws Interrupted, leaving the interface
  /// disconnected with no reader thread.
  void connect(const std::string& host, std::uint16_t port);
  /// Stops the reader and closes the connection; harmless when already disconnected. Returns
  /// promptly whatever the reader is doing (reading, reconnecting, pausing).
  void disconnect();
  bool isConnected() const;

  /// Copies of the latest records; `valid` is false until one arrives after connect().
  TelemetrySample getSample() const;
  TelemetryStatus getStatus() const;

  /// With no `after`: the latest sample at once when there is one, else the first to arrive.
  /// Otherwise the first sample whose sequence is greater than `after` (the latest at once when
  /// it already is). Nothing when `timeout` passes first, or once the interface is disconnected
  /// with no such sample. Woken by the reader as each sample is stored. Interruptible.
  std::optional<TelemetrySample> waitForSample(std::optional<std::uint64_t> after,
                                               std::chrono::nanoseconds timeout) const;
  /// A stream of every sample from now on, holding at most `maxQueue` of them (1 to
  /// kMaxSampleQueue, else std::invalid_argument). Made while disconnected, it has ended.
  SampleStream samples(std::size_t maxQueue = kDefaultSampleQueue);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson
