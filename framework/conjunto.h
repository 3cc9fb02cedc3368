// Socket sets indexed by descriptor, and the one wait of the program over
// poll.
//
// A set is a bitmap over descriptors 0 .. kMaxDescritor - 1, so adding a
// socket and asking whether one is in cost one bit each whatever the number
// of sockets: the loop's pass over a thousand users makes a thousand bit
// tests, not a million compares. The price is a fixed 512 bytes per set,
// and a reach: a descriptor at or beyond kMaxDescritor is never watched.
// Descriptors are handed out lowest first, so that needs kMaxDescritor open
// at once; limitaDescritores keeps the process's own limit within the reach.
//
//   bits[0]                bits[1]                    bits[kPalavras - 1]
//   +--------------------+ +--------------------+     +--------------------+
//   | 63 ......... 2 1 0 | | 127 ....... 65 64  | ... | 4095 ......... 4032 |
//   +--------------------+ +--------------------+     +--------------------+
//   descriptor d is bit d % 64 of word d / 64; `palavras` is one past the
//   highest word ever set since the last limpa, so that clearing and the
//   wait's walk touch only words in use (a thousand users: 17 of 64).
#pragma once

#include <cstdint>

namespace zandor {

inline constexpr int kMaxDescritor = 4096;
inline constexpr int kBitsPalavra = 64;
inline constexpr int kPalavras = kMaxDescritor / kBitsPalavra;
static_assert(kMaxDescritor % kBitsPalavra == 0, "whole words");

struct TConjunto {
  int quantos = 0;    // distinct sockets in the set
  int palavras = 0;   // words in use: bits[palavras..] are all clear
  uint64_t bits[kPalavras] = {};

  void limpa();
  bool tem(int soquete) const {
    return soquete >= 0 && soquete < kMaxDescritor &&
           ((bits[soquete / kBitsPalavra] >> (soquete % kBitsPalavra)) & 1u) != 0;
  }
  // Adds a socket once; a negative one, or one beyond the reach, is none.
  void poe(int soquete);
};

// Waits until a socket of either set is ready or `esperaMs` passes (a
// negative `esperaMs` waits without limit). Readable includes end of input
// and errors, as select reports them. On return each set holds only the
// sockets found ready in it; on a failed wait both are left empty. Returns
// the number of ready sockets, or -1. Not reentrant: the poll array is one
// static array, sized for the reach.
int espera(TConjunto* leitura, TConjunto* escrita, int esperaMs);

// The process's own limit on open descriptors, as close to `precisa` as the
// system allows and never above the sets' reach: the soft limit is raised
// toward `precisa` (up to the hard limit) and lowered to kMaxDescritor when
// it stood above, so that no descriptor the process opens lies beyond the
// sets. Returns the soft limit in force afterwards (`precisa` should the
// limit not be readable).
int limitaDescritores(int precisa);

}  // namespace zandor
