// A user's session in-process: protocol detection, the telnet and framed
// decoders, the stages with their idle timers, and the telnet hold.
//
// Each user is a real TCliente whose socket is one end of a non-blocking
// AF_UNIX pair; the test holds the other end and reads exactly the bytes the
// session wrote. Bytes come in through cEvento, as the event loop would hand
// them over, and time moves only through cAvanca. Reading a user first
// flushes its ring the way the loop does: never while the output is held.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "casos.h"
#include "framework/comunica.h"
#include "framework/tempo.h"
#include "gateway/cliente.h"
#include "gateway/mud.h"
#include "gateway_falso.h"
#include "quadro.h"
#include "soquetes.h"
#include "text/dobra.h"

namespace zandor {
namespace {

using namespace std::string_literals;

// The first exchange and the prompts, as the user sees them on the wire.
const std::string kTelnetDetectado = "-OK Entrando via telnet; para sair tecle /sair ou /quit\r\n";
const std::string kQuadrosDetectado = "+OK Entrando via Orvalho\r\n";
const std::string kPedido = "Digite seu apelido";
const std::string kInvalido = "Apelido inv\xE1lido, digite outro";
const std::string kTecleAjuda = "Tecle /ajuda para saber os comandos";
const std::string kTempoEsgotado = "-Tempo esgotado\r\n";
const std::string kTecle = "tecle\r\n";

// The idle timers, in ticks of 200 ms.
constexpr int kDezSegundos = 50;
constexpr int kDoisSegundos = 10;
constexpr int kUmMinuto = 300;
constexpr int kCincoMinutos = 1500;

std::string linhaTelnet(const std::string& texto) { return texto + "\r\n"; }

bool naLista(const TCliente* c) {
  for (const TCliente* p = clientes; p != nullptr; p = p->proximo)
    if (p == c) return true;
  return false;
}

// One user: a session and the far end of its socket.
class Usuario {
 public:
  Usuario() {
    int par[2];
    if (!parDeSoquetes(par)) std::abort();
    sessao_ = new TCliente;
    sessao_->adota(par[0]);
    sessao_->cArma(kDezSegundos);  // as admission does
    par_ = par[1];
  }
  ~Usuario() {
    if (vivo_) delete sessao_;
    close(par_);
  }
  Usuario(const Usuario&) = delete;
  Usuario& operator=(const Usuario&) = delete;

  TCliente* operator->() const { return sessao_; }
  bool vivo() const { return vivo_; }
  // Notices a session that destroyed itself; called after anything that may.
  void confere() {
    if (vivo_ && !naLista(sessao_)) vivo_ = false;
  }

  // One delivery of received bytes.
  void recebe(const std::string& bytes);
  // The same bytes, one delivery per byte.
  void recebeAosBytes(const std::string& bytes);

  // Everything the far end can read now, after the loop's flush.
  std::string le() {
    if (vivo_ && sessao_->cModo() != kModoRetido) sessao_->cDescarrega();
    bool fechou = false;
    std::string r = zandor::le(par_, &fechou);
    fim_ = fim_ || fechou;
    return r;
  }
  // True once the far end has seen the connection close.
  bool fechou() {
    le();
    return fim_;
  }

 private:
  TCliente* sessao_;
  int par_ = -1;
  bool vivo_ = true;
  bool fim_ = false;
};

// Every user of the running test, so that a destruction anywhere is noticed
// before a new session could take the freed address.
std::vector<Usuario*> todos;

void confereTodos() {
  for (Usuario* u : todos) u->confere();
}

void Usuario::recebe(const std::string& bytes) {
  ASSERT_TRUE(vivo_);
  sessao_->cEvento(bytes.data(), static_cast<int32_t>(bytes.size()));
  confereTodos();
}

void Usuario::recebeAosBytes(const std::string& bytes) {
  for (char b : bytes) {
    ASSERT_TRUE(vivo_);
    sessao_->cEvento(&b, 1);
    confereTodos();
  }
}

// The shared fixture, with users that live as objects of the case (each
// closes its own far end) and the wheel's hands put back.
class Sessao : public GatewayFalso {
 protected:
  void SetUp() override {
    GatewayFalso::SetUp();
    agoraAntes_ = rodaTempo.agora;
    voltaAntes_ = rodaTempo.volta;
  }

