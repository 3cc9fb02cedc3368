// The web listener end to end: the page and its answers over HTTP, the
// upgrade and who is admitted, a web user beside a telnet user (chat both
// ways, MUD lines in either charset, colours, lines to the MUD), the
// commands that differ for a browser, the ways a web user leaves, and every
// protocol fault closing that user alone with its code.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "confere.h"

namespace {

using namespace e2e;

const std::string kConfigWeb = "%PORTA%\nweb = 127.0.0.1 %PORTAWEB%\n";

class Web : public ::testing::Test {
 protected:
  std::string http(const std::string& pedido, const char* origem = "127.0.0.1") {
    return trocaHttp(g.portaWeb(), pedido, origem);
  }
  Gateway g{kConfigWeb};
};

TEST_F(Web, PageAssetsAndRefusals) {
  const std::string pagina = http("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(primeiraLinha(pagina), "HTTP/1.1 200 OK");
  EXPECT_NE(pagina.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(pagina.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_NE(pagina.find("<title>Zandor</title>"), std::string::npos);
  const std::string corpo = pagina.substr(pagina.find("\r\n\r\n") + 4);
  EXPECT_NE(pagina.find("\r\nContent-Length: " + std::to_string(corpo.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(http("GET /index.html HTTP/1.0\r\n\r\n"), pagina);

  // HEAD: the same head, no body.
  EXPECT_EQ(http("HEAD / HTTP/1.1\r\nHost: x\r\n\r\n"), pagina.substr(0, pagina.find("\r\n\r\n") + 4));

  EXPECT_EQ(primeiraLinha(http("GET /nada HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(primeiraLinha(http("GET /../zandor.cfg HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(primeiraLinha(http("GET /zandor.log HTTP/1.1\r\nHost: x\r\n\r\n")), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(primeiraLinha(http("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")),
            "HTTP/1.1 404 Not Found");  // a form goes to /entrar alone
  const std::string put = http("PUT / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(primeiraLinha(put), "HTTP/1.1 405 Method Not Allowed");
  EXPECT_NE(put.find("\r\nAllow: GET, HEAD, POST\r\n"), std::string::npos);
  EXPECT_EQ(primeiraLinha(http("GET\r\n\r\n")), "HTTP/1.1 400 Bad Request");

  // A head past 8 KiB: 431, then the connection closes though more comes.
  Conexao grande = Conexao::conecta(g.portaWeb());
  grande.envia("GET / HTTP/1.1\r\nX-Enche: " + std::string(9000, 'a'));
  EXPECT_TRUE(grande.esperaFechar());
  EXPECT_EQ(primeiraLinha(grande.toma()), "HTTP/1.1 431 Request Header Fields Too Large");

  // A telnet user never noticed any of it.
  Conexao ana = g.usuarioTelnet("Ana");
  ana.envia("/quem\r\n");
  EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\nAna\r\n"));
}

TEST_F(Web, UpgradeAndItsRefusals) {
  // RFC 6455's own example key and answer.
  Conexao c = Conexao::conecta(g.portaWeb());
  c.envia(pedidoWeb());
  ASSERT_TRUE(c.leAte("\r\n\r\n"));
  EXPECT_EQ(c.toma("\r\n\r\n"),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
  QuadroWeb q;
  ASSERT_TRUE(leQuadroWeb(c, &q));
  EXPECT_EQ(q.opcode, 1);
  EXPECT_TRUE(q.fim);
  EXPECT_EQ(q.dados, "Digite seu apelido\r\n");

  const std::string base = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::string chave = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  for (const std::string& ruim : {
           base + "Connection: Upgrade\r\n" + chave + "Sec-WebSocket-Version: 13\r\n\r\n",           // no Upgrade
           base + "Upgrade: websocket\r\n" + chave + "Sec-WebSocket-Version: 13\r\n\r\n",           // no Connection
           base + "Upgrade: websocket\r\nConnection: Upgrade\r\n" + chave + "\r\n",                  // no version
           base + "Upgrade: websocket\r\nConnection: Upgrade\r\n" + chave + "Sec-WebSocket-Version: 8\r\n\r\n",
           base + "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: curta\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n",
           std::string("HEAD /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n") + chave +
               "Sec-WebSocket-Version: 13\r\n\r\n",
       }) {
    SCOPED_TRACE(ruim);
    EXPECT_EQ(primeiraLinha(http(ruim)), "HTTP/1.1 400 Bad Request");
  }
  // Tokens in lists and letter case, as browsers and proxies write them.
  Conexao d = Conexao::conecta(g.portaWeb());
  d.envia(base + "upgrade: WebSocket\r\nconnection: keep-alive, Upgrade\r\n" + chave +
          "sec-websocket-version: 13\r\n\r\n");
  EXPECT_TRUE(d.leAte("HTTP/1.1 101 Switching Protocols\r\n"));
}

TEST_F(Web, AdmissionOnlyFromLoopbackWithoutForwarding) {
  EXPECT_EQ(primeiraLinha(http(pedidoWeb(), "127.0.0.2")), "HTTP/1.1 403 Forbidden");
  for (const char* campo : {"Forwarded: for=192.0.2.1\r\n", "X-Forwarded-For: 192.0.2.1\r\n",
                            "X-Real-IP: 192.0.2.1\r\n", "x-forwarded-for: 127.0.0.1\r\n"}) {
    SCOPED_TRACE(campo);
    EXPECT_EQ(primeiraLinha(http(pedidoWeb("/ws", campo))), "HTTP/1.1 403 Forbidden");
  }
  // The page itself is for anyone: only the upgrade is guarded.
  EXPECT_EQ(primeiraLinha(http("GET / HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.2")), "HTTP/1.1 200 OK");
  // A refused upgrade made no user.
  Conexao ana = g.usuarioTelnet("Ana");
  ana.envia("/quem\r\n");
  EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\nAna\r\n"));
}

TEST_F(Web, AWebUserPlaysBesideATelnetUser) {
  MudFalso falso;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao web = g.usuarioWeb("Jo\xC3\xA3o");
  EXPECT_TRUE(recebe(ana, "//Jo\xE3o chegou\r\n"));
  Conexao lado = liga(ana, falso, {&ana});
  EXPECT_TRUE(recebeWeb(web, avisoLigado(falso)));

  // Chat, accents both ways.
  web.envia(textoWeb("/ ol\xC3\xA1, Ana"));
  EXPECT_TRUE(recebe(ana, "/Jo\xE3o. ol\xE1, Ana\r\n"));
  EXPECT_TRUE(recebeWeb(web, "/Jo\xC3\xA3o. ol\xC3\xA1, Ana\r\n"));
  ana.envia("/ at\xE9 j\xE1\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. at\xE9 j\xE1\r\n"));
  EXPECT_TRUE(recebeWeb(web, "/Ana. at\xC3\xA9 j\xC3\xA1\r\n"));

  // MUD lines: Windows-1252 converted, UTF-8 kept, colours kept from the start.
  lado.envia("Sala \xE0 esquerda\r\nSala \xC3\xA0 direita\r\n\x1B[1;31mVermelho\x1B[0m\r\n");
  EXPECT_TRUE(recebeWeb(web, "Sala \xC3\xA0 esquerda\r\nSala \xC3\xA0 direita\r\n\x1B[1;31mVermelho\x1B[0m\r\n"));
  EXPECT_TRUE(recebe(ana, "Sala \xE0 esquerda\r\nSala \xC3\xA0 direita\r\nVermelho\r\n"));

  // Lines for the MUD as typed, with or without a line end; an empty line
  // goes as one, and nothing is held.
  web.envia(textoWeb("olhar ma\xC3\xA7\xC3\xA3"));
  web.envia(textoWeb("norte\r\n"));
  web.envia(textoWeb(""));
  web.envia(textoWeb("sul\n"));
  EXPECT_TRUE(recebe(lado, "olhar ma\xC3\xA7\xC3\xA3\r\nnorte\r\n\r\nsul\r\n"));
  lado.envia("Ainda aqui\r\n");
  EXPECT_TRUE(recebeWeb(web, "Ainda aqui\r\n"));
  EXPECT_TRUE(recebe(ana, "Ainda aqui\r\n"));

  // /c2 filters, /c3 changes nothing.
  web.envia(textoWeb("/c2"));
  EXPECT_TRUE(recebeWeb(web, "/c2 Filtrando cores\r\n"));
  lado.envia("\x1B[32mVerde\x1B[0m\r\n");
  EXPECT_TRUE(recebeWeb(web, "Verde\r\n"));
  EXPECT_TRUE(recebe(ana, "Verde\r\n"));
  web.envia(textoWeb("/c3"));
  EXPECT_TRUE(recebeWeb(web, "/c3 Usando UTF-8\r\n"));
  web.envia(textoWeb("/c3"));
  EXPECT_TRUE(recebeWeb(web, "/c3 Usando UTF-8\r\n"));
  web.envia(textoWeb("/c2"));
  EXPECT_TRUE(recebeWeb(web, "/c2 N\xC3\xA3o filtrando cores\r\n"));

  // An escape-only prompt reaches the web user as the telnet bytes would.
  lado.envia("\x1B[1m ");
  EXPECT_TRUE(recebeWeb(web, "\x1B[1m "));

  // Who is here, and leaving: texts first, then a normal close.
  web.envia(textoWeb("/quem"));
  EXPECT_TRUE(recebeWeb(web, "/Usu\xC3\xA1rios\r\nJo\xC3\xA3o\r\nAna\r\n"));
  web.envia(textoWeb("/sair"));
  std::string texto;
  EXPECT_TRUE(leTextoWeb(web, "//Jo\xC3\xA3o saiu\r\n", &texto));
  EXPECT_EQ(codigoFecho(web), 1000);
  EXPECT_TRUE(recebe(ana, "//Jo\xE3o saiu\r\n"));
}

// Someone who joins from a browser sees the MUD's last 50 lines right after
// the welcome, as they would have read them live (colours kept, UTF-8); a
// telnet user who joins gets nothing unasked.
TEST_F(Web, AWebUserJoiningSeesTheLastFiftyLines) {
  MudFalso falso;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao lado = liga(ana, falso, {&ana});
  std::string linhas, vistas, ultimas;
  for (int i = 1; i <= 60; ++i) {
    const std::string l = "\x1B[32mlinha " + std::to_string(i) + " \xE0\x1B[0m";
    linhas += l + "\r\n";
    vistas += "linha " + std::to_string(i) + " \xE0\r\n";
    if (i > 10) ultimas += "\x1B[32mlinha " + std::to_string(i) + " \xC3\xA0\x1B[0m\r\n";
  }
  lado.envia(linhas);
  ASSERT_TRUE(recebe(ana, vistas));

  Conexao bia = g.usuarioTelnet("Bia");
  bia.lePor(300ms);
  EXPECT_EQ(bia.toma(), "");

  Conexao web = Conexao::conecta(g.portaWeb());
  web.envia(pedidoWeb());
  ASSERT_TRUE(web.leAte("\r\n\r\n"));
  web.toma("\r\n\r\n");
  std::string texto;
  ASSERT_TRUE(leTextoWeb(web, "Digite seu apelido\r\n", &texto));
  web.envia(textoWeb("Caio"));
  texto.clear();
  const std::string fim = "/Fim do hist\xC3\xB3rico\r\n";
  ASSERT_TRUE(leTextoWeb(web, fim, &texto));
  EXPECT_EQ(texto, "//Caio chegou\r\nTecle /ajuda para saber os comandos\r\n/Hist\xC3\xB3rico: 50 linhas\r\n" + ultimas + fim);
}

TEST_F(Web, PingIsAnsweredAndTheEndSendsAClose) {
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao web = g.usuarioWeb("Bia");
  EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  web.envia(quadroWeb(9, "eco"));
  QuadroWeb q;
  ASSERT_TRUE(leQuadroWeb(web, &q));
  EXPECT_EQ(q.opcode, 10);
  EXPECT_EQ(q.dados, "eco");
  // A ping inside a fragmented message, which then ends as one line.
  web.envia(quadroWeb(1, "/ um ", true, false));
  web.envia(quadroWeb(9, ""));
  web.envia(quadroWeb(0, "dois", true, true));
  ASSERT_TRUE(leQuadroWeb(web, &q));
  EXPECT_EQ(q.opcode, 10);
  EXPECT_TRUE(recebe(ana, "/Bia. um dois\r\n"));

  ana.envia("/terminar\r\n");
  std::string texto;
  EXPECT_TRUE(leTextoWeb(web, "/Encerrando Zandor\r\n", &texto));
  EXPECT_EQ(codigoFecho(web), 1001);
  EXPECT_EQ(g.esperaSair(), 0);
}

TEST_F(Web, ASignalEndsAWebUserWithItsTextsAndAClose) {
  Conexao web = g.usuarioWeb("Bia");
  kill(g.pid(), SIGTERM);
  std::string texto;
  EXPECT_TRUE(leTextoWeb(web, "/Encerrando Zandor\r\n", &texto));
  EXPECT_EQ(texto, "/Encerrando Zandor\r\n");
  EXPECT_EQ(codigoFecho(web), 1001);
  EXPECT_EQ(g.esperaSair(), 0);
}

TEST_F(Web, EachFaultClosesThatUserAlone) {
  Conexao ana = g.usuarioTelnet("Ana");
  struct Caso {
    const char* nome;
    std::string bytes;
    int codigo;
  };
  const Caso casos[] = {
      {"binary", quadroWeb(2, "abc"), 1003},
      {"unmasked", quadroWeb(1, "abc", false), 1002},
      {"invalid UTF-8", textoWeb("ol\xE1"), 1007},
      {"UTF-8 cut at the end", textoWeb("ol\xC3"), 1007},
      {"over 16 KiB", textoWeb(std::string(16 * 1024 + 1, 'a')), 1009},
      {"continuation first", quadroWeb(0, "abc"), 1002},
      {"text inside a text", quadroWeb(1, "a", true, false) + quadroWeb(1, "b"), 1002},
      {"reserved opcode", quadroWeb(3, "abc"), 1002},
      {"reserved bit", std::string(1, '\xC1') + quadroWeb(1, "abc").substr(1), 1002},
      {"fragmented ping", quadroWeb(9, "a", true, false), 1002},
      {"close", quadroWeb(8, std::string("\x03\xE8", 2)), 1000},
      {"close with a code no one sends", quadroWeb(8, std::string("\x03\xED", 2)), 1002},
      {"close 1012, restarting", quadroWeb(8, std::string("\x03\xF4", 2)), 1012},
      {"close 1014 with a reason", quadroWeb(8, std::string("\x03\xF6", 2) + "bad gateway \xC3\xA9"), 1014},
      {"close with a reason not UTF-8", quadroWeb(8, std::string("\x03\xE8", 2) + "adeus \xE9"), 1007},
  };
  for (const Caso& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Conexao web = g.usuarioWeb("Bia");
    EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n"));
    web.envia(caso.bytes);
    EXPECT_EQ(codigoFecho(web), caso.codigo);
    ana.envia("/quem\r\n");
    EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\nAna\r\n"));
  }
  // 16 KiB is no fault: a line past 8000 bytes is refused to its author
  // alone, and one of 8000 bytes goes whole.
  Conexao web = g.usuarioWeb("Bia");
  EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  web.envia(textoWeb("/ " + std::string(16 * 1024 - 2, 'b')));
  EXPECT_TRUE(recebeWeb(web, "/Linha longa demais: m\xC3\xA1ximo de 8000 bytes\r\n"));
  web.envia(textoWeb("/ " + std::string(8000 - 2, 'c')));
  EXPECT_TRUE(recebe(ana, "/Bia. " + std::string(8000 - 2, 'c') + "\r\n"));
}

// The token of a "/Convite: LINK" line, whose link must start with `base`.
std::string token(const std::string& linha, const std::string& base) {
  const std::string t = tokenConvite(linha, "/Convite: " + base);
  EXPECT_EQ(t.size(), 22u) << linha;
  return t;
}

TEST_F(Web, AnInviteLetsOneBrowserInOnce) {
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao bia = g.usuarioTelnet("Bia");
  EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  const std::string base = "http://127.0.0.1:" + std::to_string(g.portaWeb()) + "/";
  ana.envia("/convite\r\n");
  ASSERT_TRUE(ana.leAte("\r\n"));
  const std::string t1 = token(ana.toma(), base);
  ana.envia("/CONVITE\r\n");
  ASSERT_TRUE(ana.leAte("\r\n"));
  const std::string t2 = token(ana.toma(), base);
  EXPECT_NE(t1, t2);
  bia.lePor(100ms);
  EXPECT_EQ(bia.toma(), "") << "only the inviter sees the link";

  // From a remote address, and through a proxy on this host: the invite admits.
  std::string status, texto;
  Conexao remoto = sobeWeb(g.portaWeb(), "/ws?convite=" + t1, "", "127.0.0.2", &status);
  EXPECT_EQ(status, "HTTP/1.1 101 Switching Protocols");
  EXPECT_TRUE(leTextoWeb(remoto, "Digite seu apelido\r\n", &texto));
  // Used up.
  EXPECT_EQ(primeiraLinha(http(pedidoWeb("/ws?convite=" + t1), "127.0.0.2")), "HTTP/1.1 403 Forbidden");
  const std::string proxyLocal = "X-Forwarded-For: 192.0.2.7\r\n";
  Conexao proxy = sobeWeb(g.portaWeb(), "/ws?x=1&convite=" + t2, proxyLocal, "127.0.0.1", &status);
  EXPECT_EQ(status, "HTTP/1.1 101 Switching Protocols");
  EXPECT_EQ(primeiraLinha(http(pedidoWeb("/ws?convite=" + t2.substr(0, 21) + "A", ""), "127.0.0.2")),
            "HTTP/1.1 403 Forbidden");

  // A web user invites too; the link names the address its connection reached.
  Conexao web = g.usuarioWeb("Caio");
  web.envia(textoWeb("/convite"));
  std::string linha;
  ASSERT_TRUE(leTextoWeb(web, "\r\n", &linha));
  token(linha, base);
}

TEST(WebConvite, TheLinkStartsWithTheConfiguredUrlAndNeedsTheListener) {
  Gateway g("%PORTA%\nweb = 127.0.0.1 %PORTAWEB% https://jogo.example.org/zandor/\n");
  Conexao ana = g.usuarioTelnet("Ana");
  ana.envia("/convite\r\n");
  ASSERT_TRUE(ana.leAte("\r\n"));
  token(ana.toma(), "https://jogo.example.org/zandor/");
  // The web line names no MUD.
  ana.envia("/mud web\r\n");
  EXPECT_TRUE(recebe(ana, "/MUD n\xE3o encontrado\r\n"));

  Gateway sem;
  Conexao bia = sem.usuarioTelnet("Bia");
  bia.envia("/convite\r\n");
  EXPECT_TRUE(recebe(bia, "/Acesso pelo navegador desligado\r\n"));
  // Before a nickname it is no command: a nickname attempt.
  Conexao caio = Conexao::conecta(sem.porta());
  caio.leAte("ENTER\r\n");
  caio.envia("\r\n");
  caio.leAte("/quit\r\n");
  caio.descarta();
  caio.envia("/convite\r\n");
  EXPECT_TRUE(recebe(caio, "Digite seu apelido\r\nApelido inv\xE1lido, digite outro\r\n"));
}

TEST(WebInicio, BadLineAndBusyPortEndTheStart) {
  for (const char* linha : {"web = 127.0.0.1", "web = 127.0.0.1 80", "web = 127.0.0.1 4080 ftp://x/",
                            "web = localhost 4080", "web = 127.0.0.1 4080 http://x/ mais", "web = 127.0.0.1 40x0"}) {
    SCOPED_TRACE(linha);
    Gateway g("%PORTA%\n" + std::string(linha) + "\n", false);
    EXPECT_EQ(g.esperaSair(), 1);
    const std::string esperado =
        "Linha web deve ser: web = endere\xE7o porta [URL]: " + std::string(linha).substr(6) + "\n";
    EXPECT_EQ(g.leArquivo("zandor.log"), esperado);
    EXPECT_EQ(g.erros(), esperado);
  }
  int porta = 0;
  const int ocupado = escutaLocal(1, &porta);
  Gateway g("%PORTA%\nweb = 127.0.0.1 " + std::to_string(porta) + "\n", false);
  EXPECT_EQ(g.esperaSair(), 1);
  EXPECT_EQ(g.saida(), "bind(): Address already in use\n");
  EXPECT_EQ(g.erros(), "bind(): Address already in use\n");
  close(ocupado);
}

}  // namespace
