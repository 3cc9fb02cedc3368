// Who gets in through the web listener, end to end: the origin and host
// matrix, one address holding heads or guessing beside everyone else, 403
// against 503 in a full house, and the listener over TLS (page, WSS player,
// https:// invite, a renewed pair served without a restart, a broken one
// that keeps the old, missing files failing start-up).
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "confere.h"
#include "tls_apoio.h"

namespace {

using namespace e2e;

// An upgrade for `caminho` with `campos` (whole header lines, Host included).
std::string upgrade(const std::string& caminho, const std::string& campos) {
  return "GET " + caminho + " HTTP/1.1\r\n" + campos +
         "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Sec-WebSocket-Version: 13\r\n\r\n";
}

// The status line of one exchange on a fresh connection from `origem`;
// an upgrade left open is waited for a second only.
std::string status(int porta, const std::string& pedido, const char* origem = "127.0.0.1") {
  return primeiraLinha(trocaHttp(porta, pedido, origem, 1000ms));
}

const std::string k101 = "HTTP/1.1 101 Switching Protocols", k403 = "HTTP/1.1 403 Forbidden";
const std::string k429 = "HTTP/1.1 429 Too Many Requests", k503 = "HTTP/1.1 503 Service Unavailable";

// The invite a user's "/convite" names, in a link to `base`.
std::string convida(Conexao& u, const std::string& base) { return pedeConvite(u, "/Convite: " + base); }

class Admissao : public ::testing::Test {
 protected:
  Gateway g{"%PORTA%\nweb = 127.0.0.1 %PORTAWEB% http://jogo.example:8080/zandor/\n"};
};

TEST_F(Admissao, OriginAndHostMatrix) {
  const int w = g.portaWeb();
  const std::string porta = std::to_string(w);
  struct Caso {
    const char* ip;
    std::string campos;
    const std::string& esperado;
  };
  const Caso casos[] = {
      {"127.0.0.1", "Host: 127.0.0.1:" + porta + "\r\n", k101},
      {"127.0.0.1", "Host: localhost\r\nOrigin: http://localhost\r\n", k101},
      {"127.0.0.1", "Host: [::1]:" + porta + "\r\nOrigin: http://[::1]:" + porta + "\r\n", k101},
      {"127.0.0.1", "Host: LOCALHOST:" + porta + "\r\nOrigin: http://LocalHost:" + porta + "\r\n", k101},
      {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: http://jogo.example:8080\r\n", k101},  // the URL's origin
      {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: https://evil.example\r\n", k403},
      {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: null\r\n", k403},
      {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: https://127.0.0.1\r\n", k403},  // another scheme
      {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: http://jogo.example\r\n", k403},  // another port
      {"127.0.0.1", "Host: evil.example\r\n", k403},                              // a rebinding name
      {"127.0.0.1", "Host: evil.example\r\nOrigin: http://evil.example\r\n", k403},
      {"127.0.0.1", "Host: 127.0.0.1.evil.example\r\n", k403},
      {"127.0.0.1", "Host: localhost:80x\r\n", k403},
      {"127.0.0.1", "Host: jogo.example:8080\r\n", k403},  // a public name through a plain forward
      {"127.0.0.1", "Host: 127.0.0.1\r\nX-Forwarded-For: 192.0.2.1\r\n", k403},
      {"127.0.0.2", "Host: 127.0.0.1\r\n", k403},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.campos);
    EXPECT_EQ(status(w, upgrade("/ws", c.campos), c.ip), c.esperado);
  }

  // A page from elsewhere spends no invite; the invite then admits its own page.
  Conexao ana = g.usuarioTelnet("Ana");
  const std::string convite = convida(ana, "http://jogo.example:8080/zandor/");
  ASSERT_EQ(convite.size(), 22u);
  for (const std::string& ruim : {std::string("Origin: https://evil.example\r\n"), std::string("Origin: null\r\n")})
    EXPECT_EQ(status(w, upgrade("/ws?convite=" + convite, "Host: jogo.example:8080\r\n" + ruim), "127.0.0.3"), k403);
  EXPECT_EQ(status(w, upgrade("/ws?convite=" + convite,
                              "Host: jogo.example:8080\r\nOrigin: http://jogo.example:8080\r\n"),
                   "127.0.0.3"),
            k101);
  EXPECT_EQ(status(w, upgrade("/ws?convite=" + convite, "Host: jogo.example:8080\r\n"), "127.0.0.3"), k403);
}

// One address holds eight heads and guesses; loopback pages, a loopback
// upgrade and an invite from a third address all go through meanwhile.
TEST_F(Admissao, OneAddressLocksNobodyOut) {
  const int w = g.portaWeb();
  std::vector<Conexao> presos;
  for (int i = 0; i < 8; ++i) {
    presos.push_back(Conexao::conecta(w, "127.0.0.2"));
    presos.back().envia("GET / HT");
  }
  Conexao nona = Conexao::conecta(w, "127.0.0.2");
  EXPECT_TRUE(nona.esperaFechar(1000ms));
  EXPECT_EQ(nona.toma().rfind(k503, 0), 0u);

  int paginas = 0;
  for (int i = 0; i < 20; ++i) paginas += status(w, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") == "HTTP/1.1 200 OK";
  EXPECT_EQ(paginas, 20);
  presos.clear();
  std::this_thread::sleep_for(300ms);  // the gateway sees them go

  // Guessing: ten refusals, then 429 with the rest of the minute, token unread.
  std::vector<std::string> vistos;
  for (int i = 0; i < 12; ++i)
    vistos.push_back(status(w, upgrade("/ws?convite=AAAAAAAAAAAAAAAAAAAAA" + std::to_string(i % 10),
                                       "Host: jogo.example\r\n"),
                            "127.0.0.2"));
  EXPECT_EQ(std::vector<std::string>(vistos.begin(), vistos.begin() + 10), std::vector<std::string>(10, k403));
  EXPECT_EQ(vistos[10], k429);
  EXPECT_EQ(vistos[11], k429);
  Conexao c = Conexao::conecta(w, "127.0.0.2");
  c.envia(upgrade("/ws", "Host: 127.0.0.1\r\n"));
  c.esperaFechar(1000ms);
  const std::string r = c.toma();
  EXPECT_NE(r.find("\r\nRetry-After: 60\r\n"), std::string::npos) << r;

  EXPECT_EQ(status(w, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), "HTTP/1.1 200 OK");
  Conexao ana = g.usuarioTelnet("Ana");
  const std::string convite = convida(ana, "http://jogo.example:8080/zandor/");
  EXPECT_EQ(status(w, upgrade("/ws?convite=" + convite, "Host: jogo.example\r\n"), "127.0.0.3"), k101);
  EXPECT_EQ(status(w, upgrade("/ws", "Host: 127.0.0.1\r\n")), k101);
}

TEST(AdmissaoCheia, OnlyWhoWouldGetInLearnsTheHouseIsFull) {
  Gateway g{"%PORTA%\nusuarios = 1\nweb = 127.0.0.1 %PORTAWEB%\n"};
  Conexao ana = g.usuarioTelnet("Ana");
  const std::string convite = convida(ana, "http://127.0.0.1:" + std::to_string(g.portaWeb()) + "/");
  const int w = g.portaWeb();
  EXPECT_EQ(status(w, upgrade("/ws", "Host: 127.0.0.1\r\n")), k503);
  EXPECT_EQ(status(w, upgrade("/ws?convite=" + convite, "Host: jogo.example\r\n"), "127.0.0.2"), k503);
  EXPECT_EQ(status(w, upgrade("/ws", "Host: 127.0.0.1\r\nOrigin: null\r\n")), k403);
  EXPECT_EQ(status(w, upgrade("/ws", "Host: jogo.example\r\n"), "127.0.0.2"), k403);
  EXPECT_EQ(status(w, upgrade("/ws?convite=AAAAAAAAAAAAAAAAAAAAAA", "Host: jogo.example\r\n"), "127.0.0.2"), k403);
  // The invite the full house met is still good.
  ana.envia("/sair\r\n");
  EXPECT_TRUE(ana.esperaFechar());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(status(w, upgrade("/ws?convite=" + convite, "Host: jogo.example\r\n"), "127.0.0.2"), k101);
}

// ---- over TLS ------------------------------------------------------------------

// A TLS client on a blocking socket with a time-out: enough for one exchange.
struct ClienteTls {
  explicit ClienteTls(int porta) {
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    conexao = Conexao::conecta(porta);
    fdDono = dup(conexao.fd());
    timeval t{3, 0};
    setsockopt(fdDono, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fdDono);
    pronto = SSL_connect(ssl) == 1;
  }
  ~ClienteTls() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fdDono);
  }
  void envia(const std::string& s) { SSL_write(ssl, s.data(), static_cast<int>(s.size())); }
  // Reads until `esperado` is in what came, or the peer ends, or 3 s pass.
  std::string leAte(const std::string& esperado = "\x01\x02") {
    char b[4096];
    while (lido.find(esperado) == std::string::npos) {
      const int n = SSL_read(ssl, b, sizeof b);
      if (n <= 0) break;
      lido.append(b, static_cast<size_t>(n));
    }
    return lido;
  }
  std::string sujeito() {
    X509* x = SSL_get1_peer_certificate(ssl);
    if (x == nullptr) return "";
    char nome[256];
    X509_NAME_oneline(X509_get_subject_name(x), nome, sizeof nome);
    X509_free(x);
    return nome;
  }
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  Conexao conexao;
  int fdDono = -1;
  bool pronto = false;
  std::string lido;
};

// A self-signed pair for CN `nome` written over cert.pem and key.pem in `pasta`.
bool fazPar(const std::string& pasta, const std::string& nome) {
  return std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=" +
                      nome + " -keyout '" + pasta + "/k.tmp' -out '" + pasta + "/c.tmp' >/dev/null 2>&1 && mv '" +
                      pasta + "/c.tmp' '" + pasta + "/cert.pem' && mv '" + pasta + "/k.tmp' '" + pasta +
                      "/key.pem'")
                         .c_str()) == 0;
}

class AdmissaoTls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!temPrograma("openssl")) GTEST_SKIP() << "no openssl command";
    char modelo[] = "/tmp/zandor-web-tls-XXXXXX";
    ASSERT_NE(mkdtemp(modelo), nullptr);
    pasta = modelo;
    ASSERT_TRUE(fazPar(pasta, "primeiro"));
  }
  void TearDown() override {
    if (!pasta.empty()) std::system(("rm -rf '" + pasta + "'").c_str());
  }
  std::string linha() const { return "web = 127.0.0.1 %PORTAWEB% tls " + pasta + "/cert.pem " + pasta + "/key.pem\n"; }
  std::string pasta;
};

