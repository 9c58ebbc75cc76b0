// Inputs, outputs and memory I/O, and the controller's Global Preserve variables, through the
// controller's own Remote Ethernet requests ($GetIO, $SetIO, $GetVariable, ...). Those are
// accepted where $Execute is refused (an emergency stop, an open safeguard, an error), which is
// exactly when a cell needs to read its inputs. Outputs are read back through $Execute.
#pragma once

#include <cstdint>
#include <string>

#include "epson/command_channel.hpp"
#include "epson/session_core.hpp"

namespace epson::ops {

bool getInputBit(SessionCore& session, std::int64_t bit);
std::int64_t getInputByte(SessionCore& session, std::int64_t port);
std::int64_t getInputWord(SessionCore& session, std::int64_t port);
void setOutputBit(SessionCore& session, std::int64_t bit, bool on);
void setOutputByte(SessionCore& session, std::int64_t port, std::int64_t value);
void setOutputWord(SessionCore& session, std::int64_t port, std::int64_t value);
bool getMemoryBit(SessionCore& session, std::int64_t bit);
void setMemoryBit(SessionCore& session, std::int64_t bit, bool on);
/// Outputs read back through $Execute (`Print Oport(bit)`, `Out(port)`, `OutW(port)`), so they
/// are refused where $Execute is.
bool getOutputBit(SessionCore& session, std::int64_t bit);
std::int64_t getOutputByte(SessionCore& session, std::int64_t port);
std::int64_t getOutputWord(SessionCore& session, std::int64_t port);

/// Polls $GetIO every kInputPollIntervalMs, one hold of the connection per poll, until the input
/// is `on` (true) or `timeoutS` has passed (false).
bool waitForInput(SessionCore& session, std::int64_t bit, bool on, double timeoutS);

/// `type`: one of Boolean, Byte, UByte, Short, Integer, UShort, Long, Int32, UInt32, Int64,
/// UInt64, Real, Double, String (case ignored).
VariableValue getVariable(SessionCore& session, const std::string& name, const std::string& type);
void setVariable(SessionCore& session, const std::string& name, const VariableValue& value,
                 const std::string& type);

}  // namespace epson::ops
