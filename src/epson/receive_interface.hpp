// The telemetry connection to the controller's Background Task.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "epson/telemetry_parser.hpp"

namespace epson {

constexpr std::uint16_t kDefaultTelemetryPort = 2000;

/// One TCP connection to the telemetry port, read by a reader thread that keeps the latest
/// complete sample and the latest status and reconnects by itself one second after a failure.
/// Every connect attempt, the first and each reconnection, gives up after 2 s.
///
/// Thread safety: getSample(), getStatus() and isConnected() may be called from any thread at any
/// time. connect() and disconnect() are issued from one thread at a time; a disconnect() from
/// another thread ends a connect attempt or first-sample wait in progress.
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
  /// 2 s) or the first-sample wait fails.
  void connect(const std::string& host, std::uint16_t port);
  /// Stops the reader and closes the connection; harmless when already disconnected. Returns
  /// promptly whatever the reader is doing (reading, reconnecting, pausing).
  void disconnect();
  bool isConnected() const;

  /// Copies of the latest records; `valid` is false until one arrives after connect().
  TelemetrySample getSample() const;
  TelemetryStatus getStatus() const;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson
