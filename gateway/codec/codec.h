// One codec per kind of reader (telnet, framed, web), behind one interface.
//
// The session (sessao.cpp) keeps what every kind shares: stages, nickname,
// commands, the history pump, the ring. What differs lives here, and is
// chosen once, when the kind is known (detection, or a web upgrade), by the
// session's `protocolo`; no other code asks which kind a reader is.
//
//   in   bytes -> lines in the session's TMontagem, each handed to
//        TCliente::completaLinha as it ends, with the kind's own rules
//   out  a text in the reader's charset -> the bytes on the wire; a raw
//        prompt (escapes only) -> bytes, or none where the kind takes none
//   and  what the kind does with an empty line, whether it holds, which
//        form of a MUD line it reads (entrega.h builds each form once).
//
// Codecs are stateless singletons: a reader's decoder state is the session's
// TMontagem, and a web reader's frame state (TEstadoWeb) hangs off the
// session, made at the upgrade.
#pragma once

#include <cstdint>

#include "gateway/linhas.h"

namespace zandor {

class TCliente;

// The line being assembled. Its first three bytes hold a framed record's
// header; the text starts at byte 3 for every kind. A line is assembled
// inside the session while it fits 1 KiB (a framed record always does) and
// moves to a buffer of the whole size, from a shared free list, only when
// it grows past that; the buffer goes back once the line has been used:
//
//   0     1     2     3                                  8003  8004
//   +-----+-----+-----+------------------------------------+----+
//   |type | lenL| lenH| text: at most 8000 bytes kept      |NUL |
//   +-----+-----+-----+------------------------------------+----+
//   `tamanho` counts from byte 0, header included, and goes on counting
//   bytes that no longer fit (up to its 16-bit limit), so that a line past
//   8000 bytes is known as such when it ends: it goes nowhere, and its
//   author alone is told. So is a line whose large buffer could not be had
//   (`perdida`).
struct TMontagem {
  static constexpr int kInicio = 3;                 // after the framed header
  static constexpr int kFim = kInicio + kMaxLinha;  // 8003: where the terminator goes
  static constexpr int kTamanho = kFim + 1;         // the large buffer
  static constexpr int kCurto = kInicio + 1024 + 1; // inside: a whole framed record and its terminator

  TMontagem() = default;
  ~TMontagem() { solta(); }
  TMontagem(const TMontagem&) = delete;
  TMontagem& operator=(const TMontagem&) = delete;

  // Bytes that may be kept before the terminator's slot.
  int capacidade() const { return linha == curta ? kCurto - 1 : kFim; }
  // One text byte: kept, or only counted once the line is full.
  void poe(unsigned char b) {
    if (tamanho < kInicio) tamanho = kInicio;
    if (tamanho < capacidade() || (tamanho < kFim && cresce())) {
      linha[tamanho++] = static_cast<char>(b);
    } else if (tamanho < UINT16_MAX) {
      if (tamanho < kFim) perdida = true;
      ++tamanho;
    }
  }
  bool longa() const { return tamanho > kFim || perdida; }
  bool vazia() const { return tamanho <= kInicio; }
  // The line ends: its text, terminated, and the count back to 0.
  char* fecha() {
    const int fim = tamanho < capacidade() ? tamanho : capacidade();
    linha[fim < kInicio ? kInicio : fim] = '\0';
    tamanho = 0;
    perdida = false;
    return linha + kInicio;
  }
  // Once the line's text has been used: the large buffer goes back.
  void solta();

  uint16_t tamanho = 0;
  // The decoder's state; its meaning belongs to the codec (see each one).
  uint8_t estado = 0;
  bool perdida = false;
  char* linha = curta;
  char curta[kCurto];

 private:
  bool cresce();
};

static_assert(TMontagem::kFim < UINT16_MAX, "tamanho counts past a whole line");

// Room an encoded text needs beyond the text's own bytes: a web frame's
// header (an unmasked frame of up to 65535 bytes).
inline constexpr int kFolgaMoldura = 4;
inline constexpr int kCapacidadeCodificada = kCapacidadeMensagem + kFolgaMoldura;

// The four framings a MUD line may take; with the filter and the charset,
// 16 forms (entrega.cpp).
inline constexpr int kMolduraTelnet = 0;
inline constexpr int kMoldura80 = 1;
inline constexpr int kMoldura240 = 2;
inline constexpr int kMolduraWeb = 3;
inline constexpr int kMolduras = 4;

class TCodec {
 public:
  // Bytes received: every line they end is handed to the session, in order,
  // while it lives. False when the session is gone (destroyed).
  [[nodiscard]] virtual bool recebe(TCliente& s, const char* dados, int32_t n) const = 0;

  // A text already in the reader's charset, encoded for the wire into
  // saida[0..capacidade): the bytes written, 0 when nothing can be.
  virtual int codifica(char* saida, const char* texto, int capacidade, uint8_t opcoes) const = 0;
  // Escape-only bytes (a prompt) as they go to a terminal; 0 when this kind
  // takes none: raw bytes would break a framed record stream.
  virtual int bruto(char* saida, const char* bytes, int n, int capacidade) const = 0;
  // Which framing of a MUD line this reader takes.
  virtual int moldura(uint8_t opcoes) const = 0;

  // Whether this reader hears MUD lines and what the gateway tells everyone:
  // every kind once known.
  virtual bool ouve() const { return true; }
  // An empty line (blanks only): a telnet user holds the output, a browser's
  // named user sends the MUD an empty line, a framed one does nothing.
  virtual void vazia(TCliente& s, bool longa) const = 0;
  // "/c1": what it means to this kind, and "/c3": whether it may change
  // charset (the framed client counts bytes, the browser is UTF-8).
  virtual const char* respostaC1(bool ligado) const = 0;
  virtual bool trocaCharset() const { return false; }
  // Lines of history shown on joining.
  virtual int historiaAoEntrar() const { return 0; }

 protected:
  ~TCodec() = default;
};

// The kinds, one object each (codec/*.cpp).
extern const TCodec& codecDeteccao;  // not known yet: read and answered as telnet
extern const TCodec& codecTelnet;
extern const TCodec& codecQuadros;
extern const TCodec& codecWeb;

}  // namespace zandor
