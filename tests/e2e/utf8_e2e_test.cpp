// Telnet users who read and type UTF-8 ("/c3") beside Windows-1252 users,
// byte for byte: the toggle and its answers, the gateway's texts and
// nicknames converted, chat between the two charsets, MUD lines in either
// charset to either kind of user, typed lines reaching the MUD as typed, and
// a framed user's "/c3" changing nothing.
#include <gtest/gtest.h>

#include <string>

#include "confere.h"

namespace {

using namespace e2e;

const std::string kUsuarios8 = "/Usu\xC3\xA1rios\r\n";

// A telnet user who turns UTF-8 on before choosing `apelido`, given in UTF-8.
// The buffer is left empty.
Conexao usuarioUtf8(Gateway& g, const std::string& apelido) {
  return g.usuarioTelnet(apelido, "/c3", "/c3 Usando UTF-8");
}

// Bia reads Windows-1252, as every user does until "/c3".
class Utf8 : public ::testing::Test {
 protected:
  void SetUp() override { bia = g.usuarioTelnet("Bia"); }

  // Bia links the gateway to the fake MUD; `outro` is told too.
  Conexao liga(Conexao& outro) { return e2e::liga(bia, falso, {&bia, &outro}); }

  MudFalso falso;
  Gateway g;
  Conexao bia;
};

TEST_F(Utf8, ToggleBeforeANicknameAndTheGatewaysTextsConverted) {
  Conexao u = Conexao::conecta(g.porta());
  ASSERT_TRUE(u.leAte("ENTER\r\n"));
  u.envia("\r\n");
  ASSERT_TRUE(u.leAte("/quit\r\n"));
  u.descarta();

  // Not a nickname attempt, and answered in the new charset each time.
  u.envia("/c3\r\n");
  EXPECT_TRUE(recebe(u, "Digite seu apelido\r\n/c3 Usando UTF-8\r\n"));
  u.envia("Jo\xE3o\r\n");  // Windows-1252 bytes: the lone E3 is read as "?"
  EXPECT_TRUE(recebe(u, "Apelido inv\xC3\xA1lido, digite outro\r\n"));
  u.envia("  /C3  \r\n");
  EXPECT_TRUE(recebe(u, "/c3 Usando Windows-1252\r\n"));
  u.envia("Jo\xC3\xA3o\r\n");  // UTF-8 bytes read as Windows-1252: the pound sign is refused
  EXPECT_TRUE(recebe(u, "Apelido inv\xE1lido, digite outro\r\n"));
  u.envia("/c3\r\n");
  EXPECT_TRUE(recebe(u, "/c3 Usando UTF-8\r\n"));

  u.envia("Jo\xC3\xA3o\r\n");
  EXPECT_TRUE(recebe(u, "//Jo\xC3\xA3o chegou\r\nTecle /ajuda para saber os comandos\r\n"));
  EXPECT_TRUE(recebe(bia, "//Jo\xE3o chegou\r\n"));

  u.envia("/quem\r\n");
  EXPECT_TRUE(recebe(u, kUsuarios8 + "Jo\xC3\xA3o\r\nBia\r\n"));
  u.envia("/ajuda\r\n");
  ASSERT_TRUE(u.leAte("Fim da ajuda\r\n"));
  const std::string ajuda = u.toma();
  int linhas = 0;
  for (size_t p = ajuda.find("\r\n"); p != std::string::npos; p = ajuda.find("\r\n", p + 2)) ++linhas;
  EXPECT_EQ(linhas, 23);
  EXPECT_EQ(ajuda.rfind("Ajuda:\r\n", 0), 0u);
  EXPECT_NE(ajuda.find("\r\n    Nota: ao permitir um endere\xC3\xA7o deixar\xC3\xA1 de permitir outro\r\n"), std::string::npos);
  EXPECT_NE(ajuda.find("\r\n/c2 - Alterna entre filtrar/n\xC3\xA3o filtrar cores; n\xC3\xA3o recomandado para Orvalho\r\n"),
            std::string::npos);

  u.envia("/nome Jos\xC3\xA9\r\n");
  EXPECT_TRUE(recebe(u, "//Usu\xC3\xA1rio Jo\xC3\xA3o \xC3\xA9 conhecido como Jos\xC3\xA9\r\n"));
  EXPECT_TRUE(recebe(bia, "//Usu\xE1rio Jo\xE3o \xE9 conhecido como Jos\xE9\r\n"));
  bia.envia("/nome B\xED" "a\r\n");
  EXPECT_TRUE(recebe(u, "//Usu\xC3\xA1rio Bia \xC3\xA9 conhecido como B\xC3\xAD" "a\r\n"));
  EXPECT_TRUE(recebe(bia, "//Usu\xE1rio Bia \xE9 conhecido como B\xED" "a\r\n"));
  u.envia("/sair\r\n");
  EXPECT_TRUE(recebeEFecha(u, "//Jos\xC3\xA9 saiu\r\n"));
  EXPECT_TRUE(recebe(bia, "//Jos\xE9 saiu\r\n"));
}

TEST_F(Utf8, ChatBetweenTheTwoCharsets) {
  Conexao ana = usuarioUtf8(g, "Ana");
  EXPECT_TRUE(recebe(bia, "//Ana chegou\r\n"));

  struct Caso {
    Conexao* quem;
    std::string linha, paraAna, paraBia;
  };
  const Caso casos[] = {
      {&ana, "/ ol\xC3\xA1", "/Ana. ol\xC3\xA1", "/Ana. ol\xE1"},
      {&ana, "/ \xCF\x80", "/Ana. ?", "/Ana. ?"},
      {&ana, "/ 5 \xE2\x82\xAC \xC5\x93 \xE2\x84\xA2", "/Ana. 5 \xE2\x82\xAC \xC5\x93 \xE2\x84\xA2", "/Ana. 5 \x80 \x9C \x99"},
      {&ana, "/ a\xC3 b\xFE\xE0\x80 c", "/Ana. a? b??? c", "/Ana. a? b??? c"},
      {&bia, "/ ol\xE1 5 \x80 \x81", "/Bia. ol\xC3\xA1 5 \xE2\x82\xAC \xC2\x81", "/Bia. ol\xE1 5 \x80 \x81"},
  };
  for (const Caso& c : casos) {
    c.quem->envia(c.linha + "\r\n");
    EXPECT_TRUE(recebe(ana, c.paraAna + "\r\n")) << c.linha;
    EXPECT_TRUE(recebe(bia, c.paraBia + "\r\n")) << c.linha;
  }
  // Command words are decoded before they are compared: "/QUÉM" is "/quem".
  ana.envia("/QU\xC3\x89M\r\n");
  EXPECT_TRUE(recebe(ana, kUsuarios8 + "Ana\r\nBia\r\n"));
}

TEST_F(Utf8, MudLinesInEitherCharsetToEitherUser) {
  Conexao ana = usuarioUtf8(g, "Ana");
  EXPECT_TRUE(recebe(bia, "//Ana chegou\r\n"));
  Conexao lado = liga(ana);

  const std::string a7999(7999, 'a'), b7998(7998, 'b');
  struct Caso {
    std::string doMud, paraAna, paraBia;
  };
  const Caso filtrados[] = {
      {"Ol\xC3\xA1 \xE2\x82\xAC", "Ol\xC3\xA1 \xE2\x82\xAC", "Ol\xC3\xA1 \xE2\x82\xAC"},  // a UTF-8 MUD
      {"Ol\xE1 \x80", "Ol\xC3\xA1 \xE2\x82\xAC", "Ol\xE1 \x80"},                        // a Windows-1252 MUD
      {"\x1b[1mOl\xC3\xA1\x1b[0m", "Ol\xC3\xA1", "Ol\xC3\xA1"},                        // valid once filtered
      // Past 8000 bytes a character the break would split starts the next
      // line whole; so does a Latin-1 letter that looks like the start of one.
      {a7999 + "\xC3\xA1 fim", a7999 + "\r\n\xC3\xA1 fim", a7999 + "\r\n\xC3\xA1 fim"},
      {b7998 + "\xE1\xE9 fim", b7998 + "\xC3\xA1\r\n\xC3\xA9 fim", b7998 + "\xE1\r\n\xE9 fim"},
  };
  for (const Caso& c : filtrados) {
    lado.envia(c.doMud + "\r\n");
    EXPECT_TRUE(recebe(ana, c.paraAna + "\r\n")) << c.doMud;
    EXPECT_TRUE(recebe(bia, c.paraBia + "\r\n")) << c.doMud;
  }
  // Colours kept: the line is judged with its escapes.
  ana.envia("/c2\r\n");
  EXPECT_TRUE(recebe(ana, "/c2 N\xC3\xA3o filtrando cores\r\n"));
  lado.envia("\x1b[1mOl\xE1\x1b[0m\r\n\x1b[1mOl\xC3\xA1\x1b[0m\r\n");
  EXPECT_TRUE(recebe(ana, "\x1b[1mOl\xC3\xA1\x1b[0m\r\n\x1b[1mOl\xC3\xA1\x1b[0m\r\n"));
  EXPECT_TRUE(recebe(bia, "Ol\xE1\r\nOl\xC3\xA1\r\n"));
}

TEST_F(Utf8, TypedLinesReachTheMudAsTyped) {
  Conexao ana = usuarioUtf8(g, "Ana");
  EXPECT_TRUE(recebe(bia, "//Ana chegou\r\n"));
  Conexao lado = liga(ana);

  // Invalid bytes too; 0xFF is left out only because telnet reads it as IAC.
  ana.envia("dizer ol\xC3\xA1 \xCF\x80 \xC3!\r\n//ol\xC3\xA1\r\n/\r\n");
  EXPECT_TRUE(recebe(lado, "dizer ol\xC3\xA1 \xCF\x80 \xC3!\r\n/ol\xC3\xA1\r\n\r\n"));
  // BS takes a whole character from a UTF-8 user, one byte from the others;
  // a line of 8000 bytes goes whole, and one past that goes nowhere.
  const std::string a7998(7998, 'a');
  ana.envia("x\xC3\xA1\x08y\r\n" + a7998 + "\xC3\xA1\r\n" + a7998 + "\xC3\xA1" "b\r\n");
  EXPECT_TRUE(recebe(lado, "xy\r\n" + a7998 + "\xC3\xA1\r\n"));
  EXPECT_TRUE(recebe(ana, "/Linha longa demais: m\xC3\xA1ximo de 8000 bytes\r\n"));
  bia.envia("x\xC3\xA1\x08y\r\n" + a7998 + "\xC3\xA1\r\n");
  EXPECT_TRUE(recebe(lado, "x\xC3y\r\n" + a7998 + "\xC3\xA1\r\n"));

  // A chat line of 8000 bytes, whole in either charset.
  ana.envia("/ " + std::string(7996, 'c') + "\xC3\xA1\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. " + std::string(7996, 'c') + "\xC3\xA1\r\n"));
  EXPECT_TRUE(recebe(bia, "/Ana. " + std::string(7996, 'c') + "\xE1\r\n"));
}

TEST_F(Utf8, AFramedUserStaysInWindows1252) {
  Conexao caio = g.usuarioQuadros("Caio");
  EXPECT_TRUE(recebe(bia, "//Caio chegou\r\n"));
  for (int vez = 0; vez < 2; ++vez) {
    caio.envia(quadro("/C3"));
    EXPECT_TRUE(recebe(caio, quadro("/c3 Usando Windows-1252")));
  }
  bia.envia("/ ol\xE1\r\n");
  EXPECT_TRUE(recebe(caio, quadro("/Bia. ol\xE1")));
  EXPECT_TRUE(recebe(bia, "/Bia. ol\xE1\r\n"));
  caio.envia(quadro("/ ol\xC3\xA1"));
  EXPECT_TRUE(recebe(caio, quadro("/Caio. ol\xC3\xA1")));
  EXPECT_TRUE(recebe(bia, "/Caio. ol\xC3\xA1\r\n"));
}

}  // namespace
