// The MUD link over TLS, against the built program: socat ends TLS in front
// of the scripted fake MUD, with a certificate made at test time. Verified
// links by address and by name, refusals with OpenSSL's reason, the insecure
// mode, directory entries, both directions (negotiation, colours, prompts,
// bursts larger than a record, the longest lines), the MUD closing,
// "/terminar" flushing the link, and close_notify on "/mud" alone and at the
// gateway's end, seen by a TLS server of the test's own. Skipped where socat
// or openssl is missing.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "confere.h"
#include "tls_apoio.h"

namespace {

using namespace e2e;

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253;
const std::string kTipoTerminal = bytes({IAC, SB, 24, 0, 'T', 'E', 'R', 'M', IAC, SE});

std::string conectando(const std::string& endereco, int porta) {
  return "/Conectando em " + endereco + " " + std::to_string(porta) + "\r\n";
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!temPrograma("socat") || !temPrograma("openssl")) GTEST_SKIP() << "socat or openssl is not installed";
    ASSERT_TRUE(local.pronto());
  }

  // Starts the gateway trusting `confiavel` (none: OpenSSL's defaults), with
  // `entradas` after the port line, and joins Ana and Bia.
  void inicia(const std::string& confiavel, const std::string& entradas = "") {
    Confianca confianca(confiavel);
    g = std::make_unique<Gateway>("%PORTA%\n" + entradas);
    ASSERT_EQ(g->leArquivo("zandor.log"), "Feito...\n") << g->erros();
    ana = g->usuarioTelnet("Ana");
    bia = g->usuarioTelnet("Bia");
    ASSERT_TRUE(ana.aberta() && bia.aberta());
    ASSERT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  }

  // Both users heard exactly `texto`.
  void ambos(const std::string& texto, Ms prazo = kPrazo) {
    EXPECT_TRUE(recebe(ana, texto, prazo));
    EXPECT_TRUE(recebe(bia, texto, prazo));
  }

  Certificado local{"DNS:localhost,IP:127.0.0.1"};
  MudFalso falso;
  std::unique_ptr<Gateway> g;
  Conexao ana, bia;
};

