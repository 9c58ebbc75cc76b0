// Range check shared by every operation that names a Tool number.
#pragma once

#include <cstdint>

namespace epson {

constexpr std::int32_t kMaxToolNumber = 15;

/// Throws std::out_of_range "Tool number must be between <lower> and 15" unless `toolNum` lies in
/// 1..15, or in 0..15 when `allowFlange` admits Tool 0 (the flange, which can only be selected).
void checkToolNumber(std::int32_t toolNum, bool allowFlange);

}  // namespace epson
