// A MUD connect under way, in-process: the resolver seam made slow, the
// 30-second limit driven through the wheel (a TLS handshake included), the
// cap on helper threads and how cancels free them, where lines typed
// meanwhile go, and the descriptors and TLS sessions of an attempt given up
// on.
// Refusals and unknown names are told end to end (mud_e2e_test.cpp).
//
// Users are TCliente objects on AF_UNIX pairs, already named; the old link
// is a TMud on a pair too; a new MUD is a real loopback listener. The helper
// threads are real: a test waits for them (ajudantesAtivos) before it lets
// the attempt's timer look for their record.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "certificado.h"
#include "framework/conjunto.h"
#include "framework/laco.h"
#include "framework/tempo.h"
#include "framework/tls.h"
#include "gateway/cliente.h"
#include "gateway/mud.h"
#include "gateway/sinais.h"
#include "gateway/tentativa.h"
#include "soquetes.h"
#include "text/dobra.h"
#include "text/formata.h"

namespace zandor {
namespace {

using namespace std::chrono_literals;

// The resolver under the test's control: it waits until `liberado`, then
// answers 127.0.0.1.
std::atomic<bool> liberado{true};

bool resolvedorDeTeste(const char*, in_addr* ip) {
  while (!liberado) std::this_thread::sleep_for(1ms);
  ip->s_addr = htonl(INADDR_LOOPBACK);
  return true;
}

int descritoresAbertos() {
  DIR* d = opendir("/proc/self/fd");
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// A named telnet user and the far end of its socket.
struct Usuario {
  explicit Usuario(const char* apelido) {
    int par[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, par) != 0) std::abort();
    sessao = new TCliente;
    sessao->adota(par[0]);
    sessao->protocolo = kProtocoloTelnet;
    sessao->etapa = kEtapaNomeado;
    copia(sessao->apelido, apelido);
    ponta = par[1];
  }
  ~Usuario() {
    delete sessao;
    close(ponta);
  }
  void digita(const std::string& bytes) { sessao->cEvento(bytes.data(), static_cast<int32_t>(bytes.size())); }
  std::string ouve() {
    sessao->cDescarrega();
    return le(ponta);
  }
  TCliente* sessao;
  int ponta;
};

// A MUD on loopback that never accepts by itself.
struct Ouvinte {
  Ouvinte() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    porta = ntohs(a.sin_port);
  }
  ~Ouvinte() { close(fd); }
  // The gateway's connection, or -1 after a second.
  int aceita() const {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 1000) == 1 ? accept(fd, nullptr, nullptr) : -1;
  }
  int fd = -1;
  int porta = 0;
};

class Tentativa : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    montaTabelas();
    tlsPreparaProcesso();  // as start-up does
    ignoraSigpipe();  // as start-up does: OpenSSL writes with write(2)
  }

  void SetUp() override {
    ASSERT_EQ(clientes, nullptr);
    ASSERT_EQ(mud, nullptr);
    ASSERT_EQ(tentativa, nullptr);
    resolvedorAntes_ = resolvedor;
    resolvedor = resolvedorDeTeste;
    liberado = true;
    agoraAntes_ = rodaTempo.agora;
    voltaAntes_ = rodaTempo.volta;
    ana_ = std::make_unique<Usuario>("Ana");
    bia_ = std::make_unique<Usuario>("Bia");
  }

  void TearDown() override {
    liberado = true;
    delete tentativa;
    EXPECT_TRUE(esperaAjudantes());
    delete mud;
    mud = nullptr;
    if (antigo_ >= 0) close(antigo_);
    ana_.reset();
    bia_.reset();
    resolvedor = resolvedorAntes_;
    rodaTempo.agora = agoraAntes_;
    rodaTempo.volta = voltaAntes_;
  }

  // The old link, on a pair whose far end the test keeps.
  void ligaAntigo() {
    int par[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, par), 0);
    mud = new TMud;
    mud->adota(par[0]);
    antigo_ = par[1];
  }
  std::string ouveAntigo() {
    if (mud != nullptr) mud->cDescarrega();
    return le(antigo_);
  }

  static bool esperaAjudantes() {
    for (int i = 0; i < 5000 && ajudantesAtivos() > 0; ++i) std::this_thread::sleep_for(1ms);
    return ajudantesAtivos() == 0;
  }
  // The helper is done; the next tick finds its record.
  static void concluiNoProximoTick() {
    ASSERT_TRUE(esperaAjudantes());
    cAvanca(1);
  }

  // Both users heard exactly `texto`.
  void ambosOuvem(const std::string& texto) {
    EXPECT_EQ(ana_->ouve(), texto);
    EXPECT_EQ(bia_->ouve(), texto);
  }

  std::unique_ptr<Usuario> ana_, bia_;
  int antigo_ = -1;

 private:
  Resolvedor resolvedorAntes_ = nullptr;
  int agoraAntes_ = 0;
  int voltaAntes_ = kSlotsFinos;
};

