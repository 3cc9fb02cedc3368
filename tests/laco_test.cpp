// The event loop, one pass at a time: the order of its steps, walks that
// survive destruction and level changes inside callbacks, the re-read after
// a full buffer, the drained event, tick arithmetic through the clock seam,
// the sets over every socket, and ending the loop.
//
// The clock is the test's own, so ticks pass only when a test moves it. Each
// test keeps a held object with one pending byte on level 3: its socket is
// always writable and both waits watch it, so no pass sleeps.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "casos.h"
#include "framework/comunica.h"
#include "framework/conjunto.h"
#include "framework/escuta.h"
#include "framework/laco.h"
#include "framework/tempo.h"
#include "ponta.h"
#include "relogio_falso.h"
#include "soquetes.h"

namespace zandor {
namespace {

// Every callback goes to `registro`, in order: "A:<count>", "A:fechou",
// "A:drenou", and from the two classes below "T:expira" and "L:conecta".

// Timers and accepted connections are served outside any level's dispatch.
class Alarme : public TTempo {
 public:
  void cExpira() override {
    registro.push_back("T:expira");
    EXPECT_EQ(niveis.nivelCorrente, kNivelNenhum);
  }
};

class Ouvinte : public TEscuta {
 public:
  void cConecta(int s, const sockaddr_in*) override {
    registro.push_back("L:conecta");
    EXPECT_EQ(niveis.nivelCorrente, kNivelNenhum);
    close(s);
  }
};

bool rodaVazia() {
  for (TTempo* t : rodaTempo.roda)
    if (t != nullptr) return false;
  return true;
}

// Ticks the wheel moved since `antes`.
int andou(int antes) { return (rodaTempo.agora - antes + kSlotsFinos) % kSlotsFinos; }

class Laco : public Pontas {
 protected:
  Laco() : Pontas(Ponta::Dados::contagem) {}

  void SetUp() override {
    Pontas::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(escutas.cabeca, nullptr);
    ASSERT_TRUE(rodaVazia());
    ASSERT_FALSE(rodando);
    agoraAntes_ = rodaTempo.agora;
    voltaAntes_ = rodaTempo.volta;
    marcaTick = tickAgora();

    int par[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, par), 0);
    despertador_ = new TComunica;
    despertador_->soqueteSaida = par[0];
    pares_.push_back(par[1]);
    despertador_->cMuda(kModoRetido, 3);
    ASSERT_TRUE(despertador_->cEnvia("z", 1));
    cPasso();  // the sets left by earlier passes are forgotten
  }

  void TearDown() override {
    delete despertador_;
    delete ouvinte_;
    EXPECT_TRUE(rodaVazia());
    if (rodaVazia()) {
      rodaTempo.agora = agoraAntes_;
      rodaTempo.volta = voltaAntes_;
    }
    Pontas::TearDown();
    EXPECT_EQ(niveis.nivelCorrente, kNivelNenhum);
  }

  // A listener on a free port with one connection from loopback waiting.
  void ouvinteComConexao() {
    ouvinte_ = new Ouvinte;
    uint16_t porta = 0;
    ASSERT_EQ(ouvinte_->cAbre(&porta), nullptr);
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(porta);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    pares_.push_back(c);
  }

  TComunica* despertador_ = nullptr;
  Ouvinte* ouvinte_ = nullptr;

