// The web listener's timers and bounds in-process, driven through the wheel
// and the clock seam: the 10-second head, the bound on requests read at
// once, an expired invite, the keep-alive of a web user, a web user whose
// ring is full, and a user destroyed in the middle of a message.
//
// Sockets are non-blocking AF_UNIX pairs: the gateway's end goes to the
// object under test, the test reads and writes the far end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/tempo.h"
#include "gateway/cliente.h"
#include "gateway/convite.h"
#include "gateway/web.h"
#include "gateway/web/admissao.h"
#include "text/dobra.h"
#include "gateway_falso.h"
#include "quadroweb.h"
#include "relogio_falso.h"
#include "soquetes.h"

namespace zandor {
namespace {

sockaddr_in endereco(const char* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

std::string pedido(const std::string& caminho) {
  return "GET " + caminho +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

class WebLocal : public GatewayFalso {
 protected:
  void SetUp() override {
    GatewayFalso::SetUp();
    relogio = relogioFalso;
    esqueceConvites();
    esqueceEnderecos();
  }
  void TearDown() override {
    GatewayFalso::TearDown();
    relogio = relogioMonotonico;
    esqueceConvites();
    esqueceEnderecos();
  }

  // A connection accepted by the web listener from `ip`; the far end is returned.
  int conecta(const char* ip = "127.0.0.1") {
    int ponta;
    const int nosso = par(ponta);
    const sockaddr_in a = endereco(ip);
    escuta_.cConecta(nosso, &a);
    return ponta;
  }

  // The newest object on the normal level: the request just made.
  static TConexaoHttp* ultimo() { return dynamic_cast<TConexaoHttp*>(niveis[kNivelNormal].cabeca); }

  // A web user, upgraded from 127.0.0.1 and named; the far end is returned.
  int usuario(const char* apelido, TCliente** c, const std::string& caminho = "/ws") {
    const int fd = conecta();
    ultimo()->cEvento(pedido(caminho).data(), static_cast<int32_t>(pedido(caminho).size()));
    *c = clientes;
    const std::string nome = textoWeb(apelido);
    (*c)->cEvento(nome.data(), static_cast<int32_t>(nome.size()));
    (*c)->cDescarrega();
    std::string lido = le(fd);
    const size_t fimCabeca = lido.find("\r\n\r\n");
    EXPECT_EQ(lido.rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_EQ(quadrosLidos(lido.substr(fimCabeca + 4)),
              std::string("1Digite seu apelido\r\n|1//") + apelido + " chegou\r\n|1Tecle /ajuda para saber os comandos\r\n|");
    EXPECT_EQ(clientes, *c);
    return fd;
  }

  TEscutaWeb escuta_;
};

TEST_F(WebLocal, AHeadHasTenSecondsAndRequestsAreBounded) {
  const int primeiro = conecta();
  TConexaoHttp* p = ultimo();
  p->cEvento("GET / HT", 8);  // a head begun, never finished
  // Eight heads from one address, the first included; the rest of the
  // listener's places from others, eight each.
  for (int i = 1; i < kMaxPedidos; ++i) conecta(("127.0.1." + std::to_string(i / kMaxCabecasPorEndereco)).c_str());
  EXPECT_EQ(TConexaoHttp::quantos, kMaxPedidos);

  // One more is told at once and closed, from a new address too; the
  // others are untouched.
  const int demais = conecta("127.0.0.2");
  bool fechou = false;
  const std::string resposta = le(demais, &fechou);
  EXPECT_EQ(resposta.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << resposta;
  EXPECT_TRUE(fechou);
  EXPECT_EQ(TConexaoHttp::quantos, kMaxPedidos);

  cAvanca(kTicksCabeca - 1);
  EXPECT_EQ(TConexaoHttp::quantos, kMaxPedidos);
  cAvanca(1);
  EXPECT_EQ(TConexaoHttp::quantos, 0);
  EXPECT_EQ(cabecasDe(htonl(INADDR_LOOPBACK)), 0);
  le(primeiro, &fechou);
  EXPECT_TRUE(fechou);
}

// Ten refusals within a minute: that address gets 429 with the seconds
// left, even with a good invite, which stays unspent; others go on; the
// minute over, the address is heard again.
TEST_F(WebLocal, TenRefusalsAMinuteEarnATooManyRequests) {
  msFalso = 5000;
  char token[kTamanhoConvite];
  ASSERT_TRUE(criaConvite(token));
  auto tenta = [this](const char* ip, const std::string& caminho) {
    const int fd = conecta(ip);
    const std::string p = pedido(caminho);
    TVigia vida(ultimo());
    ultimo()->cEvento(p.data(), static_cast<int32_t>(p.size()));
    if (clientes != nullptr) clientes->cDescarrega();
    const std::string resposta = le(fd);
    if (vida.vivo()) delete vida.alvo;  // the client has read its answer and gone
    return resposta;
  };
  for (int i = 0; i < kRecusasPorMinuto; ++i)
    EXPECT_EQ(tenta("127.0.0.2", "/ws?convite=chute" + std::to_string(i)).rfind("HTTP/1.1 403 ", 0), 0u);
  msFalso += 20500;
  const std::string demais = tenta("127.0.0.2", std::string("/ws?convite=") + token);
  EXPECT_EQ(demais.rfind("HTTP/1.1 429 Too Many Requests\r\n", 0), 0u) << demais;
  EXPECT_NE(demais.find("\r\nRetry-After: 40\r\n"), std::string::npos) << demais;
  EXPECT_EQ(clientes, nullptr);

  EXPECT_EQ(tenta("127.0.0.3", std::string("/ws?convite=") + token).rfind("HTTP/1.1 101 ", 0), 0u);
  EXPECT_EQ(tenta("127.0.0.1", "/ws").rfind("HTTP/1.1 101 ", 0), 0u);

  msFalso += 39500;  // the minute is over
  EXPECT_EQ(tenta("127.0.0.2", "/ws?convite=chute").rfind("HTTP/1.1 403 ", 0), 0u);
}

TEST_F(WebLocal, AnExpiredInviteIsRefused) {
  msFalso = 1000;
  char velho[kTamanhoConvite], novo[kTamanhoConvite];
  ASSERT_TRUE(criaConvite(velho));
  msFalso += kMsValidadeConvite - 1000;
  ASSERT_TRUE(criaConvite(novo));
  msFalso += 1000;  // the first is 15 minutes old now, the second is not

  const int a = conecta("127.0.0.2");
  const std::string pa = pedido(std::string("/ws?convite=") + velho);
  ultimo()->cEvento(pa.data(), static_cast<int32_t>(pa.size()));
  EXPECT_EQ(le(a).rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
  EXPECT_EQ(clientes, nullptr);

  const int b = conecta("127.0.0.2");
  const std::string pb = pedido(std::string("/ws?convite=") + novo);
  ultimo()->cEvento(pb.data(), static_cast<int32_t>(pb.size()));
  ASSERT_NE(clientes, nullptr);
  clientes->cDescarrega();
  EXPECT_EQ(le(b).rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
}

TEST_F(WebLocal, AFullHouseIsToldSoAndSpendsNoInvite) {
  std::vector<TCliente*> lotacao;
  for (int i = 0; i < kMaxUsuarios; ++i) lotacao.push_back(new TCliente);
  char token[kTamanhoConvite];
  ASSERT_TRUE(criaConvite(token));
  const std::string p = pedido(std::string("/ws?convite=") + token);

  const int a = conecta("127.0.0.2");
  ultimo()->cEvento(p.data(), static_cast<int32_t>(p.size()));
  EXPECT_EQ(le(a).rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
  EXPECT_EQ(clientes, lotacao.back());

  delete lotacao.back();
  lotacao.pop_back();
  const int b = conecta("127.0.0.2");
  ultimo()->cEvento(p.data(), static_cast<int32_t>(p.size()));
  ASSERT_NE(clientes, lotacao.back());
  EXPECT_EQ(clientes->protocolo, kProtocoloWeb);
  clientes->cDescarrega();
  EXPECT_EQ(le(b).rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
}

TEST_F(WebLocal, AnIdleUserIsPingedAndASilentOneClosed) {
  TCliente* c = nullptr;
  const int fd = usuario("Ana", &c);

  // Input during a period: no ping at its end.
  const std::string pong = quadroWeb(10, "");
  c->cEvento(pong.data(), static_cast<int32_t>(pong.size()));
  cAvanca(kTicksPulso);
  c->cDescarrega();
  EXPECT_EQ(quadrosLidos(le(fd)), "");
  // Silent periods: a ping each, and at the fourth the close.
  for (int i = 1; i < kPulsosSilencio; ++i) {
    cAvanca(kTicksPulso);
    ASSERT_EQ(clientes, c);
    c->cDescarrega();
    EXPECT_EQ(quadrosLidos(le(fd)), "9|") << i;
  }
  // Answered pongs keep it alive ...
  c->cEvento(pong.data(), static_cast<int32_t>(pong.size()));
  cAvanca(kTicksPulso);
  ASSERT_EQ(clientes, c);
  c->cDescarrega();
  EXPECT_EQ(quadrosLidos(le(fd)), "");
  // ... until it goes silent past two minutes.
  cAvanca(kPulsosSilencio * kTicksPulso);
  EXPECT_EQ(clientes, nullptr);
  bool fechou = false;
  const std::string resto = le(fd, &fechou);
  EXPECT_EQ(quadrosLidos(resto), "9|9|9|8\x03\xE9|");
  EXPECT_TRUE(fechou);
}

// A bound user whose link goes silent is away, not gone: its place and
// nickname kept for ten minutes on the wheel, then "saiu" to everyone.
TEST_F(WebLocal, ASilentBoundUserIsAwayForTenMinutesThenLeaves) {
  TCliente* ana = nullptr;
  const int fdAna = usuario("Ana", &ana, "/ws?retoma=abcdefghijklmnopqrstuvwxyz");
  TCliente* bia = nullptr;
  const int fdBia = usuario("Bia", &bia);
  // Time passes a keep-alive period at a time; Bia answers, Ana never does.
  const std::string pong = quadroWeb(10, "");
  const auto passa = [&](int periodos) {
    for (int i = 0; i < periodos; ++i) {
      bia->cEvento(pong.data(), static_cast<int32_t>(pong.size()));
      cAvanca(kTicksPulso);
    }
  };
  passa(kPulsosSilencio + 1);  // her nickname was heard in the first
  ASSERT_TRUE(ana->cAusente());
  EXPECT_EQ(quantosUsuarios, 2);
  bool fechou = false;
  static_cast<void>(le(fdAna, &fechou));
  EXPECT_TRUE(fechou) << "the dead link is let go";
  bia->cDescarrega();
  EXPECT_EQ(le(fdBia).find("saiu"), std::string::npos) << "nobody is told of an absence";

  passa(kTicksAusencia / kTicksPulso - 1);
  cAvanca(kTicksPulso - 1);
  ASSERT_EQ(quantosUsuarios, 2);
  cAvanca(1);
  EXPECT_EQ(quantosUsuarios, 1);
  bia->cDescarrega();
  EXPECT_NE(quadrosLidos(le(fdBia)).find("1//Ana saiu\r\n|"), std::string::npos);
}

TEST_F(WebLocal, AFullRingRefusesWholeFramesOnly) {
  TCliente* c = nullptr;
  const int fd = usuario("Ana", &c);
  // Nobody reads: texts of varied lengths until the ring and the socket
  // buffer refuse; what arrives then is whole frames and nothing else.
  int recusados = 0;
  for (int i = 0; i < 2000 && recusados < 50; ++i) {
    const std::string texto(static_cast<size_t>(1 + (i * 37) % 900), static_cast<char>('a' + i % 26));
    if (!c->cEscreve(texto.c_str())) ++recusados;
  }
  EXPECT_EQ(recusados, 50);
  std::string resto;
  std::string lido;
  for (int i = 0; i < 200; ++i) {
    lido += le(fd);
    c->cDescarrega();
  }
  lido += le(fd);
  const std::string quadros = quadrosLidos(lido, &resto);
  EXPECT_EQ(resto, "");
  EXPECT_FALSE(quadros.empty());
  for (size_t p = 0; p < quadros.size();) {
    ASSERT_EQ(quadros[p], '1');
    const size_t fim = quadros.find('|', p);
    const std::string carga = quadros.substr(p + 1, fim - p - 1);
    ASSERT_GE(carga.size(), 3u);
    EXPECT_EQ(carga.substr(carga.size() - 2), "\r\n");
    EXPECT_EQ(carga.find_first_not_of(carga[0]), carga.size() - 2);
    p = fim + 1;
  }
}

// A character split between two fragments, and between two deliveries in
// the middle of a frame, is one character; an overlong form is refused.
TEST_F(WebLocal, UtfEightIsCheckedAcrossPieces) {
  TCliente* c = nullptr;
  const int fd = usuario("Ana", &c);
  const std::string m = quadroWeb(1, "/ ol\xC3", true, false) + quadroWeb(0, "\xA1 \xE2\x82", true, false) +
                        quadroWeb(0, "\xAC", true, true);
  for (size_t i = 0; i < m.size(); i += 3) {
    const std::string pedaco = m.substr(i, 3);
    c->cEvento(pedaco.data(), static_cast<int32_t>(pedaco.size()));
  }
  ASSERT_EQ(clientes, c);
  c->cDescarrega();
  EXPECT_EQ(quadrosLidos(le(fd)), "1/Ana. ol\xC3\xA1 \xE2\x82\xAC\r\n|");
  const std::string longa = textoWeb("\xC0\xAF");
  c->cEvento(longa.data(), static_cast<int32_t>(longa.size()));
  EXPECT_EQ(clientes, nullptr);
  EXPECT_EQ(quadrosLidos(le(fd)), "8\x03\xEF|");
}

// Browser text is text: an ESC and a BS are bytes of the line like any
// other, and each CR or LF ends one line, whatever came between.
TEST_F(WebLocal, EscAndBackspaceAreTextAndEveryLineEndCounts) {
  TCliente* c = nullptr;
  const int fd = usuario("Ana", &c);
  const std::string m = textoWeb("/ x\x1b" "yz\bw\r/ q\n/ r");
  c->cEvento(m.data(), static_cast<int32_t>(m.size()));
  ASSERT_EQ(clientes, c);
  c->cDescarrega();
  EXPECT_EQ(quadrosLidos(le(fd)), "1/Ana. x\x1byz\bw\r\n|1/Ana. q\r\n|1/Ana. r\r\n|");
}

TEST_F(WebLocal, LeavingInsideAMessageStopsThere) {
  TCliente* c = nullptr;
  const int fd = usuario("Ana", &c);
  const std::string mensagem = textoWeb("/sair\n/ depois\nmais") + textoWeb("/ nunca");
  c->cEvento(mensagem.data(), static_cast<int32_t>(mensagem.size()));
  EXPECT_EQ(clientes, nullptr);
  bool fechou = false;
  EXPECT_EQ(quadrosLidos(le(fd, &fechou)), "1//Ana saiu\r\n|8\x03\xE8|");
  EXPECT_TRUE(fechou);
}

// wslay's receive contexts are lent only while a frame is half read. Two
// users fed byte by byte, through a 16-bit length, a ping between fragments
// and a continuation, each hold one exactly while a frame of theirs is open
// and none between frames; a second round borrows the same ones again.
TEST_F(WebLocal, ReceiveContextsAreLentOnlyWhileAFrameIsOpen) {
  TCliente* a = nullptr;
  TCliente* b = nullptr;
  const int fdA = usuario("Ana", &a);
  const int fdB = usuario("Bia", &b);
  a->cDescarrega();
  EXPECT_EQ(quadrosLidos(le(fdA)), "1//Bia chegou\r\n|");
  const std::string quadros[] = {quadroWeb(1, "/ " + std::string(200, 'x'), true, false), quadroWeb(9, "p"),
                                 quadroWeb(0, "!", true, true)};
  std::string m;
  std::vector<size_t> fronteiras;
  for (const std::string& q : quadros) fronteiras.push_back((m += q).size());
  const auto emprestados = [] { return contagemTramas().feitos - contagemTramas().livres; };
  EXPECT_EQ(emprestados(), 0);
  int feitos = -1;
  for (int rodada = 0; rodada < 2; ++rodada) {
    for (size_t i = 0; i < m.size(); ++i) {
      a->cEvento(&m[i], 1);
      b->cEvento(&m[i], 1);
      const bool entreQuadros = std::find(fronteiras.begin(), fronteiras.end(), i + 1) != fronteiras.end();
      ASSERT_EQ(emprestados(), entreQuadros ? 0 : 2) << "round " << rodada << ", byte " << i;
    }
    if (rodada == 0) feitos = contagemTramas().feitos;
    EXPECT_EQ(contagemTramas().feitos, feitos);
  }
  ASSERT_EQ(clientes, b);
  a->cDescarrega();
  b->cDescarrega();
  const std::string linhas = "1/Ana. " + std::string(200, 'x') + "!\r\n|1/Bia. " + std::string(200, 'x') + "!\r\n|";
  const std::string esperado = "Ap|" + linhas + "Ap|" + linhas;
  EXPECT_EQ(quadrosLidos(le(fdA)), esperado);
  EXPECT_EQ(quadrosLidos(le(fdB)), esperado);
}

TEST(WebLinha, ReadsAddressPortAndUrl) {
  TConfigWeb cfg;
  ASSERT_TRUE(leLinhaWeb("0.0.0.0 4080", &cfg));
  EXPECT_TRUE(cfg.ligado);
  EXPECT_EQ(cfg.endereco, htonl(INADDR_ANY));
  EXPECT_EQ(cfg.porta, 4080);
  EXPECT_STREQ(cfg.url, "");
  ASSERT_TRUE(leLinhaWeb("  127.0.0.1   65535  https://jogo.example.org/zandor/ ", &cfg));
  EXPECT_EQ(cfg.endereco, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(cfg.porta, 65535);
  EXPECT_STREQ(cfg.url, "https://jogo.example.org/zandor/");
  for (const char* ruim : {"", "127.0.0.1", "127.0.0.1 1023", "127.0.0.1 65536", "127.0.0.1 -4080",
                           "127.0.0.1 4080 jogo.example.org", "::1 4080", "127.0.0.1 4080 http://a/ b",
                           "127.1 4080"}) {
    TConfigWeb antes;
    EXPECT_FALSE(leLinhaWeb(ruim, &antes)) << ruim;
    EXPECT_FALSE(antes.ligado) << ruim;
  }
  EXPECT_FALSE(leLinhaWeb(("127.0.0.1 4080 http://" + std::string(300, 'a')).c_str(), &cfg));

  // The tls tail, after the URL or in its place; the paths are words.
  ASSERT_TRUE(leLinhaWeb("0.0.0.0 4443 TLS /etc/le/fullchain.pem /etc/le/privkey.pem", &cfg));
  EXPECT_TRUE(cfg.tls);
  EXPECT_STREQ(cfg.url, "");
  EXPECT_STREQ(cfg.certificado, "/etc/le/fullchain.pem");
  EXPECT_STREQ(cfg.chave, "/etc/le/privkey.pem");
  ASSERT_TRUE(leLinhaWeb("0.0.0.0 4443 https://jogo.example/ tls c.pem k.pem", &cfg));
  EXPECT_TRUE(cfg.tls);
  EXPECT_STREQ(cfg.url, "https://jogo.example/");
  ASSERT_TRUE(leLinhaWeb("0.0.0.0 4443", &cfg));
  EXPECT_FALSE(cfg.tls);
  for (const char* ruim : {"0.0.0.0 4443 tls c.pem", "0.0.0.0 4443 tls", "0.0.0.0 4443 tls c.pem k.pem x",
                           "0.0.0.0 4443 http://a/ tls c.pem", "0.0.0.0 4443 c.pem k.pem tls"})
    EXPECT_FALSE(leLinhaWeb(ruim, &cfg)) << ruim;
}

// The answer to a browser's close frame, body by body.
TEST(WebFecho, TheAnswerToAClose) {
  struct Caso {
    std::string corpo;
    uint16_t resposta;
  } const casos[] = {
      {"", 1000},
      {"\x03", 1002},
      {"\x03\xE8", 1000},
      {"\x03\xE9" "adeus", 1001},
      {"\x03\xEB", 1003},
      {"\x03\xEC", 1002},  // 1004, reserved
      {"\x03\xEE", 1002},  // 1006, never sent
      {"\x03\xF3", 1011},
      {"\x03\xF4", 1012},
      {"\x03\xF6", 1014},
      {"\x03\xF7", 1002},  // 1015, never sent
      {"\x0B\xB7", 1002},  // 2999
      {"\x0B\xB8", 3000},
      {"\x13\x87", 4999},
      {"\x13\x88", 1002},
      {"\x03\xE8ol\xC3\xA1", 1000},
      {"\x03\xE8ol\xE1", 1007},
      {"\x0F\xA0\xC3", 1007},
  };
  for (const Caso& c : casos)
    EXPECT_EQ(respostaFecho(reinterpret_cast<const unsigned char*>(c.corpo.data()), static_cast<int>(c.corpo.size())),
              c.resposta)
        << ::testing::PrintToString(c.corpo);
}

TEST(WebAceite, RfcExample) {
  char aceite[29];
  aceiteWebSocket("dGhlIHNhbXBsZSBub25jZQ==", aceite);
  EXPECT_STREQ(aceite, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
}  // namespace zandor
