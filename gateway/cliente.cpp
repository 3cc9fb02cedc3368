// The user record, admission and output.
#include "gateway/cliente.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "gateway/mensagens.h"
#include "text/codifica.h"

namespace zandor {

TCliente* clientes = nullptr;
uint32_t ipPermitido = 0;
bool permiteRemoto = false;

namespace {

constexpr char kLocal[] = "127.0.0.1";

using Usuarios = TElos<TCliente, &TCliente::anterior, &TCliente::proximo>;

}  // namespace

TCliente::TCliente() { Usuarios::poeCabeca(clientes, this); }

// Leaves the user list first, so no walk made after this meets the user;
// then the timer is disarmed and the connection flushed once and closed by
// the base destructors, in that order.
TCliente::~TCliente() { Usuarios::tira(clientes, this); }

bool TCliente::cEscreve(const char* texto) {
  char saida[kCapacidadeSaida];
  int n;
  if (protocolo == kProtocoloQuadros)
    n = codificaQuadros(saida, texto, sizeof saida, (opcoes & kOpcaoC1) ? kLargura240 : kLargura80);
  else
    n = codificaTelnet(saida, texto, sizeof saida);
  return cEnvia(saida, n);
}

void TCliente::cPedeApelido() { cEscreve(msg::kDigiteApelido); }

void escreveTodos(const char* texto) {
  for (TCliente* c = clientes; c != nullptr; c = c->proximo)
    if (c->protocolo != kProtocoloDesconhecido) c->cEscreve(texto);
}

void TEntrada::cConecta(int aceito, const sockaddr_in* par) {
  char texto[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &par->sin_addr, texto, sizeof texto);
  char permitido[INET_ADDRSTRLEN] = {};
  in_addr endereco{};
  endereco.s_addr = ipPermitido;
  inet_ntop(AF_INET, &endereco, permitido, sizeof permitido);

  const bool casou = permiteRemoto && std::strcmp(permitido, texto) == 0;
  if (casou) permiteRemoto = false;  // one connection per allowance, local ones included
  if (!casou && std::strcmp(texto, kLocal) != 0) {
    send(aceito, msg::kAcessoNegado, sizeof msg::kAcessoNegado - 1, MSG_NOSIGNAL);
    close(aceito);
    return;
  }

  TCliente* c = new (std::nothrow) TCliente;
  if (c == nullptr) {
    close(aceito);
    return;
  }
  c->soqueteSaida = c->soqueteEntrada = aceito;
  semAtraso(aceito);
  c->cArma(kTicksPrimeiraLinha);
  c->cEnvia(msg::kSaudacao, -1);
}

}  // namespace zandor
