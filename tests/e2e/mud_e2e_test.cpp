// The MUD link against a scripted fake MUD: connecting (by address or by a
// name from the configuration file), replacing and losing the link, telnet
// negotiation toward the MUD, line assembly, delivery with and without
// colour filtering, the prompt timer, and lines typed for the MUD.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "confere.h"

namespace {

using namespace e2e;
using Relogio = std::chrono::steady_clock;

constexpr int IAC = 255, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, SE = 240, GA = 249, NOP = 241;
const std::string kTipoTerminal = bytes({IAC, SB, 24, 0, 'T', 'E', 'R', 'M', IAC, SE});
const std::string kJanela = bytes({IAC, SB, 31, 0, 80, 0, 25, IAC, SE});
const std::string kEsc = "\x1b";

// A framed record toward the client has the same form as one from it.
std::string registro(const std::string& carga) { return quadro(carga); }

std::string conectando(const std::string& endereco, int porta) {
  return "/Conectando em " + endereco + " " + std::to_string(porta);
}

// What a framed user is told when the gateway links to `mud`.
std::string avisoLigadoEmRegistros(const MudFalso& mud) {
  return registro(conectando("127.0.0.1", mud.porta())) + registro("/Conectado");
}

// Two connects that fail, one at connect and one at name resolution, each
// told to both users: "/Conectando em ..." and then its one outcome.
void tentativasFalhas(Conexao& ana, Conexao& bia) {
  const int fechada = portaLivre();
  ana.envia("/mud 127.0.0.1 " + std::to_string(fechada) + "\r\n");
  const std::string recusa = conectando("127.0.0.1", fechada) + "\r\n/Erro: Connection refused\r\n";
  EXPECT_TRUE(recebe(ana, recusa));
  EXPECT_TRUE(recebe(bia, recusa));
  bia.envia("/mud zandor-nao-existe.invalid 4000\r\n");
  const std::string semNome = conectando("zandor-nao-existe.invalid", 4000) + "\r\n/Endere\xE7o n\xE3o encontrado\r\n";
  EXPECT_TRUE(recebe(ana, semNome));
  EXPECT_TRUE(recebe(bia, semNome));
}

// Every test starts the gateway, the default configuration unless it gives
// one, with Ana logged in on telnet; adds Bia (telnet) or Caio (framed) where
// it needs them; and links to `falso` where it needs a MUD.
class MudLink : public ::testing::Test {
 protected:
  void inicia(const std::string& config = "%PORTA%\n") {
    gateway_.emplace(config);
    ana = gateway_->usuarioTelnet("Ana");
  }
  Gateway& g() { return *gateway_; }

  // A second user logs in; Ana is told.
  ::testing::AssertionResult entraBia() {
    bia = g().usuarioTelnet("Bia");
    return recebe(ana, "//Bia chegou\r\n");
  }
  ::testing::AssertionResult entraCaio() {
    caio = g().usuarioQuadros("Caio");
    return recebe(ana, "//Caio chegou\r\n");
  }
  // Bia stops filtering colours.
  ::testing::AssertionResult biaSemFiltro() {
    bia.envia("/c2\r\n");
    return recebe(bia, "/c2 N\xE3o filtrando cores\r\n");
  }
  // Each line from the MUD reaches Bia, who does not filter, and Ana, who does.
  struct CasoFiltro {
    const char* descricao;
    std::string doMud, semFiltro, comFiltro;
  };
  void confereFiltros(Conexao& lado, const std::vector<CasoFiltro>& casos) {
    for (const CasoFiltro& c : casos) {
      lado.envia(c.doMud);
      EXPECT_TRUE(recebe(bia, c.semFiltro)) << c.descricao;
      EXPECT_TRUE(recebe(ana, c.comFiltro)) << c.descricao;
    }
  }

