// The connection object: ring, send modes, replay marks and level lists.
#include "framework/comunica.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/conjunto.h"
#include "framework/laco.h"
#include "framework/reserva.h"

namespace zandor {

TNiveis niveis;
int32_t lote = 0;

const char kErroNivel[] = "[TComunica] Erro: cEnvia() foi chamado de cEvento() de menor n\xEDvel";

namespace {

TVigia* vigias = nullptr;  // innermost watch first

TReserva<kTamanhoAnel> aneis;  // large rings not in use

}  // namespace

TVigia::TVigia(TComunica* objeto) : alvo(objeto), externa(vigias) { vigias = this; }
TVigia::~TVigia() { vigias = externa; }

// ---- life ------------------------------------------------------------------

TComunica::TComunica() {
  niveis[kNivelNormal].poeCabeca(this);
  for (int16_t& m : marcas) m = -1;
  carimbo = lote;
}

TComunica::~TComunica() {
  for (TVigia* v = vigias; v != nullptr; v = v->externa)
    if (v->alvo == this) v->alvo = nullptr;
  cFecha(true);
  niveis[nivel].tira(this);
}

void TComunica::cEvento(const char*, int32_t) {}

// ---- output ----------------------------------------------------------------

bool TComunica::cEnvia(const void* dados, int32_t n) {
  if (n < 0) n = static_cast<int32_t>(std::strlen(static_cast<const char*>(dados)));
  if (n == 0) return true;
  if (n > kCapacidadeAnel) return false;
  if (modo <= 3 && modo > niveis.nivelCorrente) {
    std::puts(kErroNivel);
    std::fflush(stdout);
    return false;
  }
  if (!cabe(n)) {
    if (soqueteSaida < 0) return false;
    if (modo >= kModoNormal) {
      modo = kModoNormal;
      // More of this pass's output follows: the socket keeps what this
      // flush gives it for one transmission at the pass's end instead of
      // one now as well. Each transmission, on loopback the peer's receive
      // and wake-up too, costs far more than the copy.
      descarrega(tls == nullptr ? MSG_MORE : 0);
      if (!cabe(n)) return false;
    } else if (!envioBloqueado()) {
      return false;
    }
  }

  if (cPendentes() + n >= tamanhoAnel && !cresce()) return false;
  atualizaMarcas();
  descartaMarcas(n);

  const char* bytes = static_cast<const char*>(dados);
  const int32_t primeira = n < tamanhoAnel - escrita ? n : tamanhoAnel - escrita;
  std::memcpy(anel + escrita, bytes, static_cast<size_t>(primeira));
  escrita = static_cast<int16_t>(anelMod(escrita + primeira));
  if (primeira < n) {
    std::memcpy(anel, bytes + primeira, static_cast<size_t>(n - primeira));
    escrita = static_cast<int16_t>(n - primeira);
  }
  return true;
}

// The two limits drawn in comunica.h. A message that would leave its limit
// exactly reached counts as not fitting.
bool TComunica::cabe(int32_t n) const {
  const int limite = n < kFilaComum ? kFilaComum : kCapacidadeAnel;
  return cPendentes() + n < limite;
}

void TComunica::cEnviaDireto(const void* dados, int32_t n) {
  if (n < 0) n = static_cast<int32_t>(std::strlen(static_cast<const char*>(dados)));
  // Inside TLS nothing may overtake a record the session has begun: queued.
  if (tls != nullptr) {
    cEnvia(dados, n);
    return;
  }
  if (soqueteSaida >= 0 && n > 0) send(soqueteSaida, dados, static_cast<size_t>(n), MSG_NOSIGNAL);
}

// The blocked send of modes 0 to 3: wait until the ring has drained, serving
// the input of the levels below the mode meanwhile. Nothing else runs: no
// timers, no accepts, no higher levels. False when the socket is given up or
// this object is destroyed during the wait.
bool TComunica::envioBloqueado() {
  TVigia vida(this);
  const int meuModo = modo;
  for (;;) {
    if (cDescarrega()) return true;
    if (soqueteSaida < 0) return false;
    TConjunto escritaSet, leituraSet;
    escritaSet.poe(soqueteSaida);
    for (int i = 0; i < meuModo; ++i)
      for (TComunica* p = niveis[i].cabeca; p != nullptr; p = p->proximoNivel) leituraSet.poe(p->soqueteEntrada);
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

ssize_t TComunica::cLe(char* buffer, int n) {
  if (tls != nullptr) return tlsLe(tls, buffer, n);
  return recv(soqueteEntrada, buffer, static_cast<size_t>(n), 0);
}

ssize_t TComunica::escreve(const char* dados, int n, int bandeiras) {
  if (tls != nullptr) return tlsEscreve(tls, dados, n);
  return send(soqueteSaida, dados, static_cast<size_t>(n), MSG_NOSIGNAL | bandeiras);
}

ssize_t TComunica::escreveDobrado(int bandeiras) {
  iovec pedacos[2] = {{anel + leitura, static_cast<size_t>(tamanhoAnel - leitura)}, {anel, static_cast<size_t>(escrita)}};
  msghdr m{};
  m.msg_iov = pedacos;
  m.msg_iovlen = 2;
  return sendmsg(soqueteSaida, &m, MSG_NOSIGNAL | bandeiras);
}

// `bandeiras` is 0 or MSG_MORE. A send without it transmits everything the
// socket holds, what earlier ones held back included.
bool TComunica::descarrega(int bandeiras) {
  if (soqueteSaida < 0 || cVazio()) return cVazio();
  adiado = bandeiras != 0;
  for (;;) {
    // The piece only grows while a TLS write waits to resume, as the session
    // requires: bytes are appended at `escrita`, never taken back.
    // Plain TCP takes wrapped bytes in one call, both pieces at once: the
    // small ring wraps often, and a send is most of what output costs.
    const bool dobrado = escrita < leitura && escrita > 0 && tls == nullptr;
    const int pedaco = escrita < leitura ? tamanhoAnel - leitura + (dobrado ? escrita : 0) : escrita - leitura;
    const ssize_t r = dobrado ? escreveDobrado(bandeiras) : escreve(anel + leitura, pedaco, bandeiras);
    if (r == 0 || (r < 0 && !ehBloqueio(errno))) {
      // The unsent bytes stay in the ring and are never sent.
      if (soqueteSaida != soqueteEntrada) close(soqueteSaida);
      soqueteSaida = -1;
      fechar = true;
      return false;
    }
    const int enviado = r < 0 ? 0 : static_cast<int>(r);
    leitura = static_cast<int16_t>(anelMod(leitura + enviado));
    if (tamanhoAnel != kTamanhoComum && cPendentes() < kFilaComum) encolhe();
    if (cVazio()) return true;
    // A plain short send means a full socket. A TLS write returns after each
    // record it sent, so only "would block" means that.
    if (enviado < pedaco && (tls == nullptr || enviado == 0)) return false;
    // The whole piece went and bytes remain: they wrapped to the ring's start.
  }
}

// A flush that sent nothing (a full socket) leaves bytes in flight whose
// acknowledgement sends the rest, so only an empty or held ring needs the
// push.
void TComunica::cFimDoPasso() {
  if (!adiado) return;
  adiado = false;
  if (soqueteSaida >= 0 && (cVazio() || modo > kModoNormal)) empurra(soqueteSaida);
}

void TComunica::cFecha(bool descarregar) {
  if (soqueteSaida >= 0 && descarregar && modo != kModoRetido && !cVazio()) cDescarrega();
  // While the socket is still open: close_notify, or nothing after a failure.
  if (tls != nullptr) {
    tlsEncerra(tls);
    tls = nullptr;
  }
  if (soqueteSaida >= 0) close(soqueteSaida);
  if (soqueteEntrada >= 0 && soqueteEntrada != soqueteSaida) close(soqueteEntrada);
  soqueteSaida = soqueteEntrada = -1;
  if (anel != comum) aneis.devolve(anel);
  anel = comum;
  tamanhoAnel = kTamanhoComum;
  leitura = escrita = 0;
  for (int16_t& m : marcas) m = -1;
  carimbo = lote;
  fechar = false;
}

// Small to large: the byte before `escrita` lands at the large ring's
// position kTamanhoComum - 1, each older one before it, so that a position
// p of the small ring (other than `escrita`) moves to
// (p - escrita - 1) mod kTamanhoComum + 1, and `escrita` to kTamanhoComum.
bool TComunica::cresce() {
  char* grande = aneis.toma();
  if (grande == nullptr) return false;
  constexpr int S = kTamanhoComum;
  const int inicio = (escrita + 1) % S;  // the oldest byte kept
  const int primeira = S - inicio;
  std::memcpy(grande + 1, comum + inicio, static_cast<size_t>(primeira < S - 1 ? primeira : S - 1));
  if (primeira < S - 1) std::memcpy(grande + 1 + primeira, comum, static_cast<size_t>(S - 1 - primeira));
  auto move = [&](int p) { return p == escrita ? S : (p - escrita - 1 + 2 * S) % S + 1; };
  leitura = static_cast<int16_t>(move(leitura));
  for (int16_t& m : marcas)
    if (m != -1) m = static_cast<int16_t>(move(m));
  escrita = S;
  anel = grande;
  tamanhoAnel = kTamanhoAnel;
  return true;
}

// Large to small: the newest kTamanhoComum - 1 bytes move back, `escrita`
// to the small ring's last slot; a mark further back is dropped, as it
// would have been overwritten in a small ring.
void TComunica::encolhe() {
  constexpr int S = kTamanhoComum;
  constexpr int L = kTamanhoAnel;
  const int inicio = (escrita - (S - 1) + L) % L;
  for (int i = 0; i < S - 1; ++i) comum[i] = anel[(inicio + i) % L];
  auto distancia = [&](int p) { return (escrita - p + L) % L; };
  leitura = static_cast<int16_t>(S - 1 - distancia(leitura));
  for (int16_t& m : marcas)
    if (m != -1) m = distancia(m) <= S - 1 ? static_cast<int16_t>(S - 1 - distancia(m)) : int16_t{-1};
  escrita = S - 1;
  aneis.devolve(anel);
  anel = comum;
  tamanhoAnel = S;
}

void TComunica::cMuda(int modoPedido, int nivelPedido) {
  if (static_cast<uint8_t>(modoPedido) <= kModoRetido) modo = static_cast<uint8_t>(modoPedido);
  if (nivelPedido == nivel || nivelPedido < 0 || nivelPedido >= kNiveis) return;
  niveis[nivel].tira(this);
  niveis[nivelPedido].poeCauda(this);
  nivel = static_cast<uint8_t>(nivelPedido);
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

}  // namespace zandor
