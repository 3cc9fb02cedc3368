// The connection object over real sockets: the ring and its one empty slot,
// the send modes (normal, held, blocking), the replay marks, level moves,
// closing, and a peer that goes away.
//
// Each object's socket is one end of a non-blocking pair; the test holds the
// other end. A SOCK_SEQPACKET pair keeps the boundary of every send, so the
// test sees each send call the ring makes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "casos.h"
#include "framework/comunica.h"
#include "framework/conjunto.h"
#include "framework/laco.h"
#include "ponta.h"
#include "soquetes.h"

namespace zandor {
namespace {

// Each record waiting on a SOCK_SEQPACKET end: one per send.
std::vector<std::string> pacotes(int fd) {
  std::vector<std::string> r;
  std::vector<char> tmp(kTamanhoAnel);  // a whole ring goes as one packet
  ssize_t n;
  while ((n = recv(fd, tmp.data(), tmp.size(), 0)) > 0) r.emplace_back(tmp.data(), static_cast<size_t>(n));
  return r;
}

// A connected TCP pair on loopback, both ends non-blocking.
void parTcp(int par[2]) {
  const int escuta = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t t = sizeof a;
  ASSERT_EQ(bind(escuta, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(escuta, 1), 0);
  ASSERT_EQ(getsockname(escuta, reinterpret_cast<sockaddr*>(&a), &t), 0);
  par[1] = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(par[1], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  par[0] = accept(escuta, nullptr, nullptr);
  close(escuta);
  for (int i = 0; i < 2; ++i) fcntl(par[i], F_SETFL, fcntl(par[i], F_GETFL) | O_NONBLOCK);
}

// Received bytes are logged as themselves: "A:<bytes>".
class Comunica : public Pontas {
 protected:
  void SetUp() override {
    Pontas::SetUp();
    ASSERT_EQ(lote, 0);
    ASSERT_EQ(niveis.nivelCorrente, kNivelNenhum);
  }
  void TearDown() override {
    lote = 0;
    Pontas::TearDown();
  }
};

std::string serie(int n, int semente = 0) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + (i + semente) % 26));
  return s;
}

// ---- the ring --------------------------------------------------------------

// Queued at 2000, a message of 100 bytes wraps: 48 at the end, 52 at the
// start; the flush sends the two pieces in order, in one send.
TEST_F(Comunica, WrappedMessageGoesOutInOneSendInOrder) {
  Ponta* p;
  const int par = liga(p, "A", SOCK_SEQPACKET);
  constexpr int kAntes = kTamanhoComum - 48;
  const std::string antes(kAntes, '.');
  ASSERT_TRUE(p->cEnvia(antes.data(), kAntes));
  ASSERT_TRUE(p->cDescarrega());
  ASSERT_EQ(pacotes(par), std::vector<std::string>{antes});
  ASSERT_EQ(p->cLeitura(), kAntes);
  ASSERT_EQ(p->cEscrita(), kAntes);

  const std::string msg = serie(100);
  ASSERT_TRUE(p->cEnvia(msg.data(), 100));
  EXPECT_EQ(p->cEscrita(), 52);
  EXPECT_EQ(p->cPendentes(), 100);
  EXPECT_EQ(std::string(p->cAnel() + kAntes, 48), msg.substr(0, 48));
  EXPECT_EQ(std::string(p->cAnel(), 52), msg.substr(48));
  EXPECT_EQ(pacotes(par), std::vector<std::string>{}) << "queuing sends nothing";

  EXPECT_TRUE(p->cDescarrega());
  EXPECT_EQ(pacotes(par), (std::vector<std::string>{msg}));
  EXPECT_EQ(p->cLeitura(), 52);
  EXPECT_TRUE(p->cVazio());
}

struct CasoCabe {
  const char* nome;
  int modo;
  int n;
  bool aceita;
  int modoDepois;
};
void PrintTo(const CasoCabe& c, std::ostream* os) { *os << c.nome; }

class Cabe : public Comunica, public ::testing::WithParamInterface<CasoCabe> {};

// On an empty ring an ordinary message fits below its share, 2047 bytes: up
// to 2046. A longer one fits below the whole ring, up to 32766 (a message
// that would leave its limit exactly reached does not fit). Only the blocked
// send, which waits for an empty ring and does not test again, queues a full
// ring.
TEST_P(Cabe, EmptyRingTakesWhatFits) {
  const CasoCabe& caso = GetParam();
  Ponta* p;
  const int par = liga(p, "A");
  p->cMuda(caso.modo, kNivelNormal);
  const std::string msg = serie(caso.n);
  EXPECT_EQ(p->cEnvia(msg.data(), caso.n), caso.aceita);
  EXPECT_EQ(p->cModo(), caso.modoDepois);
  EXPECT_EQ(le(par), "") << "nothing is sent while queuing";
  EXPECT_EQ(p->cPendentes(), caso.aceita ? caso.n : 0);
  EXPECT_FALSE(p->fechar);
  p->cMuda(kModoNormal, kNivelNormal);
  EXPECT_TRUE(p->cDescarrega());
  EXPECT_EQ(le(par), caso.aceita ? msg : "");
}

INSTANTIATE_TEST_SUITE_P(Comunica, Cabe,
                         ::testing::Values(CasoCabe{"EmptyMessage", 4, 0, true, 4},
                                           CasoCabe{"Normal2046", 4, 2046, true, 4},
                                           CasoCabe{"NormalLong2047", 4, 2047, true, 4},
                                           CasoCabe{"NormalBelowTheWholeRing", 4, kCapacidadeAnel - 1, true, 4},
                                           CasoCabe{"NormalWholeRing", 4, kCapacidadeAnel, false, 4},
                                           CasoCabe{"Held2046", 5, 2046, true, 5},
                                           CasoCabe{"HeldWholeRingEndsTheHold", 5, kCapacidadeAnel, false, 4},
                                           CasoCabe{"BlockingWholeRing", 3, kCapacidadeAnel, true, 3},
                                           CasoCabe{"BlockingPastTheRing", 0, kTamanhoAnel, false, 0}),
                         PeloNome());

TEST_F(Comunica, NegativeLengthTakesTheTextsLength) {
  Ponta* p;
  const int par = liga(p, "A");
  EXPECT_TRUE(p->cEnvia("abc\0def", -1));
  EXPECT_TRUE(p->cDescarrega());
  EXPECT_EQ(le(par), "abc");
}

struct CasoCheio {
  const char* nome;
  bool retido;       // mode 5 before the message
  bool parLiberado;  // the peer has read everything before the message
  bool aceita;
};
void PrintTo(const CasoCheio& c, std::ostream* os) { *os << c.nome; }

class Cheio : public Comunica, public ::testing::WithParamInterface<CasoCheio> {};

// A message that does not fit: one flush attempt, then queued whole or
// refused whole. Held output ends its hold either way. A send that would
// block is no failure.
TEST_P(Cheio, OneFlushAttemptThenAllOrNothing) {
  const CasoCheio& caso = GetParam();
  Ponta* p;
  const int par = liga(p, "A");
  if (caso.retido) p->cMuda(kModoRetido, kNivelNormal);
  const std::string recheio = enche(p->soqueteSaida);
  const std::string a = serie(2000), b = serie(100, 7);
  ASSERT_TRUE(p->cEnvia(a.data(), 2000));
  std::string lido;
  if (caso.parLiberado) lido = le(par);

  EXPECT_EQ(p->cEnvia(b.data(), 100), caso.aceita);
  EXPECT_EQ(p->cModo(), kModoNormal);
  EXPECT_FALSE(p->fechar);
  EXPECT_GE(p->soqueteSaida, 0);
  EXPECT_EQ(p->cPendentes(), caso.aceita ? 100 : 2000);

  lido += le(par);
  EXPECT_TRUE(p->cDescarrega());
  lido += le(par);
  EXPECT_TRUE(lido == recheio + a + (caso.aceita ? b : "")) << lido.size() << " bytes read";
}

INSTANTIATE_TEST_SUITE_P(Comunica, Cheio,
                         ::testing::Values(CasoCheio{"NormalPeerReads", false, true, true},
                                           CasoCheio{"NormalPeerFull", false, false, false},
                                           CasoCheio{"HeldPeerReads", true, true, true},
                                           CasoCheio{"HeldPeerFull", true, false, false}),
                         PeloNome());

// A flush that a full ring forces during a pass tells the socket more
// follows, so the peer gets nothing until the pass ends and then all of it in
// one transmission, also when the rest stays behind a hold.
TEST_F(Comunica, AFlushDuringAPassTransmitsAtItsEnd) {
  for (const bool retido : {false, true}) {
    SCOPED_TRACE(retido ? "held after the flush" : "flushed at the end");
    int par[2];
    parTcp(par);
    pares_.push_back(par[1]);
    Ponta* p = new Ponta("A");
    p->adota(par[0]);
    const std::string a = serie(2000), b = serie(100, 7);
    ASSERT_TRUE(p->cEnvia(a.data(), 2000));
    ASSERT_TRUE(p->cEnvia(b.data(), 100)) << "a went to the socket to make room";
    EXPECT_EQ(p->cPendentes(), 100);
    pollfd espera{par[1], POLLIN, 0};
    EXPECT_EQ(poll(&espera, 1, 50), 0) << "nothing transmitted yet";

    if (retido) p->cMuda(kModoRetido, kNivelNormal);
    p->cFimDoPasso();
    if (!retido) {
      EXPECT_TRUE(p->cDescarrega());
    }
    const std::string esperado = retido ? a : a + b;
    // Left alone, the kernel sends held-back bytes after about 200 ms.
    std::string lido;
    while (lido.size() < esperado.size() && poll(&espera, 1, 100) == 1) lido += le(par[1]);
    EXPECT_TRUE(lido == esperado) << lido.size() << " bytes read";
    delete p;
  }
}

// Ordinary output keeps to its share: behind 2000 bytes a peer has not
// taken, a 100-byte message is refused, while a long line still fits, and the
// ordinary share stays used up behind it. What was queued goes out in order.
TEST_F(Comunica, LongMessageFitsBehindAFullShareOfOrdinaryOutput) {
  Ponta* p;
  const int par = liga(p, "A");
  const std::string recheio = enche(p->soqueteSaida);
  const std::string a = serie(2000), curta = serie(100, 7), longa = serie(20000, 3);
  ASSERT_TRUE(p->cEnvia(a.data(), 2000));
  EXPECT_FALSE(p->cEnvia(curta.data(), 100));
  EXPECT_TRUE(p->cEnvia(longa.data(), 20000));
  EXPECT_EQ(p->cLivre(), 0);
  EXPECT_FALSE(p->cEnvia(curta.data(), 100));
  EXPECT_EQ(p->cPendentes(), 22000);
  std::string lido;
  while (!p->cDescarrega()) lido += le(par);
  lido += le(par);
  EXPECT_TRUE(lido == recheio + a + longa) << lido.size() << " bytes read";
}

// The direct send goes out at once, ahead of held output, and leaves the
// ring, the marks and the mode as they were. Failing, it changes nothing
// either: no SIGPIPE, no close request; the next flush meets the failure.
TEST_F(Comunica, DirectSendGoesAheadAndTouchesNothing) {
  Ponta* p;
  const int par = liga(p, "A", SOCK_SEQPACKET);
  p->cMuda(kModoRetido, kNivelNormal);
  lote = 1;
  ASSERT_TRUE(p->cEnvia("retido", -1));
  p->cEnviaDireto("agora", -1);
  p->cEnviaDireto("xyz", 2);
  EXPECT_EQ(pacotes(par), (std::vector<std::string>{"agora", "xy"}));
  EXPECT_EQ(p->cPendentes(), 6);
  EXPECT_EQ(p->cMarca(0), 0);
  EXPECT_EQ(p->cModo(), kModoRetido);
  p->cMuda(kModoNormal, kNivelNormal);
  EXPECT_TRUE(p->cDescarrega());
  EXPECT_EQ(pacotes(par), std::vector<std::string>{"retido"});

  void (*antes)(int) = signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test run
  larga(par);
  p->cEnviaDireto("perdido", -1);
  EXPECT_FALSE(p->fechar);
  EXPECT_GE(p->soqueteSaida, 0);
  signal(SIGPIPE, antes);
  p->cFecha(false);
  p->cEnviaDireto("nada", -1);  // no socket: nothing at all
  EXPECT_TRUE(registro.empty());
}

// ---- blocking modes --------------------------------------------------------

struct CasoNivel {
  const char* nome;
  int modo;
  int nivelChamador;  // 6: outside any dispatch
  bool recusa;
};
void PrintTo(const CasoNivel& c, std::ostream* os) { *os << c.nome; }

class NivelChamador : public Comunica, public ::testing::WithParamInterface<CasoNivel> {};

// A blocking send from a callback of a level below the mode is refused with
// the framework's one line, even though the message would fit.
TEST_P(NivelChamador, BlockingSendFromALowerLevelIsRefused) {
  const CasoNivel& caso = GetParam();
  Ponta* alvo;
  const int parAlvo = liga(alvo, "B");
  alvo->cMuda(caso.modo, kNivelNormal);
  bool resultado = false;
  ::testing::internal::CaptureStdout();
  if (caso.nivelChamador == kNivelNenhum) {
    resultado = alvo->cEnvia("x", 1);
  } else {
    Ponta* chamador;
    const int par = liga(chamador, "C");
    chamador->cMuda(kModoNormal, caso.nivelChamador);
    gancho = [&](Ponta* q, const char*, int32_t) {
      if (q == chamador) resultado = alvo->cEnvia("x", 1);
    };
    ASSERT_EQ(send(par, "!", 1, 0), 1);
    TConjunto prontos;
    prontos.poe(chamador->soqueteEntrada);
    cRecebe(&prontos, kNiveis);
    EXPECT_EQ(registro, std::vector<std::string>{"C:!"});
  }
  const std::string saida = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(resultado, !caso.recusa);
  EXPECT_EQ(saida, caso.recusa ? "[TComunica] Erro: cEnvia() foi chamado de cEvento() de menor n\xEDvel\n" : "");
  EXPECT_TRUE(alvo->cDescarrega());
  EXPECT_EQ(le(parAlvo), caso.recusa ? "" : "x");
  EXPECT_EQ(niveis.nivelCorrente, kNivelNenhum);
}

INSTANTIATE_TEST_SUITE_P(Comunica, NivelChamador,
                         ::testing::Values(CasoNivel{"Mode3FromLevel2", 3, 2, true},
                                           CasoNivel{"Mode1FromLevel0", 1, 0, true},
                                           CasoNivel{"Mode3FromLevel3", 3, 3, false},
                                           CasoNivel{"Mode3FromLevel4", 3, 4, false},
                                           CasoNivel{"Mode0FromLevel0", 0, 0, false},
                                           CasoNivel{"Mode2OutsideDispatch", 2, kNivelNenhum, false}),
                         PeloNome());

// While a send in mode 2 waits for its ring to drain, the input of levels 0
// and 1 is served and nothing else; here a level-0 callback reads the far
// end, which lets the blocked send finish.
TEST_F(Comunica, BlockedSendServesOnlyLowerLevels) {
  Ponta *b, *a, *l1, *c;
  const int parB = liga(b, "B");
  const int parA = liga(a, "A");
  const int parL1 = liga(l1, "L1");
  const int parC = liga(c, "C");
  a->cMuda(kModoNormal, 0);
  l1->cMuda(kModoNormal, 1);
  c->cMuda(kModoNormal, 2);
  b->cMuda(2, kNivelNormal);  // blocking, but listed on level 4

  const std::string recheio = enche(b->soqueteSaida);
  const std::string x = serie(2000), y = serie(100, 3);
  ASSERT_TRUE(b->cEnvia(x.data(), 2000));
  for (int fd : {parA, parL1, parC}) ASSERT_EQ(send(fd, "!", 1, 0), 1);
  std::string lido;
  gancho = [&](Ponta* q, const char*, int32_t) {
    if (q == a) lido += le(parB);
  };

  EXPECT_TRUE(b->cEnvia(y.data(), 100));
  EXPECT_EQ(registro, (std::vector<std::string>{"A:!", "L1:!"}));
  EXPECT_EQ(niveis.nivelCorrente, kNivelNenhum);
  EXPECT_TRUE(b->cDescarrega());
  lido += le(parB);
  EXPECT_TRUE(lido == recheio + x + y) << lido.size() << " bytes read";

  // Level 2 was left alone: its byte is still waiting.
  TConjunto prontos;
  prontos.poe(c->soqueteEntrada);
  cRecebe(&prontos, kNiveis);
  EXPECT_EQ(registro.back(), "C:!");
}

// A blocked send gives up when a lower level's callback destroys its object
// (nothing touches it afterwards) or when the socket fails meanwhile.
TEST_F(Comunica, BlockedSendGivesUp) {
  for (bool destroi : {true, false}) {
    SCOPED_TRACE(destroi ? "object destroyed" : "peer gone");
    Ponta *b, *a;
    const int parB = liga(b, "B");
    const int parA = liga(a, "A");
    a->cMuda(kModoNormal, 0);
    b->cMuda(1, kNivelNormal);
    enche(b->soqueteSaida);
    const std::string x = serie(2000);
    ASSERT_TRUE(b->cEnvia(x.data(), 2000));
    ASSERT_EQ(send(parA, "!", 1, 0), 1);
    gancho = [&](Ponta* q, const char*, int32_t) {
      if (q != a) return;
      if (destroi)
        delete b;
      else
        larga(parB);
    };
    EXPECT_FALSE(b->cEnvia(x.data(), 100));
    if (destroi) {
      EXPECT_EQ(vivas.count(b), 0u);
    } else {
      EXPECT_TRUE(b->fechar);
      EXPECT_LT(b->soqueteSaida, 0);
      EXPECT_EQ(b->cPendentes(), 2000) << "unsent bytes stay";
    }
    gancho = nullptr;
    registro.clear();
    while (!vivas.empty()) delete *vivas.begin();
  }
}

// ---- replay marks ----------------------------------------------------------

// Four batches of ten bytes at 0, 10, 20 and 30 leave the marks at
// [30, 20, 10, 0] with the batch counter at 4.
class ComunicaMarcas : public Comunica {
 protected:
  void quatroLotes() {
    par_ = liga(p_, "A");
    for (int i = 0; i < 4; ++i) {
      lote = i + 1;
      const std::string m(10, static_cast<char>('0' + i));
      ASSERT_TRUE(p_->cEnvia(m.data(), 10));
      ASSERT_TRUE(p_->cDescarrega());
    }
    ASSERT_EQ(le(par_), "0000000000111111111122222222223333333333");
    ASSERT_EQ(marcas(), (std::vector<int>{30, 20, 10, 0}));
  }
  std::vector<int> marcas() const {
    std::vector<int> r;
    for (int i = 0; i < kMarcas; ++i) r.push_back(p_->cMarca(i));
    return r;
  }
  Ponta* p_ = nullptr;
  int par_ = -1;
};

// How far the counter moved since the marks were brought up to date decides
// how they shift when the next message is queued.
TEST_F(ComunicaMarcas, NextMessageShiftsTheMarksByTheBatchesPassed) {
  const struct {
    int d;
    std::vector<int> depois;
  } casos[] = {{0, {30, 20, 10, 0}}, {1, {40, 30, 20, 10}}, {2, {40, -1, 30, 20}},
               {3, {40, -1, -1, 30}}, {4, {40, -1, -1, -1}}, {-1, {40, -1, -1, -1}}};
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.d);
    quatroLotes();
    lote += caso.d;
    ASSERT_TRUE(p_->cEnvia("zzzzz", 5));
    EXPECT_EQ(marcas(), caso.depois);
    delete p_;
  }
}

