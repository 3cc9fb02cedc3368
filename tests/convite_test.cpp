// Invites: the token's form and freshness, one use each, the 15 minutes
// through the clock seam and the wheel (and across the clock's wrap), near misses, a full table,
// and a random source that fails.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "framework/tempo.h"
#include "gateway/convite.h"
#include "relogio_falso.h"

namespace zandor {
namespace {

bool acasoQuebrado(unsigned char*, int) { return false; }

class Convite : public testing::Test {
 protected:
  void SetUp() override { esqueceConvites(); }
  void TearDown() override {
    fonteAcaso = acasoSistema;
    esqueceConvites();
  }

  static std::string cria() {
    char token[kTamanhoConvite];
    std::memset(token, '#', sizeof token);
    EXPECT_TRUE(criaConvite(token));
    EXPECT_EQ(token[kTamanhoConvite - 1], '\0');
    return token;
  }
  static bool usa(const std::string& token) { return usaConvite(token.data(), static_cast<int>(token.size())); }

  RelogioFalso relogio_{1000};
};

constexpr char kAlfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

TEST_F(Convite, TokensAreFreshBase64urlOf128Bits) {
  std::set<std::string> vistos;
  std::set<char> caracteres;
  for (int i = 0; i < 5000; ++i) {
    const std::string t = cria();
    ASSERT_EQ(t.size(), 22u) << t;
    for (char c : t) ASSERT_NE(std::strchr(kAlfabeto, c), nullptr) << t;
    // 22 characters carry 132 bits: the last one holds 2 random bits and 4 zeros.
    ASSERT_NE(std::strchr("AQgw", t[21]), nullptr) << t;
    caracteres.insert(t.begin(), t.end() - 1);
    ASSERT_TRUE(vistos.insert(t).second) << "repeated " << t;
  }
  EXPECT_EQ(caracteres.size(), 64u) << "every character of the alphabet turns up";
}

TEST_F(Convite, IsUsedOnceAndAFailedGuessCostsNothing) {
  const std::string t = cria();
  const std::string outro = cria();
  std::string ultimo = t;
  ultimo[21] = ultimo[21] == 'A' ? 'Q' : 'A';
  std::string primeiro = t;
  primeiro[0] = primeiro[0] == 'x' ? 'y' : 'x';
  for (const std::string& errado : {ultimo, primeiro, t.substr(0, 21), t + "A", std::string(), std::string(22, 'A')})
    EXPECT_FALSE(usa(errado)) << errado;
  EXPECT_FALSE(usaConvite(nullptr, 22));
  EXPECT_FALSE(usaConvite(t.c_str(), 23)) << "the terminator counted in";

  EXPECT_TRUE(usa(t));
  EXPECT_FALSE(usa(t)) << "used twice";
  EXPECT_TRUE(usa(outro)) << "the other one is still there";
}

TEST_F(Convite, AnInviteToWatchSaysSoWhenUsed) {
  char jogar[kTamanhoConvite], assistir[kTamanhoConvite];
  ASSERT_TRUE(criaConvite(jogar));
  ASSERT_TRUE(criaConvite(assistir, true));
  bool assiste = true;
  EXPECT_TRUE(usaConvite(jogar, kTamanhoConvite - 1, &assiste));
  EXPECT_FALSE(assiste);
  EXPECT_TRUE(usaConvite(assistir, kTamanhoConvite - 1, &assiste));
  EXPECT_TRUE(assiste);
  EXPECT_FALSE(usaConvite(assistir, kTamanhoConvite - 1, &assiste)) << "used once, whatever its kind";
}

TEST_F(Convite, LastsJustUnderFifteenMinutes) {
  const std::string cedo = cria();
  const std::string tarde = cria();
  msFalso += kMsValidadeConvite - 1;
  EXPECT_TRUE(usa(cedo));
  msFalso += 1;
  EXPECT_FALSE(usa(tarde));
  msFalso += 1000;
  EXPECT_FALSE(usa(tarde));

  // The clock's 32 bits wrap between the invite and its use.
  msFalso = 0xFFFFFF00u;
  const std::string atravessa = cria();
  msFalso = 0x100u;
  EXPECT_TRUE(usa(atravessa));
}

bool rodaVazia() {
  for (TTempo* t : rodaTempo.roda)
    if (t != nullptr) return false;
  return true;
}

// An invite that nobody asked about for 49.7 days would look fresh again
// once the clock came round; the table's timer, on the wheel, forgets each
// one when its 15 minutes are up, while it still reads as expired, and then
// waits for the next, and rests once none is left.
TEST_F(Convite, ItsTimerForgetsEachExpiredOneBeforeTheClockComesRound) {
  constexpr int kTicksValidade = static_cast<int>(kMsValidadeConvite / kMsPorTick);
  constexpr uint32_t kDezMinutos = 10 * 60 * 1000;
  const uint32_t inicio = msFalso;
  const std::string primeiro = cria();
  msFalso = inicio + kDezMinutos;
  cAvanca(static_cast<int>(kDezMinutos / kMsPorTick));
  const std::string segundo = cria();

  msFalso = inicio + kMsValidadeConvite;
  cAvanca(kTicksValidade - static_cast<int>(kDezMinutos / kMsPorTick));
  EXPECT_FALSE(rodaVazia()) << "the second one is still waited for";
  msFalso = inicio + kDezMinutos + kMsValidadeConvite;
  cAvanca(static_cast<int>(kDezMinutos / kMsPorTick));
  EXPECT_TRUE(rodaVazia()) << "nothing left to wait for";

  // 2^32 + 60000 ms after each was made, as the clock reads it.
  msFalso = inicio + 60000;
  EXPECT_FALSE(usa(primeiro));
  msFalso = inicio + kDezMinutos + 60000;
  EXPECT_FALSE(usa(segundo));
}

TEST_F(Convite, ForgettingAllRestsTheTimer) {
  cria();
  EXPECT_FALSE(rodaVazia());
  esqueceConvites();
  EXPECT_TRUE(rodaVazia());
}

TEST_F(Convite, FullTableForgetsTheOldest) {
  std::string tokens[kMaxConvites + 1];
  for (int i = 0; i <= kMaxConvites; ++i) {
    tokens[i] = cria();
    msFalso += 1000;
  }
  EXPECT_FALSE(usa(tokens[0]));
  for (int i = kMaxConvites; i >= 1; --i) EXPECT_TRUE(usa(tokens[i])) << i;

  // With one expired entry there is room: no live invite is forgotten.
  esqueceConvites();
  const std::string velho = cria();
  msFalso += 10 * 60 * 1000;
  for (int i = 1; i < kMaxConvites; ++i) tokens[i] = cria();
  msFalso += 6 * 60 * 1000;
  const std::string novo = cria();
  for (int i = 1; i < kMaxConvites; ++i) EXPECT_TRUE(usa(tokens[i])) << i;
  EXPECT_TRUE(usa(novo));
  EXPECT_FALSE(usa(velho));
}

TEST_F(Convite, FailingRandomSourceMakesNoInvite) {
  fonteAcaso = acasoQuebrado;
  char token[kTamanhoConvite];
  std::memset(token, '#', sizeof token);
  EXPECT_FALSE(criaConvite(token));
  EXPECT_EQ(token[0], '\0');
  fonteAcaso = acasoSistema;

  unsigned char bytes[64] = {};
  ASSERT_TRUE(acasoSistema(bytes, sizeof bytes));
  int zeros = 0;
  for (unsigned char b : bytes) zeros += b == 0;
  EXPECT_LT(zeros, 16);
}

}  // namespace
}  // namespace zandor
