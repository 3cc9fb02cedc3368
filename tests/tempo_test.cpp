// The timer wheel: arming, re-arming, disarming, the remaining time, firing
// order, callbacks that touch other timers, and the firing tick of every
// delay from every kind of starting position.
//
// The wheel is process-wide. Every test starts and ends with it empty; the
// position (`agora`, `volta`) is set directly only while it is empty and is
// put back afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/tempo.h"

namespace zandor {
namespace {

bool rodaVazia() {
  for (TTempo* cabeca : rodaTempo.roda)
    if (cabeca != nullptr) return false;
  return true;
}

// Ticks passed since the test put the wheel in place; timers record it when
// they fire.
int tick = 0;

// Moves the wheel on one tick at a time, keeping `tick` in step.
void avanca(int n) {
  for (int i = 0; i < n; ++i) {
    ++tick;
    cAvanca(1);
  }
}

// A timer that writes down when it fired and, optionally, does something
// from inside its callback.
class Marca : public TTempo {
 public:
  explicit Marca(std::string nome = "", std::vector<std::string>* ordem = nullptr) : nome_(nome), ordem_(ordem) {}

  void cExpira() override {
    ++disparos;
    ultimoTick = tick;
    agoraAoDisparar = rodaTempo.agora;
    armadoAoDisparar = cArmado();
    faltaAoDisparar = cFalta();
    if (ordem_ != nullptr) ordem_->push_back(nome_);
    if (aoExpirar) aoExpirar(*this);  // may destroy *this: nothing after it
  }

  int disparos = 0;
  int ultimoTick = -1;
  int agoraAoDisparar = -1;
  bool armadoAoDisparar = true;
  int faltaAoDisparar = -1;
  std::function<void(Marca&)> aoExpirar;

 private:
  std::string nome_;
  std::vector<std::string>* ordem_;
};

class Roda : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rodaVazia()) << "a timer was left armed by an earlier test";
    agoraAntes_ = rodaTempo.agora;
    voltaAntes_ = rodaTempo.volta;
    tick = 0;
  }
  void TearDown() override {
    EXPECT_TRUE(rodaVazia()) << "this test left a timer armed";
    if (rodaVazia()) {
      rodaTempo.agora = agoraAntes_;
      rodaTempo.volta = voltaAntes_;
    }
  }
  // Puts the empty wheel at a given position and restarts the tick count.
  void comecaEm(int novoAgora, int novaVolta) {
    ASSERT_TRUE(rodaVazia());
    rodaTempo.agora = novoAgora;
    rodaTempo.volta = novaVolta;
    tick = 0;
  }

 private:
  int agoraAntes_ = 0;
  int voltaAntes_ = 0;
};

// ------------------------------------------------------ arming and limits

TEST_F(Roda, DelaysAboveTheLongestAreCut) {
  for (int pedido : {90001, 100000, INT_MAX}) {
    SCOPED_TRACE(pedido);
    comecaEm(0, 600);
    Marca t;
    EXPECT_EQ(t.cArma(pedido), 90000);
    EXPECT_EQ(t.cFalta(), 90000);
    t.cArma(0);
  }
  comecaEm(17, 700);
  Marca t;
  EXPECT_EQ(t.cArma(90001), 90000);
  avanca(89999);
  EXPECT_EQ(t.disparos, 0);
  avanca(1);
  EXPECT_EQ(t.disparos, 1);
  EXPECT_EQ(t.ultimoTick, 90000);
}

TEST_F(Roda, ZeroOrLessDisarms) {
  for (int pedido : {0, -5, -1, INT_MIN}) {
    SCOPED_TRACE(pedido);
    for (int antes : {0, 7, 599, 600, 90000}) {  // idle, one-tick and coarse
      Marca t;
      if (antes > 0) t.cArma(antes);
      EXPECT_EQ(t.cArma(pedido), 0);
      EXPECT_EQ(t.cFalta(), 0);
      EXPECT_FALSE(t.cArmado());
      EXPECT_TRUE(rodaVazia());
    }
  }
  // A disarmed timer does not fire later.
  Marca t;
  t.cArma(5);
  t.cArma(0);
  avanca(700);
  EXPECT_EQ(t.disparos, 0);
  // Disarming an idle timer again changes nothing.
  EXPECT_EQ(t.cArma(-5), 0);
  EXPECT_FALSE(t.cArmado());
}