// cRepete goes back to the oldest mark of the current batch and the three
// before it, sends those bytes again and clears every mark.
TEST_F(ComunicaMarcas, RepeatGoesBackToTheOldestUsableMark) {
  const struct {
    int d;
    std::string repetido;
  } casos[] = {{0, "0000000000111111111122222222223333333333"},
               {1, "111111111122222222223333333333"},
               {2, "22222222223333333333"},
               {3, "3333333333"},
               {4, ""},
               {-1, ""}};
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.d);
    quatroLotes();
    lote += caso.d;
    p_->cRepete();
    EXPECT_EQ(marcas(), (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_TRUE(p_->cDescarrega());
    EXPECT_EQ(le(par_), caso.repetido);
    // The counter was taken: the next message in this batch sets no mark.
    ASSERT_TRUE(p_->cEnvia("z", 1));
    EXPECT_EQ(marcas(), (std::vector<int>{-1, -1, -1, -1}));
    delete p_;
  }
}

// With the counter never moving no mark is ever set and a repeat sends
// nothing again; cLimpa forgets the marks as cRepete does.
TEST_F(ComunicaMarcas, ConstantBatchSetsNoMarkAndClearForgets) {
  par_ = liga(p_, "A");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(p_->cEnvia("abcdefgh", 8));
  ASSERT_TRUE(p_->cDescarrega());
  EXPECT_EQ(marcas(), (std::vector<int>{-1, -1, -1, -1}));
  p_->cRepete();
  EXPECT_TRUE(p_->cVazio());
  delete p_;

  quatroLotes();
  p_->cLimpa();
  EXPECT_EQ(marcas(), (std::vector<int>{-1, -1, -1, -1}));
  p_->cRepete();
  EXPECT_EQ(p_->cLeitura(), 40);
}