std::string conectando(const std::string& endereco, int porta) {
  return "/Conectando em " + endereco + " " + std::to_string(porta) + "\r\n";
}

// ---- while the resolver is slow -----------------------------------------------

TEST_F(Tentativa, SlowResolutionStopsNobodyAndWhatWaitedGoesToTheNewLink) {
  Ouvinte novo;
  ligaAntigo();
  liberado = false;
  ana_->digita("/mud lento.exemplo " + std::to_string(novo.porta) + "\r\n");
  ASSERT_NE(tentativa, nullptr);
  ambosOuvem(conectando("lento.exemplo", novo.porta));

  // Chat, the old link's output and lines for the MUD all go on; the lines
  // wait for the outcome instead of going to the old link.
  bia_->digita("/ oi\r\n");
  ambosOuvem("/Bia. oi\r\n");
  mud->cEvento("Uma sala.\r\n", 11);
  ambosOuvem("Uma sala.\r\n");
  ana_->digita("connect ana senha\r\n/\r\n//olha\r\n/c\r\n");
  bia_->digita("norte\r\n");
  cAvanca(20);
  EXPECT_NE(tentativa, nullptr);
  ambosOuvem("");
  EXPECT_EQ(ouveAntigo(), "");

  liberado = true;
  concluiNoProximoTick();
  EXPECT_EQ(tentativa, nullptr);
  ambosOuvem("/Conectado\r\n");
  EXPECT_EQ(leAteFechar(antigo_), "");  // replaced without a word
  const int lado = novo.aceita();
  ASSERT_GE(lado, 0);
  bia_->digita("sul\r\n");  // straight to the link again
  mud->cDescarrega();
  delete mud;
  mud = nullptr;
  EXPECT_EQ(leAteFechar(lado), "connect ana senha\r\n\r\n/olha\r\n\x03norte\r\nsul\r\n");
  close(lado);
}

TEST_F(Tentativa, ThirtySecondsWithoutAnOutcomeEndItAndWhatWaitedGoesToTheOldLink) {
  ligaAntigo();
  liberado = false;
  ana_->digita("/mud lento.exemplo 4000\r\n");
  ambosOuvem(conectando("lento.exemplo", 4000));
  // What waits is bounded: as many of the longest lines as fit (each with
  // its CR LF and two bytes of length), then one more is dropped whole, and
  // a short one after it still fits.
  const std::string longa(kMaxLinha, 'x');
  const int cabem = kTamanhoEspera / (kMaxLinha + 4);
  ASSERT_LT(cabem * (kMaxLinha + 4) + 5 + 2, kTamanhoEspera);
  for (int i = 0; i <= cabem; ++i) ana_->digita(std::to_string(i) + longa.substr(1) + "\r\n");
  ana_->digita("fim\r\n");

  cAvanca(kTicksTentativa - 1);
  ASSERT_NE(tentativa, nullptr);
  ambosOuvem("");
  cAvanca(1);
  EXPECT_EQ(tentativa, nullptr);
  ambosOuvem("/Erro: Connection timed out\r\n");
  std::string esperado;
  for (int i = 0; i < cabem; ++i) esperado += std::to_string(i) + longa.substr(1) + "\r\n";
  EXPECT_EQ(ouveAntigo(), esperado + "fim\r\n");
}

// The helper's notice is a socket the loop watches: the pass that reads it
// tells the outcome, with no tick in between.
TEST_F(Tentativa, TheHelpersNoticeIsToldInThePassThatReadsIt) {
  Ouvinte novo;
  conectaMud("127.0.0.1", novo.porta);
  ASSERT_NE(tentativa, nullptr);
  ambosOuvem(conectando("127.0.0.1", novo.porta));
  ASSERT_TRUE(esperaAjudantes());
  TConjunto prontos, nenhum;
  prontos.poe(tentativa->soqueteEntrada);
  ASSERT_EQ(espera(&prontos, &nenhum, 1000), 1);
  cRecebe(&prontos, kNiveis);
  EXPECT_EQ(tentativa, nullptr);
  ambosOuvem("/Conectado\r\n");
  const int lado = novo.aceita();
  EXPECT_GE(lado, 0);
  if (lado >= 0) close(lado);
}

// ---- cancelling ----------------------------------------------------------

