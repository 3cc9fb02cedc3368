// The timer wheel: every delay in the program is a TTempo armed for a number
// of 200 ms ticks and fired through its virtual cExpira.
//
// Two levels, 900 list heads in all, so that arming, re-arming and disarming
// cost constant time whatever the number of timers, and each tick touches
// only the timers that fire on it:
//
//   roda[0 .. 599]    one-tick slots: slot s fires when `agora` becomes s
//   +---+---+---+-   -+---+---+
//   | 0 | 1 | 2 | ... |598|599|      agora -> the current tick's slot
//   +---+---+---+-   -+---+---+
//
//   roda[600 .. 899]  coarse slots of 300 ticks each
//   +---+---+---+-   -+---+---+
//   |600|601|602| ... |898|899|      volta -> the coarse slot emptied last
//   +---+---+---+-   -+---+---+
//
// Each time `agora` reaches 0 or 300, `volta` moves on one coarse slot and
// that slot's timers drop into the one-tick slot 300 + `resto` ticks ahead.
// A delay is therefore 1 to 90000 ticks (300 coarse slots of 300 ticks: five
// hours). Each slot is an intrusive doubly linked list, newest at the head;
// the wheel owns nothing.
#pragma once

#include <cstdint>

#include "framework/lista.h"

namespace zandor {

inline constexpr int kSlotsFinos = 600;     // one-tick slots
inline constexpr int kSlotsGrossos = 300;   // coarse slots
inline constexpr int kTicksPorGrosso = 300; // ticks a coarse slot spans
inline constexpr int kSlotsRoda = kSlotsFinos + kSlotsGrossos;
inline constexpr int kMaxTicks = 90000;     // the longest delay

// A coarse slot empties at a boundary into the one-tick slot 300 + resto
// ticks ahead (resto < 300): within one turn of those slots, and never the
// slot of that very tick, only because they span two coarse periods.
static_assert(kSlotsFinos == 2 * kTicksPorGrosso, "one-tick slots span two coarse periods");
// The longest delay is placed at most kSlotsGrossos - 1 coarse slots after
// `volta`, never back on `volta` itself, which empties only a turn later.
static_assert(kMaxTicks == kSlotsGrossos * kTicksPorGrosso, "the longest delay is one turn of the coarse slots");
// `casa` holds any slot and -1; `resto` holds up to a period.
static_assert(kSlotsRoda - 1 <= INT16_MAX && kTicksPorGrosso <= INT16_MAX, "slots fit the 16-bit fields");

class TTempo {
 public:
  TTempo() = default;
  virtual ~TTempo();
  TTempo(const TTempo&) = delete;
  TTempo& operator=(const TTempo&) = delete;

  // Fires after `ticks` (cut to 90000), moving the timer if it was armed;
  // 0 or less disarms. Returns the delay used, or 0 when it disarmed.
  int cArma(int ticks);
  // Ticks until the timer fires; 0 when it is not armed.
  int cFalta() const;
  bool cArmado() const { return casa >= 0; }

  // The timer fell due. It is already disarmed; it may re-arm itself, touch
  // other timers, or destroy its owner.
  virtual void cExpira() {}

 private:
  friend void cAvanca(int ticks);
  void insere(int slot);  // at the head of roda[slot]
  void desliga();        // out of its slot; idle

  TTempo* anteriorRoda = nullptr;
  TTempo* proximoRoda = nullptr;
  int16_t casa = -1;   // -1 idle, 0..599 one-tick slot, 600..899 coarse slot
  int16_t resto = 0;   // coarse only: ticks beyond 300 once its slot is emptied

  using Elos = TElos<TTempo, &TTempo::anteriorRoda, &TTempo::proximoRoda>;
};

// The wheel: its slots and its two positions. The event loop reads `agora`
// and the one-tick slots.
struct TRoda {
  TTempo* roda[kSlotsRoda] = {};
  int agora = 0;            // 0..599
  int volta = kSlotsFinos;  // 600..899
};

extern TRoda rodaTempo;

// Moves the wheel on tick by tick, firing every timer that falls due. Ticks
// are never skipped, so late timers fire late but in order.
void cAvanca(int ticks);

}  // namespace zandor