  void TearDown() override {
    confereTodos();
    usuarios_.clear();
    todos.clear();
    EXPECT_EQ(clientes, nullptr);
    GatewayFalso::TearDown();
    // With every session gone the wheel is empty again, so its hands can go
    // back to where they were.
    bool vazia = true;
    for (TTempo* t : rodaTempo.roda) vazia = vazia && t == nullptr;
    if (vazia) {
      rodaTempo.agora = agoraAntes_;
      rodaTempo.volta = voltaAntes_;
    }
  }

  Usuario& novo() {
    confereTodos();
    usuarios_.push_back(std::make_unique<Usuario>());
    todos.push_back(usuarios_.back().get());
    return *usuarios_.back();
  }

  static void avanca(int ticks) {
    cAvanca(ticks);
    confereTodos();
  }

  // A telnet user through detection and nickname, with nothing left to read.
  Usuario& telnet(const std::string& apelido) {
    Usuario& u = novo();
    u.recebe("\r\n");
    u.recebe(apelido + "\r\n");
    EXPECT_EQ(u->etapa, kEtapaNomeado);
    lerTodos();
    return u;
  }

  // A framed-client user through detection and nickname.
  Usuario& orvalho(const std::string& apelido) {
    Usuario& u = novo();
    u.recebe("orvalho\r\n");
    u.recebe(quadro(apelido));
    EXPECT_EQ(u->etapa, kEtapaNomeado);
    lerTodos();
    return u;
  }

  void lerTodos() {
    for (auto& u : usuarios_)
      if (u->vivo()) u->le();
  }