TEST_F(Tentativa, ANewRequestCancelsAndAtMostFourHelpersRun) {
  liberado = false;
  std::string esperado;
  for (int i = 0; i < kMaxAjudantes; ++i) {
    conectaMud("lento.exemplo", 4000 + i);
    if (i > 0) esperado += "/Erro: Operation canceled\r\n";
    esperado += conectando("lento.exemplo", 4000 + i);
  }
  ambosOuvem(esperado);
  EXPECT_EQ(ajudantesAtivos(), kMaxAjudantes);

  // Four helpers still resolve for attempts given up on: no fifth.
  conectaMud("lento.exemplo", 5000);
  EXPECT_EQ(tentativa, nullptr);
  ambosOuvem("/Erro: Operation canceled\r\n" + conectando("lento.exemplo", 5000) + "/Erro interno\r\n");

  liberado = true;
  ASSERT_TRUE(esperaAjudantes());
  conectaMud("lento.exemplo", 5001);
  EXPECT_NE(tentativa, nullptr);
  ambosOuvem(conectando("lento.exemplo", 5001));
}

// ---- descriptors ------------------------------------------------------------

// Given up on while its helper still resolves: the helper sees it once the
// resolver returns and never connects. Given up on after the helper is done:
// the socket was in flight in the pair, and the loop's drain closes it.
// Either way the process holds what it held before.
TEST_F(Tentativa, AnAttemptGivenUpOnLeavesNoDescriptorBehind) {
  Ouvinte alvo;
  for (const bool helperTerminaDepois : {true, false}) {
    SCOPED_TRACE(helperTerminaDepois ? "helper ends after the cancel" : "helper ends before the cancel");
    const int antes = descritoresAbertos();
    liberado = !helperTerminaDepois;
    conectaMud("lento.exemplo", alvo.porta);
    ASSERT_NE(tentativa, nullptr);
    if (!helperTerminaDepois) {
      ASSERT_TRUE(esperaAjudantes());
    }
    cancelaTentativa();
    liberado = true;
    ASSERT_TRUE(esperaAjudantes());
    EXPECT_EQ(descritoresAbertos(), antes);
    const int lado = alvo.aceita();
    if (helperTerminaDepois) {
      EXPECT_LT(lado, 0) << "a helper given up on while resolving connected anyway";
    } else {
      ASSERT_GE(lado, 0);
      EXPECT_EQ(leAteFechar(lado), "");
    }
    if (lado >= 0) close(lado);
    ambosOuvem(conectando("lento.exemplo", alvo.porta) + "/Erro: Operation canceled\r\n");
  }
}

// A loopback port that never answers a connect: a listener whose accept
// queue is full, so the kernel drops every new SYN.
class Surdo {
 public:
  Surdo() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 0);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    porta = ntohs(a.sin_port);
    for (int i = 0; i < 8; ++i) {
      const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
      enchimento_[i] = s;
      pollfd p{s, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) break;
    }
  }
  ~Surdo() {
    for (int s : enchimento_)
      if (s >= 0) close(s);
    close(fd_);
  }
  int porta = 0;

 private:
  int fd_ = -1;
  int enchimento_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

