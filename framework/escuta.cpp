// Listeners: opening, the accept dispatch, turning accepting on and off.
#include "framework/escuta.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "framework/conjunto.h"
#include "framework/soquete.h"
#include "text/formata.h"

namespace zandor {

TEscuta::TEscutas escutas;

namespace {

char erroEscuta[kTamanhoErroEscuta];

}  // namespace

TEscuta::TEscuta() { escutas.poeCabeca(this); }

TEscuta::~TEscuta() {
  if (soquete >= 0) close(soquete);
  escutas.tira(this);
}

const char* TEscuta::cAbre(uint16_t* porta, uint32_t enderecoPedido) {
  cDesliga();
  const char* passo = "socket()";
  soquete = soqueteTcp();
  if (soquete >= 0) {
    sockaddr_in endereco{};
    endereco.sin_family = AF_INET;
    endereco.sin_addr.s_addr = enderecoPedido;
    endereco.sin_port = htons(*porta);
    // Without SO_REUSEADDR a restart would be refused while the last run's
    // connections sit in TIME_WAIT; it does not let two listeners share a port.
    const int um = 1;
    setsockopt(soquete, SOL_SOCKET, SO_REUSEADDR, &um, sizeof um);
    passo = "bind()";
    // Port 0 on any address needs no bind: listen picks the port.
    const bool qualquer = *porta == 0 && enderecoPedido == htonl(INADDR_ANY);
    if (qualquer || bind(soquete, reinterpret_cast<sockaddr*>(&endereco), sizeof endereco) == 0) {
      passo = "listen()";
      if (listen(soquete, kFilaEscuta) == 0) {
        if (*porta == 0) {
          socklen_t tamanho = sizeof endereco;
          if (getsockname(soquete, reinterpret_cast<sockaddr*>(&endereco), &tamanho) == 0)
            *porta = ntohs(endereco.sin_port);
        }
        return nullptr;
      }
    }
  }
  formata(erroEscuta, sizeof erroEscuta, "%s: %s", passo, std::strerror(errno));
  cDesliga();
  return erroEscuta;
}

void TEscuta::cDesliga() {
  if (soquete >= 0) close(soquete);
  soquete = -1;
}

void TEscuta::cConecta(int s, const sockaddr_in*) { close(s); }

void cAceita(bool ligado) {
  for (TEscuta* e = escutas.cabeca; e != nullptr; e = e->cProxima()) e->aceitando = ligado;
}

void cAtende(const TConjunto* prontos) {
  escutas.percorre([prontos](TEscuta* e) {
    if (e->soquete < 0 || !prontos->tem(e->soquete)) return;
    while (e->aceitando && e->soquete >= 0) {
      sockaddr_in par{};
      const int s = aceitaSoquete(e->soquete, &par);
      if (s < 0) break;
      e->cConecta(s, &par);
      if (escutas.corrente == nullptr) break;  // destroyed inside cConecta
    }
  });
}

}  // namespace zandor
