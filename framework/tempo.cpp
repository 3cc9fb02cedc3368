// The two-level timer wheel. Firing re-reads the slot head after every
// callback, which is what lets cExpira arm, disarm or destroy any timer,
// including those still waiting on the same tick.
#include "framework/tempo.h"

namespace zandor {

TRoda rodaTempo;

void TTempo::insere(int slot) {
  casa = static_cast<int16_t>(slot);
  Elos::poeCabeca(rodaTempo.roda[slot], this);
}

void TTempo::desliga() {
  Elos::tira(rodaTempo.roda[casa], this);
  casa = -1;
}

TTempo::~TTempo() {
  if (casa >= 0) desliga();
}

int TTempo::cArma(int a) {
  const TRoda& r = rodaTempo;
  if (a > kMaxTicks) a = kMaxTicks;
  if (casa >= 0) desliga();
  if (a <= 0) return 0;
  if (a < kSlotsFinos) {
    resto = 0;
    insere((r.agora + a) % kSlotsFinos);
    return a;
  }
  // Ticks to the next boundary at which `agora` becomes 0 or 300 (1..300);
  // the rest is counted in whole coarse slots after `volta`.
  const int ateFronteira = ((kSlotsFinos - 1 - r.agora) % kTicksPorGrosso) + 1;
  const int alem = a - ateFronteira;
  resto = static_cast<int16_t>(alem % kTicksPorGrosso);
  insere(kSlotsFinos + ((r.volta - kSlotsFinos) + alem / kTicksPorGrosso) % kSlotsGrossos);
  return a;
}

int TTempo::cFalta() const {
  const TRoda& r = rodaTempo;
  if (casa < 0) return 0;
  if (casa < kSlotsFinos) return (casa - r.agora + kSlotsFinos) % kSlotsFinos;
  return ((casa - r.volta + kSlotsGrossos) % kSlotsGrossos) * kTicksPorGrosso + resto +
         ((kSlotsFinos - 1 - r.agora) % kTicksPorGrosso) + 1;
}

void cAvanca(int ticks) {
  TRoda& r = rodaTempo;
  for (int i = 0; i < ticks; ++i) {
    r.agora = (r.agora + 1) % kSlotsFinos;
    if (r.agora % kTicksPorGrosso == 0) {
      r.volta = r.volta + 1 == kSlotsRoda ? kSlotsFinos : r.volta + 1;
      while (TTempo* t = r.roda[r.volta]) {
        t->desliga();
        t->insere((t->resto + r.agora + kTicksPorGrosso) % kSlotsFinos);
      }
    }
    while (TTempo* t = r.roda[r.agora]) {
      t->desliga();
      t->cExpira();
    }
  }
}

}  // namespace zandor
