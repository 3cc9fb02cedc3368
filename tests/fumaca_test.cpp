#include <gtest/gtest.h>
#include "text/dobra.h"
TEST(Fumaca, Monta) { zandor::montaTabelas(); EXPECT_EQ(zandor::comparaTexto("/SAIR", "/sair"), 0); }
