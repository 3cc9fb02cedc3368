// Who gets in through the web listener: one decision for every request that
// spends or uses a credential (today the upgrade to /ws), and the accounting
// per source address that keeps one address from locking the others out.
//
// The decision, in this order, each step for the requests the step before
// let through:
//
//   1. an address refused 10 times within a minute   429 + Retry-After,
//      until that minute is over                      nothing else looked at
//   2. an Origin that is not the listener's own       403
//      (scheme + Host, or the origin of the web
//      line's URL); "null" included. No Origin: no
//      browser page, judged by the rest
//   3. a credential, the first that holds:            403 without one
//        - a seat: the cookie zandor_assento names a
//          live seat (from any address)
//        - loopback: peer 127.0.0.1, no forwarding
//          field, and a Host that names loopback
//        - an invite in the query, unused and fresh
//   4. a full house, unless the request takes back    503
//      a user of its own (?retoma=, the same way in)
//   5. the credential is used (the invite spent,      101, to play
//      the seat's last use refreshed)                 or to watch, as
//                                                     the invite or seat
//
// A request for /ws that is no valid upgrade (a page probing why its
// WebSocket failed) gets the same decision without step 5: 403, 429 or 503
// as an upgrade would, and 400 only where the upgrade would have been let
// in. A probe spends nothing.
//
// POST /entrar exchanges an invite (the body's convite=) for a seat: steps
// 1 and 2, then the invite, unused and fresh, or 403. No user is made, so
// the house's fullness is not asked.
//
// So 503 only ever answers a request that would otherwise have been
// admitted: nobody outside learns that the house is full, and a refused or
// full-house request never spends an invite. Every 403 counts toward the
// address's 10.
//
// The table of addresses, kMaxEnderecos entries, holds the heads in progress
// of each address (at most kMaxCabecasPorEndereco, whatever the address:
// loopback too, since a page from anywhere runs on loopback in a local
// browser) and its refusals in the current minute:
//
//   +---------+---------+---------+-----------------+
//   | ip      | cabecas | recusas | inicio (ms)     |  x kMaxEnderecos
//   +---------+---------+---------+-----------------+
//
// An entry is free when it holds no head and its minute is over. With every
// entry taken, a new address takes the place of the one whose minute began
// first among those holding no head: heads are at most kMaxPedidos, fewer
// than the entries, so an address can always open a head, and a crowd of
// addresses can at worst make one address's refusals forgotten early. Times
// are the clock seam's 32-bit milliseconds; an entry's age is an unsigned
// difference, and every call forgets the entries whose minute is over.
#pragma once

#include <cstdint>

#include "gateway/web.h"
#include "text/http.h"

namespace zandor {

inline constexpr int kMaxCabecasPorEndereco = 8;  // a browser opens up to 6 for a page
inline constexpr int kRecusasPorMinuto = 10;
inline constexpr uint32_t kMsJanelaRecusas = 60 * 1000;
inline constexpr int kMaxEnderecos = 2 * kMaxPedidos;

static_assert(kMaxPedidos >= 64, "the per-address limit is the one that bites");
static_assert(kMaxEnderecos > kMaxPedidos, "an address opening a head always finds an entry");

// The answers a decision gives.
inline constexpr int kAdmitido = 101;
inline constexpr int kProibido = 403;
inline constexpr int kDemais = 429;
inline constexpr int kLotado = 503;

struct TAdmissao {
  int codigo = kProibido;
  int esperaS = 0;       // with 429: the seconds until the address's minute is over
  uint32_t assento = 0;  // admitted by a seat: its id (assentos.h)
  bool local = false;    // admitted as loopback
  bool assiste = false;  // admitted by an invite or a seat to watch
};

// The decision above for `req`, well-formed already, from `par` (network
// byte order) at `agoraMs`. With kAdmitido the credential has been used,
// unless `sonda`: then nothing is used, and kAdmitido only says it would be.
TAdmissao decideAdmissao(const TPedidoHttp& req, uint32_t par, const TConfigWeb& cfg, uint32_t agoraMs,
                         bool sonda = false);

// POST /entrar with its body corpo[0..n): 429, 403 (a foreign origin, a
// body without a usable invite), or kAdmitido with the invite spent and
// *assiste saying whether it was one to watch. A malformed body is a 403
// too: it names no invite.
TAdmissao decideEntrada(const TPedidoHttp& req, const char* corpo, int n, uint32_t par, const TConfigWeb& cfg,
                        uint32_t agoraMs, bool* assiste);

// A head begins from `par`: false when that address has
// kMaxCabecasPorEndereco in progress already (nothing is counted then).
bool abreCabeca(uint32_t par, uint32_t agoraMs);
// A head from `par` is over (answered, upgraded or dropped).
void fechaCabeca(uint32_t par);

// The pieces of the decision, for their tests.
bool origemPropria(const TPedidoHttp& req, const TConfigWeb& cfg);
bool hostLocal(TTrecho host);
int cabecasDe(uint32_t par);
// Forgets every address (tests and fuzzing).
void esqueceEnderecos();

}  // namespace zandor