// A message that would overwrite the start of a marked batch drops that
// mark and every older one; newer ones survive.
TEST_F(ComunicaMarcas, OverwrittenMarksAreDropped) {
  par_ = liga(p_, "A");
  constexpr int kLote = (kTamanhoComum - 48) / 2;
  const std::string lote1(kLote, 'm');
  lote = 1;
  ASSERT_TRUE(p_->cEnvia(lote1.data(), kLote));  // batch 1 at 0
  ASSERT_TRUE(p_->cDescarrega());
  lote = 2;
  ASSERT_TRUE(p_->cEnvia(lote1.data(), kLote));  // batch 2 at kLote
  ASSERT_TRUE(p_->cDescarrega());
  ASSERT_EQ(marcas(), (std::vector<int>{kLote, 0, -1, -1}));
  // From 2 * kLote, 46 bytes end two short of position 0 and keep its mark.
  ASSERT_TRUE(p_->cEnvia(lote1.data(), 46));
  EXPECT_EQ(marcas(), (std::vector<int>{kLote, 0, -1, -1}));
  // One more byte would leave the ring exactly full from that mark.
  ASSERT_TRUE(p_->cEnvia(lote1.data(), 1));
  EXPECT_EQ(marcas(), (std::vector<int>{kLote, -1, -1, -1}));
  EXPECT_EQ(p_->cEscrita(), kTamanhoComum - 1);
  le(par_);
}