 private:
  int agoraAntes_ = 0;
  int voltaAntes_ = kSlotsFinos;
  RelogioFalso relogio_{1000000};
};

// ---- one pass --------------------------------------------------------------

// Timers, then accepts, then input, then drained output. What a pass reads
// is what the previous pass's main wait found ready.
TEST_F(Laco, OnePassFiresAcceptsReceivesAndDrainsInThatOrder) {
  Ponta *a, *b;
  const int parA = liga(a, "A");
  const int parB = liga(b, "B");
  ouvinteComConexao();
  ASSERT_EQ(send(parA, "x", 1, 0), 1);
  cPasso();
  EXPECT_TRUE(registro.empty()) << "the first pass only finds out what is ready";

  Alarme t;
  t.cArma(1);
  ASSERT_TRUE(b->cEnvia("y", 1));
  msFalso += kMsPorTick;
  cPasso();
  EXPECT_EQ(registro, (std::vector<std::string>{"T:expira", "L:conecta", "A:1", "B:drenou"}));
  EXPECT_EQ(le(parB), "y");
}

// ---- walks -----------------------------------------------------------------

struct Trio {
  Ponta *a, *b, *c;
} trio;

struct CasoPasseio {
  const char* nome;
  void (*acao)(Ponta* quem);  // run in every callback of the walk
  const char* visitados;
};
void PrintTo(const CasoPasseio& c, std::ostream* os) { *os << c.nome; }

class Passeio : public Laco, public ::testing::WithParamInterface<std::tuple<CasoPasseio, bool>> {};

// A, B and C on level 4 in that order, each with input waiting (receive
// walk) or output pending (drain walk).
TEST_P(Passeio, CallbacksDoNotDisturbTheWalk) {
  const auto& [caso, drena] = GetParam();
  std::vector<int> par(3);
  par[2] = liga(trio.c, "C");
  par[1] = liga(trio.b, "B");
  par[0] = liga(trio.a, "A");
  gancho = [&](Ponta* quem, const char*, int32_t) { caso.acao(quem); };
  TConjunto prontos;
  for (Ponta* p : {trio.a, trio.b, trio.c}) {
    if (drena) {
      ASSERT_TRUE(p->cEnvia("s", 1));
    } else {
      prontos.poe(p->soqueteEntrada);
    }
  }
  if (!drena) {
    for (int fd : par) ASSERT_EQ(send(fd, "r", 1, 0), 1);
  }

  if (drena)
    cPasso();
  else
    cRecebe(&prontos, kNiveis);

  std::string visitados;
  for (const std::string& r : registro) {
    EXPECT_EQ(r.substr(1), drena ? ":drenou" : ":1");
    visitados += (visitados.empty() ? "" : " ") + r.substr(0, 1);
  }
  EXPECT_EQ(visitados, caso.visitados);
}

INSTANTIATE_TEST_SUITE_P(
    Laco, Passeio,
    ::testing::Combine(
        ::testing::Values(
            CasoPasseio{"Undisturbed", [](Ponta*) {}, "A B C"},
            CasoPasseio{"DestroysItself", [](Ponta* q) { if (q == trio.a) delete q; }, "A B C"},
            CasoPasseio{"DestroysTheNext", [](Ponta* q) { if (q == trio.a) delete trio.b; }, "A C"},
            CasoPasseio{"DestroysAllOthers", [](Ponta* q) { if (q == trio.a) { delete trio.b; delete trio.c; } },
                        "A"},
            CasoPasseio{"DestroysTheOneBefore", [](Ponta* q) { if (q == trio.b) delete trio.a; }, "A B C"},
            CasoPasseio{"MovesBackAndIsDestroyed", [](Ponta* q) { if (q == trio.a) { q->cMuda(4, 1); delete q; } },
                        "A B C"},
            CasoPasseio{"MovesOnAndIsDestroyed", [](Ponta* q) { if (q == trio.a) { q->cMuda(4, 5); delete q; } },
                        "A B C"},
            CasoPasseio{"MovesTheNextBack", [](Ponta* q) { if (q == trio.a) trio.b->cMuda(4, 3); }, "A C"},
            CasoPasseio{"MovesTheNextOn", [](Ponta* q) { if (q == trio.a) trio.b->cMuda(4, 5); }, "A C B"}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<CasoPasseio, bool>>& i) {
      return std::string(std::get<0>(i.param).nome) + (std::get<1>(i.param) ? "Drain" : "Receive");
    });

// ---- reading ---------------------------------------------------------------

struct CasoLeitura {
  const char* nome;
  int escrito;     // bytes waiting before the dispatch
  int acrescimo;   // bytes the peer adds during the first callback
  bool destroi;    // the object destroys itself in its first callback
  std::vector<int> entregas;  // counts delivered by the one dispatch
};
void PrintTo(const CasoLeitura& c, std::ostream* os) { *os << c.nome; }

class Leitura : public Laco, public ::testing::WithParamInterface<CasoLeitura> {};

// Exactly 2048 bytes may mean more: the socket is read again at once. Less
// ends the object's reading for this dispatch.
TEST_P(Leitura, FullBufferIsReadAgainAtOnce) {
  const CasoLeitura& caso = GetParam();
  Ponta* p;
  const int par = liga(p, "A");
  const std::string dados(static_cast<size_t>(caso.escrito), 'd');
  ASSERT_EQ(send(par, dados.data(), dados.size(), 0), caso.escrito);
  std::vector<int> entregas;
  gancho = [&](Ponta* q, const char* d, int32_t n) {
    if (d == nullptr) return;
    entregas.push_back(n);
    if (entregas.size() != 1) return;
    if (caso.acrescimo > 0) send(par, dados.data(), static_cast<size_t>(caso.acrescimo), 0);
    if (caso.destroi) delete q;
  };
  TConjunto prontos;
  prontos.poe(p->soqueteEntrada);
  cRecebe(&prontos, kNiveis);
  EXPECT_EQ(entregas, caso.entregas);
  if (caso.destroi) return;

  // Whatever was left comes with the next dispatch.
  int total = 0;
  cRecebe(&prontos, kNiveis);
  for (int n : entregas) total += n;
  EXPECT_EQ(total, caso.escrito + caso.acrescimo);
}

INSTANTIATE_TEST_SUITE_P(Laco, Leitura,
                         ::testing::Values(CasoLeitura{"Short", 100, 0, false, {100}},
                                           CasoLeitura{"Exactly2048", 2048, 0, false, {2048}},
                                           CasoLeitura{"OverAFullBuffer", 2053, 0, false, {2048, 5}},
                                           CasoLeitura{"TwoFullBuffers", 4097, 0, false, {2048, 2048, 1}},
                                           CasoLeitura{"ArrivalAfterAFullBuffer", 2048, 7, false, {2048, 7}},
                                           CasoLeitura{"ArrivalAfterAShortRead", 100, 7, false, {100}},
                                           CasoLeitura{"DestroyedAfterAFullBuffer", 2053, 0, true, {2048}}),
                         PeloNome());

// Input is watched on every level: what arrives is read by the next pass.
TEST_F(Laco, InputIsReadOnEveryLevel) {
  for (int nivel : {0, 3, 4, 5}) {
    SCOPED_TRACE(nivel);
    Ponta* p;
    const int par = liga(p, "A");
    p->cMuda(kModoNormal, nivel);
    ASSERT_EQ(send(par, "abc", 3, 0), 3);
    cPasso();
    cPasso();
    EXPECT_EQ(registro, std::vector<std::string>{"A:3"});
    registro.clear();
    delete p;
  }
}

// ---- drained output --------------------------------------------------------

struct CasoDrena {
  const char* nome;
  int modo, nivel;
  bool cheio;      // the peer's socket is full
  bool evento;     // flushed and reported drained
};
void PrintTo(const CasoDrena& c, std::ostream* os) { *os << c.nome; }

class Drena : public Laco, public ::testing::WithParamInterface<CasoDrena> {};

// The drain step flushes every object not held, on any level, and reports
// the ones it emptied, with nivelCorrente at the object's level.
TEST_P(Drena, PassFlushesAndReportsDrainedOutput) {
  const CasoDrena& caso = GetParam();
  Ponta* p;
  const int par = liga(p, "A");
  p->cMuda(caso.modo, caso.nivel);
  const std::string recheio = caso.cheio ? enche(p->soqueteSaida) : "";
  ASSERT_TRUE(p->cEnvia("saida", -1));
  int nivel = -1;
  gancho = [&](Ponta*, const char*, int32_t) { nivel = niveis.nivelCorrente; };
  cPasso();
  EXPECT_EQ(registro, caso.evento ? std::vector<std::string>{"A:drenou"} : std::vector<std::string>{});
  if (caso.evento) {
    EXPECT_EQ(nivel, caso.nivel);
  }
  EXPECT_TRUE(le(par) == recheio + (caso.evento ? "saida" : ""));
  EXPECT_EQ(p->cVazio(), caso.evento);
  EXPECT_FALSE(p->fechar);
}

INSTANTIATE_TEST_SUITE_P(Laco, Drena,
                         ::testing::Values(CasoDrena{"Normal", 4, 4, false, true},
                                           CasoDrena{"Held", 5, 4, false, false},
                                           CasoDrena{"LevelFive", 4, 5, false, true},
                                           CasoDrena{"BlockingModeOnLevel2", 2, 2, false, true},
                                           CasoDrena{"PeerFull", 4, 4, true, false}),
                         PeloNome());

// ---- ticks -----------------------------------------------------------------

struct CasoTick {
  const char* nome;
  uint32_t desde, ate;  // the millisecond clock at the stamp and at the pass
  int ticks;            // what the wheel advances
};
void PrintTo(const CasoTick& c, std::ostream* os) { *os << c.nome; }

class Ticks : public Laco, public ::testing::WithParamInterface<CasoTick> {};

// Ticks are 200 ms, kept in 16 bits; a pass works off at most 12, and a
// step above 2048 (the clock went back, or a long stall) counts as none.
// Ticks cut off are not carried to the next pass.
TEST_P(Ticks, ElapsedTicksOfAPass) {
  const CasoTick& caso = GetParam();
  msFalso = caso.desde;
  marcaTick = tickAgora();
  msFalso = caso.ate;
  const int antes = rodaTempo.agora;
  cPasso();
  EXPECT_EQ(andou(antes), caso.ticks);
  EXPECT_EQ(marcaTick, static_cast<uint16_t>(caso.ate / kMsPorTick));
  const int depois = rodaTempo.agora;
  cPasso();
  EXPECT_EQ(andou(depois), 0);
}

constexpr uint32_t kT = kMsPorTick;
INSTANTIATE_TEST_SUITE_P(
    Laco, Ticks,
    ::testing::Values(CasoTick{"JustUnderATick", 1000000, 1000000 + kT - 1, 0},
                      CasoTick{"OneTick", 1000000, 1000000 + kT, 1},
                      CasoTick{"Twelve", 1000000, 1000000 + 12 * kT, 12},
                      CasoTick{"ThirteenCountAsTwelve", 1000000, 1000000 + 13 * kT, 12},
                      CasoTick{"Step2048CountsAsTwelve", 1000000, 1000000 + 2048 * kT, 12},
                      CasoTick{"Step2049IsAStall", 1000000, 1000000 + 2049 * kT, 0},
                      CasoTick{"ClockBackwards", 1000000, 1000000 - kT, 0},
                      CasoTick{"SixteenBitsWrap", 65535 * kT, 65537 * kT, 2},
                      CasoTick{"MillisecondClockWraps", 0xFFFFFFFFu - 100, 50, 0},
                      CasoTick{"AfterTheClockWrapped", 50, 50 + 3 * kT, 3}),
    PeloNome());

// The ticks a pass counts fire the timers that fall due in them.
TEST_F(Laco, PassFiresTheTimersOfItsTicks) {
  Alarme um, doze, treze;
  um.cArma(1);
  doze.cArma(12);
  treze.cArma(13);
  msFalso += 30 * kT;  // 30 ticks late: 12 are worked off
  cPasso();
  EXPECT_EQ(registro, (std::vector<std::string>{"T:expira", "T:expira"}));
  EXPECT_FALSE(doze.cArmado());
  EXPECT_EQ(treze.cFalta(), 1);
  msFalso += 2049 * kT;  // a stall: nothing
  cPasso();
  EXPECT_EQ(treze.cFalta(), 1);
  msFalso += kT;
  cPasso();
  EXPECT_FALSE(treze.cArmado());
  EXPECT_EQ(registro.size(), 3u);
}

// ---- the sets --------------------------------------------------------------

TEST(LacoConjunto, OneBitPerDescriptorAcrossTheReach) {
  TConjunto c;
  c.poe(-1);
  c.poe(kMaxDescritor);  // beyond the reach: never watched
  EXPECT_EQ(c.quantos, 0);
  EXPECT_FALSE(c.tem(-1));
  EXPECT_FALSE(c.tem(kMaxDescritor));
  for (int s = 0; s < 1000; ++s) {
    c.poe(s);
    c.poe(s);  // a socket held by two objects goes in once
  }
  c.poe(kMaxDescritor - 1);
  EXPECT_EQ(c.quantos, 1001);
  EXPECT_EQ(c.palavras, kPalavras);
  for (int s : {0, 63, 64, 999, kMaxDescritor - 1}) EXPECT_TRUE(c.tem(s)) << s;
  for (int s : {1000, 1023, kMaxDescritor - 2}) EXPECT_FALSE(c.tem(s)) << s;
  const TConjunto copia = c;
  EXPECT_TRUE(copia.tem(777));
  c.limpa();
  EXPECT_EQ(c.quantos, 0);
  EXPECT_EQ(c.palavras, 0);
  for (int s : {0, 999, kMaxDescritor - 1}) EXPECT_FALSE(c.tem(s)) << s;
}

// A socket in both sets is asked for both in one entry, and each set comes
// back with only what was found ready in it.
TEST(LacoConjunto, WaitKeepsReadAndWriteApart) {
  int a[2], b[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, b), 0);
  ASSERT_EQ(send(a[1], "x", 1, 0), 1);  // a[0]: readable and writable; b[0]: writable only
  TConjunto leitura, escrita;
  leitura.poe(a[0]);
  leitura.poe(b[0]);
  escrita.poe(a[0]);
  escrita.poe(b[0]);
  EXPECT_EQ(espera(&leitura, &escrita, 1000), 2);
  EXPECT_EQ(leitura.quantos, 1);
  EXPECT_TRUE(leitura.tem(a[0]));
  EXPECT_EQ(escrita.quantos, 2);
  EXPECT_TRUE(escrita.tem(a[0]) && escrita.tem(b[0]));

  // Nothing ready: both sets come back empty.
  char x;
  ASSERT_EQ(recv(a[0], &x, 1, 0), 1);
  escrita.limpa();
  leitura.poe(a[0]);
  leitura.poe(b[0]);
  EXPECT_EQ(espera(&leitura, &escrita, 0), 0);
  EXPECT_EQ(leitura.quantos + escrita.quantos, 0);
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

// However many objects there are, every one with input is read in the pass
// after the wait that found it: 300 on level 4, one on each level below and
// a notice on the last level, which used to be the first left out.
TEST_F(Laco, EverySocketIsReadWhateverTheirNumber) {
  constexpr int kObjetos = 300;
  std::vector<Ponta*> p(kObjetos + 4);
  for (int i = 0; i < kObjetos + 4; ++i) {
    const int par = liga(p[i], "P" + std::to_string(i));
    ASSERT_EQ(send(par, "!", 1, 0), 1);
  }
  for (int i = 0; i < 3; ++i) p[kObjetos + i]->cMuda(kModoNormal, i);
  p[kObjetos + 3]->cMuda(kModoNormal, kNivelAvisos);
  cPasso();
  cPasso();
  EXPECT_EQ(registro.size(), p.size());
  // Levels in order: 0, 1, 2, then level 4 newest first, the notice last.
  ASSERT_GE(registro.size(), 5u);
  EXPECT_EQ(registro[0], "P300:1");
  EXPECT_EQ(registro[3], "P299:1");
  EXPECT_EQ(registro.back(), "P303:1");
  EXPECT_EQ(std::count(registro.begin(), registro.end(), "P0:1"), 1);
}

// ---- running and ending ----------------------------------------------------

TEST_F(Laco, EndRequestOutsideTheLoopIsVoid) {
  sair = true;
  cEncerra();
  EXPECT_FALSE(sair);
  cEncerra();
  EXPECT_FALSE(sair);
}

// cEncerra from a callback ends the loop after that pass. A cExecuta from a
// callback returns at once and cancels a pending end.
TEST_F(Laco, EndFromACallback) {
  for (bool cancela : {false, true}) {
    SCOPED_TRACE(cancela ? "cancelled once" : "ended at once");
    Ponta* p;
    const int par = liga(p, "A");
    ASSERT_TRUE(p->cEnvia("1", 1));
    int drenados = 0;
    gancho = [&](Ponta* q, const char*, int32_t n) {
      if (n != 1) return;
      ++drenados;
      EXPECT_TRUE(rodando);
      cEncerra();
      if (cancela && drenados == 1) {
        cExecuta();
        EXPECT_FALSE(sair);
        q->cEnvia("2", 1);
      }
    };
    cExecuta();
    EXPECT_FALSE(rodando);
    EXPECT_FALSE(sair);
    EXPECT_EQ(drenados, cancela ? 2 : 1);
    EXPECT_EQ(le(par), cancela ? "12" : "1");
    gancho = nullptr;
    delete p;
    registro.clear();
  }
}

}  // namespace
}  // namespace zandor
