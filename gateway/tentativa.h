// TTentativa, a connection to a MUD under way, made without stopping the
// loop.
//
// Name resolution, the TCP connect and, for a TLS link, the handshake run on
// a short-lived helper thread, one per attempt, that touches no gateway
// state (conector.h, the thread's whole code, lists what it touches): it
// gets its own copy of the address, port and mode, and hands back
// one small record over a socket pair, with the connected socket attached
// (SCM_RIGHTS) on success and, over TLS, the session's pointer inside:
//
//   helper thread                                  loop (TTentativa)
//   par[1] == record [+ socket] [+ TLS session] ==> par[0]
//   aviso[1] ========= one byte, afterwards ======> aviso[0] (soqueteEntrada)
//
// The helper then writes one byte into a second pair, which the loop
// watches: the record is read in that pass. The attempt's timer also looks
// for the record at every tick, a second way in should the notice be
// missed, so the outcome is told within one tick (200 ms) at worst. The
// cost: while an attempt waits the loop wakes every tick.
//
// Giving up: the loop shuts its end of the record pair and frees whatever
// record is already queued there (a socket and a session included), then
// closes it. The helper watches its own end beside the socket it connects
// or shakes hands on, so it leaves at once, and once the pair is shut its
// send fails and it ends the session and closes the socket itself. In
// either order nothing leaks. Only a name resolution, which nothing can
// interrupt, keeps a given-up helper running: it leaves when the resolver
// returns.
//
// While an attempt waits, every message users send the MUD waits in the
// object, in order; when the attempt ends they go to the link then in place.
#pragma once

#include <cstdint>

#include "framework/comunica.h"
#include "framework/tempo.h"
#include "framework/tls.h"
#include "gateway/conector.h"
#include "gateway/linhas.h"

namespace zandor {

inline constexpr int kTicksTentativa = 150;     // 30 s from "/Conectando"
// Helpers still resolving a name, given up on or not: a resolver that hangs
// holds its thread until its own time-outs, so these are capped. A helper
// past resolution that was given up leaves at once and holds no slot.
inline constexpr int kMaxAjudantes = 4;
// Helpers running at all: a backstop that a storm of "/mud" never reaches,
// since the given-up ones leave within moments.
inline constexpr int kMaxFiosAjudantes = 32;
inline constexpr int kTamanhoEspera = kTamanhoAnel - 1;  // what waits, each message behind its length

// The resolver helpers use (conector.h); an attempt takes the one set when
// it starts.
extern Resolvedor resolvedor;

class TTentativa : public TComunica, public TTempo {
 public:
  // Destroyed without an outcome (the process ends, a harness tidies up):
  // nothing is said and what waited goes nowhere.
  ~TTentativa() override;

  // The helper's notice: its record is there to read.
  void cEvento(const char* dados, int32_t n) override;
  // Every tick: the helper's record, if it has come; after 30 s, the end.
  void cExpira() override;

  // Keeps one message for the MUD (a line with its CR LF, or the Control-C
  // byte) until the outcome; one that does not fit is dropped whole.
  void cGuarda(const void* bytes, int32_t n);
  // A new "/mud" came first.
  void cCancela();

 private:
  friend bool iniciaTentativa(const char* endereco, int porta, int modoTls);
  // Reads the helper's record if it has come and concludes; false when none
  // is there yet.
  bool olha();
  // The outcome: the link is replaced when `soquete` is a connected socket
  // (over `sessao` when not null); otherwise `mensagem` is told. The object
  // is destroyed.
  void conclui(int soquete, TSessaoTls* sessao, const char* mensagem);

  int par = -1;               // the loop's end of the pair
  int16_t ticks = 0;          // looked for the record this many times
  int16_t usados = 0;         // bytes of `espera` in use
  char espera[kTamanhoEspera];  // messages, each as 2 bytes of length (little-endian) and its bytes
};

// The attempt waiting for its outcome, if any: at most one.
extern TTentativa* tentativa;

// After "/Conectando": starts an attempt (plain, or TLS as `modoTls` says:
// tls.h), or says "/Erro interno" when none can start (resources, or the
// helper caps above).
bool iniciaTentativa(const char* endereco, int porta, int modoTls = kSemTls);
// Ends the waiting attempt, if any, with "/Erro: Operation canceled".
void cancelaTentativa();

}  // namespace zandor