  MudFalso falso;
  std::optional<Gateway> gateway_;
  Conexao ana, bia, caio;
};

// ---- connecting ------------------------------------------------------------

TEST_F(MudLink, ConnectIsToldToEveryUserWhoseProtocolIsKnown) {
  inicia();
  Conexao saudado = Conexao::conecta(g().porta());  // greeted, protocol not yet known
  ASSERT_TRUE(saudado.leAte("ENTER\r\n"));
  EXPECT_TRUE(entraBia());
  Conexao semNome = Conexao::conecta(g().porta());  // detected, still without a nickname
  semNome.envia("\r\n");
  ASSERT_TRUE(semNome.leAte("/quit\r\n"));
  semNome.descarta();

  Conexao lado = liga(bia, falso, {&ana, &bia});
  // The unnamed user may also get the nickname prompt around it.
  EXPECT_TRUE(semNome.leAte(avisoLigado(falso)));

  lado.envia("Bem-vindo\r\n");
  EXPECT_TRUE(recebe(ana, "Bem-vindo\r\n"));
  EXPECT_TRUE(recebe(bia, "Bem-vindo\r\n"));
  EXPECT_TRUE(semNome.leAte("Bem-vindo\r\n"));
  saudado.lePor(100ms);
  EXPECT_EQ(saudado.recebido(), "+OK Para telnet pressione ENTER\r\n");
}

TEST_F(MudLink, RefusedPortAndUnknownHostAreToldToEveryone) {
  inicia();
  ASSERT_TRUE(entraBia());
  tentativasFalhas(ana, bia);

  // Still no link.
  ana.envia("/mud\r\n");
  EXPECT_TRUE(recebe(ana, "/N\xE3o est\xE1 conectado em um MUD\r\n"));
}

TEST_F(MudLink, NamedEntriesFromTheConfigurationFile) {
  MudFalso antigo, novo, acentuado, longe;
  const auto p = [](const MudFalso& m) { return std::to_string(m.porta()); };
  const std::string config = "%PORTA%\n"
                             "arena = 127.0.0.1 " + p(antigo) + "\n"
                             "teste=127.0.0.1 1\n"
                             "  ARENA   =   127.0.0.1   " + p(novo) + "  \n"
                             "Sert\xE3o = 127.0.0.1 " + p(acentuado) + "\r\n"
                             "semporta = 127.0.0.1\n" +
                             std::string(400, '#') + "\n"
                             "longe = 127.0.0.1 " + p(longe) + "\n";
  inicia(config);
  ASSERT_TRUE(entraBia());

  // The later of the two arena entries wins.
  ana.envia("/mud Arena\r\n");
  EXPECT_TRUE(recebe(ana, avisoLigado(novo)));
  EXPECT_TRUE(recebe(bia, avisoLigado(novo)));
  Conexao ladoNovo = novo.aceita();
  EXPECT_TRUE(ladoNovo.aberta());
  EXPECT_FALSE(antigo.aceita(100ms).aberta());

  // Accents are folded; an entry past the first 299 bytes is found too.
  bia.envia("/mud SERTAO\r\n");
  EXPECT_TRUE(recebe(ana, avisoLigado(acentuado)));
  EXPECT_TRUE(recebe(bia, avisoLigado(acentuado)));
  Conexao ladoAcentuado = acentuado.aceita();  // kept open: a close would be announced
  EXPECT_TRUE(ladoAcentuado.aberta());
  bia.envia("/mud longe\r\n");
  EXPECT_TRUE(recebe(ana, avisoLigado(longe)));
  EXPECT_TRUE(recebe(bia, avisoLigado(longe)));
  Conexao ladoLonge = longe.aceita();
  EXPECT_TRUE(ladoLonge.aberta());

  // Unknown names and an entry without port are answered to the asker alone.
  ana.envia("/mud outro\r\n");
  EXPECT_TRUE(recebe(ana, "/MUD n\xE3o encontrado\r\n"));
  ana.envia("/mud semporta\r\n");
  EXPECT_TRUE(recebe(ana, "/Porta deve ser um n\xFAmero de 1 a 65535\r\n"));
  ana.envia("/ fim\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. fim\r\n"));
  EXPECT_TRUE(recebe(bia, "/Ana. fim\r\n"));
}

