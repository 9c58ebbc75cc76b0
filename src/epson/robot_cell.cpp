#include "epson/robot_cell.hpp"

#include <stdexcept>

#include "epson/errors.hpp"
#include "epson/interruption.hpp"

namespace epson {

namespace {

/// The Remote Ethernet password the cell's controllers are configured with; kept out of the
/// public interface on purpose.
constexpr const char* kCellPassword = "739";

}  // namespace

RobotCell::RobotCell(const std::string& host, std::uint16_t control_port,
                     std::uint16_t receive_port, const ConnectOptions& options,
                     const std::optional<std::string>& password)
    : control_(std::make_shared<CommandChannel>()),
      receive_(std::make_shared<EthernetReceiveInterface>()),
      password_(password.value_or(kCellPassword)) {
  try {
    control_->connect(host, control_port, password_, options);
    if (!control_->isLoggedIn()) {
      throw EpsonError("Epson Remote Ethernet login was not confirmed; motors were not enabled");
    }
    receive_->connect(host, receive_port);
  } catch (...) {
    // Whatever failed, nothing stays open; the caller gets the failure itself.
    closeQuietly();
    throw;
  }
}

RobotCell::~RobotCell() {
  closeQuietly();
}

bool RobotCell::isConnected() const {
  return control_->isConnected() && receive_->isConnected();
}

void RobotCell::disconnect() {
  std::string receiveError;
  std::string controlError;
  try {
    receive_->disconnect();
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& error) {
    receiveError = error.what();
  }
  try {
    control_->disconnect();
  } catch (const Interrupted&) {
    throw;  // Ctrl-C while waiting behind a motion: the caller asked to stop waiting
  } catch (const std::exception& error) {
    controlError = error.what();
  }
  const std::string message = detail::disconnectFailureMessage(receiveError, controlError);
  if (!message.empty()) throw EpsonError(message);
}

void RobotCell::closeQuietly() noexcept {
  // Teardown must reach the command channel whatever telemetry does (or the caller's Ctrl-C);
  // nobody is left to tell.
  const UninterruptedScope wholly;
  try {
    receive_->disconnect();
  } catch (...) {
  }
  try {
    control_->disconnect();
  } catch (...) {
  }
}

namespace detail {

std::string disconnectFailureMessage(const std::string& receiveError,
                                     const std::string& controlError) {
  if (!receiveError.empty() && !controlError.empty()) {
    return "Failed to disconnect both Epson interfaces: receive error: " + receiveError +
           "; control error: " + controlError;
  }
  if (!receiveError.empty()) return "Failed to disconnect Epson receive interface: " + receiveError;
  if (!controlError.empty()) return "Failed to disconnect Epson control interface: " + controlError;
  return {};
}

}  // namespace detail

}  // namespace epson
