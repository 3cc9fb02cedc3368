#include <gtest/gtest.h>
#include "apoio.h"
using namespace e2e;
TEST(Fumaca, SobeESaudaTelnet) {
  Gateway g;
  Conexao a = g.usuarioTelnet("Ana");
  a.envia("/quem\r\n");
  EXPECT_TRUE(a.leAte("/Usu\xE1rios\r\nAna\r\n"));
}
