// The socket sets and the one wait of the program, over poll.
#include "framework/conjunto.h"

#include <poll.h>

namespace zandor {

bool TConjunto::tem(int soquete) const {
  for (int i = 0; i < quantos; ++i)
    if (soquetes[i] == soquete) return true;
  return false;
}

void TConjunto::poe(int soquete) {
  if (soquete < 0 || cheio() || tem(soquete)) return;
  soquetes[quantos++] = soquete;
}

int espera(TConjunto* leitura, TConjunto* escrita, int esperaMs) {
  // One pollfd per distinct socket: a socket in both sets asks for both.
  pollfd fds[2 * kMaxConjunto];
  int n = 0;
  for (int i = 0; i < leitura->quantos; ++i) fds[n++] = pollfd{leitura->soquetes[i], POLLIN, 0};
  for (int i = 0; i < escrita->quantos; ++i) {
    int j = 0;
    while (j < leitura->quantos && fds[j].fd != escrita->soquetes[i]) ++j;
    if (j < leitura->quantos)
      fds[j].events |= POLLOUT;
    else
      fds[n++] = pollfd{escrita->soquetes[i], POLLOUT, 0};
  }

  const int r = poll(fds, static_cast<nfds_t>(n), esperaMs);
  leitura->limpa();
  escrita->limpa();
  if (r <= 0) return r;
  for (int i = 0; i < n; ++i) {
    const short ev = fds[i].revents;
    if ((fds[i].events & POLLIN) && (ev & (POLLIN | POLLHUP | POLLERR))) leitura->poe(fds[i].fd);
    if ((fds[i].events & POLLOUT) && (ev & (POLLOUT | POLLHUP | POLLERR))) escrita->poe(fds[i].fd);
  }
  return r;
}

}  // namespace zandor
