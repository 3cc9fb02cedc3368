// The event loop: the ten steps of a pass, and running and ending it.
#include "framework/laco.h"

#include <sys/socket.h>

#include <cerrno>

#include "framework/comunica.h"
#include "framework/conjunto.h"
#include "framework/escuta.h"
#include "framework/relogio.h"
#include "framework/soquete.h"
#include "framework/tempo.h"

namespace zandor {

bool rodando = false;
bool sair = false;
uint16_t marcaTick = 0;

namespace {

// The sets live from one pass to the next: what the main wait leaves in the
// read set is what the next pass accepts and reads from.
TConjunto leituraSet;
TConjunto escritaSet;

void fechaEAvisa(TComunica* p) {
  p->cFecha(false);
  p->cEvento(nullptr, 0);
}

// Drain: every object with pending output, not held, is flushed whether or
// not its socket was reported writable; an emptied ring is reported.
void descarregaTodos() {
  niveis.despacha(kNiveis, [](TComunica* p) {
    p->cFimDoPasso();
    if (p->cModo() <= kModoNormal && p->soqueteSaida >= 0 && !p->cVazio() && p->cDescarrega())
      p->cEvento(nullptr, 1);
  });
}

void montaConjuntos(TConjunto* instantaneoLeitura, TConjunto* instantaneoEscrita) {
  leituraSet.limpa();
  escritaSet.limpa();
  for (int i = 0; i <= kNivelNormal; ++i) {
    if (i == kNivelNormal) {
      for (TEscuta* e = escutas.cabeca; e != nullptr; e = e->cProxima())
        if (e->soquete >= 0 && e->aceitando) leituraSet.poe(e->soquete);
      *instantaneoLeitura = leituraSet;
      *instantaneoEscrita = escritaSet;
    }
    for (TComunica* p = niveis[i].cabeca; p != nullptr; p = p->cProximo()) {
      leituraSet.poe(p->soqueteEntrada);
      if (p->soqueteSaida >= 0 && !p->cVazio()) escritaSet.poe(p->soqueteSaida);
    }
  }
  for (TComunica* p = niveis[kNiveis - 1].cabeca; p != nullptr; p = p->cProximo()) leituraSet.poe(p->soqueteEntrada);
}

// k: ticks to the nearest timer in the next eleven one-tick slots, else 12.
static_assert(kMaxTicksPasso < kSlotsFinos, "the look-ahead stays within one turn of the one-tick slots");
int ticksAteTimer() {
  for (int k = 1; k < kMaxTicksPasso; ++k)
    if (rodaTempo.roda[(rodaTempo.agora + k) % kSlotsFinos] != nullptr) return k;
  return kMaxTicksPasso;
}

}  // namespace

uint16_t tickAgora() { return static_cast<uint16_t>(relogio() / kMsPorTick); }

void cRecebe(const TConjunto* prontos, int ate) {
  char buffer[kTamanhoRecebe];
  niveis.despacha(ate, [prontos, &buffer](TComunica* p) {
    // Whether p still exists is the watch's to say, not the level's cursor:
    // a change of level takes p off this list alive.
    TVigia vida(p);
    while (p->soqueteEntrada >= 0 && prontos->tem(p->soqueteEntrada)) {
      const ssize_t r = p->cLe(buffer, sizeof buffer);
      if (r < 0 && ehBloqueio(errno)) break;
      if (r <= 0) {
        fechaEAvisa(p);
        break;
      }
      p->cEvento(buffer, static_cast<int32_t>(r));
      // A full buffer may mean more is waiting, and so may bytes a TLS
      // session holds (no wait would announce them); anything less ends it.
      if (!vida.vivo() || (r != kTamanhoRecebe && !p->cRetido())) break;
    }
    if (vida.vivo() && p->fechar) fechaEAvisa(p);
  });
}

void cPasso() {
  // 1, 2: ticks, cut to 12 per pass; a step back or a stall counts as none.
  const uint16_t t = tickAgora();
  int e = static_cast<uint16_t>(t - marcaTick);
  marcaTick = t;
  if (e > kTicksEstagnado) e = 0;
  if (e > kMaxTicksPasso) e = kMaxTicksPasso;
  cAvanca(e);

  // 3 to 5: accept, receive, drain.
  cAtende(&leituraSet);
  cRecebe(&leituraSet, kNiveis);
  descarregaTodos();

  // 6 to 8: sets, look-ahead, time-outs.
  TConjunto instantaneoLeitura, instantaneoEscrita;
  montaConjuntos(&instantaneoLeitura, &instantaneoEscrita);
  const int k = ticksAteTimer();
  const int gastos = static_cast<uint16_t>(tickAgora() - marcaTick);
  const int w = k >= gastos ? k - gastos : 0;

  // 9, 10: the short wait's outcome is discarded; the main wait's read set
  // feeds the next pass.
  espera(&instantaneoLeitura, &instantaneoEscrita, kEsperaCurtaMs);
  espera(&leituraSet, &escritaSet, w * kMsPorDecimo);
}

void cExecuta() {
  if (rodando) {
    sair = false;
    return;
  }
  rodando = true;
  marcaTick = tickAgora();
  leituraSet.limpa();
  escritaSet.limpa();
  while (!sair) cPasso();
  rodando = false;
  sair = false;
}

void cEncerra() { sair = rodando; }

}  // namespace zandor
