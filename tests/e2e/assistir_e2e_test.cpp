// Watchers end to end: "/convite ver" and the browser it lets in, which
// reads the MUD and chats beside the players, is marked in "/quem", and
// never reaches the MUD; a loopback browser holding such an invite plays,
// and a watcher takes a place under the cap like anyone.
#include <gtest/gtest.h>

#include <string>

#include "confere.h"

namespace {

using namespace e2e;

// As a browser reads them: UTF-8.
const std::string kRecusa = "/S\xC3\xB3 para assistir: pe\xC3\xA7" "a a quem est\xC3\xA1 jogando\r\n";
const std::string kEntrou = "/Voc\xC3\xAA entrou para assistir: o que digitar vai para a conversa\r\n";
const std::string kApelido = "Digite seu apelido\r\n";

class Assistir : public ::testing::Test {
 protected:
  explicit Assistir(const std::string& config = "%PORTA%\nweb = 127.0.0.1 %PORTAWEB%\n") : g(config) {}

  // The token of the link `quem` gets for `comando`; the answer must be
  // exactly the watcher's invite.
  std::string conviteVer(Conexao& quem, const std::string& comando = "/convite ver") {
    const std::string t =
        pedeConvite(quem, "/Convite para assistir: http://127.0.0.1:" + std::to_string(g.portaWeb()) + "/", comando);
    EXPECT_EQ(t.size(), 22u);
    return t;
  }

  // A browser from `origem` upgraded with `token`: the status line, and the
  // texts up to the question for a nickname in *texto.
  Conexao entra(const std::string& token, const char* origem, std::string* status, std::string* texto) {
    Conexao c = sobeWeb(g.portaWeb(), "/ws?convite=" + token, "", origem, status);
    if (*status == "HTTP/1.1 101 Switching Protocols") leTextoWeb(c, kApelido, texto);
    return c;
  }

  // A watcher named `apelido`, by `token`, from 127.0.0.2: what it read
  // after its nickname, up to `fim`, in *visto.
  Conexao assistente(const std::string& token, const std::string& apelido, const std::string& fim,
                     std::string* visto) {
    std::string status, texto;
    Conexao c = entra(token, "127.0.0.2", &status, &texto);
    EXPECT_EQ(status, "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(texto, kEntrou + kApelido);
    c.envia(textoWeb(apelido));
    EXPECT_TRUE(leTextoWeb(c, fim, visto)) << *visto;
    return c;
  }

  Gateway g;
};

TEST_F(Assistir, AWatcherReadsChatsAndIsMarked) {
  MudFalso falso;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao lado = liga(ana, falso, {&ana});
  lado.envia("Sala escura\r\n");
  ASSERT_TRUE(recebe(ana, "Sala escura\r\n"));

  // The words are folded; one word more is chat, as it always was.
  const std::string token = conviteVer(ana, "/CONVITE  VER");
  ASSERT_EQ(token.size(), 22u);
  ana.envia("/convite verde\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. convite verde\r\n"));

  // The watcher sees the screen as it stands, then the MUD as it goes.
  std::string visto;
  Conexao olho = assistente(token, "Olho", "/Fim do hist\xC3\xB3rico\r\n", &visto);
  EXPECT_EQ(visto, "//Olho chegou\r\nTecle /ajuda para saber os comandos\r\n/Hist\xC3\xB3rico: 1 linhas\r\n"
                   "Sala escura\r\n/Fim do hist\xC3\xB3rico\r\n");
  EXPECT_TRUE(recebe(ana, "//Olho chegou\r\n"));
  lado.envia("Um orc ataca\r\n");
  EXPECT_TRUE(recebeWeb(olho, "Um orc ataca\r\n"));
  EXPECT_TRUE(recebe(ana, "Um orc ataca\r\n"));
  olho.envia(textoWeb("/historia 1"));
  EXPECT_TRUE(recebeWeb(olho, "/Hist\xC3\xB3rico: 1 linhas\r\nUm orc ataca\r\n/Fim do hist\xC3\xB3rico\r\n"));

