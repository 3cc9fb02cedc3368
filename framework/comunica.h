// TComunica: the base of every TCP connection (users' sessions and the MUD
// link). It holds the socket, queues output in a ring inside the object,
// writes it out when asked, and reports every event of the connection
// through one virtual, cEvento.
//
// The output ring, 2 KiB inside the object (`tamanhoAnel` bytes; 32 KiB while a
// long message is in flight):
//
//        leitura                      escrita
//           v                            v
//   +-------+============================+--------------------+
//   | free  |  pending: queued, not sent | free (one slot     |
//   |       |                            | always empty)      |
//   +-------+============================+--------------------+
//   0                                                tamanhoAnel - 1
//
// Pending bytes run from `leitura` to `escrita`, wrapping from the end to 0;
// the ring is empty when they meet. A message is queued whole or not at all,
// under two limits:
//   - an ordinary message (under kFilaComum bytes) fits while the pending
//     bytes stay under kFilaComum, 2047: what a user who stalls or holds
//     keeps, and when a hold ends, are what they always were;
//   - a longer message, which only a long line makes, fits while they stay
//     under the large ring, so a line is never refused for its length alone.
// Ordinary output needs no more than the 2 KiB ring inside the object. A
// longer message moves the ring into a 32 KiB buffer taken from a shared
// free list (reserva.h), the bytes kept in order and every position moved
// with them; once the pending bytes are back under kFilaComum the newest
// 2047 bytes move back inside and the buffer returns to the list. What
// costs: a long line is copied once more each way, and replay (below) reaches
// back only as far as the ring in use holds. Four replay marks remember
// where the last batches of output began so that cRepete can send them
// again.
//
// Every object sits on one of six level lists, which set the order in which
// the loop serves connections and which of its waits watch them. The send
// mode decides what cEnvia does when the ring is full:
//   0..3  blocking: wait for the ring to drain, serving levels below the mode
//   4     normal: one flush attempt, then refuse
//   5     held: nothing is flushed; a message that does not fit ends the hold
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "framework/lista.h"
#include "framework/soquete.h"
#include "framework/tls.h"

namespace zandor {

inline constexpr int kTamanhoAnel = 32768;   // the large ring
inline constexpr int kTamanhoComum = 2048;   // the ring inside the object
inline constexpr int kNiveis = 6;
inline constexpr int kNivelNenhum = 6;  // nivelCorrente outside any dispatch
inline constexpr int kModoNormal = 4;
inline constexpr int kModoRetido = 5;
inline constexpr int kNivelNormal = 4;
// Served after every other level and left out of the short wait, like level
// 4: the place for a helper's notice, never for a user.
inline constexpr int kNivelAvisos = kNiveis - 1;
inline constexpr int kMarcas = 4;
// The most bytes ever pending: one slot always stays empty, so that
// leitura == escrita can only mean an empty ring.
inline constexpr int kCapacidadeAnel = kTamanhoAnel - 1;
// Ordinary output's share of the ring (see above).
inline constexpr int kFilaComum = 2047;

static_assert(kCapacidadeAnel < kTamanhoAnel, "a full ring must differ from an empty one");
static_assert(kFilaComum < kCapacidadeAnel, "ordinary output keeps to a part of the ring");
static_assert(kFilaComum <= kTamanhoComum - 1, "ordinary output always fits the ring inside the object");
static_assert((kTamanhoAnel & (kTamanhoAnel - 1)) == 0 && (kTamanhoComum & (kTamanhoComum - 1)) == 0,
              "ring positions wrap by a mask");
// leitura, escrita and the marks are 16-bit ring positions, -1 for none.
static_assert(kTamanhoAnel - 1 <= INT16_MAX, "ring positions fit their 16-bit fields");
// atualizaMarcas shifts the marks by hand, one case per batch passed.
static_assert(kMarcas == 4, "atualizaMarcas is written for four marks");
// nivelCorrente outside a dispatch names no level and stands above every
// blocking mode, so that no blocking send is refused there.
static_assert(kNivelNenhum >= kNiveis && kNivelNenhum <= INT8_MAX, "kNivelNenhum is no level");
// Modes are compared as numbers: below kModoNormal they block, each serving
// the levels below it (all of which exist); kModoRetido is the last.
static_assert(kModoNormal <= kNiveis && kModoRetido == kModoNormal + 1, "modes 0..3 block, 4 is normal, 5 held");

class TComunica {
 public:
  TComunica();
  virtual ~TComunica();
  TComunica(const TComunica&) = delete;
  TComunica& operator=(const TComunica&) = delete;

  // The loop's callback, in three forms:
  //   dados, 1..2048   bytes received (valid only during the call)
  //   null, 0          closed: by the peer, an error or a failed send
  //   null, 1          output drained (never in mode 5)
  // The object may send, change mode or level, or destroy itself or others.
  virtual void cEvento(const char* dados, int32_t n);

  // Queues a whole message or refuses it; n < 0 takes the text's length.
  bool cEnvia(const void* dados, int32_t n);
  // Sends at once, ahead of whatever the ring holds and whatever the mode:
  // one send call, which touches neither the ring nor the marks. What the
  // socket does not take is dropped and a failure is not reported (the next
  // flush or read meets it). For a short reply that must not wait behind a
  // hold.
  void cEnviaDireto(const void* dados, int32_t n);
  // Closes both sockets, flushing once first when asked and not held; a TLS
  // session sends close_notify then, unless it failed.
  void cFecha(bool descarregar);
  // One read from the connection, plain or TLS: bytes, 0 when the peer
  // closed, -1 with errno (ehBloqueio: nothing yet).
  ssize_t cLe(char* buffer, int n);
  // Bytes read off the socket and held inside the transport, which no wait
  // on the socket would announce: the reader must come back for them now.
  bool cRetido() const { return tls != nullptr && tlsPendente(tls); }
  // Writes pending bytes while the socket takes them; true when none remain.
  bool cDescarrega() { return descarrega(0); }
  // The loop's end of a pass, before its flush: bytes a full ring sent
  // during the pass and the socket still holds back go out now unless that
  // flush will carry them.
  void cFimDoPasso();
  void cMuda(int modoPedido, int nivelPedido);
  void cRepete();
  void cLimpa();

