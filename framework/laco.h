// The event loop. One pass, cPasso, makes ten steps:
//    1. reads the tick clock: the ticks since the last pass, in 16 bits;
//    2. advances the timer wheel by them, at most 12 (a step back or a
//       stall counts as none), firing every timer that falls due;
//    3. accepts every pending connection of every ready listener;
//    4. reads the ready sockets, level by level, into cEvento, and closes
//       the objects whose send failed;
//    5. flushes every output ring not held and reports those it emptied,
//       first pushing out what a ring that filled during the pass handed its
//       socket (cFimDoPasso);
//    6. builds the sets of the two waits;
//    7. looks ahead for the nearest timer, up to 12 ticks;
//    8. takes the ticks this pass has spent off that: the time-out;
//    9. waits briefly (30 ms) on the listeners and levels 0 to 3, and
//       forgets what it found;
//   10. waits on everything until a socket is ready or the time-out ends,
//       counting a tenth of a second per tick. What this wait finds ready
//       is what steps 3 and 4 of the next pass serve.
//
// Traffic on levels 4 and 5 alone is therefore taken up only after the short
// wait; the gateway lives on level 4, so a busy pass costs 30 ms of latency.
// That floor is kept on purpose: while the short wait runs, what the MUD
// sends gathers in the kernel, so the next pass reads it in one go and its
// drain hands each user all of it in one transmission, not one per packet
// the MUD happened to write. A ring that fills on the way gives its socket
// what it holds with MSG_MORE, so the drain's send carries that too.
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