TEST_F(Roda, ANewTimerIsIdle) {
  Marca t;
  EXPECT_FALSE(t.cArmado());
  EXPECT_EQ(t.cFalta(), 0);
  avanca(3);
  EXPECT_EQ(t.disparos, 0);
}

TEST_F(Roda, ReArmingMovesTheTimerAndItFiresOnceAtTheNewTime) {
  struct Caso {
    int primeiro;
    int depois;  // ticks between the two armings
    int segundo;
  };
  const Caso casos[] = {
      {10, 5, 20},     // one-tick to one-tick, later
      {20, 5, 3},      // one-tick to one-tick, sooner
      {10, 5, 5},      // to the very tick it had
      {10, 5, 1000},   // one-tick to coarse
      {1000, 5, 5},    // coarse to one-tick
      {1000, 5, 700},  // coarse to coarse
      {1000, 400, 2000},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << c.primeiro << " then, after " << c.depois << ", " << c.segundo);
    tick = 0;
    Marca t;
    t.cArma(c.primeiro);
    avanca(c.depois);
    EXPECT_EQ(t.cArma(c.segundo), c.segundo);
    EXPECT_EQ(t.cFalta(), c.segundo);
    const int alvo = c.depois + c.segundo;
    avanca(alvo - tick - 1);
    EXPECT_EQ(t.disparos, 0);
    avanca(1);
    EXPECT_EQ(t.disparos, 1);
    EXPECT_EQ(t.ultimoTick, alvo);
    avanca(std::max(c.primeiro, c.segundo) + 300);
    EXPECT_EQ(t.disparos, 1);
  }
}

TEST_F(Roda, ATimerIsIdleWhenItsCallbackRuns) {
  Marca t;
  t.cArma(3);
  avanca(3);
  EXPECT_EQ(t.disparos, 1);
  EXPECT_FALSE(t.armadoAoDisparar);
  EXPECT_EQ(t.faltaAoDisparar, 0);
}

TEST_F(Roda, DestroyingAnArmedTimerUnlinksIt) {
  // Three timers in one slot; each position in the list is removed in turn.
  for (int qual = 0; qual < 3; ++qual) {
    SCOPED_TRACE(qual);
    std::vector<std::string> ordem;
    std::unique_ptr<Marca> m[3] = {std::make_unique<Marca>("0", &ordem), std::make_unique<Marca>("1", &ordem),
                                   std::make_unique<Marca>("2", &ordem)};
    for (auto& t : m) t->cArma(4);
    m[qual].reset();
    avanca(4);
    std::vector<std::string> esperado;
    for (int i = 2; i >= 0; --i)
      if (i != qual) esperado.push_back(std::to_string(i));
    EXPECT_EQ(ordem, esperado);
  }
  // In a coarse slot.
  {
    auto t = std::make_unique<Marca>();
    t->cArma(5000);
    EXPECT_FALSE(rodaVazia());
    t.reset();
    EXPECT_TRUE(rodaVazia());
  }
}

// ---------------------------------------------------------------- advancing

TEST_F(Roda, AdvancingByZeroOrLessChangesNothing) {
  comecaEm(123, 777);
  Marca perto, longe;
  perto.cArma(1);
  longe.cArma(4000);
  for (int n : {0, -1, -12, INT_MIN}) {
    SCOPED_TRACE(n);
    cAvanca(n);
    EXPECT_EQ(rodaTempo.agora, 123);
    EXPECT_EQ(rodaTempo.volta, 777);
    EXPECT_EQ(perto.cFalta(), 1);
    EXPECT_EQ(longe.cFalta(), 4000);
    EXPECT_EQ(perto.disparos, 0);
  }
  perto.cArma(0);
  longe.cArma(0);
}

