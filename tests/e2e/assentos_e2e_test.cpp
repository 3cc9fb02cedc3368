// Seats and resuming, end to end: an invite exchanged for a seat that lets
// its browser in again (across a restart), /assentos and /revoga, and a web
// user whose link drops: away, kept, resumed with exactly what it missed,
// taken over from a half-dead link, never from another admission, gone for
// good after /sair.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include <string>
#include <vector>

#include "confere.h"

namespace {

using namespace e2e;

const std::string kConfig = "%PORTA%\nweb = 127.0.0.1 %PORTAWEB%\n";
const std::string k101 = "HTTP/1.1 101 Switching Protocols", k204 = "HTTP/1.1 204 No Content";
const std::string k403 = "HTTP/1.1 403 Forbidden", k404 = "HTTP/1.1 404 Not Found";
const std::string k413 = "HTTP/1.1 413 Content Too Large";
const std::string kId = "abcdefghijklmnopqrstuv_-0123";  // a page's resume id
const std::string kOutroId = "ZYXWVUTSRQPONMLKJIHGFEDCBA";

// An exchange from a "remote" browser.
std::string http(Gateway& g, const std::string& pedido) { return trocaHttp(g.portaWeb(), pedido, "127.0.0.2"); }

std::string entrar(const std::string& corpo) {
  return "POST /entrar HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " + std::to_string(corpo.size()) + "\r\n\r\n" + corpo;
}

// The invite a user's "/convite" names.
std::string convida(Gateway& g, Conexao& u) {
  return pedeConvite(u, "/Convite: http://127.0.0.1:" + std::to_string(g.portaWeb()) + "/");
}

// The seat's secret out of a 204's Set-Cookie field.
std::string segredo(const std::string& resposta) {
  const std::string campo = "Set-Cookie: zandor_assento=";
  const size_t em = resposta.find(campo);
  if (em == std::string::npos) return "";
  const size_t fim = resposta.find(';', em);
  return resposta.substr(em + campo.size(), fim - em - campo.size());
}

std::string cookie(const std::string& s) { return "Cookie: zandor_assento=" + s + "\r\n"; }

// A web user through its nickname, bound to `id`.
Conexao web(Gateway& g, const std::string& apelido, const std::string& id, const std::string& extras = "",
            const char* origem = "127.0.0.1") {
  return g.usuarioWeb(apelido, "/ws?retoma=" + id, extras, origem);
}

TEST(Assentos, AnInviteBecomesASeatThatOutlivesARestart) {
  std::string arquivo, chave;
  {
    Gateway g{kConfig};
    Conexao ana = g.usuarioTelnet("Ana");
    const std::string t = convida(g, ana);
    ASSERT_EQ(t.size(), 22u);
    // Refusals spend nothing: another target, a body too long, a foreign origin.
    EXPECT_EQ(primeiraLinha(http(g, "POST /outro HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")), k404);
    EXPECT_EQ(primeiraLinha(http(g, "POST /entrar HTTP/1.1\r\nHost: x\r\nContent-Length: 1025\r\n\r\n")), k413);
    EXPECT_EQ(primeiraLinha(http(g, entrar("convite=AAAAAAAAAAAAAAAAAAAAAA"))), k403);
    // A probe of /ws without a credential gets the admission's answer.
    EXPECT_EQ(primeiraLinha(http(g, "GET /ws?retoma=" + kId + " HTTP/1.1\r\nHost: x\r\n\r\n")), k403);

    const std::string r = http(g, entrar("convite=" + t));
    EXPECT_EQ(primeiraLinha(r), k204);
    chave = segredo(r);
    EXPECT_GE(chave.size(), 22u);
    EXPECT_NE(r.find("; Path=/; Max-Age=2592000; HttpOnly; SameSite=Strict\r\n"), std::string::npos) << r;
    EXPECT_EQ(primeiraLinha(http(g, entrar("convite=" + t))), k403) << "used up";

    // The seat lets its browser in from any address, again and again; a
    // probe with it hears 400 (it would be let in), and spends nothing.
    EXPECT_EQ(primeiraLinha(http(g, "GET /ws HTTP/1.1\r\nHost: x\r\n" + cookie(chave) + "\r\n")),
              "HTTP/1.1 400 Bad Request");
    for (int i = 0; i < 2; ++i) {
      std::string status;
      Conexao c = sobeWeb(g.portaWeb(), "/ws", cookie("x") + "Cookie2: y\r\n", "127.0.0.2", &status);
      EXPECT_EQ(status, k403);
      Conexao d = sobeWeb(g.portaWeb(), "/ws", "Cookie: a=b; zandor_assento=" + chave + "\r\n", "127.0.0.2", &status);
      EXPECT_EQ(status, k101);
    }
    arquivo = g.leArquivo("assentos");
    struct stat st {};
    ASSERT_EQ(stat((g.pasta() + "/assentos").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char* nome : {"assentos", "zandor.log", "saida.txt", "erros.txt"})
      EXPECT_EQ(g.leArquivo(nome).find(chave), std::string::npos) << nome;
  }
  EXPECT_EQ(std::count(arquivo.begin(), arquivo.end(), '\n'), 1) << arquivo;
  Gateway g2{kConfig, true, "zandor", binario(), {{"assentos", arquivo}}};
  std::string status;
  Conexao c = sobeWeb(g2.portaWeb(), "/ws", cookie(chave), "127.0.0.2", &status);
  EXPECT_EQ(status, k101);
}

// An away user keeps its place under the cap, and taking it back needs none.
TEST(RetomaCheia, AnAwayUserKeepsItsPlaceAndComesBackToAFullHouse) {
  Gateway g{"%PORTA%\nusuarios = 2\nweb = 127.0.0.1 %PORTAWEB%\n"};
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao caio = web(g, "Caio", kId);
  caio.fecha();
  ASSERT_TRUE(perguntaAte(ana, "/quem\r\n", "/Usu\xE1rios\r\nCaio (ausente)\r\nAna\r\n"));
  std::string status;
  sobeWeb(g.portaWeb(), "/ws?retoma=" + kOutroId, "", "127.0.0.1", &status);
  EXPECT_EQ(status, "HTTP/1.1 503 Service Unavailable");
  Conexao volta = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, "", "127.0.0.1", &status);
  EXPECT_EQ(status, k101);
}

class Retoma : public ::testing::Test {
 protected:
  void SetUp() override {
    ana = g.usuarioTelnet("Ana");
    ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + "\r\n");
    m = falso.aceita();
    ASSERT_TRUE(m.aberta());
    ASSERT_TRUE(ana.leAte("/Conectado"));
    ana.lePor(50ms);
    ana.descarta();
  }
  // A seat for a browser at 127.0.0.2.
  std::string assento() {
    const std::string t = convida(g, ana);
    return segredo(http(g, entrar("convite=" + t)));
  }
  Gateway g{kConfig};
  MudFalso falso;
  Conexao ana, m;
};

