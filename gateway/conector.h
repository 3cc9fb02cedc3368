// The connect helper: the code that runs on a helper thread while the loop
// waits for a MUD link (tentativa.h is the loop's side). Everything the
// thread may touch is listed here, and nothing else:
//
//   its TTarefa          its own heap block: read, then freed by the thread
//   two socket ends      tarefa.par (the record, with the socket attached)
//                        and tarefa.aviso (one byte once the record is sent)
//   tarefa.resolve       the resolver seam, copied when the attempt started
//   two counters         helpers running and resolving: atomics, read by
//                        the loop through the functions below
//   its own socket       made, connected and handed over or closed here
//   its TLS session      tls.h: made here, handed over or ended here
//   relogioMonotonico    the real clock, never the loop's `relogio` seam
//   soquete.h            the socket helpers; tlsConecta writes its texts with
//                        copiaErro (formata.h), never with strerror
//
// No gateway global (users, the link, the attempt, messages) is read or
// written: the record carries numbers and OpenSSL's reason, and the loop
// makes the users' texts from them.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "framework/tls.h"
#include "gateway/linhas.h"

namespace zandor {

inline constexpr int kMsPrazoAjudante = 31000;  // the helper's own limit on connect and handshake
inline constexpr int kTamanhoEndereco = kMaxLinha + 1;  // an address from a line or a directory entry

// Turns a host name into an IPv4 address; false when it cannot. Runs on the
// helper thread, only for texts that are no dotted address. A seam: tests
// put a slow or failing resolver here (tentativa.h's `resolvedor`).
using Resolvedor = bool (*)(const char* nome, in_addr* ip);
bool resolveNome(const char* nome, in_addr* ip);  // getaddrinfo, IPv4 only

// What a helper does, given by the loop and owned by the helper once it
// starts.
struct TTarefa {
  char endereco[kTamanhoEndereco];
  uint16_t porta;
  int8_t modoTls;
  bool numerico;  // a dotted address: no resolution, and no resolving slot taken
  Resolvedor resolve;
  int par;    // the helper's end of the record pair (SOCK_SEQPACKET)
  int aviso;  // the helper's end of the notice pair
};

// What the helper tells the loop, one record; the connected socket travels
// beside it (SCM_RIGHTS).
enum : int32_t { kConectou, kSemEndereco, kFalhaInterna, kFalhaConexao, kFalhaTls };
struct TDesfecho {
  int32_t codigo;
  int32_t erro;                  // kFalhaConexao: the connect's error number
  TSessaoTls* sessao;            // kConectou over TLS: the loop's once the record is sent
  char razao[kTamanhoRazaoTls];  // kFalhaTls: what went wrong
};

// Starts a helper on `tarefa`, detached and with every signal blocked, so
// that signals always reach the loop's thread. Called by the loop; on
// success the task is the helper's, on failure still the caller's.
bool lancaAjudante(TTarefa* tarefa);

// Helper threads still running, including those of attempts given up on.
int ajudantesAtivos();
// Of those, the ones still resolving a name.
int ajudantesResolvendo();

}  // namespace zandor
