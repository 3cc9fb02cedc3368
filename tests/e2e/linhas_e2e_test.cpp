// Long lines beside every kind of reader: a MUD line of 8000 bytes in its
// costliest form (every byte a three-byte UTF-8 character for a UTF-8
// reader), a 20000-byte line that goes on in further lines, a framed reader
// who gets all of its records, and a user who holds output beside one who
// reads. Nothing is lost and nobody waits for anybody.
#include <gtest/gtest.h>

#include <string>

#include "confere.h"
#include "text/codifica.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

// What a framed reader at 80 columns gets for one line.
std::string registros(const std::string& linha) {
  std::string r(2 * linha.size() + 64, '\0');
  r.resize(static_cast<size_t>(
      zandor::codificaQuadros(r.data(), linha.c_str(), static_cast<int>(r.size()), zandor::kLargura80)));
  return r;
}

std::string repete(const std::string& s, int vezes) {
  std::string r;
  for (int i = 0; i < vezes; ++i) r += s;
  return r;
}

TEST(LinhasLongas, EveryReaderGetsEveryByteAndAHeldUserLosesNothing) {
  MudFalso falso;
  Gateway g;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao dora = g.usuarioTelnet("Dora", "/c3", "/c3 Usando UTF-8");
  Conexao caio = g.usuarioQuadros("Caio");
  Conexao bia = g.usuarioTelnet("Bia");
  bia.envia("\r\n");
  ASSERT_TRUE(recebe(bia, "tecle\r\n"));
  ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + "\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta());
  // Everyone hears of the later arrivals and of the link; that is all.
  for (Conexao* c : {&ana, &dora}) {
    ASSERT_TRUE(c->leAte(avisoLigado(falso)));
    c->descarta();
  }
  ASSERT_TRUE(caio.leAte(quadro("/Conectado")));
  caio.descarta();

  const std::string euros(8000, '\x80');  // "€" in Windows-1252
  const std::string z8000(8000, 'z');
  lado.envia(euros + "\r\n" + z8000 + z8000 + std::string(4000, 'z') + "\r\n");
  const std::string longas = euros + "\r\n" + z8000 + "\r\n" + z8000 + "\r\n" + std::string(4000, 'z') + "\r\n";
  EXPECT_TRUE(recebe(ana, longas));
  EXPECT_TRUE(recebe(dora, repete("\xE2\x82\xAC", 8000) + "\r\n" + longas.substr(8002)));
  EXPECT_TRUE(recebe(caio, registros(euros) + registros(z8000) + registros(z8000) + registros(std::string(4000, 'z'))));

  // Bia holds her output meanwhile: long lines wait in her ring beside the
  // share of ordinary output, which they leave used up; so the next short
  // line does not fit, ends the hold as a full ring always did, and she gets
  // it all, in order.
  bia.lePor(300ms);
  EXPECT_EQ(bia.toma(), "");
  lado.envia("fim\r\n");
  EXPECT_TRUE(recebe(bia, avisoLigado(falso) + longas + "fim\r\n"));
  EXPECT_TRUE(recebe(ana, "fim\r\n"));
}

}  // namespace
