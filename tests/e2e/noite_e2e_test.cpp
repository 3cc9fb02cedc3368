// One evening at the gateway, from the first greeting to the shut-down: two
// telnet users and one framed-client user arrive and choose nicknames, see
// who is present, let one guest in from another address, link the gateway
// to a MUD and play on it together, chat, hold their output, read the help,
// leave, and finally close the gateway. Every step checks the exact bytes
// that each user receives, and that nobody else receives them.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "confere.h"

namespace {

using namespace e2e;

const std::string kSaudacao = "+OK Para telnet pressione ENTER\r\n";
const std::string kViaTelnet = "-OK Entrando via telnet; para sair tecle /sair ou /quit\r\n";
const std::string kViaOrvalho = "+OK Entrando via Orvalho\r\n";
const std::string kPedido = "Digite seu apelido";
const std::string kInvalido = "Apelido inv\xE1lido, digite outro";
const std::string kTecleAjuda = "Tecle /ajuda para saber os comandos";
const std::string kNegado = "-Acesso negado\r\n";
const std::string kEsc = "\x1b";

// The help as a user reads it, line by line.
const std::vector<std::string> kAjuda = {
    "Ajuda:",
    "/sair ou /quit - Sai do Zandor",
    "/terminar - Encerra o programa",
    "/mud endere\xE7o porta - Conecta a um mud",
    "/mud - Desconecta do mud",
    "/con endere\xE7o IP - permite uma conex\xE3o do endere\xE7o IP espeficidado",
    "    Nota: ao permitir um endere\xE7o deixar\xE1 de permitir outro",
    "/quem - Diz quem est\xE1 no Zandor",
    "/nome apelido - Muda de apelido",
    "/c1 - Telnet alterna entre voltar e n\xE3o voltar as \xFAltimas mensagens quando",
    "    tecla ENTER. Orvalho alterna entre 80 e 240 caracteres por linha",
    "/c2 - Alterna entre filtrar/n\xE3o filtrar cores; n\xE3o recomandado para Orvalho",
    "/ - Envia mensagem vazia para o MUD (pressionar ENTER no MUD)",
    "/c - Envia CONTROL+C para o MUD",
    "/ seguido de uma mensagem - Envia mensagem para quem estiver no Zandor",
    "Qualquer outra coisa envia o que escreveu para o MUD",
    "Mensagens para o mud que comecem com / escreva // no lugar de /",
    "/c3 - Alterna entre Windows-1252 e UTF-8 (telnet)",
    "/convite [ver] - Cria um link para algu\xE9m entrar pelo navegador (ver: s\xF3 assiste)",
    "/historia n - Mostra as \xFAltimas n linhas do MUD (20 se omitido)",
    "/assentos - Mostra quem entrou por convite e pode voltar",
    "/revoga apelido - Tira o acesso de quem entrou por convite",
    "Fim da ajuda",
};

std::string linha(const std::string& texto) { return texto + "\r\n"; }

class Noite : public ::testing::Test {
 protected:
  // Messages to everyone: Ana and Bia read telnet lines, Caio records.
  void todosRecebem(std::initializer_list<std::string> textos) {
    std::string telnet, registros;
    for (const std::string& t : textos) {
      telnet += linha(t);
      registros += quadro(t);
    }
    EXPECT_TRUE(recebe(ana, telnet));
    EXPECT_TRUE(recebe(bia, telnet));
    EXPECT_TRUE(recebe(caio, registros));
  }

  // The three arrive the short way, Ana first and Caio last.
  void reune() {
    ana = g.usuarioTelnet("Ana");
    bia = g.usuarioTelnet("Bia");
    caio = g.usuarioQuadros("Caio");
    EXPECT_TRUE(recebe(ana, "//Bia chegou\r\n//Caio chegou\r\n"));
    EXPECT_TRUE(recebe(bia, "//Caio chegou\r\n"));
  }

  // Ana links the gateway to the fake MUD; everyone is told. The MUD's end.
  Conexao ligaMud() {
    const std::string porta = std::to_string(falso.porta());
    ana.envia("/mud 127.0.0.1 " + porta + "\r\n");
    todosRecebem({"/Conectando em 127.0.0.1 " + porta, "/Conectado"});
    Conexao lado = falso.aceita();
    EXPECT_TRUE(lado.aberta());
    return lado;
  }

