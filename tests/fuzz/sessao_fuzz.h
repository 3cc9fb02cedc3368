// What the targets that drive whole sessions share: the network sealed off
// (connect and name resolution always fail, so "/mud" reaches nothing),
// "/terminar" turned into an exception that ends the input instead of the
// process, the wait for connect helpers after every chunk (so each run is
// the same whatever the scheduling), and a named user who watches
// broadcasts. Included by one target each: the two C functions below
// replace the C library's in that target alone.
#pragma once

#include <netdb.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>

#include "apoio_fuzz.h"
#include "gateway/cliente.h"
#include "gateway/inicio.h"
#include "gateway/mud.h"
#include "gateway/tentativa.h"
#include "text/dobra.h"
#include "text/formata.h"

extern "C" int connect(int, const struct sockaddr*, socklen_t) {
  errno = ECONNREFUSED;
  return -1;
}
extern "C" int getaddrinfo(const char*, const char*, const struct addrinfo*, struct addrinfo**) { return EAI_NONAME; }

namespace fuzz {

struct Terminou {};

// For LLVMFuzzerInitialize: tables, "/terminar" as Terminou, and a
// configuration file that does not exist ("/mud NAME" looks for it).
inline void preparaSessoes() {
  zandor::montaTabelas();
  zandor::fimProcesso = [](int) { throw Terminou{}; };
  zandor::copia(zandor::nomeArquivo, "fuzz-sem-arquivo");
  zandor::fimNome = zandor::nomeArquivo + 16;
}

inline void esperaAjudantes() {
  while (zandor::ajudantesAtivos() > 0) sched_yield();
}

inline bool vivo(const zandor::TCliente* c) {
  for (const zandor::TCliente* p = zandor::clientes; p != nullptr; p = p->proximo)
    if (p == c) return true;
  return false;
}

// A named user "Olho" on `par`, reading in `protocolo` with `opcoes`.
inline zandor::TCliente* observador(const Par& par, int8_t protocolo, uint8_t opcoes) {
  auto* o = new zandor::TCliente;
  o->adota(par.fd[0]);
  o->protocolo = protocolo;
  o->opcoes = opcoes;
  o->etapa = zandor::kEtapaNomeado;
  zandor::copia(o->apelido, "Olho");
  return o;
}

// After the input: helpers waited for, and what a run may leave behind
// (the attempt, the MUD link, a "/con" allowance) tidied away.
inline void arruma() {
  esperaAjudantes();
  delete zandor::tentativa;
  delete zandor::mud;
  zandor::mud = nullptr;
  zandor::permiteRemoto = false;
}

}  // namespace fuzz
