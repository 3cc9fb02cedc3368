// The command interpreter through the running gateway: the order in which a
// typed line is tested (the first match decides), case and accent folding of
// the command words, the odd forms of "/con" and "/mud" arguments, every
// line of one write handled in order, and a named MUD entry without a port
// answered as a bad port to the asker alone, whatever link there is.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "confere.h"

namespace {

using namespace e2e;

const std::string kSaudacao = "+OK Para telnet pressione ENTER\r\n";
const std::string kPedido = "Digite seu apelido\r\n";
const std::string kInvalido = "Apelido inv\xE1lido, digite outro\r\n";
const std::string kPorta = "/Porta deve ser um n\xFAmero de 1 a 65535\r\n";
const std::string kSoLocais = "/con: s\xF3 aceitando conex\xF5" "es locais\r\n";
const std::string kNegado = "-Acesso negado\r\n";

std::string conectando(int porta) { return "/Conectando em 127.0.0.1 " + std::to_string(porta); }

// Ana and Bia by telnet, a fake MUD, and a configuration file that names it.
class Comandos : public ::testing::Test {
 protected:
  static std::string configuracao(int porta) {
    const std::string p = std::to_string(porta);
    return "%PORTA%\n"
           "arena = 127.0.0.1 " + p + "\n"
           "ruim = 127.0.0.1 70000\n"
           "letras = 127.0.0.1 quatro\n"
           "semporta = 127.0.0.1\n"
           "tab = 127.0.0.1\t" + p + "\n";
  }

  void SetUp() override {
    ana = g.usuarioTelnet("Ana");
    bia = g.usuarioTelnet("Bia");
    ASSERT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  }

  // A chat line that both must receive as the very next bytes: anything
  // sent to either before it would show up here.
  void nadaMais() {
    ana.envia("/ -\r\n");
    EXPECT_TRUE(recebe(ana, "/Ana. -\r\n"));
    EXPECT_TRUE(recebe(bia, "/Ana. -\r\n"));
  }

  // `comando` links the gateway to the fake MUD; both are told.
  Conexao liga(const std::string& comando) { return e2e::liga(ana, falso, {&ana, &bia}, comando); }