TEST_F(Retoma, ADroppedUserResumesWithExactlyWhatItMissed) {
  Conexao caio = web(g, "Caio", kId);
  ASSERT_TRUE(recebe(ana, "//Caio chegou\r\n"));
  m.envia("antes\r\n");
  ASSERT_TRUE(recebeWeb(caio, "antes\r\n"));
  ASSERT_TRUE(ana.leAte("antes\r\n"));
  ana.descarta();
  caio.fecha();
  EXPECT_TRUE(perguntaAte(ana, "/quem\r\n", "/Usu\xE1rios\r\nCaio (ausente)\r\nAna\r\n"));
  // Kept: its nickname (nobody takes it), MUD lines, chat, prompts.
  Conexao bia = g.usuarioTelnet("Bia");
  ana.descarta();
  bia.envia("/nome caio\r\n");
  EXPECT_TRUE(recebe(bia, "/Apelido inv\xE1lido\r\n"));
  m.envia("um\r\ndois\r\n");
  ana.envia("/oi\r\n");
  ana.lePor(100ms);
  ana.descarta();

  std::string status;
  Conexao volta = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, "", "127.0.0.1", &status);
  EXPECT_EQ(status, k101);
  volta.lePor(200ms);
  std::string texto;
  leTextoWeb(volta, "/Ana. oi\r\n", &texto, nullptr, 200ms);
  EXPECT_EQ(texto, "//Bia chegou\r\num\r\ndois\r\n/Ana. oi\r\n") << "nothing twice, no nickname asked";
  m.envia("tres\r\n");
  EXPECT_TRUE(recebeWeb(volta, "tres\r\n"));
  ana.lePor(100ms);
  EXPECT_EQ(ana.toma(), "tres\r\n") << "nobody sees it come back";
  volta.envia(textoWeb("/quem"));
  EXPECT_TRUE(recebeWeb(volta, "/Usu\xC3\xA1rios\r\nBia\r\nCaio\r\nAna\r\n"));

  // /sair ends it for good: the id gives a new user.
  volta.envia(textoWeb("/sair"));
  EXPECT_TRUE(recebe(ana, "//Caio saiu\r\n"));
  Conexao nova = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, "", "127.0.0.1", &status);
  EXPECT_TRUE(recebeWeb(nova, "Digite seu apelido\r\n"));
}

