// Native Tool slots: define, clear, select and read the controller's numbered Tools.
#include "epson/tool_slots.hpp"

#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/caller_text.hpp"
#include "epson/errors.hpp"
#include "epson/numbers.hpp"
#include "epson/wire_protocol.hpp"

namespace epson::ops {

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

void tlSet(SessionCore& session, std::int32_t toolNum, const std::string& toolDefPoint) {
  checkTlSetArguments(toolNum, toolDefPoint);
  underLock(session, tlSetLocked, toolNum, toolDefPoint);
}

void tlSetLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum,
                 const std::string& toolDefPoint) {
  checkTlSetArguments(toolNum, toolDefPoint);
  session.command(held,
                  wire::executeRequest("TLSet " + std::to_string(toolNum) + ", " + toolDefPoint),
                  kCommandTimeoutMs);
}

void tlClear(SessionCore& session, std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  underLock(session, tlClearLocked, toolNum);
}

void tlClearLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  session.command(held, wire::executeRequest("TLClr " + std::to_string(toolNum)),
                  kCommandTimeoutMs);
}

void setTool(SessionCore& session, std::int32_t toolNum) {
  checkToolNumber(toolNum, true);
  underLock(session, setToolLocked, toolNum);
}

void setToolLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum) {
  checkToolNumber(toolNum, true);
  session.command(held, wire::executeRequest("Tool " + std::to_string(toolNum)), kCommandTimeoutMs);
}

std::int32_t getTool(SessionCore& session) {
  return underLock(session, getToolLocked);
}

std::int32_t getToolLocked(SessionCore& session, const ConnectionHeld& held) {
  const std::int64_t value = numbers::parseControllerInteger(session.execute(held, "Print Tool"));
  // Taken as unsigned, a negative value is huge: one comparison refuses both ends.
  if (static_cast<std::uint64_t>(value) > static_cast<std::uint64_t>(kMaxToolNumber)) {
    throw ProtocolError("Controller returned an invalid Tool number: " + std::to_string(value));
  }
  return static_cast<std::int32_t>(value);
}

bool isToolDefined(SessionCore& session, std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  return underLock(session, isToolDefinedLocked, toolNum);
}

bool isToolDefinedLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  const std::string payload = session.execute(held, "Print TLDef(" + std::to_string(toolNum) + ")");
  return numbers::parseControllerInteger(payload) != 0;  // the controller prints -1 for True
}

std::vector<double> getToolDefinition(SessionCore& session, std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  return underLock(session, getToolDefinitionLocked, toolNum);
}

std::vector<double> getToolDefinitionLocked(SessionCore& session, const ConnectionHeld& held,
                                            std::int32_t toolNum) {
  checkToolNumber(toolNum, false);
  // Reading the coordinates of an empty slot is a controller error; ask first for a clear message.
  if (!isToolDefinedLocked(session, held, toolNum)) {
    throw EpsonError("Tool " + std::to_string(toolNum) + " is not defined");
  }
  const std::string payload = session.execute(held, toolDefinitionQuery(toolNum));
  std::vector<double> values = numbers::leadingDoubles(payload);
  if (values.size() != kToolDefinitionValues) {
    throw ProtocolError("Failed to parse TLSet definition. Expected 6 values, received " +
                        std::to_string(values.size()) + ": " + numbers::quoted(payload));
  }
  return values;
}

}  // namespace epson::ops
