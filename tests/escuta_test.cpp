// Listeners: opening and its error texts, the accept dispatch over every
// pending connection, and listeners destroyed or silenced from inside
// cConecta while the dispatch walks the list.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "casos.h"
#include "framework/conjunto.h"
#include "framework/escuta.h"
#include "framework/soquete.h"

// listen() cannot be made to fail on demand from outside, so the test
// executable stands in front of it: while `falhaListen` holds an error
// number, the next call fails with it; otherwise the system's call runs.
namespace {
int falhaListen = 0;
}

extern "C" int listen(int fd, int fila) noexcept {
  if (falhaListen != 0) {
    errno = falhaListen;
    falhaListen = 0;
    return -1;
  }
  using Listen = int (*)(int, int);
  static const Listen sistema = reinterpret_cast<Listen>(dlsym(RTLD_NEXT, "listen"));
  return sistema(fd, fila);
}

namespace zandor {
namespace {

class Ouvinte;
std::set<Ouvinte*> ouvintes;
// Every connection handed over, as "<listener>:<peer port>".
std::vector<std::string> entregues;

class Ouvinte : public TEscuta {
 public:
  explicit Ouvinte(std::string n) : nome(std::move(n)) { ouvintes.insert(this); }
  ~Ouvinte() override { ouvintes.erase(this); }

  void cConecta(int s, const sockaddr_in* par) override {
    EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0) << "accepted sockets are non-blocking";
    EXPECT_NE(fcntl(s, F_GETFD) & FD_CLOEXEC, 0) << "accepted sockets are close-on-exec";
    int envio = 0;
    socklen_t t = sizeof envio;
    EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_SNDBUF, &envio, &t), 0);
    EXPECT_GE(envio, kBufferEnvio);
    EXPECT_EQ(par->sin_family, AF_INET);
    EXPECT_EQ(ntohl(par->sin_addr.s_addr), INADDR_LOOPBACK);
    entregues.push_back(nome + ":" + std::to_string(ntohs(par->sin_port)));
    close(s);
    if (aoConectar) aoConectar(this);  // may destroy *this: nothing after it
  }

  std::string nome;
  std::function<void(Ouvinte*)> aoConectar;
};

// Opens a listener on a port of the system's choice.
uint16_t abre(Ouvinte* o) {
  uint16_t porta = 0;
  const char* erro = o->cAbre(&porta);
  EXPECT_EQ(erro, nullptr) << erro;
  EXPECT_NE(porta, 0);
  return porta;
}

class Escuta : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(escutas.cabeca, nullptr) << "a listener was left behind"; }
  void TearDown() override {
    while (!ouvintes.empty()) delete *ouvintes.begin();
    for (int c : clientes_) close(c);
    entregues.clear();
    EXPECT_EQ(escutas.cabeca, nullptr);
  }

  // Connects from loopback; returns the client's own port, -1 when refused.
  int conecta(uint16_t porta) {
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(porta);
    if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(c);
      return -1;
    }
    clientes_.push_back(c);
    socklen_t t = sizeof a;
    getsockname(c, reinterpret_cast<sockaddr*>(&a), &t);
    return ntohs(a.sin_port);
  }

  static void atende(std::initializer_list<Ouvinte*> prontos) {
    TConjunto conjunto;
    for (Ouvinte* o : prontos) conjunto.poe(o->soquete);
    cAtende(&conjunto);
    EXPECT_EQ(escutas.corrente, nullptr);
  }

  std::vector<int> clientes_;
};

// ---- opening ---------------------------------------------------------------

struct CasoErro {
  const char* nome;
  const char* passo;
  int erro;
};
void PrintTo(const CasoErro& c, std::ostream* os) { *os << c.nome; }

class ErroAbertura : public Escuta, public ::testing::WithParamInterface<CasoErro> {};

// A failed open names its step and the system's description, and leaves
// the listener closed.
TEST_P(ErroAbertura, NamesTheFailedStep) {
  const CasoErro& caso = GetParam();
  Ouvinte* o = new Ouvinte("L");
  uint16_t porta = 0;
  const char* texto = nullptr;
  if (std::string(caso.passo) == "socket()") {
    // No descriptor left below the limit. A harmless call first lets the
    // undefined-behaviour checker vet the object while it can still open
    // files; it cannot once the limit bites.
    o->cDesliga();
    rlimit antes{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &antes), 0);
    const int livre = open("/dev/null", O_RDONLY);
    ASSERT_GE(livre, 0);
    close(livre);
    rlimit apertado = antes;
    apertado.rlim_cur = static_cast<rlim_t>(livre);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &apertado), 0);
    texto = o->cAbre(&porta);
    setrlimit(RLIMIT_NOFILE, &antes);
  } else if (std::string(caso.passo) == "bind()") {
    Ouvinte* ocupante = new Ouvinte("O");
    porta = abre(ocupante);
    texto = o->cAbre(&porta);
  } else {
    falhaListen = caso.erro;
    texto = o->cAbre(&porta);
    falhaListen = 0;
  }
  ASSERT_NE(texto, nullptr);
  EXPECT_EQ(std::string(texto), std::string(caso.passo) + ": " + std::strerror(caso.erro));
  EXPECT_EQ(o->soquete, -1);
}

INSTANTIATE_TEST_SUITE_P(Escuta, ErroAbertura,
                         ::testing::Values(CasoErro{"Socket", "socket()", EMFILE},
                                           CasoErro{"PortInUse", "bind()", EADDRINUSE},
                                           CasoErro{"Listen", "listen()", EADDRINUSE}),
                         PeloNome());

