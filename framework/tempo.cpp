// The two-level timer wheel. Firing re-reads the slot head after every
// callback, which is what lets cExpira arm, disarm or destroy any timer,
// including those still waiting on the same tick.
#include "framework/tempo.h"

namespace zandor {

TTempo* roda[kSlotsRoda];
int agora = 0;
int volta = kSlotsFinos;

void TTempo::insere(int slot) {
  casa = static_cast<int16_t>(slot);
  anteriorRoda = nullptr;
  proximoRoda = roda[slot];
  if (roda[slot] != nullptr) roda[slot]->anteriorRoda = this;
  roda[slot] = this;
}

void TTempo::desliga() {
  if (anteriorRoda != nullptr)
    anteriorRoda->proximoRoda = proximoRoda;
  else
    roda[casa] = proximoRoda;
  if (proximoRoda != nullptr) proximoRoda->anteriorRoda = anteriorRoda;
  anteriorRoda = proximoRoda = nullptr;
  casa = -1;
}

TTempo::~TTempo() {
  if (casa >= 0) desliga();
}

int TTempo::cArma(int a) {
  if (a > kMaxTicks) a = kMaxTicks;
  if (casa >= 0) desliga();
  if (a <= 0) return 0;
  if (a < kSlotsFinos) {
    resto = 0;
    insere((agora + a) % kSlotsFinos);
    return a;
  }
  // Ticks to the next boundary at which `agora` becomes 0 or 300 (1..300);
  // the rest is counted in whole coarse slots after `volta`.
  const int ateFronteira = ((kSlotsFinos - 1 - agora) % kTicksPorGrosso) + 1;
  const int alem = a - ateFronteira;
  resto = static_cast<int16_t>(alem % kTicksPorGrosso);
  insere(kSlotsFinos + ((volta - kSlotsFinos) + alem / kTicksPorGrosso) % kSlotsGrossos);
  return a;
}

int TTempo::cFalta() const {
  if (casa < 0) return 0;
  if (casa < kSlotsFinos) return (casa - agora + kSlotsFinos) % kSlotsFinos;
  return ((casa - volta + kSlotsGrossos) % kSlotsGrossos) * kTicksPorGrosso + resto +
         ((kSlotsFinos - 1 - agora) % kTicksPorGrosso) + 1;
}

void cAvanca(int ticks) {
  for (int i = 0; i < ticks; ++i) {
    agora = (agora + 1) % kSlotsFinos;
    if (agora % kTicksPorGrosso == 0) {
      volta = volta + 1 == kSlotsRoda ? kSlotsFinos : volta + 1;
      while (TTempo* t = roda[volta]) {
        t->desliga();
        t->insere((t->resto + agora + kTicksPorGrosso) % kSlotsFinos);
      }
    }
    while (TTempo* t = roda[agora]) {
      t->desliga();
      t->cExpira();
    }
  }
}

}  // namespace zandor
