// The millisecond clock the event loop reads its ticks from, and the wall
// clock for what must outlive the process.
//
// Seams: the loop calls through `relogio`, which tests point at a clock of
// their own so that ticks, wrap-around and stalls happen without waiting;
// what is kept in files across restarts (and days) reads `segundos`.
#pragma once

#include <cstdint>

namespace zandor {

inline constexpr uint32_t kMsPorTick = 200;  // one tick of the timer wheel

using FonteRelogio = uint32_t (*)();

// Monotonic milliseconds, truncated to 32 bits: it wraps like the clock the
// loop's arithmetic was designed around.
uint32_t relogioMonotonico();

extern FonteRelogio relogio;

// Seconds since the epoch (CLOCK_REALTIME): comparable across restarts,
// which the monotonic milliseconds are not, and wide enough never to wrap.
// It may step when the system's time is set; its readers bound what a step
// can cost.
using FonteSegundos = int64_t (*)();
int64_t segundosSistema();

extern FonteSegundos segundos;

}  // namespace zandor