// Port 0 lets the system choose and writes the choice back. Opening again
// closes the first socket first, so the same port can be opened anew;
// cDesliga closes it and keeps the listener on the list.
TEST_F(Escuta, OpenAgainAndDisconnect) {
  Ouvinte* o = new Ouvinte("L");
  uint16_t porta = abre(o);
  EXPECT_GT(conecta(porta), 0);

  EXPECT_EQ(o->cAbre(&porta), nullptr) << "the first socket was still bound";
  EXPECT_GT(conecta(porta), 0);

  uint16_t outra = 0;
  EXPECT_EQ(o->cAbre(&outra), nullptr);
  EXPECT_NE(outra, porta);
  EXPECT_EQ(conecta(porta), -1) << "the earlier port is no longer listened on";

  o->cDesliga();
  EXPECT_EQ(o->soquete, -1);
  EXPECT_EQ(conecta(outra), -1);
  EXPECT_EQ(escutas.cabeca, o);
  o->cDesliga();  // twice is harmless
  EXPECT_GT(conecta(abre(o)), 0);
}

// The listener and the sockets soqueteTcp makes are non-blocking from birth
// and close-on-exec, so no child process inherits them.
TEST_F(Escuta, SocketsAreNonBlockingAndCloseOnExec) {
  Ouvinte* o = new Ouvinte("L");
  abre(o);
  const int tcp = soqueteTcp();
  ASSERT_GE(tcp, 0);
  for (int s : {o->soquete, tcp}) {
    EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(s, F_GETFD) & FD_CLOEXEC, 0);
  }
  int tipo = 0;
  socklen_t t = sizeof tipo;
  EXPECT_EQ(getsockopt(tcp, SOL_SOCKET, SO_TYPE, &tipo, &t), 0);
  EXPECT_EQ(tipo, SOCK_STREAM);
  sockaddr_in endereco{};
  t = sizeof endereco;
  EXPECT_EQ(getsockname(tcp, reinterpret_cast<sockaddr*>(&endereco), &t), 0);
  EXPECT_EQ(endereco.sin_family, AF_INET);
  close(tcp);
}

// ---- the accept dispatch ---------------------------------------------------

TEST_F(Escuta, EveryPendingConnectionIsAcceptedInOneCall) {
  Ouvinte* o = new Ouvinte("L");
  const uint16_t porta = abre(o);
  std::vector<std::string> esperado;
  for (int i = 0; i < 3; ++i) esperado.push_back("L:" + std::to_string(conecta(porta)));
  atende({o});
  EXPECT_EQ(entregues, esperado);
  atende({o});  // nothing more pending: the failed accept ends quietly
  EXPECT_EQ(entregues.size(), 3u);
}

struct CasoPasseio {
  const char* nome;
  // What the head listener L3 does on each connection it is handed.
  void (*acao)(Ouvinte* l3, Ouvinte* l2);
  bool l2Pronto;             // L2's socket is in the ready set
  const char* entregas;      // listeners called, in order
  const char* restantes;     // the list afterwards, head first
};
void PrintTo(const CasoPasseio& c, std::ostream* os) { *os << c.nome; }

class PasseioEscutas : public Escuta, public ::testing::WithParamInterface<CasoPasseio> {};

// Three listeners, L3 L2 L1 on the list, two connections pending on each.
TEST_P(PasseioEscutas, CallbacksDoNotDisturbTheWalk) {
  const CasoPasseio& caso = GetParam();
  Ouvinte* l1 = new Ouvinte("L1");
  Ouvinte* l2 = new Ouvinte("L2");
  Ouvinte* l3 = new Ouvinte("L3");
  for (Ouvinte* o : {l1, l2, l3}) {
    const uint16_t porta = abre(o);
    ASSERT_GT(conecta(porta), 0);
    ASSERT_GT(conecta(porta), 0);
  }
  l3->aoConectar = [&](Ouvinte* eu) { caso.acao(eu, l2); };
  if (caso.l2Pronto)
    atende({l1, l2, l3});
  else
    atende({l1, l3});

  std::string chamados, lista;
  for (const std::string& e : entregues) chamados += (chamados.empty() ? "" : " ") + e.substr(0, e.find(':'));
  for (TEscuta* e = escutas.cabeca; e != nullptr; e = e->cProxima())
    lista += (lista.empty() ? "" : " ") + static_cast<Ouvinte*>(e)->nome;
  EXPECT_EQ(chamados, caso.entregas);
  EXPECT_EQ(lista, caso.restantes);
  cAceita(true);
}

INSTANTIATE_TEST_SUITE_P(
    Escuta, PasseioEscutas,
    ::testing::Values(
        CasoPasseio{"NothingHappens", [](Ouvinte*, Ouvinte*) {}, true, "L3 L3 L2 L2 L1 L1", "L3 L2 L1"},
        CasoPasseio{"OnlyReadyListenersAreServed", [](Ouvinte*, Ouvinte*) {}, false, "L3 L3 L1 L1", "L3 L2 L1"},
        CasoPasseio{"DestroysItself", [](Ouvinte* eu, Ouvinte*) { delete eu; }, true, "L3 L2 L2 L1 L1", "L2 L1"},
        CasoPasseio{"DestroysTheNext",
                    [](Ouvinte*, Ouvinte* l2) {
                      if (ouvintes.count(l2) != 0) delete l2;
                    },
                    true, "L3 L3 L1 L1", "L3 L1"},
        CasoPasseio{"ClosesItsSocket", [](Ouvinte* eu, Ouvinte*) { eu->cDesliga(); }, true, "L3 L2 L2 L1 L1",
                    "L3 L2 L1"},
        CasoPasseio{"StopsAccepting", [](Ouvinte*, Ouvinte*) { cAceita(false); }, true, "L3", "L3 L2 L1"}),
    PeloNome());

}  // namespace
}  // namespace zandor
