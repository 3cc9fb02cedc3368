// SIGTERM, SIGINT and SIGHUP against the built program: each ends it as
// "/terminar" does, with status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>

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

}  // namespace