// A long message moves the ring into a large buffer with every pending byte
// and mark in order, and once drained the ring is back inside the object,
// the newest bytes with it: marks further back than it holds are gone.
TEST_F(ComunicaMarcas, LongMessageBorrowsTheLargeRingAndGivesItBack) {
  par_ = liga(p_, "A");
  lote = 1;
  ASSERT_TRUE(p_->cEnvia("aaaaaaaaaa", 10));
  ASSERT_TRUE(p_->cDescarrega());
  ASSERT_EQ(le(par_), "aaaaaaaaaa");
  lote = 2;
  const std::string longa(3000, 'b');
  ASSERT_TRUE(p_->cEnvia(longa.data(), 3000));
  EXPECT_EQ(p_->cTamanhoAnel(), kTamanhoAnel);
  EXPECT_EQ(p_->cPendentes(), 3000);
  p_->cRepete();  // back to batch 1, through the move
  EXPECT_EQ(p_->cPendentes(), 3010);
  ASSERT_TRUE(p_->cDescarrega());
  EXPECT_EQ(le(par_), "aaaaaaaaaa" + longa);
  EXPECT_EQ(p_->cTamanhoAnel(), kTamanhoComum);
  EXPECT_EQ(marcas(), (std::vector<int>{-1, -1, -1, -1}));
  lote = 3;
  ASSERT_TRUE(p_->cEnvia("cc", 2));
  ASSERT_TRUE(p_->cDescarrega());
  p_->cRepete();
  ASSERT_TRUE(p_->cDescarrega());
  EXPECT_EQ(le(par_), "cccc");
}