 private:
  std::vector<std::unique_ptr<Usuario>> usuarios_;
  int agoraAntes_ = 0;
  int voltaAntes_ = kSlotsFinos;
};

// ---- detection -------------------------------------------------------------

struct CasoDeteccao {
  const char* nome;
  std::string bytes;
  bool quadros;
};
void PrintTo(const CasoDeteccao& c, std::ostream* os) { *os << c.nome; }

class Deteccao : public Sessao, public ::testing::WithParamInterface<CasoDeteccao> {};

TEST_P(Deteccao, FirstLineDecidesTheProtocol) {
  const CasoDeteccao& caso = GetParam();
  Usuario& u = novo();
  u.recebeAosBytes(caso.bytes);
  ASSERT_TRUE(u.vivo());

  // Both answers are telnet lines: the protocol is set only after the reply.
  EXPECT_EQ(u.le(), caso.quadros ? kQuadrosDetectado : kTelnetDetectado);
  EXPECT_EQ(u->protocolo, caso.quadros ? kProtocoloQuadros : kProtocoloTelnet);
  EXPECT_EQ(u->etapa, kEtapaDetectado);

  // Two seconds later the nickname is asked, in the user's own protocol.
  avanca(kDoisSegundos - 1);
  EXPECT_EQ(u.le(), "");
  avanca(1);
  EXPECT_EQ(u.le(), caso.quadros ? quadro(kPedido) : linhaTelnet(kPedido));
  EXPECT_EQ(u->etapa, kEtapaPedido);
}

INSTANTIATE_TEST_SUITE_P(
    Sessao, Deteccao,
    ::testing::Values(CasoDeteccao{"Letters", "orvalho\r", true},
                      CasoDeteccao{"OnlyBlanks", "   \r\n", true},
                      CasoDeteccao{"OneZeroByteAndALetter", "\0x\n"s, true},
                      CasoDeteccao{"EmptyCrLf", "\r\n", false},
                      CasoDeteccao{"EmptyLoneLf", "\n", false},
                      CasoDeteccao{"ZeroByteOnly", "\0\r"s, false},
                      CasoDeteccao{"BackspaceOnEmptyLine", "\x08\x7F\r", false},
                      CasoDeteccao{"TypedThenErased", "ab\x08\x7F\r\n", false},
                      CasoDeteccao{"NegotiationAndEscapes",
                                   "\xFF\xFB\x01\xFF\xFD\x03\xFF\xFA\x18\x00xterm\xFF\xF0\x1B[A\xFF\xF1\r\n"s, false}),
    PeloNome());

// ---- telnet decoding -------------------------------------------------------

struct CasoLinhas {
  const char* nome;
  std::string bytes;
  std::string saida;   // what Ana reads afterwards
  bool retido;         // an empty line started the hold
};
void PrintTo(const CasoLinhas& c, std::ostream* os) { *os << c.nome; }

class FimDeLinha : public Sessao, public ::testing::WithParamInterface<CasoLinhas> {};

// Byte by byte, each kind of line end closes exactly one line; a doubled
// one closes a second, empty line, which for a named telnet user is the hold.
TEST_P(FimDeLinha, EndsExactlyTheLinesItShould) {
  const CasoLinhas& caso = GetParam();
  Usuario& ana = telnet("Ana");
  ana.recebeAosBytes(caso.bytes);
  EXPECT_EQ(ana.le(), caso.saida);
  EXPECT_EQ(ana->cModo(), caso.retido ? kModoRetido : kModoNormal);
}

INSTANTIATE_TEST_SUITE_P(
    Sessao, FimDeLinha,
    ::testing::Values(
        CasoLinhas{"CrLf", "/a\r\n/b\r\n", "/Ana. a\r\n/Ana. b\r\n", false},
        CasoLinhas{"LfCr", "/a\n\r/b\n\r", "/Ana. a\r\n/Ana. b\r\n", false},
        CasoLinhas{"LoneCr", "/a\r/b\r", "/Ana. a\r\n/Ana. b\r\n", false},
        CasoLinhas{"LoneLf", "/a\n/b\n", "/Ana. a\r\n/Ana. b\r\n", false},
        CasoLinhas{"CrCr", "/a\r\r", "/Ana. a\r\n" + kTecle, true},
        CasoLinhas{"LfLf", "/a\n\n", "/Ana. a\r\n" + kTecle, true},
        CasoLinhas{"CrLfCrLf", "/a\r\n\r\n", "/Ana. a\r\n" + kTecle, true},
        // The remembered CR swallows a later LF even with text between.
        CasoLinhas{"LfLongAfterCrIsItsSecondHalf", "/a\r/b\n\r", "/Ana. a\r\n/Ana. b\r\n", false}),
    PeloNome());

struct CasoFiltro {
  const char* nome;
  std::string bytes;
  std::string conversa;  // the chat line the decoded text gives
};
void PrintTo(const CasoFiltro& c, std::ostream* os) { *os << c.nome; }

class Decodificacao : public Sessao, public ::testing::WithParamInterface<CasoFiltro> {};

// What the telnet decoder keeps of a line, in one delivery and byte by byte.
TEST_P(Decodificacao, KeepsOnlyTheTypedText) {
  const CasoFiltro& caso = GetParam();
  Usuario& ana = telnet("Ana");
  ana.recebe(caso.bytes);
  EXPECT_EQ(ana.le(), linhaTelnet(caso.conversa));
  ana.recebeAosBytes(caso.bytes);
  EXPECT_EQ(ana.le(), linhaTelnet(caso.conversa));
  EXPECT_EQ(ana->cModo(), kModoNormal);
}

INSTANTIATE_TEST_SUITE_P(
    Sessao, Decodificacao,
    ::testing::Values(
        CasoFiltro{"Backspace", "/a\x08" "b\r", "/Ana. b"},
        CasoFiltro{"BackspacesOnEmptyLineDoNothing", "\x08\x08\x08\x08\x7F/ab\x7F\r", "/Ana. a"},
        CasoFiltro{"ZeroByteIgnored", "/a\0b\r"s, "/Ana. ab"},
        CasoFiltro{"Subnegotiation", "/a\xFF\xFA\x18\x01junk\r\n\xFF\xF0" "b\r", "/Ana. ab"},
        CasoFiltro{"WillWithOption", "/a\xFF\xFB\x01" "b\r", "/Ana. ab"},
        CasoFiltro{"DoWithPrintableOption", "/a\xFF\xFD" "cb\r", "/Ana. ab"},
        CasoFiltro{"TwoByteCommand", "/a\xFF\xF1" "b\r", "/Ana. ab"},
        CasoFiltro{"EscapedIacIsLost", "/a\xFF\xFF" "b\r", "/Ana. ab"},
        CasoFiltro{"EscapePlusTwoBytes", "/a\x1B[Kb\r", "/Ana. ab"},
        CasoFiltro{"EscapeSwallowsALineEnd", "/a\x1B\r\n" "b\r", "/Ana. ab"},
        CasoFiltro{"LeadingBlanks", "   /a\r", "/Ana. a"},
        CasoFiltro{"HighBytesKept", "/a\xE9\xFE\r", "/Ana. a\xE9\xFE"}),
    PeloNome());

// A typed line of up to 8000 bytes is used whole. A longer one goes
// nowhere: its author alone is told, and the session reads on.
TEST_F(Sessao, TelnetLineOf8000BytesIsWholeALongerOneIsRefused) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  for (int tamanho : {300, 2048, 8000}) {
    SCOPED_TRACE(tamanho);
    const std::string x(tamanho - 1, 'x');
    ana.recebe("/" + x.substr(0, 200));
    ana.recebeAosBytes(x.substr(200) + "\r");
    EXPECT_EQ(bia.le(), linhaTelnet("/Ana. " + x));
    EXPECT_EQ(ana.le(), linhaTelnet("/Ana. " + x));
  }
  for (int tamanho : {8001, 70000}) {
    SCOPED_TRACE(tamanho);
    ana.recebe("/" + std::string(tamanho - 1, 'x') + "\r");
    EXPECT_EQ(ana.le(), "/Linha longa demais: m\xE1ximo de 8000 bytes\r\n");
    EXPECT_EQ(bia.le(), "");
    ASSERT_TRUE(ana.vivo());
  }
  // Backspaces count: 8001 bytes less one are a line of 8000.
  ana.recebe("/" + std::string(8000, 'y') + "\x08\r/z\r");
  EXPECT_EQ(bia.le(), linhaTelnet("/Ana. " + std::string(7999, 'y')) + "/Ana. z\r\n");
}

// The first line only tells the protocol, whatever its length.
TEST_F(Sessao, LongFirstLineChoosesTheFramedProtocol) {
  Usuario& u = novo();
  u.recebe(std::string(9000, ' ') + "\r\n");
  ASSERT_TRUE(u.vivo());
  EXPECT_EQ(u.le(), "+OK Entrando via Orvalho\r\n");
}

// ---- framed decoding -------------------------------------------------------

TEST_F(Sessao, FramedRecordAcrossDeliveries) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = orvalho("Ana");
  ana.recebeAosBytes(quadro("/abcd"));
  EXPECT_EQ(bia.le(), "/Ana. abcd\r\n");
  EXPECT_EQ(ana.le(), quadro("/Ana. abcd"));

