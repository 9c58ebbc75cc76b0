// TCP offset override: the host's TCP, in metres and Euler-XYZ degrees, written into the reserved
// Tool slot and selected, with the user's Tool state saved once and put back on restore.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "epson/session_core.hpp"

namespace epson::ops {

/// The Tool slot the override writes.
constexpr std::int32_t kReservedTcpTool = 15;

/// The user's Tool state saved by the first override (connection lock); it belongs to the
/// connection it was saved on and is forgotten when that ends.
struct TcpOffsetState {
  bool active = false;
  std::optional<std::int32_t> savedTool;
  std::optional<std::vector<double>> savedDefinition;

  void discard();
};

std::vector<double> getTcpOffset(SessionCore& session);
void setTcpOffset(SessionCore& session, TcpOffsetState& state, const std::vector<double>& pose);
void restoreTcpOffset(SessionCore& session, TcpOffsetState& state);
void restoreTcpOffsetLocked(SessionCore& session, const ConnectionHeld& held,
                            TcpOffsetState& state);

}  // namespace epson::ops