// Wherever the small ring stands when a long message comes, wrapped or
// not, the move keeps the pending bytes and the marked batches in order.
TEST_F(ComunicaMarcas, TheMoveKeepsOrderWhereverTheRingStands) {
  for (const int antes : {0, 1, 1000, kTamanhoComum - 60, kFilaComum - 1}) {
    SCOPED_TRACE(antes);
    par_ = liga(p_, "A");
    const std::string enche(static_cast<size_t>(antes), '.');
    ASSERT_TRUE(p_->cEnvia(enche.data(), static_cast<int32_t>(enche.size())));
    ASSERT_TRUE(p_->cDescarrega());
    le(par_);
    lote = 1;
    const std::string velho = serie(100), pendente(50, 'p'), longa(3000, 'L');
    ASSERT_TRUE(p_->cEnvia(velho.data(), 100));
    ASSERT_TRUE(p_->cDescarrega());
    ASSERT_EQ(le(par_), velho);
    lote = 2;
    ASSERT_TRUE(p_->cEnvia(pendente.data(), 50));
    ASSERT_TRUE(p_->cEnvia(longa.data(), 3000));
    ASSERT_EQ(p_->cTamanhoAnel(), kTamanhoAnel);
    p_->cRepete();  // batch 1 again, then what is pending
    ASSERT_TRUE(p_->cDescarrega());
    EXPECT_EQ(le(par_), velho + pendente + longa);
    EXPECT_EQ(p_->cTamanhoAnel(), kTamanhoComum);
    delete p_;
  }
}

