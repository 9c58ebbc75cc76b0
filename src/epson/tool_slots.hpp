// Native Tool slots: define, clear, select and read the controller's numbered Tools. The
// `...Locked` forms run under a connection lock the caller already holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "epson/session_core.hpp"

namespace epson::ops {

constexpr std::int32_t kMaxToolNumber = 15;

/// Throws std::out_of_range "Tool number must be between <lower> and 15" unless `toolNum` lies in
/// 1..15, or in 0..15 when `allowFlange` admits Tool 0 (the flange, which can only be selected).
void checkToolNumber(std::int32_t toolNum, bool allowFlange);

void tlSet(SessionCore& session, std::int32_t toolNum, const std::string& toolDefPoint);
void tlSetLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum,
                 const std::string& toolDefPoint);
void tlClear(SessionCore& session, std::int32_t toolNum);
void tlClearLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum);
void setTool(SessionCore& session, std::int32_t toolNum);
void setToolLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum);
std::int32_t getTool(SessionCore& session);
std::int32_t getToolLocked(SessionCore& session, const ConnectionHeld& held);
bool isToolDefined(SessionCore& session, std::int32_t toolNum);
bool isToolDefinedLocked(SessionCore& session, const ConnectionHeld& held, std::int32_t toolNum);
std::vector<double> getToolDefinition(SessionCore& session, std::int32_t toolNum);
std::vector<double> getToolDefinitionLocked(SessionCore& session, const ConnectionHeld& held,
                                            std::int32_t toolNum);

}  // namespace epson::ops
