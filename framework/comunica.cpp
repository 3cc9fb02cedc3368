// The connection object: ring, send modes, replay marks and level lists.
#include "framework/comunica.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/conjunto.h"
#include "framework/laco.h"

namespace zandor {

TComunica* cabeca[kNiveis];
TComunica* cauda[kNiveis];
TComunica* seguinte[kNiveis];
TComunica* corrente[kNiveis];
int8_t nivelCorrente = kNivelNenhum;
int32_t lote = 0;

const char kErroNivel[] = "[TComunica] Erro: cEnvia() foi chamado de cEvento() de menor n\xEDvel";

namespace {

TVigia* vigias = nullptr;  // innermost watch first

inline int anelMod(int v) { return (v % kTamanhoAnel + kTamanhoAnel) % kTamanhoAnel; }

inline bool ehBloqueio(int erro) { return erro == EAGAIN || erro == EWOULDBLOCK || erro == EINTR; }

}  // namespace

TVigia::TVigia(TComunica* objeto) : alvo(objeto), externa(vigias) { vigias = this; }
TVigia::~TVigia() { vigias = externa; }

// ---- level lists -----------------------------------------------------------

void TComunica::ligaCabeca(int n) {
  nivel = static_cast<uint8_t>(n);
  anteriorNivel = nullptr;
  proximoNivel = cabeca[n];
  if (cabeca[n] != nullptr)
    cabeca[n]->anteriorNivel = this;
  else
    cauda[n] = this;
  cabeca[n] = this;
}

void TComunica::ligaCauda(int n) {
  nivel = static_cast<uint8_t>(n);
  proximoNivel = nullptr;
  anteriorNivel = cauda[n];
  if (cauda[n] != nullptr)
    cauda[n]->proximoNivel = this;
  else
    cabeca[n] = this;
  cauda[n] = this;
}

void TComunica::desligaNivel() {
  if (anteriorNivel != nullptr)
    anteriorNivel->proximoNivel = proximoNivel;
  else
    cabeca[nivel] = proximoNivel;
  if (proximoNivel != nullptr)
    proximoNivel->anteriorNivel = anteriorNivel;
  else
    cauda[nivel] = anteriorNivel;
  anteriorNivel = proximoNivel = nullptr;
}

// ---- life ------------------------------------------------------------------

TComunica::TComunica() {
  ligaCabeca(kNivelNormal);
  for (int16_t& m : marcas) m = -1;
  carimbo = lote;
}

TComunica::~TComunica() {
  if (corrente[nivel] == this) corrente[nivel] = nullptr;
  if (seguinte[nivel] == this) seguinte[nivel] = proximoNivel;
  for (TVigia* v = vigias; v != nullptr; v = v->externa)
    if (v->alvo == this) v->alvo = nullptr;
  cFecha(true);
  desligaNivel();
}

void TComunica::cEvento(const char*, int32_t) {}

// ---- output ----------------------------------------------------------------

bool TComunica::cEnvia(const void* dados, int32_t n) {
  if (n < 0) n = static_cast<int32_t>(std::strlen(static_cast<const char*>(dados)));
  if (n == 0) return true;
  if (n >= kTamanhoAnel) return false;
  if (modo <= 3 && modo > nivelCorrente) {
    std::puts(kErroNivel);
    std::fflush(stdout);
    return false;
  }
  // A message that would leave the ring exactly full counts as not fitting.
  if (n >= cLivre()) {
    if (soqueteSaida < 0) return false;
    if (modo >= kModoNormal) {
      modo = kModoNormal;
      cDescarrega();
      if (n >= cLivre()) return false;
    } else if (!envioBloqueado()) {
      return false;
    }
  }

  atualizaMarcas();
  descartaMarcas(n);

  const char* bytes = static_cast<const char*>(dados);
  const int32_t primeira = n < kTamanhoAnel - escrita ? n : kTamanhoAnel - escrita;
  std::memcpy(anel + escrita, bytes, static_cast<size_t>(primeira));
  escrita = static_cast<int16_t>(anelMod(escrita + primeira));
  if (primeira < n) {
    std::memcpy(anel, bytes + primeira, static_cast<size_t>(n - primeira));
    escrita = static_cast<int16_t>(n - primeira);
  }
  return true;
}

bool TComunica::cEnviaDireto(const void* dados, int32_t n) {
  if (soqueteSaida < 0 || n <= 0) return n == 0;
  return send(soqueteSaida, dados, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
}

// The blocked send of modes 0 to 3: wait until the ring has drained, serving
// the input of the levels below the mode meanwhile. Nothing else runs: no
// timers, no accepts, no higher levels. False when the socket is given up or
// this object is destroyed during the wait.
bool TComunica::envioBloqueado() {
  TVigia vida(this);
  const int meuModo = modo;
  corrente[meuModo] = this;
  for (;;) {
    if (cDescarrega()) return true;
    if (soqueteSaida < 0) return false;
    TConjunto escritaSet, leituraSet;
    escritaSet.poe(soqueteSaida);
    for (int i = 0; i < meuModo; ++i)
      for (TComunica* p = cabeca[i]; p != nullptr; p = p->proximoNivel) leituraSet.poe(p->soqueteEntrada);
    espera(&leituraSet, &escritaSet, -1);
    if (escritaSet.tem(soqueteSaida)) continue;
    cRecebe(&leituraSet, meuModo);
    if (!vida.vivo()) return false;
  }
}

void TComunica::atualizaMarcas() {
  const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(lote) - static_cast<uint32_t>(carimbo));
  switch (d) {
    case 0:
      break;
    case 1:
      marcas[3] = marcas[2];
      marcas[2] = marcas[1];
      marcas[1] = marcas[0];
      marcas[0] = escrita;
      break;
    case 2:
      marcas[3] = marcas[1];
      marcas[2] = marcas[0];
      marcas[1] = -1;
      marcas[0] = escrita;
      break;
    case 3:
      marcas[3] = marcas[0];
      marcas[2] = marcas[1] = -1;
      marcas[0] = escrita;
      break;
    default:
      marcas[3] = marcas[2] = marcas[1] = -1;
      marcas[0] = escrita;
      break;
  }
  carimbo = lote;
}

// Oldest first: a mark the message would overwrite goes, and so do all older
// ones; the first mark that survives keeps every newer one alive.
void TComunica::descartaMarcas(int32_t n) {
  for (int i = kMarcas - 1; i >= 0; --i) {
    if (marcas[i] == -1) continue;
    if (n < anelMod(marcas[i] - escrita - 1)) break;
    marcas[i] = -1;
  }
}

bool TComunica::cDescarrega() {
  if (soqueteSaida < 0 || cVazio()) return cVazio();
  for (;;) {
    const int pedaco = escrita < leitura ? kTamanhoAnel - leitura : escrita - leitura;
    const ssize_t r = send(soqueteSaida, anel + leitura, static_cast<size_t>(pedaco), MSG_NOSIGNAL);
    if (r == 0 || (r < 0 && !ehBloqueio(errno))) {
      // The unsent bytes stay in the ring and are never sent.
      if (soqueteSaida != soqueteEntrada) close(soqueteSaida);
      soqueteSaida = -1;
      fechar = true;
      return false;
    }
    const int enviado = r < 0 ? 0 : static_cast<int>(r);
    leitura = static_cast<int16_t>(anelMod(leitura + enviado));
    if (cVazio()) return true;
    if (enviado < pedaco) return false;
    // The whole piece went and bytes remain: they wrapped to the ring's start.
  }
}

void TComunica::cFecha(bool descarregar) {
  if (soqueteSaida >= 0) {
    if (descarregar && modo != kModoRetido && !cVazio()) cDescarrega();
    if (soqueteSaida >= 0) close(soqueteSaida);
  }
  if (soqueteEntrada >= 0 && soqueteEntrada != soqueteSaida) close(soqueteEntrada);
  soqueteSaida = soqueteEntrada = -1;
  leitura = escrita = 0;
  for (int16_t& m : marcas) m = -1;
  carimbo = lote;
  fechar = false;
}

void TComunica::cMuda(int modoPedido, int nivelPedido) {
  if (static_cast<uint8_t>(modoPedido) <= kModoRetido) modo = static_cast<uint8_t>(modoPedido);
  if (nivelPedido == nivel || nivelPedido < 0 || nivelPedido >= kNiveis) return;
  if (seguinte[nivel] == this) seguinte[nivel] = proximoNivel;
  desligaNivel();
  ligaCauda(nivelPedido);
}

void TComunica::cRepete() {
  const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(lote) - static_cast<uint32_t>(carimbo));
  if (d >= 0 && d <= 3) {
    for (int i = kMarcas - 1 - d; i >= 0; --i) {
      if (marcas[i] != -1) {
        leitura = marcas[i];
        break;
      }
    }
  }
  cLimpa();
}

void TComunica::cLimpa() {
  for (int16_t& m : marcas) m = -1;
  carimbo = lote;
}

void semAtraso(int soquete) {
#ifndef ZANDOR_NAGLE
  // A failure only costs latency, never correctness: nothing to report.
  const int um = 1;
  setsockopt(soquete, IPPROTO_TCP, TCP_NODELAY, &um, sizeof um);
#else
  (void)soquete;
#endif
}

}  // namespace zandor
