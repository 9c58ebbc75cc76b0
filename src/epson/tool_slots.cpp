// Native Tool slots: define, clear, select and read the controller's numbered Tools.
#include "epson/tool_slots.hpp"

#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/caller_text.hpp"
#include "epson/command_session.hpp"
#include "epson/reply_values.hpp"
#include "epson/wire_protocol.hpp"

namespace epson {

namespace {

constexpr std::size_t kToolDefinitionValues = 6;

std::string toolDefinitionQuery(std::int32_t toolNum) {
  const std::string slot = "(TLSet(" + std::to_string(toolNum) + "))";
  return "Print CX" + slot + ",CY" + slot + ",CZ" + slot + ",CU" + slot + ",CV" + slot + ",CW" +
         slot;
}

void checkTlSetArguments(std::int32_t toolNum, const std::string& toolDefPoint) {
  checkToolNumber(toolNum, false);
  if (toolDefPoint.empty()) {
    throw std::invalid_argument("TLSet tool_def_point must not be empty");
  }
  checkVerbatimText(toolDefPoint, "TLSet tool_def_point");
}

}  // namespace

void checkToolNumber(std::int32_t toolNum, bool allowFlange) {
  const std::int32_t lowest = allowFlange ? 0 : 1;
  if (toolNum < lowest || toolNum > kMaxToolNumber) {
    throw std::out_of_range("Tool number must be between " + std::to_string(lowest) + " and " +
                            std::to_string(kMaxToolNumber));
  }
}

// The public forms check their arguments before taking the lock, so that a refused call never
// waits for a running motion; the locked forms check again for their callers inside the core.

void CommandChannel::Impl::tlSet(std::int32_t toolNum, const std::string& toolDefPoint) {
  checkTlSetArguments(toolNum, toolDefPoint);
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  tlSetLocked(toolNum, toolDefPoint);
}

void CommandChannel::Impl::tlSetLocked(std::int32_t toolNum, const std::string& toolDefPoint) {
  checkTlSetArguments(toolNum, toolDefPoint);
  command(wire::executeRequest("TLSet " + std::to_string(toolNum) + ", " + toolDefPoint),
          kCommandTimeoutMs);
}

void CommandChannel::Impl::tlClear(std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  tlClearLocked(toolNum);
}

void CommandChannel::Impl::tlClearLocked(std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  command(wire::executeRequest("TLClr " + std::to_string(toolNum)), kCommandTimeoutMs);
}

void CommandChannel::Impl::setTool(std::int32_t toolNum) {
  checkToolNumber(toolNum, true);
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  setToolLocked(toolNum);
}

void CommandChannel::Impl::setToolLocked(std::int32_t toolNum) {
  checkToolNumber(toolNum, true);
  command(wire::executeRequest("Tool " + std::to_string(toolNum)), kCommandTimeoutMs);
}

std::int32_t CommandChannel::Impl::getTool() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  return getToolLocked();
}

std::int32_t CommandChannel::Impl::getToolLocked() {
  const std::int64_t value = reply::parseControllerInteger(execute("Print Tool"));
  // Taken as unsigned, a negative value is huge: one comparison refuses both ends.
  if (static_cast<std::uint64_t>(value) > static_cast<std::uint64_t>(kMaxToolNumber)) {
    throw std::runtime_error("Controller returned an invalid Tool number: " +
                             std::to_string(value));
  }
  return static_cast<std::int32_t>(value);
}

bool CommandChannel::Impl::isToolDefined(std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  return isToolDefinedLocked(toolNum);
}

bool CommandChannel::Impl::isToolDefinedLocked(std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  const std::string payload = execute("Print TLDef(" + std::to_string(toolNum) + ")");
  return reply::parseControllerInteger(payload) != 0;  // the controller prints -1 for True
}

std::vector<double> CommandChannel::Impl::getToolDefinition(std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  return getToolDefinitionLocked(toolNum);
}

std::vector<double> CommandChannel::Impl::getToolDefinitionLocked(std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  // Reading the coordinates of an empty slot is a controller error; ask first for a clear message.
  if (!isToolDefinedLocked(toolNum)) {
    throw std::runtime_error("Tool " + std::to_string(toolNum) + " is not defined");
  }
  const std::string payload = execute(toolDefinitionQuery(toolNum));
  std::vector<double> values = reply::leadingDoubles(payload);
  if (values.size() != kToolDefinitionValues) {
    throw std::runtime_error("Failed to parse TLSet definition. Expected 6 values, received " +
                             std::to_string(values.size()) + ": " + reply::quoted(payload));
  }
  return values;
}

}  // namespace epson