  // Header in one delivery, payload split over two.
  const std::string r = quadro("/efgh");
  ana.recebe(r.substr(0, 3));
  ana.recebe(r.substr(3, 2));
  EXPECT_EQ(bia.le(), "");
  ana.recebe(r.substr(5));
  EXPECT_EQ(bia.le(), "/Ana. efgh\r\n");
}

TEST_F(Sessao, FramedPayloadEndsAtItsFirstZeroByte) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = orvalho("Ana");
  ana.recebe(quadro("/ab\0cd"s) + quadro("/ef"));
  EXPECT_EQ(bia.le(), "/Ana. ab\r\n/Ana. ef\r\n");
}

TEST_F(Sessao, FramedPayloadOf1021BytesIsTakenWhole) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = orvalho("Ana");
  const std::string r = quadro("/" + std::string(1020, 'y'));
  ana.recebe(r.substr(0, 700));
  ana.recebe(r.substr(700));
  ASSERT_TRUE(ana.vivo());
  EXPECT_EQ(bia.le(), linhaTelnet("/Ana. " + std::string(1020, 'y')));
  // The stream is still in step: the next record is read as one.
  ana.recebe(quadro("/z"));
  EXPECT_EQ(bia.le(), "/Ana. z\r\n");
}

struct CasoQuadroRuim {
  const char* nome;
  std::string bytes;
};
void PrintTo(const CasoQuadroRuim& c, std::ostream* os) { *os << c.nome; }

class QuadroRuim : public Sessao, public ::testing::WithParamInterface<CasoQuadroRuim> {};