TEST_F(AdmissaoTls, PagePlayerInviteAndRenewal) {
  Gateway g{"%PORTA%\n" + linha()};
  const int w = g.portaWeb();
  {
    ClienteTls pagina(w);
    ASSERT_TRUE(pagina.pronto);
    EXPECT_EQ(pagina.sujeito(), "/CN=primeiro");
    EXPECT_STREQ(SSL_get_version(pagina.ssl), "TLSv1.3");
    pagina.envia("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(pagina.leAte("</html>").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  }
  // Plain HTTP on that port gets no page.
  Conexao claro = Conexao::conecta(w);
  claro.envia("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  claro.esperaFechar();
  EXPECT_EQ(claro.recebido().find("HTTP/1.1 200"), std::string::npos);

  // A WSS player beside a telnet user; the invite names https://.
  Conexao ana = g.usuarioTelnet("Ana");
  const std::string convite = convida(ana, "https://127.0.0.1:" + std::to_string(w) + "/");
  EXPECT_EQ(convite.size(), 22u);
  ClienteTls jogador(w);
  const std::string local = "127.0.0.1:" + std::to_string(w);
  // Its first frames in the upgrade's own record, past one read of the
  // loop: what the session holds after the head is read at once.
  const std::string longa(3000, 'x');
  jogador.envia(upgrade("/ws", "Host: " + local + "\r\nOrigin: https://" + local + "\r\n") + textoWeb("Bia") +
                textoWeb("/ " + longa));
  EXPECT_NE(jogador.leAte("Digite seu apelido").find(k101), std::string::npos);
  EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n/Bia. " + longa + "\r\n"));
  ana.envia("/ oi\r\n");
  EXPECT_NE(jogador.leAte("/Ana. oi").find("/Ana. oi"), std::string::npos);
  {
    ClienteTls errado(w);  // the clear scheme's origin is not this listener's
    errado.envia(upgrade("/ws", "Host: " + local + "\r\nOrigin: http://" + local + "\r\n"));
    EXPECT_EQ(errado.leAte("\r\n").rfind(k403, 0), 0u);
  }

  // Renewal: both files replaced; a connection a second later gets the new pair.
  ASSERT_TRUE(fazPar(pasta, "segundo"));
  std::this_thread::sleep_for(1100ms);
  { ClienteTls gatilho(w); }
  std::string visto;
  for (int i = 0; i < 30 && visto != "/CN=segundo"; ++i) {
    ClienteTls c(w);
    visto = c.sujeito();
    if (visto != "/CN=segundo") std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(visto, "/CN=segundo");
  EXPECT_NE(g.leArquivo("zandor.log").find("Certificado TLS da web renovado: " + pasta + "/cert.pem\n"),
            std::string::npos);

  // A broken renewal: logged once, the working pair stays.
  std::ofstream(pasta + "/key.pem") << "lixo\n";
  std::this_thread::sleep_for(1100ms);
  for (int i = 0; i < 3; ++i) {
    ClienteTls c(w);
    EXPECT_EQ(c.sujeito(), "/CN=segundo");
    std::this_thread::sleep_for(600ms);
  }
  const std::string log = g.leArquivo("zandor.log");
  const std::string recusa = "Certificado TLS da web novo recusado, o anterior continua: " + pasta + "/key.pem: ";
  EXPECT_NE(log.find(recusa), std::string::npos) << log;
  EXPECT_EQ(log.find(recusa), log.rfind(recusa)) << log;
  // The player of the first pair plays on.
  ana.envia("/ ainda\r\n");
  EXPECT_NE(jogador.leAte("/Ana. ainda").find("/Ana. ainda"), std::string::npos);
}

TEST_F(AdmissaoTls, MissingOrMismatchedFilesFailStartUp) {
  const std::string falta = pasta + "/nada.pem";
  struct Caso {
    std::string cert, chave, esperado;
  };
  std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=o "
               "-keyout '" + pasta + "/outra.pem' -out '" + pasta + "/outracert.pem' >/dev/null 2>&1").c_str());
  const Caso casos[] = {
      {falta, pasta + "/key.pem", falta + ": No such file or directory"},
      {pasta + "/cert.pem", falta, falta + ": No such file or directory"},
      {pasta + "/cert.pem", pasta + "/outra.pem", pasta + "/outra.pem: key values mismatch"},
  };
  for (const Caso& c : casos) {
    Gateway g{"%PORTA%\nweb = 127.0.0.1 %PORTAWEB% tls " + c.cert + " " + c.chave + "\n", false};
    EXPECT_EQ(g.esperaSair(), 1);
    EXPECT_EQ(g.erros(), "Certificado TLS da web: " + c.esperado + "\n");
    EXPECT_EQ(g.leArquivo("zandor.log"), "Certificado TLS da web: " + c.esperado + "\n");
  }
}

}  // namespace