  Gateway g;
  MudFalso falso;
  Conexao ana, bia, caio;
};

TEST_F(Noite, ArrivalsNicknamesAndWhoIsHere) {
  // Ana comes by telnet: ENTER on an empty first line says so.
  ana = Conexao::conecta(g.porta());
  EXPECT_TRUE(recebe(ana, kSaudacao));
  ana.envia("\r\n");
  EXPECT_TRUE(recebe(ana, kViaTelnet));
  // Her first line brings the prompt ahead of its answer.
  ana.envia("Ana Maria\r\n");
  EXPECT_TRUE(recebe(ana, linha(kPedido) + linha(kInvalido)));
  for (const char* tentativa : {"/ajuda", "/terminar", "Thiago", "A"}) {
    ana.envia(std::string(tentativa) + "\r\n");  // without a nickname every line is an attempt
    EXPECT_TRUE(recebe(ana, linha(kInvalido))) << tentativa;
  }
  ana.envia("Ana\r\n");
  EXPECT_TRUE(recebe(ana, "//Ana chegou\r\n" + linha(kTecleAjuda)));

  // Bia arrives as ANA: nicknames are not compared with each other.
  bia = Conexao::conecta(g.porta());
  EXPECT_TRUE(recebe(bia, kSaudacao));
  bia.envia("\r\n");
  EXPECT_TRUE(recebe(bia, kViaTelnet));
  bia.envia("ANA\r\n");
  EXPECT_TRUE(recebe(bia, linha(kPedido) + "//ANA chegou\r\n" + linha(kTecleAjuda)));
  EXPECT_TRUE(recebe(ana, "//ANA chegou\r\n"));

  // Caio is greeted; until his first line he hears nothing, but he is listed,
  // newest first, with the empty nickname.
  caio = Conexao::conecta(g.porta());
  EXPECT_TRUE(recebe(caio, kSaudacao));
  ana.envia("/quem\r\n");
  EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\n\r\nANA\r\nAna\r\n"));

  // Renaming: a bad name is refused to the asker alone; a good one is told to
  // everyone whose protocol is known.
  bia.envia("/nome Ana Maria\r\n");
  EXPECT_TRUE(recebe(bia, "/Apelido inv\xE1lido\r\n"));
  bia.envia("/NOME   Bia\r\n");
  EXPECT_TRUE(recebe(bia, "//Usu\xE1rio ANA \xE9 conhecido como Bia\r\n"));
  EXPECT_TRUE(recebe(ana, "//Usu\xE1rio ANA \xE9 conhecido como Bia\r\n"));

  // Caio's client sends a non-empty first line: the framed protocol. The
  // answer is still a telnet line; from then on everything is records.
  caio.envia("orvalho\r\n");
  EXPECT_TRUE(recebe(caio, kViaOrvalho));
  caio.envia(quadro("Caio"));
  EXPECT_TRUE(recebe(caio, quadro(kPedido) + quadro("//Caio chegou") + quadro(kTecleAjuda)));
  EXPECT_TRUE(recebe(ana, "//Caio chegou\r\n"));
  EXPECT_TRUE(recebe(bia, "//Caio chegou\r\n"));
  caio.envia(quadro("/nome"));
  EXPECT_TRUE(recebe(caio, quadro("/Apelido inv\xE1lido")));
  caio.envia(quadro("/quem"));
  EXPECT_TRUE(recebe(caio, quadro("/Usu\xE1rios") + quadro("Caio") + quadro("Bia") + quadro("Ana")));

  // Nobody heard anything else meanwhile.
  ana.envia("/ boa noite\r\n");
  todosRecebem({"/Ana. boa noite"});
}

TEST_F(Noite, OneGuestFromAnotherAddressIsLetInOnce) {
  reune();
  Conexao intruso = Conexao::conecta(g.porta(), "127.0.0.2");
  ASSERT_TRUE(intruso.aberta());
  EXPECT_TRUE(recebeEFecha(intruso, kNegado));

  bia.envia("/con 127.0.0.2\r\n");
  todosRecebem({"/con: Aceitando uma conex\xE3o de 127.0.0.2"});
  Conexao rui = Conexao::conecta(g.porta(), "127.0.0.2");
  EXPECT_TRUE(recebe(rui, kSaudacao));
  Conexao outro = Conexao::conecta(g.porta(), "127.0.0.2");  // the allowance is used up
  EXPECT_TRUE(recebeEFecha(outro, kNegado));

  // The guest is listed before choosing a nickname; for a framed asker the
  // empty nickname makes no record at all.
  caio.envia(quadro("/quem"));
  EXPECT_TRUE(recebe(caio, quadro("/Usu\xE1rios") + quadro("Caio") + quadro("Bia") + quadro("Ana")));

  // He takes a nickname already in use: allowed.
  rui.envia("\r\n");
  EXPECT_TRUE(recebe(rui, kViaTelnet));
  rui.envia("Caio\r\n");
  EXPECT_TRUE(recebe(rui, linha(kPedido) + "//Caio chegou\r\n" + linha(kTecleAjuda)));
  todosRecebem({"//Caio chegou"});
  ana.envia("/quem\r\n");
  EXPECT_TRUE(recebe(ana, "/Usu\xE1rios\r\nCaio\r\nCaio\r\nBia\r\nAna\r\n"));

  // "/con" alone: local connections only again; the guest stays.
  ana.envia("/con\r\n");
  const std::string soLocais = "/con: s\xF3 aceitando conex\xF5" "es locais";
  todosRecebem({soLocais});
  EXPECT_TRUE(recebe(rui, linha(soLocais)));

  // The guest leaves: everyone hears it, he too, before his connection closes.
  rui.envia("/Sair\r\n");
  EXPECT_TRUE(recebeEFecha(rui, "//Caio saiu\r\n"));
  todosRecebem({"//Caio saiu"});
}

TEST_F(Noite, PlayingTogetherOnTheMud) {
  reune();
  Conexao lado = ligaMud();

  // Ana keeps the colours; Bia and Caio have them filtered.
  ana.envia("/c2\r\n");
  EXPECT_TRUE(recebe(ana, "/c2 N\xE3o filtrando cores\r\n"));
  const std::string cor = kEsc + "[1;33mA lua nasce sobre o vale." + kEsc + "[0m";
  lado.envia(cor + "\r\n");
  EXPECT_TRUE(recebe(ana, cor + "\r\n"));
  EXPECT_TRUE(recebe(bia, "A lua nasce sobre o vale.\r\n"));
  EXPECT_TRUE(recebe(caio, quadro("A lua nasce sobre o vale.")));

  // A line of 300 bytes: telnet users get it whole; Caio gets it wrapped
  // for 80 columns, and for 240 after "/c1" (cut at the blank there).
  const std::string a230(230, 'a'), b69(69, 'b'), longa = a230 + " " + b69;
  lado.envia(longa + "\r\n");
  EXPECT_TRUE(recebe(caio, quadro(a230.substr(0, 78)) + quadro(" /" + a230.substr(78, 76)) +
                               quadro(" /" + a230.substr(154)) + quadro(" / " + b69)));
  caio.envia(quadro("/c1"));
  EXPECT_TRUE(recebe(caio, quadro("/c1 Cortando texto em 240 colunas")));
  lado.envia(longa + "\r\n");
  EXPECT_TRUE(recebe(caio, quadro(a230) + quadro(" / " + b69)));
  caio.envia(quadro("/C1"));
  EXPECT_TRUE(recebe(caio, quadro("/c1 Cortando texto em 80 colunas")));
  EXPECT_TRUE(recebe(ana, linha(longa) + linha(longa)));
  EXPECT_TRUE(recebe(bia, linha(longa) + linha(longa)));

  // Chat goes to everyone and never to the MUD.
  caio.envia(quadro("/   boa noite a todos"));
  todosRecebem({"/Caio. boa noite a todos"});
  bia.envia("/xyz\r\n");
  todosRecebem({"/Bia. xyz"});
  ana.envia("/ \r\n");
  todosRecebem({"/Ana. "});

  // Lines for the MUD, with no answer to anyone.
  bia.envia("olhar\r\n");
  EXPECT_TRUE(recebe(lado, "olhar\r\n"));
  caio.envia(quadro("norte"));
  EXPECT_TRUE(recebe(lado, "norte\r\n"));
  ana.envia("/\r\n");
  EXPECT_TRUE(recebe(lado, "\r\n"));
  ana.envia("//\r\n");
  EXPECT_TRUE(recebe(lado, "/\r\n"));
  bia.envia("//quem\r\n");
  EXPECT_TRUE(recebe(lado, "/quem\r\n"));
  ana.envia("/c\r\n");
  EXPECT_TRUE(recebe(lado, "\x03"));

  // Bia presses ENTER on an empty line: her output waits...
  bia.envia("\r\n");
  EXPECT_TRUE(recebe(bia, "tecle\r\n"));
  lado.envia("Um lobo uiva ao longe.\r\n");
  EXPECT_TRUE(recebe(ana, "Um lobo uiva ao longe.\r\n"));
  EXPECT_TRUE(recebe(caio, quadro("Um lobo uiva ao longe.")));
  caio.envia(quadro("/ ouviram?"));
  EXPECT_TRUE(recebe(ana, "/Caio. ouviram?\r\n"));
  EXPECT_TRUE(recebe(caio, quadro("/Caio. ouviram?")));
  bia.lePor(300ms);
  EXPECT_EQ(bia.recebido(), "");
  // ...until her next line, which also goes where it was meant to.
  bia.envia("escutar\r\n");
  EXPECT_TRUE(recebe(lado, "escutar\r\n"));
  EXPECT_TRUE(recebe(bia, "Um lobo uiva ao longe.\r\n/Caio. ouviram?\r\n"));

  // The help, to the asker alone, in the asker's protocol.
  std::string ajudaTelnet, ajudaQuadros;
  for (const std::string& l : kAjuda) {
    ajudaTelnet += linha(l);
    // The "/convite" line has 81 characters: 80 columns take it wrapped at its last blank.
    const size_t corte = l.size() > 80 ? l.rfind(' ') : std::string::npos;
    ajudaQuadros += corte == std::string::npos ? quadro(l) : quadro(l.substr(0, corte)) + quadro(" /" + l.substr(corte));
  }
  ana.envia("/ajuda\r\n");
  EXPECT_TRUE(recebe(ana, ajudaTelnet));
  caio.envia(quadro("/AJUDA"));
  EXPECT_TRUE(recebe(caio, ajudaQuadros));

  // A prompt without a line end reaches everyone after a short silence.
  lado.envia("HP:100> ");
  todosRecebem({"HP:100> "});

  bia.envia("/ fim\r\n");
  todosRecebem({"/Bia. fim"});
  lado.lePor(50ms);
  EXPECT_EQ(lado.recebido(), "");
}

TEST_F(Noite, LeavingAndClosingTime) {
  reune();
  Conexao lado = ligaMud();
  Conexao saudado = Conexao::conecta(g.porta());  // greeted, protocol unknown
  EXPECT_TRUE(recebe(saudado, kSaudacao));

  caio.envia(quadro("/QUIT"));
  EXPECT_TRUE(recebeEFecha(caio, quadro("//Caio saiu")));
  EXPECT_TRUE(recebe(ana, "//Caio saiu\r\n"));
  EXPECT_TRUE(recebe(bia, "//Caio saiu\r\n"));

  // "/terminar" with more words is only chat.
  bia.envia("/terminar agora\r\n");
  EXPECT_TRUE(recebe(ana, "/Bia. terminar agora\r\n"));
  EXPECT_TRUE(recebe(bia, "/Bia. terminar agora\r\n"));

  // Bia holds her output while the MUD goes on.
  bia.envia("\r\n");
  EXPECT_TRUE(recebe(bia, "tecle\r\n"));
  lado.envia("O sino toca meia-noite.\r\n");
  EXPECT_TRUE(recebe(ana, "O sino toca meia-noite.\r\n"));

  // Ana closes the gateway: every user whose protocol is known is told, the
  // held output goes out first, and the process ends with status 0.
  ana.envia("/terminar\r\n");
  EXPECT_TRUE(recebeEFecha(ana, "/Encerrando Zandor\r\n"));
  EXPECT_TRUE(recebeEFecha(bia, "O sino toca meia-noite.\r\n/Encerrando Zandor\r\n"));
  EXPECT_TRUE(recebeEFecha(saudado, ""));
  EXPECT_EQ(g.esperaSair(), 0);
  EXPECT_TRUE(recebeEFecha(lado, ""));
  EXPECT_EQ(g.saida(), "");
}

}  // namespace
