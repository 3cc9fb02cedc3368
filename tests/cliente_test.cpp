// The user record in-process: admission by the gateway's listener, the two
// output operations (one user, every user whose protocol is known), and the
// list of users, newest first.
//
// Sockets are non-blocking AF_UNIX pairs: the gateway's side goes to
// cConecta or to a session, the test reads the other side. The peer address
// that admission judges is the sockaddr_in the test hands over.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/cliente.h"
#include "gateway/mud.h"
#include "gateway_falso.h"
#include "quadro.h"
#include "soquetes.h"

namespace zandor {
namespace {

const std::string kSaudacao = "+OK Para telnet pressione ENTER\r\n";
const std::string kNegado = "-Acesso negado\r\n";
const std::string kLotado = "-Zandor lotado\r\n";

sockaddr_in endereco(const char* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(40000);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

std::vector<TCliente*> lista() {
  std::vector<TCliente*> r;
  for (TCliente* c = clientes; c != nullptr; c = c->proximo) r.push_back(c);
  return r;
}

// The shared fixture, with the admission globals put back as they were.
class Usuarios : public GatewayFalso {
 protected:
  void SetUp() override {
    GatewayFalso::SetUp();
    ipAntes_ = ipPermitido;
    permiteAntes_ = permiteRemoto;
    permiteRemoto = false;
    ipPermitido = 0;
    limiteAntes_ = limiteUsuarios;
  }

  void TearDown() override {
    GatewayFalso::TearDown();
    ipPermitido = ipAntes_;
    permiteRemoto = permiteAntes_;
    limiteUsuarios = limiteAntes_;
    EXPECT_EQ(quantosUsuarios, 0);
  }

  // One connection from `ip` through admission; the far end in `ponta`.
  void chega(const char* ip, int& ponta) {
    const sockaddr_in de = endereco(ip);
    entrada_.cConecta(par(ponta), &de);
  }

  static std::string saida(TCliente* c, int ponta) {
    c->cDescarrega();
    return le(ponta);
  }

  TPortaria entrada_;

 private:
  uint32_t ipAntes_ = 0;
  bool permiteAntes_ = false;
  int limiteAntes_ = 0;
};

using Admissao = Usuarios;
using Saida = Usuarios;

// The refused peer reads the refusal and the close, and no session exists.
void confereRecusa(int ponta) {
  bool fechou = false;
  EXPECT_EQ(le(ponta, &fechou), kNegado);
  EXPECT_TRUE(fechou);
}

// The admitted peer is the newest user, greeted, with 50 ticks to speak.
void confereAdmissao(int ponta, size_t usuarios) {
  ASSERT_EQ(lista().size(), usuarios);
  TCliente* c = clientes;
  EXPECT_EQ(c->soqueteSaida, c->soqueteEntrada);
  EXPECT_GE(c->soqueteSaida, 0);
  EXPECT_EQ(c->protocolo, kProtocoloDesconhecido);
  EXPECT_EQ(c->etapa, kEtapaSaudado);
  EXPECT_EQ(c->opcoes, 0);
  EXPECT_STREQ(c->apelido, "");
  EXPECT_EQ(c->cFalta(), kTicksPrimeiraLinha);
  c->cDescarrega();
  bool fechou = true;
  EXPECT_EQ(le(ponta, &fechou), kSaudacao);
  EXPECT_FALSE(fechou);
}

TEST_F(Admissao, RemotePeerIsRefusedUnlessAllowedAndThenOnlyOnce) {
  int ponta;
  chega("127.0.0.2", ponta);
  confereRecusa(ponta);
  EXPECT_EQ(clientes, nullptr);

  // The address alone, without the flag, lets nobody in.
  ipPermitido = inet_addr("127.0.0.2");
  chega("127.0.0.2", ponta);
  confereRecusa(ponta);

  // Another address allowed: still refused, and the allowance stays.
  ipPermitido = inet_addr("127.0.0.3");
  permiteRemoto = true;
  chega("127.0.0.2", ponta);
  confereRecusa(ponta);
  EXPECT_TRUE(permiteRemoto);
  EXPECT_EQ(clientes, nullptr);

  ipPermitido = inet_addr("127.0.0.2");
  chega("127.0.0.2", ponta);
  confereAdmissao(ponta, 1);
  EXPECT_FALSE(permiteRemoto);
  EXPECT_EQ(ipPermitido, inet_addr("127.0.0.2"));

  chega("127.0.0.2", ponta);
  confereRecusa(ponta);
  EXPECT_EQ(lista().size(), 1u);
}

TEST_F(Admissao, LocalPeerIsAlwaysAdmittedAndUsesUpALocalAllowance) {
  int ponta;
  chega("127.0.0.1", ponta);
  confereAdmissao(ponta, 1);

  ipPermitido = inet_addr("127.0.0.2");
  permiteRemoto = true;
  chega("127.0.0.1", ponta);
  confereAdmissao(ponta, 2);
  EXPECT_TRUE(permiteRemoto);

  ipPermitido = inet_addr("127.0.0.1");
  chega("127.0.0.1", ponta);
  confereAdmissao(ponta, 3);
  EXPECT_FALSE(permiteRemoto);
  chega("127.0.0.2", ponta);
  confereRecusa(ponta);
  EXPECT_EQ(lista().size(), 3u);
}

// Users count in every stage, from the greeting on. At the cap a local
// peer is told "-Zandor lotado" and closed; a remote one not allowed is still
// denied as before; an allowed one keeps its allowance for when there is
// room. A user leaving makes room at once.
TEST_F(Admissao, FullHouseRefusesAtOnceAndKeepsTheAllowance) {
  limiteUsuarios = 3;
  int ponta;
  int saudado;
  chega("127.0.0.1", saudado);
  TCliente* nomeado = sessao(kProtocoloTelnet, ponta);
  nomeado->etapa = kEtapaNomeado;
  EXPECT_FALSE(casaCheia());
  chega("127.0.0.1", ponta);
  confereAdmissao(ponta, 3);
  EXPECT_EQ(quantosUsuarios, 3);
  EXPECT_TRUE(casaCheia());

  chega("127.0.0.1", ponta);
  bool fechou = false;
  EXPECT_EQ(le(ponta, &fechou), kLotado);
  EXPECT_TRUE(fechou);
  chega("127.0.0.2", ponta);
  confereRecusa(ponta);

  ipPermitido = inet_addr("127.0.0.2");
  permiteRemoto = true;
  chega("127.0.0.2", ponta);
  fechou = false;
  EXPECT_EQ(le(ponta, &fechou), kLotado);
  EXPECT_TRUE(fechou);
  EXPECT_TRUE(permiteRemoto);
  EXPECT_EQ(lista().size(), 3u);

  delete nomeado;
  EXPECT_FALSE(casaCheia());
  chega("127.0.0.2", ponta);
  confereAdmissao(ponta, 3);
  EXPECT_FALSE(permiteRemoto);
}

TEST_F(Saida, OneUserGetsTheTextEncodedForItsProtocol) {
  struct Caso {
    const char* nome;
    int8_t protocolo;
    uint8_t opcoes;
    std::string texto, esperado;
  };
  const std::string x100(100, 'x');
  const std::vector<Caso> casos = {
      {"unknown protocol: telnet line", kProtocoloDesconhecido, 0, "ol\xE1", "ol\xE1\r\n"},
      {"telnet", kProtocoloTelnet, 0, "a\nb", "a\r\nb\r\n"},
      {"telnet, empty", kProtocoloTelnet, 0, "", "\r\n"},
      {"telnet ignores the width", kProtocoloTelnet, kOpcaoC1, x100, x100 + "\r\n"},
      {"framed", kProtocoloQuadros, 0, "a\nb", quadro("a") + quadro("b")},
      {"framed, empty: nothing", kProtocoloQuadros, 0, "", ""},
      {"framed, 80 columns", kProtocoloQuadros, 0, x100, quadro(x100.substr(0, 78)) + quadro(" /" + x100.substr(78))},
      {"framed, 240 columns", kProtocoloQuadros, kOpcaoC1, x100, quadro(x100)},
      {"colour option changes nothing here", kProtocoloQuadros, kOpcaoSemFiltro, "\x1b[0mx", quadro("\x1b[0mx")},
  };
  for (const Caso& c : casos) {
    int ponta;
    TCliente* u = sessao(c.protocolo, ponta);
    u->opcoes = c.opcoes;
    EXPECT_TRUE(u->cEscreve(c.texto.c_str())) << c.nome;
    EXPECT_EQ(saida(u, ponta), c.esperado) << c.nome;
    delete u;
  }
}

TEST_F(Saida, TextThatNoLongerFitsIsRefusedWhole) {
  TCliente* u = new TCliente;  // no socket: nothing ever drains
  u->protocolo = kProtocoloTelnet;
  const std::string mil(1000, 'm');
  EXPECT_TRUE(u->cEscreve(mil.c_str()));
  EXPECT_TRUE(u->cEscreve(mil.c_str()));
  EXPECT_EQ(u->cPendentes(), 2004);
  EXPECT_FALSE(u->cEscreve(mil.c_str()));
  // 43 bytes are free, and a message must leave one of them free: 41
  // characters and CR LF are refused, 40 are queued.
  EXPECT_FALSE(u->cEscreve(std::string(41, 'q').c_str()));
  EXPECT_EQ(u->cPendentes(), 2004);
  EXPECT_TRUE(u->cEscreve(std::string(40, 'q').c_str()));
  EXPECT_EQ(u->cPendentes(), 2046);
  delete u;
}

TEST_F(Saida, EveryoneMeansEveryUserWhoseProtocolIsKnown) {
  int pSaudado, pTelnet, pQuadros, pLargo, pNomeado;
  TCliente* saudado = sessao(kProtocoloDesconhecido, pSaudado);
  TCliente* telnet = sessao(kProtocoloTelnet, pTelnet);
  telnet->etapa = kEtapaDetectado;
  TCliente* quadros = sessao(kProtocoloQuadros, pQuadros);
  quadros->etapa = kEtapaPedido;
  TCliente* largo = sessao(kProtocoloQuadros, pLargo);
  largo->opcoes = kOpcaoC1;
  largo->etapa = kEtapaNomeado;
  TCliente* nomeado = sessao(kProtocoloTelnet, pNomeado);
  nomeado->etapa = kEtapaNomeado;

  const std::string x90(90, 'x');
  escreveTodos(x90.c_str());
  escreveTodos("");
  EXPECT_EQ(saida(saudado, pSaudado), "");
  EXPECT_EQ(saida(telnet, pTelnet), x90 + "\r\n\r\n");
  EXPECT_EQ(saida(quadros, pQuadros), quadro(x90.substr(0, 78)) + quadro(" /" + x90.substr(78)));
  EXPECT_EQ(saida(largo, pLargo), quadro(x90));
  EXPECT_EQ(saida(nomeado, pNomeado), x90 + "\r\n\r\n");

  // Once its protocol is known, the greeted user is reached too.
  saudado->protocolo = kProtocoloTelnet;
  escreveTodos("oi");
  EXPECT_EQ(saida(saudado, pSaudado), "oi\r\n");
}

TEST_F(Saida, UsersAreListedNewestFirstAndLeaveTheListCleanly) {
  TCliente* a = new TCliente;
  TCliente* b = new TCliente;
  TCliente* c = new TCliente;
  EXPECT_EQ(lista(), (std::vector<TCliente*>{c, b, a}));
  EXPECT_EQ(c->anterior, nullptr);
  EXPECT_EQ(b->anterior, c);
  EXPECT_EQ(a->anterior, b);

  delete b;  // from the middle
  EXPECT_EQ(lista(), (std::vector<TCliente*>{c, a}));
  EXPECT_EQ(a->anterior, c);
  delete c;  // the head
  EXPECT_EQ(lista(), (std::vector<TCliente*>{a}));
  EXPECT_EQ(a->anterior, nullptr);
  TCliente* d = new TCliente;
  EXPECT_EQ(lista(), (std::vector<TCliente*>{d, a}));
  delete a;  // the tail
  EXPECT_EQ(lista(), (std::vector<TCliente*>{d}));
  EXPECT_EQ(d->proximo, nullptr);
  EXPECT_EQ(d->anterior, nullptr);
  delete d;
  EXPECT_EQ(clientes, nullptr);
}

}  // namespace
}  // namespace zandor