  olho.envia(textoWeb("/ que luta"));
  EXPECT_TRUE(recebeWeb(olho, "/Olho. que luta\r\n"));
  EXPECT_TRUE(recebe(ana, "/Olho. que luta\r\n"));
  ana.envia("/quem\r\n");
  EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\nOlho (assistindo)\r\nAna\r\n"));
  olho.envia(textoWeb("/quem"));
  EXPECT_TRUE(recebeWeb(olho, "/Usu\xC3\xA1rios\r\nOlho (assistindo)\r\nAna\r\n"));

  lado.lePor(200ms);
  EXPECT_EQ(lado.toma(), "");
}

// Every line a watcher may not give is answered with the refusal alone; the
// rest do what they do for anyone. The player's next line is the first
// thing the MUD gets, and the player saw only the chat and the new name.
TEST_F(Assistir, NothingAWatcherTypesReachesTheMud) {
  MudFalso falso;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao lado = liga(ana, falso, {&ana});
  const std::string token = conviteVer(ana);
  std::string visto;
  Conexao olho = assistente(token, "Olho", "Tecle /ajuda para saber os comandos\r\n", &visto);
  ASSERT_TRUE(recebe(ana, "//Olho chegou\r\n"));

  struct Caso {
    const char* linha;
    std::string resposta;
  };
  const Caso casos[] = {
      {"norte", kRecusa},
      {"", kRecusa},
      {"/", kRecusa},
      {"//x", kRecusa},
      {"/mud", kRecusa},
      {"/mud 127.0.0.1 1", kRecusa},
      {"/c", kRecusa},
      {"/c1", kRecusa},
      {"/terminar", kRecusa},
      {"/con 127.0.0.2", kRecusa},
      {"/convite", kRecusa},
      {"/Convite Ver", kRecusa},
      {"/convite verde", "/Olho. convite verde\r\n"},
      {"/c2", "/c2 Filtrando cores\r\n"},
      {"/c3", "/c3 Usando UTF-8\r\n"},
      {"/nome Vigia", "//Usu\xC3\xA1rio Olho \xC3\xA9 conhecido como Vigia\r\n"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.linha);
    olho.envia(textoWeb(c.linha));
    EXPECT_TRUE(recebeWeb(olho, c.resposta));
  }
  olho.envia(textoWeb("/ajuda"));
  std::string ajuda;
  EXPECT_TRUE(leTextoWeb(olho, "Fim da ajuda\r\n", &ajuda));
  EXPECT_EQ(ajuda.rfind("Ajuda:\r\n", 0), 0u) << ajuda;

  ana.envia("marco\r\n");
  EXPECT_TRUE(recebe(lado, "marco\r\n"));
  EXPECT_TRUE(recebe(ana, "/Olho. convite verde\r\n//Usu\xE1rio Olho \xE9 conhecido como Vigia\r\n"));
}

class AssistirLotado : public Assistir {
 protected:
  AssistirLotado() : Assistir("%PORTA%\nweb = 127.0.0.1 %PORTAWEB%\nusuarios = 2\n") {}
};

// A watch invite opened on this host lets a player in and is not spent; a
// watcher then waits for a place like anyone, and takes one.
TEST_F(AssistirLotado, ALoopbackBrowserPlaysAndAWatcherCounts) {
  Conexao ana = g.usuarioTelnet("Ana");
  const std::string token = conviteVer(ana);
  std::string status, texto;
  Conexao bia = entra(token, "127.0.0.1", &status, &texto);
  EXPECT_EQ(status, "HTTP/1.1 101 Switching Protocols");
  EXPECT_EQ(texto, kApelido);

  Conexao cedo = entra(token, "127.0.0.2", &status, &texto);
  EXPECT_EQ(status, "HTTP/1.1 503 Service Unavailable");
  bia.envia(textoWeb("/sair"));
  EXPECT_TRUE(bia.esperaFechar());

  std::string visto;
  Conexao olho = assistente(token, "Olho", "Tecle /ajuda para saber os comandos\r\n", &visto);
  Conexao terceiro = Conexao::conecta(g.porta());
  EXPECT_TRUE(recebeEFecha(terceiro, "-Zandor lotado\r\n"));
}

}  // namespace
