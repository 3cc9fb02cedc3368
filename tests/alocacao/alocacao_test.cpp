// Nothing is allocated per pass of the loop or per line through the gateway.
//
// This program replaces every form of the global operator new and delete
// with versions that count while `contando` is set, and remember where the
// first counted allocation came from. Users, the MUD link and their sockets
// are made before counting starts: a connection is allocated once, when it
// arrives. Inside a counted stretch the test itself only calls the system
// and writes into fixed arrays; it looks at the results afterwards.
#include <execinfo.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "framework/comunica.h"
#include "framework/laco.h"
#include "framework/tempo.h"
#include "gateway/cliente.h"
#include "gateway/historico.h"
#include "gateway/mud.h"
#include "gateway/tentativa.h"
#include "gateway/web.h"
#include "gateway_falso.h"
#include "quadro.h"
#include "quadroweb.h"
#include "text/dobra.h"

namespace {

bool contando = false;
long alocacoes = 0;
long liberacoes = 0;
void* pilha[48];
int profundidade = 0;

void conta() {
  if (!contando) return;
  if (alocacoes++ == 0) {
    contando = false;
    profundidade = backtrace(pilha, 48);
    contando = true;
  }
}

void* aloca(std::size_t n, std::size_t alinhamento, bool lanca) {
  conta();
  void* p = nullptr;
  if (alinhamento <= alignof(std::max_align_t)) {
    p = std::malloc(n != 0 ? n : 1);
  } else if (posix_memalign(&p, alinhamento, n != 0 ? n : 1) != 0) {
    p = nullptr;
  }
  if (p == nullptr && lanca) throw std::bad_alloc();
  return p;
}

void libera(void* p) {
  if (p != nullptr && contando) ++liberacoes;
  std::free(p);
}

constexpr std::size_t kComum = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n) { return aloca(n, kComum, true); }
void* operator new[](std::size_t n) { return aloca(n, kComum, true); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return aloca(n, kComum, false); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return aloca(n, kComum, false); }
void* operator new(std::size_t n, std::align_val_t a) { return aloca(n, static_cast<std::size_t>(a), true); }
void* operator new[](std::size_t n, std::align_val_t a) { return aloca(n, static_cast<std::size_t>(a), true); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return aloca(n, static_cast<std::size_t>(a), false);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return aloca(n, static_cast<std::size_t>(a), false);
}
void operator delete(void* p) noexcept { libera(p); }
void operator delete[](void* p) noexcept { libera(p); }
void operator delete(void* p, std::size_t) noexcept { libera(p); }
void operator delete[](void* p, std::size_t) noexcept { libera(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { libera(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { libera(p); }
void operator delete(void* p, std::align_val_t) noexcept { libera(p); }
void operator delete[](void* p, std::align_val_t) noexcept { libera(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { libera(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { libera(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { libera(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { libera(p); }

namespace zandor {
namespace {

using namespace std::string_literals;

// Users and the MUD link sit on the shared fixture's pairs, but not on its
// fixture or its reader: the reader returns a string, and a case here must
// read inside a counted stretch. What the far end of a socket has received
// is kept in a fixed array instead, so that reading it allocates nothing.
struct Recebido {
  char bytes[65536];
  size_t n = 0;
  void le(int fd) {
    ssize_t r;
    while (n < sizeof bytes && (r = recv(fd, bytes + n, sizeof bytes - n, 0)) > 0) n += static_cast<size_t>(r);
  }
  std::string texto() const { return std::string(bytes, n); }
};

struct Usuario {
  TCliente* sessao = nullptr;
  int par = -1;
  Recebido recebido;
};

class Alocacao : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    montaTabelas();
    void* p[4];
    backtrace(p, 4);  // its first call loads what it needs
  }

  void SetUp() override {
    ASSERT_EQ(clientes, nullptr);
    ASSERT_EQ(mud, nullptr);
    // Ana keeps colours filtered, Bia turned filtering off, Caio is framed,
    // João reads and types UTF-8.
    entra(ana_, {"\r\n", "Ana\r\n"});
    entra(bia_, {"\r\n", "Bia\r\n", "/c2\r\n"});
    entra(caio_, {"orvalho\r\n", quadro("Caio")});
    entra(joao_, {"\r\n", "/c3\r\n", "Jo\xC3\xA3o\r\n"});
    ASSERT_EQ(bia_.sessao->opcoes & kOpcaoSemFiltro, kOpcaoSemFiltro);
    ASSERT_EQ(caio_.sessao->protocolo, kProtocoloQuadros);
    ASSERT_EQ(joao_.sessao->opcoes & kOpcaoUtf8, kOpcaoUtf8);

    int par[2];
    ASSERT_TRUE(parDeSoquetes(par));
    mud = new TMud;
    mud->adota(par[0]);
    parMud_ = par[1];
  }

  void TearDown() override {
    contando = false;
    for (Usuario* u : {&ana_, &bia_, &caio_, &joao_}) {
      delete u->sessao;
      close(u->par);
    }
    delete mud;
    mud = nullptr;
    close(parMud_);
    EXPECT_EQ(clientes, nullptr);
  }

  void entra(Usuario& u, const std::vector<std::string>& linhas) {
    int par[2];
    ASSERT_TRUE(parDeSoquetes(par));
    u.sessao = new TCliente;
    u.sessao->adota(par[0]);
    u.sessao->cArma(kTicksPrimeiraLinha);
    u.par = par[1];
    for (const std::string& l : linhas) u.sessao->cEvento(l.data(), static_cast<int32_t>(l.size()));
    ASSERT_EQ(u.sessao->etapa, kEtapaNomeado);
    descarregaTodos();
    for (Usuario* v : {&ana_, &bia_, &caio_, &joao_}) v->recebido.n = 0;
  }

  // The loop's flush, and the far ends read into their arrays.
  void descarregaTodos() {
    for (Usuario* u : {&ana_, &bia_, &caio_, &joao_}) {
      if (u->sessao == nullptr) continue;
      u->sessao->cDescarrega();
      u->recebido.le(u->par);
    }
    if (mud != nullptr) {
      mud->cDescarrega();
      paraMud_.le(parMud_);
    }
  }

  static void comeca() {
    alocacoes = liberacoes = 0;
    profundidade = 0;
    contando = true;
  }
  static void para() { contando = false; }

  // Fails with the stack of the first allocation, if there was one.
  static void confereNada() {
    EXPECT_EQ(alocacoes, 0);
    EXPECT_EQ(liberacoes, 0);
    if (profundidade > 0) {
      std::fprintf(stderr, "first allocation:\n");
      backtrace_symbols_fd(pilha, profundidade, 2);
    }
  }

  Usuario ana_, bia_, caio_, joao_;
  int parMud_ = -1;
  Recebido paraMud_;
};

// The instrument itself: a connection object made and destroyed inside a
// counted stretch is seen, in both forms of new that the system uses.
TEST_F(Alocacao, CountingSeesAConnectionBeingMade) {
  comeca();
  TComunica* c = new TComunica;
  TComunica* d = new (std::nothrow) TComunica;
  delete c;
  delete d;
  para();
  EXPECT_EQ(alocacoes, 2);
  EXPECT_EQ(liberacoes, 2);
  EXPECT_GT(profundidade, 0);
}

// A MUD line with colours and a negotiation request, a line in UTF-8, and a
// prompt that only the timer delivers, reach every user without an
// allocation; the UTF-8 user has the first converted and the second checked.
TEST_F(Alocacao, MudLineToEveryUser) {
  const std::string linha = "\xFF\xFD\x1F\x1B[1;32mOl\xE1, aventureiro!\x1B[0m\r\n";
  const std::string linhaUtf8 = "Ol\xC3\xA1 de novo\r\n";
  const std::string prompt = "PV 20> ";
  comeca();
  for (int i = 0; i < 20; ++i) {
    mud->cEvento(linha.data(), static_cast<int32_t>(linha.size()));
    mud->cEvento(linhaUtf8.data(), static_cast<int32_t>(linhaUtf8.size()));
    descarregaTodos();
  }
  mud->cEvento(prompt.data(), static_cast<int32_t>(prompt.size()));
  cAvanca(kTicksPrompt);
  descarregaTodos();
  para();
  confereNada();

  std::string ana, bia, caio, joao;
  for (int i = 0; i < 20; ++i) {
    ana += "Ol\xE1, aventureiro!\r\n" + linhaUtf8;
    bia += "\x1B[1;32mOl\xE1, aventureiro!\x1B[0m\r\n" + linhaUtf8;
    caio += quadro("Ol\xE1, aventureiro!") + quadro("Ol\xC3\xA1 de novo");
    joao += "Ol\xC3\xA1, aventureiro!\r\n" + linhaUtf8;
  }
  EXPECT_EQ(ana_.recebido.texto(), ana + "PV 20> \r\n");
  EXPECT_EQ(bia_.recebido.texto(), bia + "PV 20> \r\n");
  EXPECT_EQ(caio_.recebido.texto(), caio + quadro("PV 20> "));
  EXPECT_EQ(joao_.recebido.texto(), joao + "PV 20> \r\n");
  EXPECT_EQ(paraMud_.n, 20 * (3 + 9));  // WILL NAWS and the window size, each time
}

// Long lines both ways: a MUD line of 20000 bytes goes out as three lines to
// every reader (João's in UTF-8), a typed line of 8000 bytes goes to the MUD
// and a longer one is refused, all without an allocation.
TEST_F(Alocacao, LongLinesBothWays) {
  const std::string longa = std::string(20000, '\xE9') + "\r\n";
  const std::string digitada = std::string(8000, 'd') + "\r\n";
  const std::string demais = std::string(8001, 'e') + "\r\n";
  // The first long lines fill the free lists of large rings and lines; from
  // then on, long lines take and give back without allocating.
  for (int vez = 0; vez < 2; ++vez) {
    for (Usuario* u : {&ana_, &bia_, &caio_, &joao_}) u->recebido.n = 0;
    paraMud_.n = 0;
    if (vez == 1) comeca();
    mud->cEvento(longa.data(), static_cast<int32_t>(longa.size()));
    descarregaTodos();
    ana_.sessao->cEvento(digitada.data(), static_cast<int32_t>(digitada.size()));
    joao_.sessao->cEvento(demais.data(), static_cast<int32_t>(demais.size()));
    descarregaTodos();
  }
  para();
  confereNada();

  // The break falls before a byte that could start a UTF-8 character.
  const std::string e7999(7999, '\xE9');
  EXPECT_EQ(ana_.recebido.texto(), e7999 + "\r\n" + e7999 + "\r\n" + std::string(4002, '\xE9') + "\r\n");
  EXPECT_EQ(joao_.recebido.n, 2 * (2 * 7999 + 2) + 2 * 4002 + 2 + std::strlen("/Linha longa demais: m\xC3\xA1ximo de 8000 bytes\r\n"));
  EXPECT_EQ(paraMud_.texto(), digitada);
}

// Typed lines of named users: a chat line, "/quem", a line for the MUD, in
// both protocols and from the UTF-8 user, whose lines are decoded first.
TEST_F(Alocacao, TypedLinesOfNamedUsers) {
  const std::vector<std::pair<Usuario*, std::string>> linhas = {
      {&ana_, "/Ol\xE1 a todos\r\n"},
      {&ana_, "/quem\r\n"},
      {&ana_, "olhar\r\n"},
      {&caio_, quadro("/oi")},
      {&caio_, quadro("/quem")},
      {&caio_, quadro("norte")},
      {&bia_, "sul\r\n"},
      {&joao_, "/ol\xC3\xA1 \xCF\x80\r\n"},
      {&joao_, "/qu\xC3\xA9m\r\n"},
      {&joao_, "dizer ol\xC3\xA1\r\n"}};
  comeca();
  for (int vez = 0; vez < 10; ++vez)
    for (const auto& [u, l] : linhas) {
      u->sessao->cEvento(l.data(), static_cast<int32_t>(l.size()));
      descarregaTodos();
    }
  para();
  confereNada();

  std::string paraMud;
  for (int vez = 0; vez < 10; ++vez) paraMud += "olhar\r\nnorte\r\nsul\r\ndizer ol\xC3\xA1\r\n";
  EXPECT_EQ(paraMud_.texto(), paraMud);
  const std::string bia = bia_.recebido.texto();
  EXPECT_NE(bia.find("/Ana. Ol\xE1 a todos\r\n/Caio. oi\r\n/Jo\xE3o. ol\xE1 ?\r\n"), std::string::npos);
  EXPECT_NE(ana_.recebido.texto().find("/Usu\xE1rios\r\nJo\xE3o\r\nCaio\r\nBia\r\nAna\r\n"), std::string::npos);
  EXPECT_NE(caio_.recebido.texto().find(quadro("/Usu\xE1rios") + quadro("Jo\xE3o") + quadro("Caio")), std::string::npos);
  EXPECT_NE(joao_.recebido.texto().find("/Jo\xC3\xA3o. ol\xC3\xA1 ?\r\n/Usu\xC3\xA1rios\r\nJo\xC3\xA3o\r\nCaio\r\n"),
            std::string::npos);
}

// Lines typed while a connect waits are kept in the attempt without an
// allocation, and go to the link in place when it ends. The attempt and its
// helper allocate and free once each, outside the counted stretch.
TEST_F(Alocacao, LinesWhileAConnectWaits) {
  conectaMud("127.0.0.1", 1);  // refused, but nobody looks before the tick
  ASSERT_NE(tentativa, nullptr);
  while (ajudantesAtivos() > 0) sched_yield();
  descarregaTodos();
  for (Usuario* u : {&ana_, &bia_, &caio_}) u->recebido.n = 0;

  const std::string ana = "norte\r\n/c\r\n", caio = quadro("//olhar");
  comeca();
  for (int vez = 0; vez < 10; ++vez) {
    ana_.sessao->cEvento(ana.data(), static_cast<int32_t>(ana.size()));
    caio_.sessao->cEvento(caio.data(), static_cast<int32_t>(caio.size()));
    descarregaTodos();
  }
  para();
  confereNada();

  EXPECT_EQ(paraMud_.n, 0u);
  cAvanca(1);  // the outcome: the attempt is freed, once
  descarregaTodos();
  EXPECT_EQ(tentativa, nullptr);
  std::string paraMud;
  for (int vez = 0; vez < 10; ++vez) paraMud += "norte\r\n\x03/olhar\r\n";
  EXPECT_EQ(paraMud_.texto(), paraMud);
  EXPECT_EQ(ana_.recebido.texto(), "/Erro: Connection refused\r\n");
}

// "/historia" from each kind of user, with MUD lines kept meanwhile and the
// reply carried on by the drained event: nothing is allocated.
TEST_F(Alocacao, HistoryRepliesToEveryKindOfUser) {
  historico.limpa();
  const std::string linha = "\x1B[1;32mOl\xE1, aventureiro!\x1B[0m\r\n";
  const std::vector<std::pair<Usuario*, std::string>> pedidos = {
      {&ana_, "/historia 30\r\n"}, {&bia_, "/hist\xF3ria\r\n"}, {&caio_, quadro("/historia 1000")},
      {&joao_, "/hist\xC3\xB3ria 3\r\n"}, {&ana_, "/historia 0\r\n"}};
  comeca();
  for (int i = 0; i < 40; ++i) mud->cEvento(linha.data(), static_cast<int32_t>(linha.size()));
  for (const auto& [u, l] : pedidos) {
    u->sessao->cEvento(l.data(), static_cast<int32_t>(l.size()));
    mud->cEvento(linha.data(), static_cast<int32_t>(linha.size()));
  }
  for (int passo = 0; passo < 4; ++passo) {
    for (Usuario* u : {&ana_, &bia_, &caio_, &joao_})
      if (!u->sessao->cVazio() && u->sessao->cDescarrega()) u->sessao->cEvento(nullptr, 1);
    descarregaTodos();
  }
  para();
  confereNada();
  historico.limpa();

  for (Usuario* u : {&ana_, &bia_, &caio_, &joao_}) EXPECT_FALSE(u->sessao->cHistoriando());
  const std::string ana = ana_.recebido.texto();
  EXPECT_NE(ana.find("/Hist\xF3rico: 30 linhas\r\n"), std::string::npos);
  EXPECT_NE(ana.find("/Uso: /historia [1 a 1000]\r\n"), std::string::npos);
  EXPECT_NE(bia_.recebido.texto().find("/Hist\xF3rico: 20 linhas\r\n\x1B[1;32m"), std::string::npos);
  EXPECT_NE(caio_.recebido.texto().find(quadro("/Hist\xF3rico: 42 linhas")), std::string::npos);
  EXPECT_NE(joao_.recebido.texto().find("/Hist\xC3\xB3rico: 3 linhas\r\nOl\xC3\xA1, aventureiro!\r\n"),
            std::string::npos);
}

// Passes of the loop while a user types and the MUD answers: reading,
// dispatching, delivering and flushing allocate nothing.
TEST_F(Alocacao, LoopPassesWithTraffic) {
  // Held output on level 3 keeps both waits from sleeping.
  int par[2];
  ASSERT_TRUE(parDeSoquetes(par));
  TComunica* despertador = new TComunica;
  despertador->soqueteSaida = par[0];
  despertador->cMuda(kModoRetido, 3);
  ASSERT_TRUE(despertador->cEnvia("z", 1));
  cPasso();  // whatever the loop sets up on its first pass

  const std::string doUsuario = "olhar\r\n";
  const std::string doMud = "Uma sala escura.\r\n";
  comeca();
  for (int vez = 0; vez < 5; ++vez) {
    send(ana_.par, doUsuario.data(), doUsuario.size(), 0);
    send(parMud_, doMud.data(), doMud.size(), 0);
    for (int passo = 0; passo < 3; ++passo) cPasso();
    for (Usuario* u : {&ana_, &bia_, &caio_, &joao_}) u->recebido.le(u->par);
    paraMud_.le(parMud_);
  }
  para();
  confereNada();
  delete despertador;
  close(par[1]);

  std::string ana, paraMud;
  for (int vez = 0; vez < 5; ++vez) {
    ana += "Uma sala escura.\r\n";
    paraMud += doUsuario;
  }
  EXPECT_EQ(ana_.recebido.texto(), ana);
  EXPECT_EQ(joao_.recebido.texto(), ana);
  EXPECT_EQ(paraMud_.texto(), paraMud);
}

// A web user, upgraded before counting: MUD lines in both charsets with
// colours and a prompt, typed messages (chat, "/quem", a MUD line, an empty
// line, one in two fragments around a ping) and the keep-alive ping reach
// everyone and come back as frames without an allocation. The frame state is
// made once, at the upgrade.
TEST_F(Alocacao, AWebUsersMessages) {
  int par[2];
  ASSERT_TRUE(parDeSoquetes(par));
  TEscutaWeb escuta;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  escuta.cConecta(par[0], &local);
  const std::string pedido =
      "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" +
      textoWeb("Lia");
  niveis[kNivelNormal].cabeca->cEvento(pedido.data(), static_cast<int32_t>(pedido.size()));
  TCliente* lia = clientes;
  ASSERT_EQ(lia->protocolo, kProtocoloWeb);
  ASSERT_EQ(lia->etapa, kEtapaNomeado);
  Recebido daLia;
  lia->cDescarrega();
  daLia.le(par[1]);
  daLia.n = 0;
  descarregaTodos();
  for (Usuario* u : {&ana_, &bia_, &caio_, &joao_}) u->recebido.n = 0;

  const std::string linha = "\x1B[1;32mOl\xE1!\x1B[0m\r\nOl\xC3\xA1\r\n";
  const std::string digitado = textoWeb("/ ol\xC3\xA1") + textoWeb("/quem") + textoWeb("olhar\r\n") +
                               textoWeb("") + quadroWeb(1, "no", true, false) + quadroWeb(9, "p") +
                               quadroWeb(0, "rte", true, true);
  comeca();
  for (int vez = 0; vez < 10; ++vez) {
    mud->cEvento(linha.data(), static_cast<int32_t>(linha.size()));
    lia->cEvento(digitado.data(), static_cast<int32_t>(digitado.size()));
    lia->cDescarrega();
    daLia.le(par[1]);
    descarregaTodos();
  }
  mud->cEvento("PV> ", 4);
  cAvanca(kTicksPulso);  // the prompt, and the keep-alive tick (no ping: she spoke)
  cAvanca(kTicksPulso);  // a ping now
  lia->cDescarrega();
  daLia.le(par[1]);
  descarregaTodos();
  para();
  confereNada();

  std::string esperado, paraMud;
  for (int vez = 0; vez < 10; ++vez) {
    esperado += "1\x1B[1;32mOl\xC3\xA1!\x1B[0m\r\n|1Ol\xC3\xA1\r\n|1/Lia. ol\xC3\xA1\r\n|";
    esperado += "1/Usu\xC3\xA1rios\r\n|1Lia\r\n|1Jo\xC3\xA3o\r\n|1Caio\r\n|1Bia\r\n|1Ana\r\n|Ap|";
    paraMud += "olhar\r\n\r\nnorte\r\n";
  }
  EXPECT_EQ(quadrosLidos(daLia.texto()), esperado + "1PV> \r\n|9|");
  EXPECT_EQ(paraMud_.texto(), paraMud);
  EXPECT_NE(ana_.recebido.texto().find("/Lia. ol\xE1\r\n"), std::string::npos);
  delete lia;
  close(par[1]);
}

}  // namespace
}  // namespace zandor
