// The one fake clock of the in-process tests: milliseconds a test sets by
// hand, put behind the clock seam (framework/relogio.h) so that ticks,
// ages, stalls and the 32-bit wrap happen without waiting.
#pragma once

#include <cstdint>

#include "framework/relogio.h"

namespace zandor {

// What the fake clock says; a test moves it.
inline uint32_t msFalso = 0;
inline uint32_t relogioFalso() { return msFalso; }

// While it lives the seam reads the fake clock, starting at `inicio`; then
// the source it found comes back.
class RelogioFalso {
 public:
  explicit RelogioFalso(uint32_t inicio = 0) : antes_(relogio) {
    msFalso = inicio;
    relogio = relogioFalso;
  }
  ~RelogioFalso() { relogio = antes_; }
  RelogioFalso(const RelogioFalso&) = delete;
  RelogioFalso& operator=(const RelogioFalso&) = delete;

 private:
  FonteRelogio antes_;
};

}  // namespace zandor