TEST_F(MudLink, ANewMudReplacesTheOldLinkOnlyWhenItWorks) {
  MudFalso segundo;
  inicia();
  ASSERT_TRUE(entraBia());
  Conexao velho = liga(ana, falso, {&ana, &bia});

  tentativasFalhas(ana, bia);

  // The old link carries on both ways.
  velho.envia("ainda aqui\r\n");
  EXPECT_TRUE(recebe(ana, "ainda aqui\r\n"));
  EXPECT_TRUE(recebe(bia, "ainda aqui\r\n"));
  ana.envia("norte\r\n");
  EXPECT_TRUE(recebe(velho, "norte\r\n"));

  // A working connection replaces it: the gateway closes the old socket and
  // says nothing about it.
  Conexao atual = liga(bia, segundo, {&ana, &bia});
  EXPECT_TRUE(velho.esperaFechar());
  EXPECT_EQ(velho.recebido(), "");
  ana.envia("sul\r\n");
  EXPECT_TRUE(recebe(atual, "sul\r\n"));
  atual.envia("ok\r\n");
  EXPECT_TRUE(recebe(ana, "ok\r\n"));
  EXPECT_TRUE(recebe(bia, "ok\r\n"));
}

TEST_F(MudLink, DisconnectOnRequestAndTheMudClosing) {
  inicia();
  ASSERT_TRUE(entraCaio());

  // "/mud" alone while linked: the gateway closes the link and tells everyone.
  Conexao lado = liga(ana, falso, {&ana});
  EXPECT_TRUE(recebe(caio, avisoLigadoEmRegistros(falso)));
  caio.envia(quadro("/mud"));
  EXPECT_TRUE(recebe(ana, "/Desconectado do MUD\r\n"));
  EXPECT_TRUE(recebe(caio, registro("/Desconectado do MUD")));
  EXPECT_TRUE(lado.esperaFechar());

  // The MUD closes: everyone is told, and the link is gone.
  lado = liga(ana, falso, {&ana});
  EXPECT_TRUE(recebe(caio, avisoLigadoEmRegistros(falso)));
  lado.fecha();
  EXPECT_TRUE(recebe(ana, "/Conex\xE3o com o MUD terminada\r\n"));
  EXPECT_TRUE(recebe(caio, registro("/Conex\xE3o com o MUD terminada")));
  ana.envia("/mud\r\n");
  EXPECT_TRUE(recebe(ana, "/N\xE3o est\xE1 conectado em um MUD\r\n"));
  // Lines for the MUD are dropped without a word; the asker alone was answered.
  ana.envia("olha\r\n");
  ana.envia("/ fim\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. fim\r\n"));
  EXPECT_TRUE(recebe(caio, registro("/Ana. fim")));
}

// ---- lines typed for the MUD -------------------------------------------------

TEST_F(MudLink, TypedLinesReachTheMud) {
  inicia();
  ASSERT_TRUE(entraCaio());
  Conexao lado = liga(ana, falso, {&ana});

  ana.envia("olha o mapa\r\n");
  EXPECT_TRUE(recebe(lado, "olha o mapa\r\n"));
  ana.envia("   diga ol\xE1  \r\n");  // leading blanks go, the rest is sent as typed
  EXPECT_TRUE(recebe(lado, "diga ol\xE1  \r\n"));
  ana.envia("/\r\n");
  EXPECT_TRUE(recebe(lado, "\r\n"));
  ana.envia("//look\r\n");
  EXPECT_TRUE(recebe(lado, "/look\r\n"));
  ana.envia("/c\r\n");
  EXPECT_TRUE(recebe(lado, "\x03"));
  ana.envia("/C  \r\n");
  EXPECT_TRUE(recebe(lado, "\x03"));
  caio.envia(quadro("oeste"));
  EXPECT_TRUE(recebe(lado, "oeste\r\n"));
  // None of that was answered to the users.
  ana.envia("/ fim\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. fim\r\n"));
  EXPECT_TRUE(recebe(caio, avisoLigadoEmRegistros(falso) + registro("/Ana. fim")));
}

// ---- telnet toward the MUD ---------------------------------------------------

struct CasoNegociacao {
  const char* descricao;
  std::vector<std::string> pedacos;  // sent as separate writes
  std::string resposta;
};

