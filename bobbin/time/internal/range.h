// Internal, not installed: the range of times whose UTC year tm_year holds,
// shared by the time module's sources and its tests.
#pragma once

#include "bobbin/time/time64.h"

namespace bobbin::detail {

// The first and last seconds whose UTC year fits a signed 32-bit tm_year
// (years -2147481748 and 2147485547).
inline constexpr Time64 kFirstTime = -67768040609740800;
inline constexpr Time64 kLastTime = 67768036191676799;

}  // namespace bobbin::detail
