// Assertions shared by the end-to-end tests: what a user or the MUD must
// have received, byte for byte, and nothing more.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "apoio.h"

namespace e2e {

// Reads until `esperado` has arrived and checks that exactly it arrived:
// nothing before it, nothing after it in the same reads. Takes it.
inline ::testing::AssertionResult recebe(Conexao& c, const std::string& esperado, Ms prazo = kPrazo) {
  c.leAte(esperado, prazo);
  const std::string tudo = c.toma();
  if (tudo == esperado) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected [" << ::testing::PrintToString(esperado) << "] got ["
                                       << ::testing::PrintToString(tudo) << "]";
}

// A dropped link tells nobody, so a test that drops one waits for the
// gateway to have seen it: asks `pergunta` until the answer is exactly
// `esperado`, which it takes, for up to kPrazo.
inline ::testing::AssertionResult perguntaAte(Conexao& c, const std::string& pergunta, const std::string& esperado) {
  std::string tudo;
  for (Ms passou{0}; passou < escala(kPrazo); passou += 200ms) {
    c.envia(pergunta);
    c.leAte(esperado, 200ms);
    tudo = c.toma();
    if (tudo == esperado) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected [" << ::testing::PrintToString(esperado) << "] last got ["
                                       << ::testing::PrintToString(tudo) << "]";
}

// A web user's text messages until `esperado` is among them: exactly
// `esperado`, as a browser would put them together.
inline ::testing::AssertionResult recebeWeb(Conexao& c, const std::string& esperado) {
  std::string texto;
  leTextoWeb(c, esperado, &texto);
  if (texto == esperado) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected [" << ::testing::PrintToString(esperado) << "] got ["
                                       << ::testing::PrintToString(texto) << "]";
}

// The connection closes after exactly `esperado`.
inline ::testing::AssertionResult recebeEFecha(Conexao& c, const std::string& esperado) {
  if (!c.esperaFechar()) return ::testing::AssertionFailure() << "still open";
  return recebe(c, esperado, Ms(0));
}

// Raw bytes, for telnet commands: bytes({255, 251, 1}).
inline std::string bytes(std::initializer_list<int> v) {
  std::string r;
  for (int b : v) r.push_back(static_cast<char>(b));
  return r;
}

// What every telnet user is told when the gateway links to `mud`.
inline std::string avisoLigado(const MudFalso& mud) {
  return "/Conectando em 127.0.0.1 " + std::to_string(mud.porta()) + "\r\n/Conectado\r\n";
}

// `quem` links the gateway to `falso`, with `comando` or else "/mud 127.0.0.1
// PORT"; every telnet user in `todos` is told. Returns the fake MUD's end of
// the link.
inline Conexao liga(Conexao& quem, MudFalso& falso, const std::vector<Conexao*>& todos, std::string comando = "") {
  if (comando.empty()) comando = "/mud 127.0.0.1 " + std::to_string(falso.porta());
  quem.envia(comando + "\r\n");
  const std::string aviso = avisoLigado(falso);
  for (Conexao* c : todos) EXPECT_TRUE(recebe(*c, aviso));
  Conexao lado = falso.aceita();
  EXPECT_TRUE(lado.aberta());
  return lado;
}

}  // namespace e2e
