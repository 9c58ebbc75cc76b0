#include "epson/robot_cell.hpp"

#include <stdexcept>

namespace epson {

namespace {

/// The Remote Ethernet password the cell's controllers are configured with; kept out of the
/// public interface on purpose.
constexpr const char* kCellPassword = "739";

}  // namespace

RobotCell::RobotCell(const std::string& host, std::uint16_t control_port,
                     std::uint16_t receive_port)
    : control_(std::make_shared<CommandChannel>()),
      receive_(std::make_shared<EthernetReceiveInterface>()),
      password_(kCellPassword) {
  try {
    control_->connect(host, control_port, password_);
    if (!control_->isLoggedIn()) {
      throw std::runtime_error(
          "Epson Remote Ethernet login was not confirmed; motors were not enabled");
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
  } catch (const std::exception& error) {
    receiveError = error.what();
  }
  try {
    control_->disconnect();
  } catch (const std::exception& error) {
    controlError = error.what();
  }
  const std::string message = detail::disconnectFailureMessage(receiveError, controlError);
  if (!message.empty()) throw std::runtime_error(message);
}

void RobotCell::closeQuietly() noexcept {
  // Teardown must reach the command channel whatever telemetry does; nobody is left to tell.
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
