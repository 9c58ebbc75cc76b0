// One controller's command session and telemetry connection, opened and closed as a unit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "epson/command_channel.hpp"
#include "epson/receive_interface.hpp"

namespace epson {

/// Owns a logged-in CommandChannel and a streaming EthernetReceiveInterface. Both are handed out
/// with shared ownership; the cell disconnects both when it goes, whoever still holds them.
///
/// Thread safety: no lock of its own. The interfaces are thread-safe as documented on them;
/// disconnect() calls on one cell are issued one at a time.
class RobotCell {
 public:
  /// Connects and logs in on the command port without turning the motors on, then connects
  /// telemetry and waits for its first sample. On any failure both interfaces are disconnected
  /// and the failure's own exception is rethrown.
  /// `options` tune the command connection's attempts, as for CommandChannel::connect();
  /// `password` replaces the cell's own Remote Ethernet password (nullopt keeps it).
  RobotCell(const std::string& host, std::uint16_t control_port = kDefaultCommandPort,
            std::uint16_t receive_port = kDefaultTelemetryPort, const ConnectOptions& options = {},
            const std::optional<std::string>& password = std::nullopt);
  /// Disconnects both interfaces; failures are swallowed.
  ~RobotCell();
  RobotCell(const RobotCell&) = delete;
  RobotCell& operator=(const RobotCell&) = delete;

  std::shared_ptr<CommandChannel> getControlInterface() const { return control_; }
  std::shared_ptr<EthernetReceiveInterface> getReceiveInterface() const { return receive_; }
  /// True while both the command session and telemetry are connected.
  bool isConnected() const;
  /// Disconnects telemetry, then the command channel (even when the first failed); throws one
  /// std::runtime_error naming whichever failed.
  void disconnect();

 private:
  void closeQuietly() noexcept;

  const std::shared_ptr<CommandChannel> control_;
  const std::shared_ptr<EthernetReceiveInterface> receive_;
  const std::string password_;
};

namespace detail {

/// The message RobotCell::disconnect() throws for the error texts of its two steps; empty when
/// both are empty (an interface failed when its text is not empty).
std::string disconnectFailureMessage(const std::string& receiveError,
                                     const std::string& controlError);

}  // namespace detail

}  // namespace epson