// A large ring that wraps while a slow peer reads keeps the bytes in order,
// and moves back inside the object intact once they drain.
TEST_F(Comunica, ALargeRingThatWrapsShrinksInOrder) {
  int par[2];
  ASSERT_TRUE(parDeSoquetes(par, 4096));
  pares_.push_back(par[1]);
  Ponta* p = new Ponta("A");
  p->adota(par[0]);
  std::string enviado, lido;
  char tmp[3000];
  auto leUmPouco = [&] {
    const ssize_t n = recv(par[1], tmp, sizeof tmp, 0);
    if (n > 0) lido.append(tmp, static_cast<size_t>(n));
  };
  bool dobrou = false;
  for (int i = 0; i < 40 && !dobrou; ++i) {
    const int antes = p->cEscrita();
    const std::string longa = serie(3000, i);
    ASSERT_TRUE(p->cEnvia(longa.data(), 3000)) << i;
    enviado += longa;
    dobrou = p->cTamanhoAnel() == kTamanhoAnel && p->cEscrita() < antes;
    if (i >= 6) leUmPouco();  // the socket fills first, then keeps pace
    p->cDescarrega();
  }
  ASSERT_TRUE(dobrou);
  while (!p->cDescarrega() || lido.size() < enviado.size()) {
    const size_t antes = lido.size();
    leUmPouco();
    if (lido.size() == antes) break;
  }
  EXPECT_TRUE(lido == enviado) << lido.size() << " of " << enviado.size() << " bytes";
  EXPECT_EQ(p->cTamanhoAnel(), kTamanhoComum);
}

