// The socket sets and the one wait of the program, over poll.
#include "framework/conjunto.h"

#include <poll.h>
#include <sys/resource.h>

#include <bit>
#include <cstring>

namespace zandor {

namespace {

// The wait's array: one entry per distinct socket of the two sets, which
// are within the reach, so it never overflows. Static, not on the stack, and
// built anew by every wait.
pollfd vigiados[kMaxDescritor];

}  // namespace

void TConjunto::limpa() {
  std::memset(bits, 0, sizeof bits[0] * static_cast<size_t>(palavras));
  quantos = 0;
  palavras = 0;
}

void TConjunto::poe(int soquete) {
  if (soquete < 0 || soquete >= kMaxDescritor || tem(soquete)) return;
  const int w = soquete / kBitsPalavra;
  bits[w] |= uint64_t{1} << (soquete % kBitsPalavra);
  if (w >= palavras) palavras = w + 1;
  ++quantos;
}

int espera(TConjunto* leitura, TConjunto* escrita, int esperaMs) {
  // One entry per socket of either set, in descriptor order: a socket in
  // both asks for both in one entry.
  int n = 0;
  const int ate = leitura->palavras > escrita->palavras ? leitura->palavras : escrita->palavras;
  for (int w = 0; w < ate; ++w) {
    const uint64_t l = leitura->bits[w];
    const uint64_t e = escrita->bits[w];
    for (uint64_t resto = l | e; resto != 0; resto &= resto - 1) {
      const int b = std::countr_zero(resto);
      const uint64_t um = uint64_t{1} << b;
      short eventos = 0;
      if (l & um) eventos |= POLLIN;
      if (e & um) eventos |= POLLOUT;
      vigiados[n++] = pollfd{w * kBitsPalavra + b, eventos, 0};
    }
  }

  const int r = poll(vigiados, static_cast<nfds_t>(n), esperaMs);
  leitura->limpa();
  escrita->limpa();
  if (r <= 0) return r;
  for (int i = 0; i < n; ++i) {
    const pollfd& p = vigiados[i];
    if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLHUP | POLLERR))) leitura->poe(p.fd);
    if ((p.events & POLLOUT) && (p.revents & (POLLOUT | POLLHUP | POLLERR))) escrita->poe(p.fd);
  }
  return r;
}

int limitaDescritores(int precisa) {
  rlimit l{};
  if (getrlimit(RLIMIT_NOFILE, &l) != 0) return precisa;  // nothing known: nothing cut
  rlim_t quer = l.rlim_cur;
  if (quer < static_cast<rlim_t>(precisa)) quer = static_cast<rlim_t>(precisa);
  if (quer > static_cast<rlim_t>(kMaxDescritor)) quer = kMaxDescritor;
  if (l.rlim_max != RLIM_INFINITY && quer > l.rlim_max) quer = l.rlim_max;
  if (quer != l.rlim_cur) {
    rlimit novo{quer, l.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &novo) == 0) l.rlim_cur = quer;
  }
  if (l.rlim_cur == RLIM_INFINITY || l.rlim_cur > static_cast<rlim_t>(kMaxDescritor)) return kMaxDescritor;
  return static_cast<int>(l.rlim_cur);
}

}  // namespace zandor