TEST_P(QuadroRuim, ClosesTheConnectionSilently) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = orvalho("Ana");
  ana.recebe(GetParam().bytes);
  EXPECT_FALSE(ana.vivo());
  EXPECT_TRUE(ana.fechou());
  EXPECT_EQ(bia.le(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Sessao, QuadroRuim,
    ::testing::Values(CasoQuadroRuim{"Payload1022", quadro(std::string(1022, 'y'))},
                      CasoQuadroRuim{"LengthFFFF", "\x01\xFF\xFFxyz"s},
                      CasoQuadroRuim{"Type2", "\x02\x01\x00x"s},
                      CasoQuadroRuim{"Type0", "\x00\x01\x00x"s}),
    PeloNome());

// The byte after the detection line's end is dropped, whatever it is.
TEST_F(Sessao, FramedClientLosesTheByteAfterTheDetectionLine) {
  Usuario& ana = novo();
  ana.recebe("orvalho\r");
  ana.recebe("Z" + quadro("Ana"));
  EXPECT_EQ(ana->etapa, kEtapaNomeado);
  EXPECT_STREQ(ana->apelido, "Ana");
  EXPECT_EQ(ana.le(), kQuadrosDetectado + quadro(kPedido) + quadro("//Ana chegou") + quadro(kTecleAjuda));

  // A lone line end: the dropped byte is the record's type, and the header
  // that is left fails the type check.
  Usuario& bia = novo();
  bia.recebe("orvalho\n" + quadro("Bia"));
  EXPECT_FALSE(bia.vivo());
  EXPECT_TRUE(bia.fechou());
}

// A record with an empty payload whose header ends a delivery is a line only
// once the next delivery arrives. At stage 1 an empty line re-arms the timer
// for a minute and asks nothing; the prompt comes at that expiry.
TEST_F(Sessao, EmptyFramedRecordCountsWithTheNextDelivery) {
  Usuario& ana = novo();
  ana.recebe("orvalho\r\n");
  EXPECT_EQ(ana.le(), kQuadrosDetectado);
  ASSERT_EQ(ana->cFalta(), kDoisSegundos);

  ana.recebe(quadro(""));
  EXPECT_EQ(ana->cFalta(), kDoisSegundos);  // not a line yet
  ana.recebe("\x01");                             // the next record begins
  EXPECT_EQ(ana->cFalta(), kUmMinuto);
  EXPECT_EQ(ana->etapa, kEtapaDetectado);
  EXPECT_EQ(ana.le(), "");

  avanca(kDoisSegundos);
  EXPECT_EQ(ana.le(), "");
  avanca(kUmMinuto - kDoisSegundos - 1);
  EXPECT_EQ(ana.le(), "");
  avanca(1);
  EXPECT_EQ(ana.le(), quadro(kPedido));
  EXPECT_EQ(ana->etapa, kEtapaPedido);

  // The rest of the record that was begun.
  ana.recebe("\x03\x00" "Ana"s);
  EXPECT_EQ(ana->etapa, kEtapaNomeado);
}

// ---- stage timers ----------------------------------------------------------

TEST_F(Sessao, NoFirstLineInTenSecondsEndsTheSession) {
  Usuario& bia = telnet("Bia");
  Usuario& u = novo();
  u.recebe("abc");  // a first line begun but never ended
  avanca(kDezSegundos - 1);
  EXPECT_TRUE(u.vivo());
  EXPECT_EQ(u.le(), "");
  avanca(1);
  EXPECT_FALSE(u.vivo());
  EXPECT_EQ(u.le(), kTempoEsgotado);
  EXPECT_TRUE(u.fechou());
  EXPECT_EQ(bia.le(), "");
}

TEST_F(Sessao, StageOnePromptsOnceAndWaits) {
  Usuario& u = novo();
  u.recebe("\r\n");
  u.le();
  avanca(kDoisSegundos);
  EXPECT_EQ(u.le(), linhaTelnet(kPedido));
  EXPECT_EQ(u->etapa, kEtapaPedido);
  EXPECT_FALSE(u->cArmado());
  avanca(3 * kCincoMinutos);
  EXPECT_TRUE(u.vivo());
  EXPECT_EQ(u.le(), "");
}

// A line at stage 1 brings the prompt at once, ahead of its own answer.
TEST_F(Sessao, LineAtStageOneBringsThePrompt) {
  Usuario& u = novo();
  u.recebe("\r\n");
  u.le();
  u.recebe("#\r\n");
  EXPECT_EQ(u.le(), linhaTelnet(kPedido) + linhaTelnet(kInvalido));
  EXPECT_EQ(u->etapa, kEtapaPedido);
}

// An unnamed user is asked again every minute and never dropped.
TEST_F(Sessao, StageTwoAsksAgainEveryMinute) {
  Usuario& u = novo();
  u.recebe("\r\n");
  EXPECT_EQ(u.le(), kTelnetDetectado);
  avanca(kDoisSegundos);
  u.recebe("#\r\n");
  EXPECT_EQ(u.le(), linhaTelnet(kPedido) + linhaTelnet(kInvalido));
  for (int vez = 0; vez < 6; ++vez) {
    SCOPED_TRACE(vez);
    avanca(kUmMinuto - 1);
    EXPECT_EQ(u.le(), "");
    avanca(1);
    EXPECT_EQ(u.le(), linhaTelnet(kPedido));
  }
  EXPECT_TRUE(u.vivo());
  EXPECT_EQ(u->etapa, kEtapaPedido);
}

// A named user silent for five minutes: telnet gets an empty line, framed
// gets nothing; both are kept and the timer runs again.
TEST_F(Sessao, NamedUserSilentForFiveMinutes) {
  Usuario& ana = telnet("Ana");
  Usuario& caio = orvalho("Caio");
  avanca(kCincoMinutos - 1);
  EXPECT_EQ(ana.le(), "");
  avanca(1);
  EXPECT_EQ(ana.le(), "\r\n");
  EXPECT_EQ(caio.le(), "");
  EXPECT_TRUE(caio.vivo());
  EXPECT_TRUE(caio->cArmado());

  // Every line starts the five minutes again.
  avanca(1000);
  ana.recebe("/a\r");
  EXPECT_EQ(ana.le(), "/Ana. a\r\n");
  avanca(kCincoMinutos - 1);
  EXPECT_EQ(ana.le(), "");
  avanca(1);
  EXPECT_EQ(ana.le(), "\r\n");
}

// ---- the hold --------------------------------------------------------------

TEST_F(Sessao, EmptyLineHoldsOutputUntilTheNextLine) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  bia.recebe("/um\r");  // queued for Ana, not yet written
  ana.recebe("\r");
  // What was pending goes first, then "tecle" straight onto the socket.
  EXPECT_EQ(ana.le(), "/Bia. um\r\n" + kTecle);
  EXPECT_EQ(ana->cModo(), kModoRetido);

  bia.recebe("/dois\r");
  EXPECT_EQ(ana.le(), "");
  ana.recebe("\r\n   \r");  // more empty lines change nothing
  EXPECT_EQ(ana.le(), "");
  EXPECT_EQ(ana->cModo(), kModoRetido);

  ana.recebe("/tres\r");
  EXPECT_EQ(ana->cModo(), kModoNormal);
  EXPECT_EQ(ana.le(), "/Bia. dois\r\n/Ana. tres\r\n");
}

