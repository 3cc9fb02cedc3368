// A MUD connect under way, against the built program: nobody waits for it,
// lines typed meanwhile follow its outcome, and a new "/mud" (or "/mud"
// alone, or "/terminar") ends it first.
//
// The MUD that never answers is a loopback listener whose accept queue is
// full: the kernel drops every new SYN, as a firewalled or dead host does,
// and a connect to it waits for minutes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "confere.h"

namespace {

using namespace e2e;

const std::string kSaudacao = "+OK Para telnet pressione ENTER\r\n";
const std::string kCancelado = "/Erro: Operation canceled\r\n";

class MudSurdo {
 public:
  MudSurdo() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = enderecoLocal("127.0.0.1", 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 0);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    porta_ = ntohs(a.sin_port);
    // Connections nobody accepts, until one is left unanswered.
    for (int i = 0; i < 8; ++i) {
      const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in para = enderecoLocal("127.0.0.1", porta_);
      connect(s, reinterpret_cast<sockaddr*>(&para), sizeof para);
      enchimento_.push_back(s);
      pollfd p{s, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) break;
    }
  }
  ~MudSurdo() {
    for (int s : enchimento_) close(s);
    close(fd_);
  }
  MudSurdo(const MudSurdo&) = delete;
  MudSurdo& operator=(const MudSurdo&) = delete;
  int porta() const { return porta_; }

 private:
  int fd_ = -1;
  int porta_ = 0;
  std::vector<int> enchimento_;
};

std::string conectando(int porta) { return "/Conectando em 127.0.0.1 " + std::to_string(porta) + "\r\n"; }
std::string mud(int porta) { return "/mud 127.0.0.1 " + std::to_string(porta) + "\r\n"; }

// Both users heard exactly `texto`.
void ambos(Conexao& a, Conexao& b, const std::string& texto, Ms prazo = kPrazo) {
  EXPECT_TRUE(recebe(a, texto, prazo));
  EXPECT_TRUE(recebe(b, texto, prazo));
}

class ConexaoMud : public ::testing::Test {
 protected:
  void SetUp() override {
    ana = g.usuarioTelnet("Ana");
    bia = g.usuarioTelnet("Bia");
    ASSERT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  }
  // Links the gateway to `falso`; both users are told. The MUD's end.
  Conexao liga(MudFalso& falso) {
    ana.envia(mud(falso.porta()));
    ambos(ana, bia, conectando(falso.porta()) + "/Conectado\r\n");
    return falso.aceita();
  }

  MudFalso antigo, novo;
  MudSurdo surdo;
  Gateway g{"%PORTA%\narena = 127.0.0.1 " + std::to_string(novo.porta()) + "\n"};
  Conexao ana, bia;
};

TEST_F(ConexaoMud, AnUnreachableMudFreezesNobody) {
  Conexao velho = liga(antigo);
  ana.envia(mud(surdo.porta()));
  ambos(ana, bia, conectando(surdo.porta()), 1000ms);

  // Within a second each: chat, the old link's output, a new user's greeting.
  bia.envia("/ ainda aqui?\r\n");
  ambos(ana, bia, "/Bia. ainda aqui?\r\n", 1000ms);
  velho.envia("O MUD antigo fala.\r\n");
  ambos(ana, bia, "O MUD antigo fala.\r\n", 1000ms);
  Conexao caio = Conexao::conecta(g.porta());
  EXPECT_TRUE(recebe(caio, kSaudacao, 1000ms));

  // A line for the MUD waits for the outcome; "/mud" alone ends the attempt,
  // whose line then goes to the old link, and then drops that link.
  ana.envia("olhar\r\n");
  velho.lePor(200ms);
  EXPECT_EQ(velho.recebido(), "");
  bia.envia("/mud\r\n");
  ambos(ana, bia, kCancelado + "/Desconectado do MUD\r\n");
  EXPECT_TRUE(recebeEFecha(velho, "olhar\r\n"));
}