// ---- levels ----------------------------------------------------------------

struct CasoMuda {
  const char* nome;
  int modo, nivel;
  int modoDepois, nivelDepois;
};
void PrintTo(const CasoMuda& c, std::ostream* os) { *os << c.nome; }

class Muda : public Comunica, public ::testing::WithParamInterface<CasoMuda> {};

TEST_P(Muda, ModeAndLevel) {
  const CasoMuda& caso = GetParam();
  Ponta* w = new Ponta("W");
  w->cMuda(kModoNormal, 2);
  Ponta* y = new Ponta("Y");
  Ponta* x = new Ponta("X");
  ASSERT_EQ(niveis[kNivelNormal].cabeca, x) << "new objects go to the head of level 4";
  ASSERT_EQ(x->cProximo(), y);

  x->cMuda(caso.modo, caso.nivel);
  EXPECT_EQ(x->cModo(), caso.modoDepois);
  EXPECT_EQ(x->cNivel(), caso.nivelDepois);
  if (caso.nivelDepois == 2) {
    // Appended at the tail, and gone from level 4.
    EXPECT_EQ(niveis[2].cabeca, w);
    EXPECT_EQ(w->cProximo(), x);
    EXPECT_EQ(niveis[2].cauda, x);
    EXPECT_EQ(niveis[kNivelNormal].cabeca, y);
    EXPECT_EQ(niveis[kNivelNormal].cauda, y);
    EXPECT_EQ(y->cProximo(), nullptr);
  } else {
    EXPECT_EQ(niveis[kNivelNormal].cabeca, x);
    EXPECT_EQ(x->cProximo(), y);
    EXPECT_EQ(niveis[2].cabeca, w);
    EXPECT_EQ(niveis[2].cauda, w);
  }
}

INSTANTIATE_TEST_SUITE_P(Comunica, Muda,
                         ::testing::Values(CasoMuda{"SameLevelChangesOnlyTheMode", 5, 4, 5, 4},
                                           CasoMuda{"LevelAbove5MovesNothing", 3, 6, 3, 4},
                                           CasoMuda{"NegativeLevelMovesNothing", 3, -1, 3, 4},
                                           CasoMuda{"ModeAbove5KeepsTheMode", 6, 2, 4, 2},
                                           CasoMuda{"NegativeModeIsAByteAbove5", -1, 2, 4, 2},
                                           CasoMuda{"MovedToTheTail", 0, 2, 0, 2}),
                         PeloNome());

// ---- closing ---------------------------------------------------------------

struct CasoFecha {
  const char* nome;
  int modo;
  bool destroi;      // the destructor instead of cFecha
  bool descarregar;  // cFecha's argument
  bool separados;    // input and output on different sockets
  bool entrega;      // the far end gets the pending bytes
};
void PrintTo(const CasoFecha& c, std::ostream* os) { *os << c.nome; }

class Fecha : public Comunica, public ::testing::WithParamInterface<CasoFecha> {};

