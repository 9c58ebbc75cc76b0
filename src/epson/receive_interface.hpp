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
///
/// Thread safety: getSample(), getStatus() and isConnected() may be called from any thread at any
/// time. connect() and disconnect() are issued from one thread at a time; a disconnect() from
/// another thread ends a first-sample wait in progress.
class EthernetReceiveInterface {
 public:
  class Impl;

  EthernetReceiveInterface();
  /// Disconnects; failures are swallowed.
  ~EthernetReceiveInterface();
  EthernetReceiveInterface(const EthernetReceiveInterface&) = delete;
  EthernetReceiveInterface& operator=(const EthernetReceiveInterface&) = delete;

  /// Connects and returns once a complete sample has arrived (at most 2 s after connecting).
  /// Throws std::runtime_error when resolution, connection or the first-sample wait fails.
  void connect(const std::string& host, std::uint16_t port);
  /// Stops the reader and closes the connection; harmless when already disconnected.
  void disconnect();
  bool isConnected() const;

  /// Copies of the latest records; `valid` is false until one arrives after connect().
  TelemetrySample getSample() const;
  TelemetryStatus getStatus() const;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson
