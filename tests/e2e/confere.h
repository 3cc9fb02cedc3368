// Assertions shared by the end-to-end tests: what a user or the MUD must
// have received, byte for byte, and nothing more.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

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

}  // namespace e2e