  int cModo() const { return modo; }
  int cNivel() const { return nivel; }
  const char* cAnel() const { return anel; }
  int cTamanhoAnel() const { return tamanhoAnel; }
  int cLeitura() const { return leitura; }
  int cEscrita() const { return escrita; }
  int cMarca(int i) const { return marcas[i]; }
  bool cVazio() const { return leitura == escrita; }
  int cPendentes() const { return anelMod(escrita - leitura); }
  // Room left for ordinary output: what a message under kFilaComum bytes
  // must stay below to fit.
  int cLivre() const { return cPendentes() < kFilaComum ? kFilaComum - cPendentes() : 0; }
  TComunica* cProximo() const { return proximoNivel; }

  // Takes a connected socket, and its TLS session when it has one: from
  // then on both are this object's, read and written here and closed with it.
  void adota(int soquete, TSessaoTls* sessao = nullptr) {
    soqueteSaida = soqueteEntrada = soquete;
    tls = sessao;
  }
  // Gives the socket and its session up, for another object to adopt: this
  // one no longer reads, writes or closes them.
  struct TTransporte {
    int soquete;
    TSessaoTls* sessao;
  };
  [[nodiscard]] TTransporte cede() {
    const TTransporte t{soqueteSaida, tls};
    soqueteSaida = soqueteEntrada = -1;
    tls = nullptr;
    return t;
  }
  void adota(TTransporte t) { adota(t.soquete, t.sessao); }

  int soqueteSaida = -1;    // where flushes write
  int soqueteEntrada = -1;  // what the loop reads; usually the same socket
  bool fechar = false;      // a send failed: the next dispatch closes us
  // The transport: null for plain TCP, else a TLS session over soqueteSaida
  // (which is then soqueteEntrada too), owned here and ended by cFecha.
  // Reads, flushes and direct sends all go through it. Its pending write
  // resumes from the ring's first pending byte, so nothing may move
  // `leitura` back (cRepete) on such a connection.
  TSessaoTls* tls = nullptr;

 private:
  friend struct TVigia;
  bool descarrega(int bandeiras);
  ssize_t escreve(const char* dados, int n, int bandeiras);
  ssize_t escreveDobrado(int bandeiras);
  bool cabe(int32_t n) const;
  void atualizaMarcas();
  void descartaMarcas(int32_t n);
  bool envioBloqueado();
  // Both sizes are powers of two: a mask, not a division, on every message.
  int anelMod(int v) const { return v & (tamanhoAnel - 1); }
  // The ring moves to the large buffer (false when none can be had) and
  // back inside; both keep every pending byte and mark in order.
  bool cresce();
  void encolhe();

  uint8_t modo = kModoNormal;
  uint8_t nivel = kNivelNormal;
  bool adiado = false;  // a send this pass said more would follow (cFimDoPasso)
  int32_t tamanhoAnel = kTamanhoComum;
  char* anel = comum;
  char comum[kTamanhoComum];
  int16_t leitura = 0;
  int16_t escrita = 0;
  int16_t marcas[kMarcas];
  int32_t carimbo = 0;
  TComunica* anteriorNivel = nullptr;
  TComunica* proximoNivel = nullptr;

 public:
  // One level list, linked through anteriorNivel and proximoNivel.
  using TNivel = TLista<TComunica, &TComunica::anteriorNivel, &TComunica::proximoNivel>;
};

// A watch on one object for the length of a callback. The destructor clears
// every watch naming the object it destroys, so a dispatch knows whether it
// may touch the object again whatever level it moved to meanwhile. Watches
// live on the stack and nest as dispatches do; a destruction walks them all,
// which is a handful.
struct TVigia {
  explicit TVigia(TComunica* objeto);
  ~TVigia();
  TVigia(const TVigia&) = delete;
  TVigia& operator=(const TVigia&) = delete;
  bool vivo() const { return alvo != nullptr; }

  TComunica* alvo;
  TVigia* externa;
};

// The framework's state shared with the event loop: the six level lists,
// each with the cursors of its walk, and the level being dispatched. Objects
// join and leave the lists only through TNivel, which keeps a running walk
// valid; a walk that calls into the objects goes only through despacha.
struct TNiveis {
  TComunica::TNivel lista[kNiveis];
  int8_t nivelCorrente = kNivelNenhum;  // level being dispatched; 6 when none

  TComunica::TNivel& operator[](int n) { return lista[n]; }

  // The dispatch over levels 0 to ate - 1, in that order: each level's walk
  // runs with nivelCorrente naming the level, and nivelCorrente is back to
  // its earlier value afterwards, so dispatches nest.
  template <class F>
  void despacha(int ate, F&& visita) {
    const int8_t salvo = nivelCorrente;
    for (int i = 0; i < ate && i < kNiveis; ++i) {
      nivelCorrente = static_cast<int8_t>(i);
      lista[i].percorre(visita);
    }
    nivelCorrente = salvo;
  }
};

extern TNiveis niveis;
extern int32_t lote;  // batch counter read by the marks

// The one text of the framework itself.
extern const char kErroNivel[];

}  // namespace zandor
