// A socket set of at most 72 sockets, and the wait over a read and a write
// set that stands in for select. 72 holds the gateway at its fullest: two
// listeners, the MUD link, a connect's notice, 62 users and the 6 web
// requests read at once.
//
// The wait is poll over our own small arrays, so no descriptor, however
// large, ever indexes an fd_set. On return each set holds only the sockets
// that were found ready, which is the shape the loop's next pass expects.
#pragma once

namespace zandor {

inline constexpr int kMaxConjunto = 72;

struct TConjunto {
  int quantos = 0;
  int soquetes[kMaxConjunto];

  void limpa() { quantos = 0; }
  bool cheio() const { return quantos == kMaxConjunto; }
  bool tem(int soquete) const;
  // Adds a socket once; a full set takes no more and a negative one is none.
  void poe(int soquete);
};

// Waits until a socket of either set is ready or `esperaMs` passes (a
// negative `esperaMs` waits without limit). Readable includes end of input
// and errors, as select reports them. On a failed wait both sets are left
// empty. Returns the number of ready sockets, or -1.
int espera(TConjunto* leitura, TConjunto* escrita, int esperaMs);

}  // namespace zandor