  MudFalso falso;
  Gateway g{configuracao(falso.porta())};
  Conexao ana, bia;
};

TEST_F(Comandos, UnnamedUsersCanOnlyChooseANicknameOrLeave) {
  Conexao u = Conexao::conecta(g.porta());
  ASSERT_TRUE(recebe(u, kSaudacao));
  u.envia("\r\n");
  ASSERT_TRUE(u.leAte("/quit\r\n"));
  u.descarta();
  u.envia("/terminar\r\n");
  EXPECT_TRUE(recebe(u, kPedido + kInvalido));
  for (const char* l : {"/quem", "/c2", "/con 127.0.0.2", "/mud 127.0.0.1 4000", "/nome Rui", "/ oi", "olhar o mapa"}) {
    u.envia(std::string(l) + "\r\n");
    EXPECT_TRUE(recebe(u, kInvalido)) << l;
  }
  u.envia("/SAIR   \r\n");
  EXPECT_TRUE(recebeEFecha(u, ""));

  // A framed user leaves as quietly, after the prompt his first line brings.
  Conexao v = Conexao::conecta(g.porta());
  ASSERT_TRUE(recebe(v, kSaudacao));
  v.envia("orvalho\r\n");
  ASSERT_TRUE(v.leAte("Orvalho\r\n"));
  v.descarta();
  v.envia(quadro("/Quit"));
  EXPECT_TRUE(recebeEFecha(v, quadro("Digite seu apelido")));
  nadaMais();
}

TEST_F(Comandos, CommandWordsFoldCaseAndAccentsAndTheFirstMatchDecides) {
  struct Caso {
    std::string linha;
    std::string resposta;
    bool paraTodos;  // Bia gets it too
  };
  const std::string quem = "/Usu\xE1rios\r\nBia\r\nAna\r\n";
  const std::string invalido = "/Apelido inv\xE1lido\r\n";
  const std::vector<Caso> casos = {
      {"/QUEM", quem, false},
      {"/Qu\xC9m", quem, false},
      {"/quem   ", quem, false},
      {"   /quem", quem, false},
      {"/quem agora", "/Ana. quem agora\r\n", true},
      {"/Sair  agora", "/Ana. Sair  agora\r\n", true},
      {"/TERMINAR agora", "/Ana. TERMINAR agora\r\n", true},
      {"/ajuda x", "/Ana. ajuda x\r\n", true},
      {"/C1", "/c1 N\xE3o voltando \xFAltimas mensagens\r\n", false},
      {"/c1", "/c1 Voltando \xFAltimas mensagens\r\n", false},
      {"/c1 x", "/Ana. c1 x\r\n", true},
      {"/c2", "/c2 N\xE3o filtrando cores\r\n", false},
      {"/C2  ", "/c2 Filtrando cores\r\n", false},
      {"/c3 x", "/Ana. c3 x\r\n", true},
      {"/conx 127.0.0.2", "/Ana. conx 127.0.0.2\r\n", true},
      {"/con1.2.3.4", "/Ana. con1.2.3.4\r\n", true},
      {"/mudx", "/Ana. mudx\r\n", true},
      {"/nomeBea", "/Ana. nomeBea\r\n", true},
      {"/nome", invalido, false},
      {"/nome    ", invalido, false},
      {"/nome Ana Maria", invalido, false},
      {"/nome Ana", "//Usu\xE1rio Ana \xE9 conhecido como Ana\r\n", true},
      {"/N\xD3ME Bea", "//Usu\xE1rio Ana \xE9 conhecido como Bea\r\n", true},
      {"/ xyz", "/Bea. xyz\r\n", true},
      {"/nome Ana", "//Usu\xE1rio Bea \xE9 conhecido como Ana\r\n", true},
  };
  for (const Caso& c : casos) {
    ana.envia(c.linha + "\r\n");
    EXPECT_TRUE(recebe(ana, c.resposta)) << c.linha;
    if (c.paraTodos) {
      EXPECT_TRUE(recebe(bia, c.resposta)) << c.linha;
    }
  }
  // Lines for the MUD, and control-C, vanish while there is no link.
  ana.envia("olhar\r\n");
  ana.envia("/\r\n");
  ana.envia("//olhar\r\n");
  ana.envia("/c\r\n");
  nadaMais();
}

TEST_F(Comandos, ConArgumentForms) {
  const std::string aceitando = "/con: Aceitando uma conex\xE3o de ";
  const std::vector<std::pair<std::string, std::string>> casos = {
      {"/con 10.0.0.5", aceitando + "10.0.0.5\r\n"},
      {"/CON     127.0.0.3", aceitando + "127.0.0.3\r\n"},
      {"/con 127.1", aceitando + "127.0.0.1\r\n"},  // written back in dotted form
      {"/con abc", kSoLocais},
      {"/con 0.0.0.0", kSoLocais},
      {"/con 255.255.255.255", kSoLocais},
      {"/con", kSoLocais},
      {"/con 127.0.0.3", aceitando + "127.0.0.3\r\n"},
      {"/con 127.0.0.2", aceitando + "127.0.0.2\r\n"},  // replaces 127.0.0.3
  };
  for (const auto& [linha, resposta] : casos) {
    bia.envia(linha + "\r\n");
    EXPECT_TRUE(recebe(ana, resposta)) << linha;
    EXPECT_TRUE(recebe(bia, resposta)) << linha;
  }
  Conexao antigo = Conexao::conecta(g.porta(), "127.0.0.3");
  EXPECT_TRUE(recebeEFecha(antigo, kNegado));
  Conexao novo = Conexao::conecta(g.porta(), "127.0.0.2");
  EXPECT_TRUE(recebe(novo, kSaudacao));
  EXPECT_FALSE(novo.fechada());
}

TEST_F(Comandos, MudArgumentForms) {
  // Bad ports, typed or from the configuration file, to the asker alone.
  for (const char* l : {"/mud 127.0.0.1 0", "/mud 127.0.0.1 65536", "/mud 127.0.0.1 porta", "/mud 127.0.0.1 -4000",
                        "/mud arena extra", "/mud ruim", "/mud LETRAS"}) {
    ana.envia(std::string(l) + "\r\n");
    EXPECT_TRUE(recebe(ana, kPorta)) << l;
  }
  // A number beyond an int saturates; it never wraps round into a real port.
  ana.envia("/mud 127.0.0.1 " + std::to_string(4294967296LL + falso.porta()) + "\r\n");
  EXPECT_TRUE(recebe(ana, kPorta));
  ana.envia("/mud nenhum\r\n");
  EXPECT_TRUE(recebe(ana, "/MUD n\xE3o encontrado\r\n"));
  ana.envia("/MUD\r\n");
  EXPECT_TRUE(recebe(ana, "/N\xE3o est\xE1 conectado em um MUD\r\n"));
  nadaMais();

  // Blanks anywhere and leading zeros: the port is the number at the start
  // of the second word. A third word names the transport: an unknown one is
  // refused to the asker alone, rather than connecting in clear.
  ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + " e mais\r\n");
  EXPECT_TRUE(recebe(ana, "/Depois da porta s\xF3 vale tls ou tls-inseguro\r\n"));
  nadaMais();
  Conexao primeiro = liga("/MUD   127.0.0.1   0" + std::to_string(falso.porta()) + "x  ");
  Conexao segundo = liga("/mud Arena");
  EXPECT_TRUE(recebeEFecha(primeiro, ""));
  ana.envia("/Mud   \r\n");
  EXPECT_TRUE(recebe(ana, "/Desconectado do MUD\r\n"));
  EXPECT_TRUE(recebe(bia, "/Desconectado do MUD\r\n"));
  EXPECT_TRUE(recebeEFecha(segundo, ""));
}