TEST_F(MudLink, NegotiationRepliesAreByteExact) {
  inicia();
  Conexao lado = liga(ana, falso, {&ana});

  const std::vector<CasoNegociacao> casos = {
      {"WILL ECHO", {bytes({IAC, WILL, 1})}, bytes({IAC, DO, 1})},
      {"DO TERMINAL-TYPE", {bytes({IAC, DO, 24})}, bytes({IAC, WILL, 24})},
      {"WILL of an unknown option", {bytes({IAC, WILL, 25})}, bytes({IAC, DONT, 25})},
      {"DO of an unknown option", {bytes({IAC, DO, 200})}, bytes({IAC, WONT, 200})},
      {"WONT ECHO", {bytes({IAC, WONT, 1})}, ""},
      {"DONT ECHO", {bytes({IAC, DONT, 1})}, ""},
      {"DO NAWS", {bytes({IAC, DO, 31})}, bytes({IAC, WILL, 31}) + kJanela},
      {"WILL NAWS", {bytes({IAC, WILL, 31})}, bytes({IAC, DO, 31}) + kJanela},
      {"WONT NAWS", {bytes({IAC, WONT, 31})}, kJanela},
      {"DONT NAWS", {bytes({IAC, DONT, 31})}, kJanela},
      {"terminal type asked", {bytes({IAC, SB, 24, 1, IAC, SE})}, kTipoTerminal},
      {"terminal type told", {bytes({IAC, SB, 24, 0, 'V', 'T', IAC, SE})}, ""},
      {"other subnegotiation", {bytes({IAC, SB, 31, 0, 80, 0, 24, IAC, SE})}, ""},
      {"subnegotiation of 100 bytes", {bytes({IAC, SB, 99}) + std::string(100, 'z') + bytes({IAC, SE})}, ""},
      {"command split over writes", {bytes({IAC}), bytes({WILL}), bytes({3})}, bytes({IAC, DO, 3})},
      {"subnegotiation split over writes", {bytes({IAC, SB, 24}), bytes({1, IAC}), bytes({SE})}, kTipoTerminal},
      {"two-byte commands", {bytes({IAC, GA, IAC, NOP, IAC, IAC})}, ""},
      {"several in one write", {bytes({IAC, DO, 1, IAC, WILL, 1, IAC, DO, 24})},
       bytes({IAC, WILL, 1, IAC, DO, 1, IAC, WILL, 24})},
  };
  // Every case ends with a request whose reply is known, so "no reply" is
  // seen as exactly that reply and nothing before it.
  const std::string sentinela = bytes({IAC, DO, 200});
  const std::string respostaSentinela = bytes({IAC, WONT, 200});
  for (const CasoNegociacao& c : casos) {
    for (const std::string& p : c.pedacos) {
      lado.envia(p);
      std::this_thread::sleep_for(20ms);
    }
    lado.envia(sentinela);
    EXPECT_TRUE(recebe(lado, c.resposta + respostaSentinela)) << c.descricao;
  }
  // None of it reached the users.
  lado.envia("fim\r\n");
  EXPECT_TRUE(recebe(ana, "fim\r\n"));
}

TEST_F(MudLink, EveryOptionIsAcceptedOrRefused) {
  inicia();
  Conexao lado = liga(ana, falso, {&ana});
  const std::vector<int> aceitas = {1, 3, 5, 6, 24, 31, 32, 33, 34, 36};
  for (int pedido : {WILL, DO}) {
    std::string envio, esperado;
    for (int opcao = 0; opcao < 256; ++opcao) {
      const bool aceita = std::find(aceitas.begin(), aceitas.end(), opcao) != aceitas.end();
      envio += bytes({IAC, pedido, opcao});
      if (pedido == WILL) esperado += bytes({IAC, aceita ? DO : DONT, opcao});
      else esperado += bytes({IAC, aceita ? WILL : WONT, opcao});
      if (opcao == 31) esperado += kJanela;
    }
    lado.envia(envio);
    EXPECT_TRUE(recebe(lado, esperado)) << (pedido == WILL ? "WILL" : "DO");
  }
}

