// Go and Move: one motion statement, optionally preceded by its speed and acceleration settings,
// sent while the motion holds the connection and marks the session as moving.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "epson/session_core.hpp"

namespace epson::ops {

void go(SessionCore& session, const std::string& destination, bool cp, bool ljm,
        std::optional<std::int32_t> orientationFlag,
        const std::optional<std::string>& searchExpression,
        const std::optional<std::string>& parallelProcessing, bool sync,
        std::optional<std::int32_t> speedPercent, std::optional<std::int32_t> accelerationPercent,
        std::optional<std::int32_t> decelerationPercent);
void move(SessionCore& session, const std::string& destination, bool rot, bool ecp, bool cp,
          const std::optional<std::string>& searchExpression,
          const std::optional<std::string>& parallelProcessing, bool sync,
          std::optional<double> speedMmS, std::optional<double> accelerationMmS2);

}  // namespace epson::ops