// Two lines in one write: both handled, in order, until one ends the session.
TEST_F(Comandos, EveryLineOfOneWriteIsHandledInOrder) {
  ana.envia("/quem\r\n/c2\r\n");
  EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\nBia\r\nAna\r\n/c2 N\xE3o filtrando cores\r\n"));
  ana.envia("/nome Bela\r\n/quem\r\n");
  const std::string renomeia = "//Usu\xE1rio Ana \xE9 conhecido como Bela\r\n";
  EXPECT_TRUE(recebe(ana, renomeia + "/Usu\xE1rios\r\nBia\r\nBela\r\n"));
  EXPECT_TRUE(recebe(bia, renomeia));

  Conexao caio = g.usuarioQuadros("Caio");
  EXPECT_TRUE(recebe(ana, "//Caio chegou\r\n"));
  EXPECT_TRUE(recebe(bia, "//Caio chegou\r\n"));
  caio.envia(quadro("/ um") + quadro("/ dois") + quadro("/c1"));
  EXPECT_TRUE(recebe(caio, quadro("/Caio. um") + quadro("/Caio. dois") + quadro("/c1 Cortando texto em 240 colunas")));
  EXPECT_TRUE(recebe(ana, "/Caio. um\r\n/Caio. dois\r\n"));
  EXPECT_TRUE(recebe(bia, "/Caio. um\r\n/Caio. dois\r\n"));

  Conexao lado = liga("/mud arena");
  EXPECT_TRUE(recebe(caio, quadro(conectando(falso.porta())) + quadro("/Conectado")));
  bia.envia("norte\r\n/c\r\n//sul\r\n");
  EXPECT_TRUE(recebe(lado, "norte\r\n\x03/sul\r\n"));

  // What follows "/sair" in the same write is never looked at.
  bia.envia("/ tchau\r\n/sair\r\n/ depois\r\nleste\r\n");
  EXPECT_TRUE(recebeEFecha(bia, "/Bia. tchau\r\n//Bia saiu\r\n"));
  EXPECT_TRUE(recebe(ana, "/Bia. tchau\r\n//Bia saiu\r\n"));
  EXPECT_TRUE(recebe(caio, quadro("/Bia. tchau") + quadro("//Bia saiu")));
  caio.envia(quadro("/ fim"));
  EXPECT_TRUE(recebe(ana, "/Caio. fim\r\n"));
  EXPECT_TRUE(recebe(caio, quadro("/Caio. fim")));
  lado.lePor(50ms);
  EXPECT_EQ(lado.recebido(), "");
}

// A line for the MUD typed just before "/terminar", in the same write, is
// sent before the gateway closes.
TEST_F(Comandos, LineBeforeTerminarInTheSameWriteReachesTheMud) {
  Conexao lado = liga("/mud arena");
  ana.envia("norte\r\n/terminar\r\n");
  EXPECT_TRUE(recebeEFecha(lado, "norte\r\n"));
  EXPECT_TRUE(recebeEFecha(ana, "/Encerrando Zandor\r\n"));
  EXPECT_TRUE(recebeEFecha(bia, "/Encerrando Zandor\r\n"));
  EXPECT_EQ(g.esperaSair(), 0);
}

// An entry whose value has an address but no port (or whose port ran into
// the address, the tab between them being dropped) is a bad port: the asker
// alone is told, and the link, or its absence, stays as it was.
TEST_F(Comandos, NamedEntryWithoutPortIsABadPortAndLeavesTheLinkAlone) {
  ana.envia("/mud semporta\r\n");
  EXPECT_TRUE(recebe(ana, kPorta));
  nadaMais();

  Conexao lado = liga("/mud arena");
  for (const char* nome : {"semporta", "SEMPORTA", "tab"}) {
    ana.envia(std::string("/mud ") + nome + "\r\n");
    EXPECT_TRUE(recebe(ana, kPorta)) << nome;
  }
  lado.envia("ainda aqui\r\n");
  EXPECT_TRUE(recebe(ana, "ainda aqui\r\n"));
  EXPECT_TRUE(recebe(bia, "ainda aqui\r\n"));
  bia.envia("sul\r\n");
  EXPECT_TRUE(recebe(lado, "sul\r\n"));
  EXPECT_FALSE(lado.fechada());
  EXPECT_FALSE(falso.aceita(Ms(50)).aberta());
}

}  // namespace