TEST_F(Retoma, AHalfDeadLinkIsTakenOver) {
  Conexao velha = web(g, "Caio", kId);
  ASSERT_TRUE(ana.leAte("//Caio chegou\r\n"));
  ana.descarta();
  std::string status;
  Conexao nova = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, "", "127.0.0.1", &status);
  EXPECT_EQ(status, k101);
  EXPECT_EQ(codigoFecho(velha), 4001);
  m.envia("vivo\r\n");
  EXPECT_TRUE(recebeWeb(nova, "vivo\r\n"));
  ana.lePor(100ms);
  EXPECT_EQ(ana.toma(), "vivo\r\n");
}

TEST_F(Retoma, AnIdNeverCrossesAdmissions) {
  const std::string chave = assento();
  Conexao caio = web(g, "Caio", kId, cookie(chave), "127.0.0.2");
  ASSERT_TRUE(recebe(ana, "//Caio chegou\r\n"));
  caio.fecha();
  // Loopback, an invite, or no id at all: a new user each time.
  std::string status;
  Conexao local = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, "", "127.0.0.1", &status);
  EXPECT_TRUE(recebeWeb(local, "Digite seu apelido\r\n"));
  Conexao semId = sobeWeb(g.portaWeb(), "/ws?retoma=curto", cookie(chave), "127.0.0.2", &status);
  EXPECT_TRUE(recebeWeb(semId, "Digite seu apelido\r\n"));
  // The seat and the id: Caio again.
  Conexao volta = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, cookie(chave), "127.0.0.2", &status);
  EXPECT_EQ(status, k101);
  volta.envia(textoWeb("/quem"));
  std::string texto;
  leTextoWeb(volta, "Ana\r\n", &texto);
  EXPECT_EQ(texto.find("Digite"), std::string::npos);
  EXPECT_NE(texto.find("\r\nCaio\r\n"), std::string::npos) << texto;
}

TEST_F(Retoma, AnAbsenceThatOverflowsKeepsTheNewestAndCountsTheRest) {
  Conexao caio = web(g, "Caio", kId);
  caio.fecha();
  ASSERT_TRUE(perguntaAte(ana, "/quem\r\n", "/Usu\xE1rios\r\nCaio (ausente)\r\nAna\r\n"));
  // 1000 lines of 100 bytes: about 100 KiB for a store of 64 KiB.
  std::string lote;
  for (int i = 0; i < 1000; ++i) {
    std::string n = std::to_string(i);
    lote += "linha " + std::string(4 - n.size(), '0') + n + std::string(88, '.') + "\r\n";
  }
  m.envia(lote);
  ASSERT_TRUE(ana.leAte("linha 0999", 5000ms));
  std::string status;
  Conexao volta = sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, "", "127.0.0.1", &status);
  std::string texto;
  ASSERT_TRUE(leTextoWeb(volta, "linha 0999", &texto, nullptr, 5000ms));
  ASSERT_EQ(texto.rfind("/", 0), 0u) << texto.substr(0, 80);
  const int perdidas = std::stoi(texto.substr(1));
  EXPECT_NE(texto.find(" linhas perdidas enquanto ausente\r\n"), std::string::npos);
  const int mantidas = static_cast<int>(std::count(texto.begin(), texto.end(), '\n')) - 1;
  EXPECT_EQ(perdidas + mantidas, 1000);
  EXPECT_GT(perdidas, 300);
  EXPECT_GT(mantidas, 600);
}

TEST_F(Retoma, ARevokedSeatClosesWith1008AndItsCookieIsRefused) {
  ana.envia("/assentos\r\n");
  EXPECT_TRUE(recebe(ana, "/Nenhum assento\r\n"));
  const std::string chave = assento();
  Conexao bia = web(g, "Bia", kId, cookie(chave), "127.0.0.2");
  ASSERT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  ana.envia("/assentos\r\n");
  EXPECT_TRUE(recebe(ana, "/Assentos: 1\r\nBia - em uso\r\n"));
  ana.envia("/revoga ninguem\r\n");
  EXPECT_TRUE(recebe(ana, "/Nenhum assento de ninguem\r\n"));
  ana.envia("/revoga BIA\r\n");
  EXPECT_TRUE(ana.leAte("/Assento de BIA revogado\r\n"));
  std::string texto;
  EXPECT_TRUE(leTextoWeb(bia, "/Seu acesso foi revogado\r\n", &texto));
  EXPECT_EQ(codigoFecho(bia), 1008);
  std::string status;
  sobeWeb(g.portaWeb(), "/ws?retoma=" + kId, cookie(chave), "127.0.0.2", &status);
  EXPECT_EQ(status, k403);
}

}  // namespace