TEST_F(ConexaoMud, LinesTypedWhileWaitingFollowTheOutcome) {
  Conexao velho = liga(antigo);

  // Success: the new link gets them, in order, and logs in at once.
  ana.envia(mud(novo.porta()) + "connect ana senha\r\n/\r\n//olha\r\n/c\r\n");
  ambos(ana, bia, conectando(novo.porta()) + "/Conectado\r\n");
  Conexao atual = novo.aceita();
  EXPECT_TRUE(recebe(atual, "connect ana senha\r\n\r\n/olha\r\n\x03"));
  EXPECT_TRUE(recebeEFecha(velho, ""));

  // Failure: the link in place gets them.
  const int fechada = portaLivre();
  bia.envia(mud(fechada) + "norte\r\n");
  ambos(ana, bia, conectando(fechada) + "/Erro: Connection refused\r\n");
  EXPECT_TRUE(recebe(atual, "norte\r\n"));

  // Failure without a link: nobody gets them, and nobody is told.
  ana.envia("/mud\r\n");
  ambos(ana, bia, "/Desconectado do MUD\r\n");
  EXPECT_TRUE(recebeEFecha(atual, ""));
  bia.envia(mud(fechada) + "sul\r\n");
  ambos(ana, bia, conectando(fechada) + "/Erro: Connection refused\r\n");
  bia.envia("/mud\r\n");
  EXPECT_TRUE(recebe(bia, "/N\xE3o est\xE1 conectado em um MUD\r\n"));
  EXPECT_TRUE(recebe(ana, "", 100ms));
}

// Cancelled attempts to a MUD that never answers hold nothing: a working
// "/mud" right after any number of them connects at once, whether the
// cancels came one by one or all in one write.
TEST_F(ConexaoMud, CancelledAttemptsNeverDelayTheNextOne) {
  for (int i = 0; i < 4; ++i) {
    ana.envia(mud(surdo.porta()));
    ambos(ana, bia, (i > 0 ? kCancelado : "") + conectando(surdo.porta()), 1000ms);
  }
  const auto pedido = std::chrono::steady_clock::now();
  bia.envia(mud(novo.porta()));
  ambos(ana, bia, kCancelado + conectando(novo.porta()) + "/Conectado\r\n", 1000ms);
  RecordProperty("connected_after_ms", static_cast<int>(std::chrono::duration_cast<Ms>(
                                           std::chrono::steady_clock::now() - pedido).count()));
  Conexao primeiro = novo.aceita();
  EXPECT_TRUE(primeiro.aberta());

  std::string rajada, esperado;
  for (int i = 0; i < 12; ++i) {
    rajada += mud(surdo.porta());
    esperado += (i > 0 ? kCancelado : "") + conectando(surdo.porta());
  }
  ana.envia(rajada + mud(novo.porta()));
  ambos(ana, bia, esperado + kCancelado + conectando(novo.porta()) + "/Conectado\r\n", 1000ms);
  Conexao segundo = novo.aceita();
  EXPECT_TRUE(segundo.aberta());
  EXPECT_TRUE(recebeEFecha(primeiro, ""));
}

TEST_F(ConexaoMud, AnyNewMudCommandEndsTheWaitingAttemptFirst) {
  Conexao velho = liga(antigo);

  // A new address: the waiting line goes to the old link, the new request
  // proceeds and replaces it.
  ana.envia(mud(surdo.porta()) + "linha1\r\n");
  ambos(ana, bia, conectando(surdo.porta()));
  bia.envia("/mud arena\r\nlinha2\r\n");
  ambos(ana, bia, kCancelado + conectando(novo.porta()) + "/Conectado\r\n");
  EXPECT_TRUE(recebeEFecha(velho, "linha1\r\n"));
  Conexao atual = novo.aceita();
  EXPECT_TRUE(recebe(atual, "linha2\r\n"));

  // A name not in the file: cancelled, then answered to the asker alone.
  ana.envia(mud(surdo.porta()));
  ambos(ana, bia, conectando(surdo.porta()));
  ana.envia("/mud outro\r\n");
  EXPECT_TRUE(recebe(ana, kCancelado + "/MUD n\xE3o encontrado\r\n"));
  EXPECT_TRUE(recebe(bia, kCancelado));

  // "/mud" alone without a link: cancelled, then the asker alone is told.
  ana.envia("/mud\r\n");
  ambos(ana, bia, "/Desconectado do MUD\r\n");
  ana.envia(mud(surdo.porta()) + "perdida\r\n");
  ambos(ana, bia, conectando(surdo.porta()));
  bia.envia("/mud\r\n");
  EXPECT_TRUE(recebe(ana, kCancelado));
  EXPECT_TRUE(recebe(bia, kCancelado + "/N\xE3o est\xE1 conectado em um MUD\r\n"));
  EXPECT_TRUE(recebeEFecha(atual, ""));

  // "/terminar" while an attempt waits ends the gateway as usual.
  ana.envia(mud(surdo.porta()));
  ambos(ana, bia, conectando(surdo.porta()));
  bia.envia("/terminar\r\n");
  EXPECT_TRUE(recebeEFecha(ana, "/Encerrando Zandor\r\n"));
  EXPECT_TRUE(recebeEFecha(bia, "/Encerrando Zandor\r\n"));
  EXPECT_EQ(g.esperaSair(), 0);
}

}  // namespace
