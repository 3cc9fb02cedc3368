// The event loop: one pass reads the tick clock and advances the timer
// wheel, accepts connections, reads input into cEvento, flushes output rings
// and reports drained output, then sleeps in two waits until a socket is
// ready or the next timer is due.
//
// The two waits: a short one (30 ms) on the listeners and levels 0 to 3, then
// the main one on everything, for at most 12 ticks' worth of tenths of a
// second. Traffic on levels 4 and 5 alone is therefore taken up only after
// the short wait; the gateway lives on level 4, so a busy pass costs 30 ms of
// latency. That floor is the design's, kept on purpose.
#pragma once

#include <cstdint>

namespace zandor {

struct TConjunto;

inline constexpr int kMaxTicksPasso = 12;     // ticks worked off per pass at most
inline constexpr int kTicksEstagnado = 2048;  // a larger step counts as none
inline constexpr int kEsperaCurtaMs = 30;
inline constexpr int kMsPorDecimo = 100;      // the main wait counts tenths per tick
inline constexpr int kTamanhoRecebe = 2048;

// The step is the difference of two 16-bit ticks: a clock that went back a
// little shows as a step above half their range, which must count as a stall.
static_assert(kMaxTicksPasso <= kTicksEstagnado && kTicksEstagnado < UINT16_MAX / 2,
              "a stall is told apart from a step within 16 bits");

extern bool rodando;
extern bool sair;
extern uint16_t marcaTick;  // low 16 bits of the tick at the last pass

// Runs passes until cEncerra. A call from inside a callback returns at once
// and cancels a pending end.
void cExecuta();
// Asks the running loop to end after the current pass; void when not running.
void cEncerra();
// One pass of the loop; cExecuta's body, open to tests.
void cPasso();
// The receive dispatch over levels 0 to ate - 1.
void cRecebe(const TConjunto* prontos, int ate);

// The tick now, low 16 bits, from the clock seam.
uint16_t tickAgora();

}  // namespace zandor