TEST_F(Roda, SeveralTicksAtOnceFireTickByTick) {
  for (int inicio : {0, 295, 599}) {  // also across a coarse boundary and the wrap
    SCOPED_TRACE(inicio);
    comecaEm(inicio, 650);
    std::vector<std::string> ordem;
    std::vector<std::unique_ptr<Marca>> m;
    const int atrasos[] = {7, 1, 12, 3, 13, 5, 2, 11, 4, 10, 6, 9, 8};
    for (int a : atrasos) {
      m.push_back(std::make_unique<Marca>(std::to_string(a), &ordem));
      m.back()->cArma(a);
    }
    cAvanca(12);
    EXPECT_EQ(rodaTempo.agora, (inicio + 12) % 600);
    std::vector<std::string> esperado;
    for (int a = 1; a <= 12; ++a) esperado.push_back(std::to_string(a));
    EXPECT_EQ(ordem, esperado);
    // Each fired with `agora` at its own tick.
    for (std::size_t i = 0; i < m.size(); ++i) {
      if (atrasos[i] <= 12) {
        EXPECT_EQ(m[i]->disparos, 1);
        EXPECT_EQ(m[i]->agoraAoDisparar, (inicio + atrasos[i]) % 600);
      }
    }
    EXPECT_EQ(m[4]->cFalta(), 1);  // the 13
    cAvanca(1);
    EXPECT_EQ(m[4]->disparos, 1);
    EXPECT_TRUE(rodaVazia());
  }
}

TEST_F(Roda, SameTickTimersFireInReverseOrderOfInsertion) {
  comecaEm(0, 600);
  std::vector<std::string> ordem;
  Marca x("x", &ordem), y("y", &ordem), z("z", &ordem);
  x.cArma(5);
  y.cArma(5);
  z.cArma(5);
  avanca(5);
  EXPECT_EQ(ordem, (std::vector<std::string>{"z", "y", "x"}));

  // Armed at different times for the same tick: the later arming fires first.
  ordem.clear();
  x.cArma(10);
  avanca(4);
  y.cArma(6);
  avanca(6);
  EXPECT_EQ(ordem, (std::vector<std::string>{"y", "x"}));
}

TEST_F(Roda, TimersMovedInFromACoarseSlotKeepTheirArmingOrder) {
  comecaEm(0, 600);
  std::vector<std::string> ordem;
  Marca x("x", &ordem), y("y", &ordem), z("z", &ordem);
  x.cArma(600);
  y.cArma(600);
  z.cArma(600);
  // Taken last-in first-out from the coarse slot and pushed onto the
  // one-tick slot one by one: the first armed ends up first.
  avanca(600);
  EXPECT_EQ(ordem, (std::vector<std::string>{"x", "y", "z"}));

  // A timer moved in lands ahead of one armed straight into that slot.
  comecaEm(0, 600);
  ordem.clear();
  Marca grosso("grosso", &ordem), fino("fino", &ordem);
  grosso.cArma(600);
  avanca(1);
  fino.cArma(599);
  avanca(599);
  EXPECT_EQ(ordem, (std::vector<std::string>{"grosso", "fino"}));
}

// ------------------------------------------------------ inside a callback