// Ctrl-C in a telnet client sends IAC IP IAC DO TIMING-MARK, and the client
// then drops everything it receives until the mark is answered. The answer
// goes at once: ahead of what is queued, and through a hold, which it leaves
// in place.
TEST_F(Sessao, TimingMarkIsAnsweredAtOnceEvenWhileHeld) {
  const std::string interrompe = "\xFF\xF4\xFF\xFD\x06"s, marca = "\xFF\xFB\x06"s;
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  bia.recebe("/um\r");  // queued for Ana, not yet written
  ana.recebe(interrompe);
  EXPECT_EQ(ana.le(), marca + "/Bia. um\r\n");

  ana.recebe("\r");
  EXPECT_EQ(ana.le(), kTecle);
  bia.recebe("/dois\r");
  ana.recebeAosBytes(interrompe);
  EXPECT_EQ(ana.le(), marca);
  EXPECT_EQ(ana->cModo(), kModoRetido);

  // Other options and other verbs get no answer; the line around them stays whole.
  ana.recebe("/a\xFF\xFD\x05" "b\xFF\xFB\x06" "c\xFF\xFE\x06" "d\r");
  EXPECT_EQ(ana.le(), "/Bia. dois\r\n/Ana. abcd\r\n");
  EXPECT_EQ(bia.le(), "/Bia. um\r\n/Bia. dois\r\n/Ana. abcd\r\n");
}

// The five-minute expiry of a named user ends a hold; the one-minute
// re-ask of an unnamed user does not.
TEST_F(Sessao, SilenceEndsTheHoldOnlyForNamedUsers) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  ana.recebe("\r");
  ana.le();
  bia.recebe("/oi\r");
  avanca(kCincoMinutos - 1);
  EXPECT_EQ(ana.le(), "");
  avanca(1);
  EXPECT_EQ(ana->cModo(), kModoNormal);
  EXPECT_EQ(ana.le(), "/Bia. oi\r\n\r\n");

  Usuario& u = novo();
  u.recebe("\r\n");
  u.le();
  u.recebe("\r");  // brings the prompt, then starts the hold
  EXPECT_EQ(u.le(), linhaTelnet(kPedido) + kTecle);
  avanca(kUmMinuto);
  EXPECT_EQ(u->cModo(), kModoRetido);
  EXPECT_EQ(u.le(), "");
  u.recebe("#\r");
  EXPECT_EQ(u.le(), linhaTelnet(kPedido) + linhaTelnet(kInvalido));
}