TEST_F(MudLink, TelnetBytesInsideTheText) {
  inicia();
  Conexao lado = liga(ana, falso, {&ana});
  lado.envia("a" + bytes({IAC, IAC}) + "b\r\n");  // the escaped 255 is not text
  EXPECT_TRUE(recebe(ana, "ab\r\n"));
  lado.envia("a" + bytes({IAC, GA}) + "xb\r\n");
  EXPECT_TRUE(recebe(ana, "axb\r\n"));
  lado.envia(std::string("a\0b\0\0c\r\n", 8));
  EXPECT_TRUE(recebe(ana, "abc\r\n"));
  lado.envia("antes" + bytes({IAC, SB, 99}) + std::string(100, 'z') + bytes({IAC, SE}) + "depois\r\n");
  EXPECT_TRUE(recebe(ana, "antesdepois\r\n"));
  lado.envia("ab" + bytes({IAC, WILL}));
  std::this_thread::sleep_for(20ms);
  lado.envia(bytes({1}) + "cd\r\n");
  EXPECT_TRUE(recebe(ana, "abcd\r\n"));
  EXPECT_TRUE(recebe(lado, bytes({IAC, DO, 1})));
}

// ---- lines from the MUD --------------------------------------------------------

struct CasoLinha {
  const char* descricao;
  std::string doMud;
  std::string paraUsuario;
};

TEST_F(MudLink, LineEnds) {
  inicia();
  const std::vector<CasoLinha> casos = {
      {"CR LF", "abc\r\n", "abc\r\n"},
      {"LF CR", "abc\n\r", "abc\r\n"},
      {"lone CR", "abc\r", "abc\r\n"},
      {"lone LF", "abc\n", "abc\r\n"},
      {"CR LF CR LF", "abc\r\n\r\n", "abc\r\n\r\n"},
      {"LF LF", "abc\n\n", "abc\r\n\r\n"},
      {"a CR b LF: the LF is the CR's second half", "a\rb\nc\r\n", "a\r\nbc\r\n"},
      {"CR CR, then LF as the second half", "abc\r\rdef\n\n", "abc\r\n\r\ndef\r\n"},
      {"backspace and DEL take back a byte", "abx\bc\x7f" "d\r\n", "abd\r\n"},
      {"backspace on an empty line", "\b\bok\r\n", "ok\r\n"},
  };
  // A fresh link for every case: the line assembly starts clean. The old
  // ends stay open so that only the gateway closes them, without a word.
  std::vector<Conexao> lados;
  for (const CasoLinha& c : casos) {
    lados.push_back(liga(ana, falso, {&ana}));
    lados.back().envia(c.doMud);
    EXPECT_TRUE(recebe(ana, c.paraUsuario)) << c.descricao;
  }
}

TEST_F(MudLink, ColourFilteringPerUser) {
  inicia();  // Ana filters colours (the default)
  ASSERT_TRUE(entraBia());
  ASSERT_TRUE(biaSemFiltro());
  Conexao lado = liga(ana, falso, {&ana, &bia});

  const std::vector<CasoFiltro> casos = {
      {"colour sequence", kEsc + "[1;31mPerigo" + kEsc + "[0m\r\n", kEsc + "[1;31mPerigo" + kEsc + "[0m\r\n",
       "Perigo\r\n"},
      {"tab and bell", "a\tb\x07" "c\r\n", "a\tb\x07" "c\r\n", "abc\r\n"},
      {"IAC inside a sequence", kEsc + "[1" + bytes({IAC, NOP}) + ";31mP\r\n", kEsc + "[1;31mP\r\n", "P\r\n"},
      {"a blank abandons a sequence", "x" + kEsc + "[1 y\r\n", "x y\r\n", "x y\r\n"},
      {"a line of escapes only", kEsc + "[0m\r\n", kEsc + "[0m\r\n", "\r\n"},
      {"28 bytes of a sequence are kept", kEsc + "[" + std::string(35, '1') + "mX\r\n",
       kEsc + "[" + std::string(27, '1') + "mX\r\n", "X\r\n"},
      {"bytes above 127 are text", "ma\xE7\xE3 \xFF\r\n", "ma\xE7\xE3 \r\n", "ma\xE7\xE3 \r\n"},
  };
  confereFiltros(lado, casos);
  // The 255 above started a telnet command; what follows is still assembled.
  lado.envia("fim\r\n");
  EXPECT_TRUE(recebe(bia, "fim\r\n"));
  EXPECT_TRUE(recebe(ana, "fim\r\n"));
}