// A helper whose connect hangs leaves as soon as its attempt is given up, so
// cancels never use up the helpers: after any number of them a new attempt
// starts and connects at once.
TEST_F(Tentativa, CancelledConnectsFreeTheirHelpersAtOnce) {
  Surdo surdo;
  Ouvinte novo;
  const int antes = descritoresAbertos();
  std::string esperado;
  for (int i = 0; i < 2 * kMaxAjudantes; ++i) {
    conectaMud("127.0.0.1", surdo.porta);
    ASSERT_NE(tentativa, nullptr) << i;
    if (i > 0) esperado += "/Erro: Operation canceled\r\n";
    esperado += conectando("127.0.0.1", surdo.porta);
  }
  EXPECT_EQ(ajudantesResolvendo(), 0);
  conectaMud("127.0.0.1", novo.porta);
  ASSERT_NE(tentativa, nullptr);
  ambosOuvem(esperado + "/Erro: Operation canceled\r\n" + conectando("127.0.0.1", novo.porta));
  // Only the last helper is left once the others have seen their pair shut.
  for (int i = 0; i < 1000 && ajudantesAtivos() > 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(ajudantesAtivos(), 0) << "given-up helpers still wait for their connects";
  cAvanca(1);
  EXPECT_EQ(tentativa, nullptr);
  ambosOuvem("/Conectado\r\n");
  const int lado = novo.aceita();
  EXPECT_GE(lado, 0);
  if (lado >= 0) close(lado);
  delete mud;
  mud = nullptr;
  EXPECT_EQ(descritoresAbertos(), antes);
}

// ---- TLS ---------------------------------------------------------------------

// A peer that takes the TCP connection and never says a word of TLS: the
// handshake waits, the 30 s limit ends it through the wheel, and the helper,
// its attempt given up, leaves at once without waiting for its own limit.
TEST_F(Tentativa, AHandshakeThatNeverEndsIsCutByTheLimitAndItsHelperLeaves) {
  Ouvinte mudo;
  ligaAntigo();
  const int antes = descritoresAbertos();
  conectaMud("127.0.0.1", mudo.porta, kTlsVerificado);
  ASSERT_NE(tentativa, nullptr);
  // The client's hello has come: the helper now waits inside the handshake.
  const int lado = mudo.aceita();
  ASSERT_GE(lado, 0);
  pollfd hello{lado, POLLIN, 0};
  ASSERT_EQ(poll(&hello, 1, 1000), 1);
  ana_->digita("senha secreta\r\n");
  cAvanca(kTicksTentativa - 1);
  ASSERT_NE(tentativa, nullptr);
  EXPECT_EQ(ajudantesAtivos(), 1);
  ambosOuvem(conectando("127.0.0.1", mudo.porta));
  cAvanca(1);
  EXPECT_EQ(tentativa, nullptr);
  ambosOuvem("/Erro: Connection timed out\r\n");
  EXPECT_EQ(ouveAntigo(), "senha secreta\r\n");  // the old link, as after any failure
  for (int i = 0; i < 1000 && ajudantesAtivos() > 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(ajudantesAtivos(), 0);
  // Abandoned, not ended: the peer sees the connection close.
  const std::string resto = leAteFechar(lado);
  EXPECT_EQ(resto.find("<still open>"), std::string::npos);
  close(lado);
  EXPECT_EQ(descritoresAbertos(), antes);
}

// A TLS server on loopback, for one connection, on a thread of its own: it
// reads until the session ends and records whether it ended with
// close_notify.
class ServidorTls {
 public:
  ServidorTls() {
    if (!cert_.pronto()) return;
    contexto_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(contexto_, cert_.certificado().c_str());
    SSL_CTX_use_PrivateKey_file(contexto_, cert_.chave().c_str(), SSL_FILETYPE_PEM);
    fio_ = std::thread([this] { serve(); });
  }
  ~ServidorTls() {
    if (fio_.joinable()) fio_.join();
    if (contexto_ != nullptr) SSL_CTX_free(contexto_);
  }
  bool pronto() const { return contexto_ != nullptr; }
  int porta() const { return ouvinte_.porta; }
  // Waits for the session to end: whether it ended with close_notify.
  bool terminouComAviso() {
    if (fio_.joinable()) fio_.join();
    return aviso_;
  }

 private:
  void serve() {
    const int lado = ouvinte_.aceita();
    if (lado < 0) return;
    timeval limite{5, 0};
    setsockopt(lado, SOL_SOCKET, SO_RCVTIMEO, &limite, sizeof limite);
    SSL* sessao = SSL_new(contexto_);
    SSL_set_fd(sessao, lado);
    if (SSL_accept(sessao) == 1) {
      char tmp[256];
      int r;
      while ((r = SSL_read(sessao, tmp, sizeof tmp)) > 0) {
      }
      aviso_ = SSL_get_error(sessao, r) == SSL_ERROR_ZERO_RETURN;
    }
    ERR_clear_error();
    SSL_free(sessao);
    close(lado);
  }
  Certificado cert_;
  SSL_CTX* contexto_ = nullptr;
  Ouvinte ouvinte_;
  std::atomic<bool> aviso_{false};
  std::thread fio_;
};

// The helper is done and its record, session inside, waits in the pair when
// the attempt is given up: the loop's drain takes the session and ends it
// properly; nothing leaks (the sanitizer and valgrind runs would say).
TEST_F(Tentativa, ASessionHandedOverAfterTheCancelIsEndedByTheLoop) {
  ServidorTls servidor;
  if (!servidor.pronto()) GTEST_SKIP() << "the openssl command is not installed";
  const int antes = descritoresAbertos();
  conectaMud("127.0.0.1", servidor.porta(), kTlsInseguro);
  ASSERT_TRUE(esperaAjudantes());
  cancelaTentativa();
  ambosOuvem(conectando("127.0.0.1", servidor.porta()) + "/Erro: Operation canceled\r\n");
  EXPECT_TRUE(servidor.terminouComAviso());
  EXPECT_EQ(descritoresAbertos(), antes);
}

// The same session taken up by the loop: it becomes the link, and dropping
// the link ends it with close_notify after the bytes that waited.
TEST_F(Tentativa, ASessionTakenUpBecomesTheLinkAndEndsWithCloseNotify) {
  ServidorTls servidor;
  if (!servidor.pronto()) GTEST_SKIP() << "the openssl command is not installed";
  conectaMud("127.0.0.1", servidor.porta(), kTlsInseguro);
  ana_->digita("entra\r\n");
  concluiNoProximoTick();
  ambosOuvem(conectando("127.0.0.1", servidor.porta()) + "/Conectado\r\n");
  ASSERT_NE(mud, nullptr);
  EXPECT_NE(mud->tls, nullptr);
  delete mud;
  mud = nullptr;
  EXPECT_TRUE(servidor.terminouComAviso());
}

}  // namespace
}  // namespace zandor
