// The millisecond clock the event loop reads its ticks from.
//
// A seam: the loop calls through `relogio`, which tests point at a clock of
// their own so that ticks, wrap-around and stalls happen without waiting.
#pragma once

#include <cstdint>

namespace zandor {

inline constexpr uint32_t kMsPorTick = 200;  // one tick of the timer wheel

using FonteRelogio = uint32_t (*)();

// Monotonic milliseconds, truncated to 32 bits: it wraps like the clock the
// loop's arithmetic was designed around.
uint32_t relogioMonotonico();

extern FonteRelogio relogio;

}  // namespace zandor
