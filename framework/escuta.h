// TEscuta: a listening TCP socket the event loop watches. Every connection
// that arrives is accepted as soquete.h sets sockets up (non-blocking,
// close-on-exec, a 2048-byte receive and a 64 KiB send buffer) and handed to
// the virtual cConecta, which owns it from then on: it gives it to a new
// connection object or closes it.
//
// All listeners stand on one list, newest first. A listener may be destroyed
// from inside any cConecta, its own or another's: the list's two cursors,
// `escutas.corrente` and `escutas.seguinte`, keep the accept dispatch valid.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "framework/lista.h"

namespace zandor {

struct TConjunto;

inline constexpr int kFilaEscuta = 15;  // listen backlog
inline constexpr int kTamanhoErroEscuta = 100;

class TEscuta {
 public:
  TEscuta();
  virtual ~TEscuta();
  TEscuta(const TEscuta&) = delete;
  TEscuta& operator=(const TEscuta&) = delete;

  // Opens the socket on `porta` of the IPv4 address `endereco` (network
  // byte order; any local address by default). Null on success; otherwise
  // "socket(): ...", "bind(): ..." or "listen(): ...", valid until the next
  // failing cAbre. With port 0 the system chooses and the chosen port is
  // written back.
  const char* cAbre(uint16_t* porta, uint32_t endereco = htonl(INADDR_ANY));
  void cDesliga();

  // Owns `soquete`: must hand it on or close it.
  virtual void cConecta(int soquete, const sockaddr_in* par);

  TEscuta* cProxima() const { return proximaEscuta; }

  bool aceitando = true;
  int soquete = -1;

 private:
  TEscuta* anteriorEscuta = nullptr;
  TEscuta* proximaEscuta = nullptr;

 public:
  using TEscutas = TLista<TEscuta, &TEscuta::anteriorEscuta, &TEscuta::proximaEscuta>;
};

// Every listener, newest first. `corrente` is the one the accept dispatch is
// serving, `seguinte` the one it visits next.
extern TEscuta::TEscutas escutas;

// Sets `aceitando` of every listener.
void cAceita(bool ligado);
// The accept dispatch: every pending connection of every ready listener.
void cAtende(const TConjunto* prontos);

}  // namespace zandor