// Nothing of a long line is lost: up to 8000 bytes it is one line, and a
// longer one goes on in further lines of at most 8000 bytes.
TEST_F(MudLink, LongLinesReachEveryUserWhole) {
  inicia();  // Ana filters colours (the default)
  ASSERT_TRUE(entraBia());
  ASSERT_TRUE(biaSemFiltro());
  Conexao lado = liga(ana, falso, {&ana, &bia});

  const std::string r7989(7989, 'r'), y8000(8000, 'y'), a7996(7996, 'a'), a7998(7998, 'a');
  const std::string cor = kEsc + "[1;31m" + r7989 + kEsc + "[0m";  // 8000 bytes
  const std::vector<CasoFiltro> casos = {
      {"8000 bytes", std::string(8000, 'x') + "\r\n", std::string(8000, 'x') + "\r\n", std::string(8000, 'x') + "\r\n"},
      {"8000 bytes with colours", cor + "\r\n", cor + "\r\n", r7989 + "\r\n"},
      {"20000 bytes", y8000 + y8000 + std::string(4000, 'y') + "\r\n",
       y8000 + "\r\n" + y8000 + "\r\n" + std::string(4000, 'y') + "\r\n",
       y8000 + "\r\n" + y8000 + "\r\n" + std::string(4000, 'y') + "\r\n"},
      // A backspace takes back a byte of the line still being assembled.
      {"backspace at the limit", a7998 + "B\bCD\r\n", a7998 + "CD\r\n", a7998 + "CD\r\n"},
      // A sequence that no longer fits starts the next line, whole.
      {"sequence beyond the room", a7996 + kEsc + "[1;31mZ\r\n", a7996 + "\r\n" + kEsc + "[1;31mZ\r\n",
       a7996 + "\r\nZ\r\n"},
      {"then a short line", "curta\r\n", "curta\r\n", "curta\r\n"},
  };
  confereFiltros(lado, casos);

  // Typed lines of up to 8000 bytes reach the MUD whole; a longer one goes
  // nowhere and only its author is told. Chat is whole as well.
  ana.envia(std::string(8000, 'd') + "\r\n");
  EXPECT_TRUE(recebe(lado, std::string(8000, 'd') + "\r\n"));
  ana.envia(std::string(8001, 'e') + "\r\nfim\r\n");
  EXPECT_TRUE(recebe(ana, "/Linha longa demais: m\xE1ximo de 8000 bytes\r\n"));
  EXPECT_TRUE(recebe(lado, "fim\r\n"));
  bia.envia("/ " + std::string(7998, 'c') + "\r\n");
  EXPECT_TRUE(recebe(ana, "/Bia. " + std::string(7998, 'c') + "\r\n"));
  EXPECT_TRUE(recebe(bia, "/Bia. " + std::string(7998, 'c') + "\r\n"));
}

TEST_F(MudLink, FramedUsersGetRecordsWrappedForTheirWidth) {
  inicia();
  ASSERT_TRUE(entraCaio());
  Conexao lado = liga(ana, falso, {&ana});
  EXPECT_TRUE(recebe(caio, avisoLigadoEmRegistros(falso)));

  const std::string l62(62, 'l'), l40(40, 'm');
  lado.envia(l62 + " " + l40 + "\r\n");
  EXPECT_TRUE(recebe(caio, registro(l62) + registro(" / " + l40)));
  EXPECT_TRUE(recebe(ana, l62 + " " + l40 + "\r\n"));
  lado.envia(std::string(79, 'x') + "\r\n");
  EXPECT_TRUE(recebe(caio, registro(std::string(78, 'x')) + registro(" /x")));
  // An empty line is CR LF for telnet and nothing at all for a record.
  lado.envia("\r\n" + kEsc + "[1mNegrito\r\n");
  EXPECT_TRUE(recebe(caio, registro("Negrito")));
  EXPECT_TRUE(recebe(ana, std::string(79, 'x') + "\r\n\r\nNegrito\r\n"));

  // 240 columns after "/c1".
  caio.envia(quadro("/c1"));
  EXPECT_TRUE(recebe(caio, registro("/c1 Cortando texto em 240 colunas")));
  lado.envia(std::string(238, 'y') + "\r\n");
  EXPECT_TRUE(recebe(caio, registro(std::string(238, 'y'))));
  lado.envia(std::string(239, 'y') + "\r\n");
  EXPECT_TRUE(recebe(caio, registro(std::string(238, 'y')) + registro(" /y")));
}