// Output that no longer fits the held ring ends the hold: nothing is lost.
TEST_F(Sessao, FullRingEndsTheHold) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  ana.recebe("\r");
  EXPECT_EQ(ana.le(), kTecle);
  std::string esperado;
  for (int i = 0; i < 7; ++i) {
    const std::string texto = "/" + std::string(290, static_cast<char>('a' + i));
    bia.recebe(texto + "\r");
    esperado += "/Bia. " + texto.substr(1) + "\r\n";
    if (i < 6) {
      EXPECT_EQ(ana->cModo(), kModoRetido) << i;
    }
  }
  EXPECT_EQ(ana->cModo(), kModoNormal);
  EXPECT_EQ(ana.le(), esperado);
}

TEST_F(Sessao, FramedUsersNeverHold) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = orvalho("Ana");
  ana.recebe(quadro("") + quadro("   ") + "\x01");
  EXPECT_EQ(ana->cModo(), kModoNormal);
  EXPECT_EQ(ana.le(), "");
  bia.recebe("/oi\r");
  EXPECT_EQ(ana.le(), quadro("/Bia. oi"));
}

// ---- end of a session ------------------------------------------------------

TEST_F(Sessao, ClosedConnectionLeavesSilently) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  ana->cEvento(nullptr, 1);  // output drained: nothing happens
  confereTodos();
  EXPECT_TRUE(ana.vivo());
  ana->cEvento(nullptr, 0);
  confereTodos();
  EXPECT_FALSE(ana.vivo());
  EXPECT_EQ(clientes, bia.operator->());
  EXPECT_EQ(bia.le(), "");
}

// ---- several lines in one delivery -----------------------------------------

// Every complete line of a delivery is handled, in order, not only the first.
TEST_F(Sessao, EveryLineOfADeliveryIsHandled) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  ana.recebe("/um\r\n/dois\r\n/tr");
  EXPECT_EQ(bia.le(), "/Ana. um\r\n/Ana. dois\r\n");
  ana.recebe("es\r\n");
  EXPECT_EQ(bia.le(), "/Ana. tres\r\n");

  Usuario& caio = orvalho("Caio");
  bia.le();
  caio.recebe(quadro("/um") + quadro("/dois") + quadro("/tr").substr(0, 4));
  EXPECT_EQ(bia.le(), "/Caio. um\r\n/Caio. dois\r\n");
  caio.recebe("tr");
  EXPECT_EQ(bia.le(), "/Caio. tr\r\n");
}

TEST_F(Sessao, WholeFirstExchangeInOneDelivery) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = novo();
  ana.recebe("\r\nAna\r\n/oi\r\n");
  EXPECT_EQ(ana.le(), kTelnetDetectado + linhaTelnet(kPedido) + "//Ana chegou\r\n" + linhaTelnet(kTecleAjuda) +
                          "/Ana. oi\r\n");
  EXPECT_EQ(bia.le(), "//Ana chegou\r\n/Ana. oi\r\n");

  Usuario& caio = novo();
  caio.recebe("orvalho\r\n" + quadro("Caio") + quadro("/oi"));
  EXPECT_EQ(caio.le(), kQuadrosDetectado + quadro(kPedido) + quadro("//Caio chegou") + quadro(kTecleAjuda) +
                           quadro("/Caio. oi"));
}

// Lines after one that ends the session are not touched.
TEST_F(Sessao, LinesAfterLeavingAreDropped) {
  Usuario& bia = telnet("Bia");
  Usuario& ana = telnet("Ana");
  ana.recebe("/sair\r\n/oi\r\n\r\n");
  EXPECT_FALSE(ana.vivo());
  EXPECT_EQ(ana.le(), "//Ana saiu\r\n");
  EXPECT_TRUE(ana.fechou());
  EXPECT_EQ(bia.le(), "//Ana saiu\r\n");
}

}  // namespace
}  // namespace zandor
