// The history: the most recent lines the MUD ended, kept for whoever asks
// ("/historia") or joins through the browser, in one bounded store.
//
// It keeps at most kLinhasHistorico lines and at most kBytesHistorico bytes
// of them, whichever is reached first; adding a line evicts the oldest ones
// until both bounds hold. Lines are kept as assembled, colour sequences and
// all, before any user's filtering; each gets a running 32-bit sequence
// number, so that a reader who walks the store line by line can tell a line
// it has not reached from one already evicted. Nothing is allocated: both
// rings are inside the object.
//
//   anel (bytes, 256 KiB, wrapping)       entradas (1000 slots, wrapping)
//   +------+=========================+   +-----+============+-----+
//   | free | line primeira .. proxima |   |     | (pos, len) |     |
//   +------+=========================+   +-----+============+-----+
//          ^ entradas[cabeca].posicao          ^ cabeca: line primeira
//
// The lines sit back to back in the byte ring, oldest first, so the bytes in
// use are exactly the sum of the kept lengths. The store is one global: it is
// the group's screen, so it outlives a change of MUD, but not the process.
#pragma once

#include <cstdint>

#include "gateway/linhas.h"

namespace zandor {

inline constexpr int kLinhasHistorico = 1000;
inline constexpr int kBytesHistorico = 256 * 1024;

static_assert(kMaxLinha <= kBytesHistorico, "the longest line always fits an emptied store");
static_assert(kMaxLinha <= UINT16_MAX, "a kept length fits its 16-bit field");

class THistorico {
 public:
  // Keeps a line of n bytes (no terminator needed); a longer line than
  // kMaxLinha keeps its first kMaxLinha bytes, which assembly never makes.
  void guarda(const char* linha, int n);
  // Copies line `seq` with a terminator; its length, or -1 when the line is
  // not kept (evicted, or not yet made). `destino` holds kMaxLinha + 1 bytes.
  int copia(uint32_t seq, char* destino) const;
  void limpa();

  uint32_t inicio() const { return primeira; }  // the oldest kept line
  uint32_t fim() const { return proxima; }      // the number the next line gets
  int linhas() const { return static_cast<int>(proxima - primeira); }
  int bytes() const { return usados; }
  // Whether `seq` lies before the oldest kept line, in wrapping arithmetic.
  bool perdida(uint32_t seq) const { return static_cast<int32_t>(seq - primeira) < 0; }

 private:
  struct TEntrada {
    uint32_t posicao;  // of its first byte in anel
    uint16_t tamanho;
  };
  void descartaMaisAntiga();

  char anel[kBytesHistorico];
  TEntrada entradas[kLinhasHistorico];
  int32_t cabeca = 0;      // slot of line `primeira`
  uint32_t primeira = 0;
  uint32_t proxima = 0;
  uint32_t escrita = 0;    // where the next line's bytes go in anel
  int32_t usados = 0;
};

// The one history is part of the gateway's state (estado.h).

}  // namespace zandor