// ---- lines left unfinished -----------------------------------------------------

TEST_F(MudLink, PromptArrivesAsALineAfterThreeQuietTicks) {
  inicia();
  ASSERT_TRUE(entraCaio());
  Conexao lado = liga(ana, falso, {&ana});
  ASSERT_TRUE(recebe(caio, avisoLigadoEmRegistros(falso)));
  const auto inicio = Relogio::now();
  lado.envia("HP:100> ");
  ana.lePor(300ms);
  EXPECT_EQ(ana.recebido(), "") << "delivered before three quiet ticks";
  EXPECT_TRUE(recebe(ana, "HP:100> \r\n"));
  const auto gasto = std::chrono::duration_cast<Ms>(Relogio::now() - inicio);
  EXPECT_GE(gasto, 350ms);
  EXPECT_LE(gasto, 1500ms);
  EXPECT_TRUE(recebe(caio, registro("HP:100> ")));
  // Delivered once: the timer is not re-armed by itself.
  ana.lePor(900ms);
  EXPECT_EQ(ana.recebido(), "");
  lado.envia("ok\r\n");
  EXPECT_TRUE(recebe(ana, "ok\r\n"));
}

TEST_F(MudLink, MoreDataRestartsThePromptTimer) {
  inicia();
  Conexao lado = liga(ana, falso, {&ana});
  // A byte every 150 ms for more than a second: never three quiet ticks.
  for (char c : std::string("HP:100> ")) {
    lado.envia(std::string(1, c));
    ana.lePor(150ms);
  }
  EXPECT_EQ(ana.recebido(), "");
  EXPECT_TRUE(recebe(ana, "HP:100> \r\n"));
}

TEST_F(MudLink, PendingEscapesAloneGoRawToUnfilteredTelnetUsersOnly) {
  inicia();                             // Ana: telnet, filtering
  bia = g().usuarioTelnet("Bia");       // telnet, not filtering
  caio = g().usuarioQuadros("Caio");    // framed, not filtering
  ASSERT_TRUE(recebe(ana, "//Bia chegou\r\n//Caio chegou\r\n"));
  ASSERT_TRUE(recebe(bia, "//Caio chegou\r\n"));
  ASSERT_TRUE(biaSemFiltro());
  caio.envia(quadro("/c2"));
  ASSERT_TRUE(recebe(caio, registro("/c2 N\xE3o filtrando cores")));
  Conexao lado = liga(ana, falso, {&ana, &bia});
  ASSERT_TRUE(recebe(caio, avisoLigadoEmRegistros(falso)));

  lado.envia(" " + kEsc + "[0m");
  // Raw: no line end, no encoding; and only once.
  EXPECT_TRUE(recebe(bia, " " + kEsc + "[0m", 2000ms));
  ana.lePor(1000ms);
  caio.lePor(10ms);
  bia.lePor(10ms);
  EXPECT_EQ(ana.recebido(), "");
  EXPECT_EQ(caio.recebido(), "");
  EXPECT_EQ(bia.recebido(), "");

  // The pending bytes stay and go out again with the rest of the line.
  lado.envia("ok\r\n");
  EXPECT_TRUE(recebe(bia, " " + kEsc + "[0mok\r\n"));
  EXPECT_TRUE(recebe(ana, " ok\r\n"));
  EXPECT_TRUE(recebe(caio, registro(" " + kEsc + "[0mok")));
}

}  // namespace