// Closing flushes once unless held or told not to, closes both sockets and
// resets the ring and the marks; the object keeps its level and mode.
TEST_P(Fecha, ClosesBothSocketsAfterAtMostOneFlush) {
  const CasoFecha& caso = GetParam();
  Ponta* p;
  const int parSaida = liga(p, "A");
  int parEntrada = parSaida;
  if (caso.separados) {
    int par[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, par), 0);
    p->soqueteEntrada = par[0];
    parEntrada = par[1];
    pares_.push_back(par[1]);
  }
  p->cMuda(caso.modo, 3);
  lote = 1;
  ASSERT_TRUE(p->cEnvia("pendente", -1));
  ASSERT_EQ(p->cMarca(0), 0);
  p->fechar = true;

  if (caso.destroi) {
    delete p;
  } else {
    p->cFecha(caso.descarregar);
    EXPECT_EQ(p->soqueteSaida, -1);
    EXPECT_EQ(p->soqueteEntrada, -1);
    EXPECT_EQ(p->cLeitura(), 0);
    EXPECT_EQ(p->cEscrita(), 0);
    for (int i = 0; i < kMarcas; ++i) EXPECT_EQ(p->cMarca(i), -1);
    EXPECT_FALSE(p->fechar);
    EXPECT_EQ(p->cModo(), caso.modo);
    EXPECT_EQ(niveis[3].cabeca, p);
  }
  EXPECT_EQ(le(parSaida), caso.entrega ? "pendente" : "");
  char c;
  EXPECT_EQ(recv(parSaida, &c, 1, 0), 0) << "output socket closed";
  EXPECT_EQ(recv(parEntrada, &c, 1, 0), 0) << "input socket closed";
}

INSTANTIATE_TEST_SUITE_P(Comunica, Fecha,
                         ::testing::Values(CasoFecha{"FlushesOnce", 4, false, true, false, true},
                                           CasoFecha{"WithoutFlush", 4, false, false, false, false},
                                           CasoFecha{"HeldDiscards", 5, false, true, false, false},
                                           CasoFecha{"SeparateSockets", 4, false, true, true, true},
                                           CasoFecha{"DestroyedFlushesOnce", 4, true, false, true, true},
                                           CasoFecha{"DestroyedHeldDiscards", 5, true, false, false, false}),
                         PeloNome());

// ---- a vanished peer -------------------------------------------------------

struct CasoSumiu {
  const char* nome;
  bool tcp;
  bool prontoParaLer;  // the dispatch also finds the socket readable
};
void PrintTo(const CasoSumiu& c, std::ostream* os) { *os << c.nome; }

class ParSumiu : public Comunica, public ::testing::WithParamInterface<CasoSumiu> {};

// A flush to a peer that has gone fails without SIGPIPE, gives up the
// output socket, keeps the bytes and sets `fechar`; the next dispatch turns
// that into exactly one close event, however the socket looks.
TEST_P(ParSumiu, FailedSendBecomesOneCloseEvent) {
  const CasoSumiu& caso = GetParam();
  void (*antes)(int) = signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test run
  int par[2];
  if (caso.tcp)
    parTcp(par);
  else
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, par), 0);
  Ponta* p = new Ponta("A");
  p->adota(par[0]);
  close(par[1]);

  // A TCP peer's reset arrives only after the first send reaches it.
  const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!p->fechar && std::chrono::steady_clock::now() < limite) {
    ASSERT_TRUE(p->cEnvia("abc", 3));
    p->cDescarrega();
    if (!p->fechar) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(p->fechar);
  EXPECT_EQ(p->soqueteSaida, -1);
  EXPECT_EQ(p->soqueteEntrada, par[0]) << "a shared socket stays for the close";
  EXPECT_FALSE(p->cVazio());

  // Still queued while there is room, refused once full: nowhere to flush.
  const std::string mil(1000, 'x');
  int aceitos = 0;
  while (p->cEnvia(mil.data(), 1000)) ++aceitos;
  EXPECT_GE(aceitos, 1);
  EXPECT_LE(aceitos, 2);
  EXPECT_TRUE(registro.empty());

  TConjunto prontos;
  if (caso.prontoParaLer) prontos.poe(par[0]);
  cRecebe(&prontos, kNiveis);
  EXPECT_EQ(registro, std::vector<std::string>{"A:fechou"});
  EXPECT_EQ(p->soqueteEntrada, -1);
  EXPECT_TRUE(p->cVazio());
  cRecebe(&prontos, kNiveis);
  EXPECT_EQ(registro, std::vector<std::string>{"A:fechou"});
  signal(SIGPIPE, antes);
}

INSTANTIATE_TEST_SUITE_P(Comunica, ParSumiu,
                         ::testing::Values(CasoSumiu{"UnixPair", false, false},
                                           CasoSumiu{"UnixPairReadable", false, true},
                                           CasoSumiu{"Tcp", true, false}, CasoSumiu{"TcpReadable", true, true}),
                         PeloNome());

}  // namespace
}  // namespace zandor
