// SIGTERM, SIGINT and SIGHUP against the built program: each ends it as
// "/terminar" does, with status 0, a full house included. SIGPIPE, from the
// start, ends nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "confere.h"

namespace {

using namespace e2e;

TEST(Sinais, EachEndsTheGatewayAsTerminarDoes) {
  for (const int sinal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sinal));
    Gateway g;
    MudFalso falso;
    Conexao ana = g.usuarioTelnet("Ana");
    Conexao caio = g.usuarioQuadros("Caio");
    ASSERT_TRUE(recebe(ana, "//Caio chegou\r\n"));
    ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + "\r\n");
    const std::string aviso = "/Conectando em 127.0.0.1 " + std::to_string(falso.porta());
    ASSERT_TRUE(recebe(ana, aviso + "\r\n/Conectado\r\n"));
    ASSERT_TRUE(recebe(caio, quadro(aviso) + quadro("/Conectado")));
    Conexao lado = falso.aceita();

    // Ana holds her output; the MUD speaks; Caio sends the MUD a line.
    ana.envia("\r\n");
    ASSERT_TRUE(recebe(ana, "tecle\r\n"));
    lado.envia("O sino toca.\r\n");
    ASSERT_TRUE(recebe(caio, quadro("O sino toca.")));
    caio.envia(quadro("olhar"));

    ASSERT_EQ(kill(g.pid(), sinal), 0);
    EXPECT_TRUE(recebeEFecha(ana, "O sino toca.\r\n/Encerrando Zandor\r\n"));
    EXPECT_TRUE(recebeEFecha(caio, quadro("/Encerrando Zandor")));
    EXPECT_TRUE(recebeEFecha(lado, "olhar\r\n"));
    EXPECT_EQ(g.esperaSair(), 0);
    EXPECT_EQ(g.leArquivo("zandor.log"), "Feito...\n");
    EXPECT_EQ(g.saida(), "");
    EXPECT_EQ(g.erros(), "");
  }
}

// SIGPIPE is ignored from start-up on, before any link to the MUD: one
// that comes ends nothing, and the next user is served as usual.
TEST(Sinais, SigpipeIsIgnoredFromTheStart) {
  Gateway g;
  Conexao ana = g.usuarioTelnet("Ana");
  ASSERT_EQ(kill(g.pid(), SIGPIPE), 0);
  Conexao bia = g.usuarioTelnet("Bia");
  EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  ana.envia("/terminar\r\n");
  EXPECT_EQ(g.esperaSair(), 0);
}

// A full house of 62 users and the MUD link: the signal's socket, served
// after every user, still ends the gateway at once.
TEST(Sinais, AFullHouseEndsTooWithinTwoSeconds) {
  Gateway g;
  MudFalso falso;
  // Greeted one by one (the listen queue is short), then each later step
  // for all at once.
  std::vector<Conexao> usuarios(62);
  for (Conexao& u : usuarios) {
    u = Conexao::conecta(g.porta());
    ASSERT_TRUE(u.leAte("ENTER\r\n"));
  }
  for (Conexao& u : usuarios) u.envia("\r\n");
  for (Conexao& u : usuarios) ASSERT_TRUE(u.leAte("/quit\r\n"));
  const std::string letras = "abcdefgijklmnopqrstuvwxyz";  // no h: see the nickname rule
  for (size_t i = 0; i < usuarios.size(); ++i) usuarios[i].envia(std::string("Us") + letras[i / 25] + letras[i % 25] + "\r\n");
  for (Conexao& u : usuarios) ASSERT_TRUE(u.leAte("comandos\r\n"));
  usuarios[0].envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + "\r\n");
  Conexao lado = falso.aceita();
  for (Conexao& u : usuarios) ASSERT_TRUE(u.leAte("/Conectado\r\n"));

  const auto antes = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(g.pid(), SIGTERM), 0);
  ASSERT_EQ(g.esperaSair(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - antes, escala(2500ms));
  for (Conexao& u : usuarios) EXPECT_TRUE(u.esperaFechar() && u.toma().ends_with("/Encerrando Zandor\r\n"));
}

}  // namespace
