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
//        - loopback: peer 127.0.0.1, no forwarding
//          field, and a Host that names loopback
//        - an invite in the query, unused and fresh
//      (a further kind of credential goes in
//      credencialDe, before the invite)
//   4. a full house                                   503
//   5. the credential is used (the invite spent)      101, with the
//                                                     invite's kind
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
  int esperaS = 0;      // with 429: the seconds until the address's minute is over
  bool assiste = false; // with 101: the invite used was one to watch
};

// The decision above for `req`, well-formed already, from `par` (network
// byte order) at `agoraMs`. With kAdmitido the credential has been used.
TAdmissao decideAdmissao(const TPedidoHttp& req, uint32_t par, const TConfigWeb& cfg, uint32_t agoraMs);

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