TEST_F(Tls, AVerifiedLinkCarriesEverythingAPlainOneDoes) {
  Socat socat(local, falso.porta());
  inicia(local.certificado(), "seguro = 127.0.0.1 " + std::to_string(socat.porta()) + " tls\n");
  bia.envia("/c2\r\n");
  ASSERT_TRUE(recebe(bia, "/c2 N\xE3o filtrando cores\r\n"));

  // A directory entry with "tls": the texts of a plain connect, in order.
  ana.envia("/mud seguro\r\n");
  ambos(conectando("127.0.0.1", socat.porta()) + "/Conectado\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta()) << socat.log();

  // Negotiation answered inside the session; colours kept or stripped.
  lado.envia(bytes({IAC, DO, 24}) + bytes({IAC, SB, 24, 1, IAC, SE}) + "\x1b[31mPerigo\x1b[0m ok\r\n");
  EXPECT_TRUE(recebe(lado, bytes({IAC, WILL, 24}) + kTipoTerminal));
  EXPECT_TRUE(recebe(ana, "Perigo ok\r\n"));
  EXPECT_TRUE(recebe(bia, "\x1b[31mPerigo\x1b[0m ok\r\n"));

  // Typed lines and Control-C reach the MUD in order; a prompt comes as a
  // line after the MUD's silence.
  ana.envia("connect ana senha\r\n/c\r\n//olha\r\n");
  EXPECT_TRUE(recebe(lado, "connect ana senha\r\n\x03/olha\r\n"));
  lado.envia("Nome> ");
  ambos("Nome> \r\n");

  // A burst far larger than one TLS record and than one read: every line,
  // in order, to both users; and one the other way.
  std::string rajada, digitado;
  for (int i = 0; i < 300; ++i) rajada += "linha " + std::to_string(i) + " " + std::string(90, 'x') + "\r\n";
  for (int i = 0; i < 60; ++i) digitado += "diz " + std::to_string(i) + " " + std::string(200, 'y') + "\r\n";
  lado.envia(rajada);
  ana.envia(digitado);
  ambos(rajada);
  EXPECT_TRUE(recebe(lado, digitado));

  // Lines at the longest, whole both ways.
  const std::string longa(8000, 'L');
  lado.envia(longa + "\r\n");
  ambos(longa + "\r\n");
  const std::string digitada(8000, 'd');
  bia.envia(digitada + "\r\n");
  EXPECT_TRUE(recebe(lado, digitada + "\r\n"));

  // "/terminar" flushes the link first: the line typed before it arrives.
  bia.envia("ultima\r\n/terminar\r\n");
  EXPECT_TRUE(recebe(lado, "ultima\r\n"));
  EXPECT_TRUE(recebeEFecha(ana, "/Encerrando Zandor\r\n"));
  EXPECT_EQ(g->esperaSair(), 0);
}

TEST_F(Tls, TheNameTypedMustBeTheCertificates) {
  Certificado outro("DNS:outro.exemplo");
  ASSERT_TRUE(outro.pronto());
  // Both certificates are trusted: only the names decide.
  const std::string ambosConfiaveis = local.certificado() + ".ambos";
  std::system(("cat '" + local.certificado() + "' '" + outro.certificado() + "' > '" + ambosConfiaveis + "'").c_str());
  inicia(ambosConfiaveis);

  // By DNS name (resolved on the helper, sent as SNI) and in capitals.
  Socat porNome(local, falso.porta());
  ana.envia("/mud localhost " + std::to_string(porNome.porta()) + " TLS\r\n");
  ambos(conectando("localhost", porNome.porta()) + "/Conectado\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta());

  // A certificate for another name: refused by address and by name, and the
  // link in place goes on.
  Socat errado(outro, falso.porta());
  ana.envia("/mud 127.0.0.1 " + std::to_string(errado.porta()) + " tls\r\n");
  ambos(conectando("127.0.0.1", errado.porta()) + "/Erro: certificate verify failed: IP address mismatch\r\n");
  Socat errado2(outro, falso.porta());
  bia.envia("/mud localhost " + std::to_string(errado2.porta()) + " tls\r\n");
  ambos(conectando("localhost", errado2.porta()) + "/Erro: certificate verify failed: hostname mismatch\r\n");
  lado.envia("Ainda aqui.\r\n");
  ambos("Ainda aqui.\r\n");
  ana.envia("olha\r\n");
  EXPECT_TRUE(recebe(lado, "olha\r\n"));

  // The MUD closing: socat ends the session, everyone is told.
  lado.fecha();
  ambos("/Conex\xE3o com o MUD terminada\r\n");
  std::remove(ambosConfiaveis.c_str());
}

TEST_F(Tls, ASelfSignedCertificateIsRefusedUnlessInsecure) {
  inicia("");
  Socat socat(local, falso.porta());
  ana.envia("/mud 127.0.0.1 " + std::to_string(socat.porta()) + " tls\r\n");
  ambos(conectando("127.0.0.1", socat.porta()) + "/Erro: certificate verify failed: self-signed certificate\r\n");

  // A third word that is neither: refused to the asker alone, nothing tried.
  ana.envia("/mud 127.0.0.1 " + std::to_string(socat.porta()) + " tsl\r\n");
  EXPECT_TRUE(recebe(ana, "/Depois da porta s\xF3 vale tls ou tls-inseguro\r\n"));
  ana.envia("/mud 127.0.0.1 " + std::to_string(socat.porta()) + " tls inseguro\r\n");
  EXPECT_TRUE(recebe(ana, "/Depois da porta s\xF3 vale tls ou tls-inseguro\r\n"));
  EXPECT_TRUE(recebe(bia, "", 200ms));

  Socat inseguro(local, falso.porta());
  bia.envia("/mud 127.0.0.1 " + std::to_string(inseguro.porta()) + " tls-inseguro\r\n");
  ambos(conectando("127.0.0.1", inseguro.porta()) + "/Conectado\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta());
  lado.envia("Bem-vindo.\r\n");
  ambos("Bem-vindo.\r\n");
  bia.envia("entra\r\n");
  EXPECT_TRUE(recebe(lado, "entra\r\n"));
}

// A MUD that answers the handshake in clear: OpenSSL's reason, and the
// link in place stays.
TEST_F(Tls, APeerThatSpeaksNoTlsIsRefused) {
  inicia("");
  MudFalso velho;
  Conexao antigo = liga(ana, velho, {&ana, &bia});
  ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + " tls-inseguro\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta());
  lado.envia("Bem-vindo ao MUD em texto claro, sem TLS nenhum.\r\n");
  ambos(conectando("127.0.0.1", falso.porta()) + "/Erro: wrong version number\r\n");
  antigo.envia("O antigo fala.\r\n");
  ambos("O antigo fala.\r\n");
}

// A TLS server of the test's own, over OpenSSL, one connection: it sees
// whether the gateway ended the session with close_notify.
class ServidorTls {
 public:
  explicit ServidorTls(const Certificado& cert) {
    contexto_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(contexto_, cert.certificado().c_str());
    SSL_CTX_use_PrivateKey_file(contexto_, cert.chave().c_str(), SSL_FILETYPE_PEM);
  }
  ~ServidorTls() {
    if (sessao_ != nullptr) SSL_free(sessao_);
    SSL_CTX_free(contexto_);
  }
  // Takes the gateway's connection from `mud` and shakes hands, blocking
  // for at most a few seconds.
  bool aceita(MudFalso& mud) {
    lado_ = mud.aceita();
    if (!lado_.aberta()) return false;
    timeval limite{5, 0};
    setsockopt(lado_.fd(), SOL_SOCKET, SO_RCVTIMEO, &limite, sizeof limite);
    sessao_ = SSL_new(contexto_);
    SSL_set_fd(sessao_, lado_.fd());
    return SSL_accept(sessao_) == 1;
  }
  bool envia(const std::string& texto) {
    return SSL_write(sessao_, texto.data(), static_cast<int>(texto.size())) == static_cast<int>(texto.size());
  }
  // Reads until the session ends: true when it ended with close_notify.
  bool terminouComAviso(std::string* lido) {
    char tmp[4096];
    for (;;) {
      const int r = SSL_read(sessao_, tmp, sizeof tmp);
      if (r > 0) {
        lido->append(tmp, static_cast<size_t>(r));
        continue;
      }
      const bool aviso = SSL_get_error(sessao_, r) == SSL_ERROR_ZERO_RETURN;
      ERR_clear_error();
      return aviso;
    }
  }

 private:
  SSL_CTX* contexto_ = nullptr;
  SSL* sessao_ = nullptr;
  Conexao lado_;
};

// The gateway, Ana and Bia, linked with "tls-inseguro" to a TLS server of
// the test's own.
class TlsProprio : public Tls {
 protected:
  void liga() {
    inicia("");
    ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + " tls-inseguro\r\n");
    ASSERT_TRUE(servidor.aceita(falso));
    ambos(conectando("127.0.0.1", falso.porta()) + "/Conectado\r\n");
  }

  ServidorTls servidor{local};
};

TEST_F(TlsProprio, MudAloneEndsTheSessionWithCloseNotify) {
  ASSERT_NO_FATAL_FAILURE(liga());
  ASSERT_TRUE(servidor.envia("Ola.\r\n"));
  ambos("Ola.\r\n");
  // The line typed just before goes out before the alert.
  ana.envia("tchau\r\n/mud\r\n");
  ambos("/Desconectado do MUD\r\n");
  std::string lido;
  EXPECT_TRUE(servidor.terminouComAviso(&lido));
  EXPECT_EQ(lido, "tchau\r\n");
}

// "/terminar" flushes the link, then ends the session with close_notify too.
TEST_F(TlsProprio, TheGatewaysEndEndsTheSessionWithCloseNotify) {
  ASSERT_NO_FATAL_FAILURE(liga());
  ana.envia("ultima\r\n/terminar\r\n");
  std::string lido;
  EXPECT_TRUE(servidor.terminouComAviso(&lido));
  EXPECT_EQ(lido, "ultima\r\n");
}

}  // namespace

namespace {

// A MUD that ends the session with close_notify before the handshake is
// done (its answer to the client's hello) closed the link, as a plain MUD
// that closes at once: no "Connection reset by peer". Needs no tool.
TEST(TlsFecho, ACloseNotifyFromTheMudIsTheMudClosing) {
  Gateway g;
  MudFalso falso;
  Conexao ana = g.usuarioTelnet("Ana");
  ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + " tls-inseguro\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta());
  ASSERT_TRUE(lado.leAte(std::string(1, '\x16')));  // the client's hello
  lado.envia(bytes({0x15, 3, 3, 0, 2, 1, 0}));       // alert: warning, close_notify
  lado.fecha();
  EXPECT_TRUE(recebe(ana, conectando("127.0.0.1", falso.porta()) + "/Conex\xE3o com o MUD terminada\r\n"));
}

}  // namespace