TEST_F(Roda, ReArmingWithOneFromTheCallbackFiresOnTheNextTick) {
  Marca t;
  std::vector<int> ticks;
  t.aoExpirar = [&](Marca& m) {
    ticks.push_back(tick);
    if (ticks.size() < 5) m.cArma(1);
  };
  t.cArma(1);
  avanca(10);
  EXPECT_EQ(ticks, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(t.cArmado());
}

TEST_F(Roda, ReArmingFromTheCallbackWithAnyDelayFiresThatMuchLater) {
  // Delays around both levels' edges, armed while the wheel is firing, from
  // ticks that fall on and off the coarse boundaries.
  const std::vector<int> atrasos = {1, 299, 300, 301, 599, 600, 601, 899, 900, 1, 1500, 2, 89999, 298, 90000};
  for (int inicio : {0, 299}) {
    SCOPED_TRACE(inicio);
    comecaEm(inicio, 899);
    Marca t;
    std::size_t proximo = 1;
    std::vector<int> ticks;
    t.aoExpirar = [&](Marca& m) {
      ticks.push_back(tick);
      if (proximo < atrasos.size()) {
        EXPECT_EQ(m.cArma(atrasos[proximo]), atrasos[proximo]);
        EXPECT_EQ(m.cFalta(), atrasos[proximo]);
        ++proximo;
      }
    };
    t.cArma(atrasos[0]);
    std::vector<int> esperado;
    int soma = 0;
    for (int a : atrasos) esperado.push_back(soma += a);
    avanca(soma + 5);
    EXPECT_EQ(ticks, esperado);
  }
}

TEST_F(Roda, ACallbackThatDisarmsATimerDueOnTheSameTickStopsIt) {
  std::vector<std::string> ordem;
  Marca primeiro("primeiro", &ordem), alvo("alvo", &ordem), quemDesarma("desarma", &ordem);
  primeiro.cArma(3);
  alvo.cArma(3);
  quemDesarma.cArma(3);  // armed last: fires first
  quemDesarma.aoExpirar = [&](Marca&) { alvo.cArma(0); };
  avanca(5);
  EXPECT_EQ(ordem, (std::vector<std::string>{"desarma", "primeiro"}));
  EXPECT_EQ(alvo.disparos, 0);
}

TEST_F(Roda, ACallbackThatDestroysTheOwnerOfATimerDueOnTheSameTickStopsIt) {
  std::vector<std::string> ordem;
  Marca primeiro("primeiro", &ordem);
  Marca* alvo = new Marca("alvo", &ordem);
  Marca quemDestroi("destroi", &ordem);
  primeiro.cArma(3);
  alvo->cArma(3);
  quemDestroi.cArma(3);
  quemDestroi.aoExpirar = [&](Marca&) {
    delete alvo;
    alvo = nullptr;
  };
  avanca(5);
  EXPECT_EQ(ordem, (std::vector<std::string>{"destroi", "primeiro"}));
  EXPECT_EQ(alvo, nullptr);
}

TEST_F(Roda, ACallbackMayDestroyItsOwnObject) {
  std::vector<std::string> ordem;
  Marca antes("antes", &ordem), depois("depois", &ordem);
  antes.cArma(2);
  Marca* proprio = new Marca("proprio", &ordem);
  proprio->cArma(2);
  proprio->aoExpirar = [](Marca& m) { delete &m; };
  depois.cArma(2);
  avanca(3);
  EXPECT_EQ(ordem, (std::vector<std::string>{"depois", "proprio", "antes"}));
}

TEST_F(Roda, ATimerArmedFromACallbackNeverLandsOnTheTickBeingFired) {
  for (int inicio : {0, 299, 599}) {
    for (int atraso : {1, 299, 300, 599, 600, 601}) {
      SCOPED_TRACE(testing::Message() << "start " << inicio << ", delay " << atraso);
      comecaEm(inicio, 600);
      Marca gatilho, outro;
      gatilho.aoExpirar = [&](Marca&) { outro.cArma(atraso); };
      gatilho.cArma(1);  // fires on the first tick, a boundary when inicio is 299 or 599
      avanca(1);
      EXPECT_EQ(outro.disparos, 0);
      EXPECT_EQ(outro.cFalta(), atraso);
      avanca(atraso);
      EXPECT_EQ(outro.disparos, 1);
      EXPECT_EQ(outro.ultimoTick, 1 + atraso);
    }
  }
}

// ------------------------------------------------------- the whole domain

// A lean timer for the whole-domain run: 90000 of them are armed at once.
class Sentinela : public TTempo {
 public:
  void cExpira() override {
    ++vezes;
    disparo = tick;
    if (cArmado() || cFalta() != 0) ++incoerente;
  }
  int disparo = 0;
  int vezes = 0;
  int incoerente = 0;
};

// Counts failed checks and keeps the first few, so that a fault does not
// flood the output with thousands of lines.
struct Falhas {
  long total = 0;
  std::string primeiras;
  void conta(const std::string& texto) {
    if (++total <= 8) primeiras += "  " + texto + "\n";
  }
};

// For every delay from 1 to 90000 and each starting position: the timer fires
// exactly that many ticks after it was armed, once, and its remaining time
// drops by one per tick until then, across every coarse boundary (600 from
// the tick before one, 1500 from inside a period, the longest: a whole turn). All delays are armed at once, so one pass of
// 90000 ticks covers them all; the remaining time of every armed timer is
// checked on both sides of every coarse boundary, and on every tick for a
// sample of delays near the levels' edges.
TEST_F(Roda, EveryDelayFiresExactlyOnTimeFromEveryKindOfStart) {
  const int inicios[] = {0, 1, 150, 298, 299, 300, 301, 450, 598, 599};
  const int voltas[] = {600, 750, 899};
  std::vector<Sentinela> t(kMaxTicks);  // t[a - 1] is armed with a

  for (int inicioAgora : inicios) {
    for (int inicioVolta : voltas) {
      comecaEm(inicioAgora, inicioVolta);
      if (HasFatalFailure()) return;
      Falhas falhas;
      auto confere = [&](int a) {
        Sentinela& s = t[static_cast<std::size_t>(a - 1)];
        if (s.cFalta() != a - tick)
          falhas.conta("delay " + std::to_string(a) + " at tick " + std::to_string(tick) + ": cFalta " +
                       std::to_string(s.cFalta()) + ", expected " + std::to_string(a - tick));
      };

      for (int a = 1; a <= kMaxTicks; ++a) {
        Sentinela& s = t[static_cast<std::size_t>(a - 1)];
        s.vezes = s.disparo = s.incoerente = 0;
        if (s.cArma(a) != a) falhas.conta("cArma(" + std::to_string(a) + ") did not return it");
      }
      for (int a = 1; a <= kMaxTicks; ++a) confere(a);

      // Ticks on which every armed timer is checked: both sides of each
      // coarse boundary, and a few others.
      const int primeiraFronteira = ((599 - inicioAgora) % 300) + 1;
      std::vector<char> todos(kMaxTicks + 1, 0);
      for (int f = primeiraFronteira; f <= kMaxTicks; f += 300)
        for (int d = -1; d <= 1; ++d)
          if (f + d >= 1 && f + d <= kMaxTicks) todos[static_cast<std::size_t>(f + d)] = 1;
      for (int extra : {1, 2, 7, 599, 600, 601, 1234, 45000, 45001, 89998, 89999})
        todos[static_cast<std::size_t>(extra)] = 1;

      // Delays checked on every tick until they fire.
      std::vector<int> amostra = {1,     2,     3,     299,   300,   301,   302,   598,   599,   600,
                                  601,   602,   898,   899,   900,   901,   1199,  1200,  1201,  1500,
                                  45000, 45001, 89699, 89700, 89701, 89998, 89999, 90000};
      for (int d = -1; d <= 1; ++d) {
        amostra.push_back(primeiraFronteira + d + 600);
        amostra.push_back(primeiraFronteira + d + 300 * 150);
      }

      for (int passo = 1; passo <= kMaxTicks; ++passo) {
        avanca(1);
        const Sentinela& devido = t[static_cast<std::size_t>(passo - 1)];
        if (devido.vezes != 1 || devido.disparo != passo)
          falhas.conta("delay " + std::to_string(passo) + " had not fired once on its tick (fired " +
                       std::to_string(devido.vezes) + " times, last at tick " + std::to_string(devido.disparo) +
                       ")");
        if (todos[static_cast<std::size_t>(passo)])
          for (int a = passo + 1; a <= kMaxTicks; ++a) confere(a);
        else
          for (int a : amostra)
            if (a > passo) confere(a);
      }

      // Nothing fired twice or early, nothing is left, and a full turn of
      // 90000 ticks brings both levels back where they started.
      for (int a = 1; a <= kMaxTicks; ++a) {
        const Sentinela& s = t[static_cast<std::size_t>(a - 1)];
        if (s.vezes != 1 || s.disparo != a || s.incoerente != 0)
          falhas.conta("delay " + std::to_string(a) + " fired " + std::to_string(s.vezes) + " times, last at tick " +
                       std::to_string(s.disparo));
      }
      EXPECT_TRUE(rodaVazia());
      EXPECT_EQ(rodaTempo.agora, inicioAgora);
      EXPECT_EQ(rodaTempo.volta, inicioVolta);
      EXPECT_EQ(falhas.total, 0) << "start agora " << inicioAgora << ", volta " << inicioVolta << ":\n"
                                 << falhas.primeiras;
    }
  }
}

}  // namespace
}  // namespace zandor
