// "/historia" against the real binary and the fake MUD: the empty history
// and bad counts, the two bounds (1000 lines, 256 KiB of long lines), each
// reader getting the lines as they read them live (colours, charset, framed
// folding), a 1000-line reply read whole while the MUD goes on, and a user
// who leaves in the middle of one.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "confere.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

const std::string kFim = "/Fim do hist\xF3rico\r\n";
const std::string kUso = "/Uso: /historia [1 a 1000]\r\n";

std::string cabecalho(int linhas) { return "/Hist\xF3rico: " + std::to_string(linhas) + " linhas\r\n"; }

// Line i of a batch, padded to `tamanho` bytes with a letter of its own.
std::string numerada(const std::string& prefixo, int i, size_t tamanho = 0) {
  std::string s = prefixo + std::to_string(i);
  if (s.size() < tamanho) s += std::string(tamanho - s.size(), static_cast<char>('a' + i % 26));
  return s;
}

// Lines `de` to `ate` - 1 of a batch, each with its CR LF.
std::string lote(const std::string& prefixo, int de, int ate, size_t tamanho = 0) {
  std::string r;
  for (int i = de; i < ate; ++i) r += numerada(prefixo, i, tamanho) + "\r\n";
  return r;
}

// The MUD sends `texto` fifty lines at a time, each batch read by every one
// of `leitores` before the next: a user's ring takes a burst only as fast
// as the user reads, and these tests are not about bursts.
void enviaLido(Conexao& lado, const std::string& texto, std::initializer_list<Conexao*> leitores) {
  size_t de = 0;
  while (de < texto.size()) {
    size_t ate = de;
    for (int i = 0; i < 50 && ate < texto.size(); ++i) ate = texto.find('\n', ate) + 1;
    const std::string pedaco = texto.substr(de, ate - de);
    lado.envia(pedaco);
    for (Conexao* c : leitores) ASSERT_TRUE(recebe(*c, pedaco, 10s));
    de = ate;
  }
}

TEST(HistoriaPedida, EmptyBadCountsAndTheLast1000Lines) {
  MudFalso falso;
  Gateway g;
  Conexao ana = g.usuarioTelnet("Ana");
  ana.envia("/historia\r\n");
  EXPECT_TRUE(recebe(ana, "/Hist\xF3rico vazio\r\n"));
  for (const char* ruim : {"0", "1001", "x", "-5", "+5", "5 6", "5x", "99999999999999999999"}) {
    ana.envia(std::string("/historia ") + ruim + "\r\n");
    EXPECT_TRUE(recebe(ana, kUso)) << ruim;
  }

  Conexao lado = liga(ana, falso, {&ana});
  const std::string todas = lote("linha ", 0, 1200);
  enviaLido(lado, todas, {&ana});
  ana.envia("/historia 1000\r\n");
  EXPECT_TRUE(recebe(ana, cabecalho(1000) + lote("linha ", 200, 1200) + kFim));
  // The word folds like every command word; blanks around the count.
  ana.envia("/HIST\xD3RIA   0002  \r\n");
  EXPECT_TRUE(recebe(ana, cabecalho(2) + lote("linha ", 1198, 1200) + kFim));
  ana.envia("/historia\r\n");
  EXPECT_TRUE(recebe(ana, cabecalho(20) + lote("linha ", 1180, 1200) + kFim));

  // Neither a prompt nor chat is kept.
  lado.envia("PV 20> ");
  EXPECT_TRUE(recebe(ana, "PV 20> \r\n"));
  ana.envia("/oi\r\n");
  EXPECT_TRUE(recebe(ana, "/Ana. oi\r\n"));
  ana.envia("/historia 1\r\n");
  EXPECT_TRUE(recebe(ana, cabecalho(1) + "linha 1199\r\n" + kFim));
}

// 256 KiB hold 32 lines of 8000 bytes; a longer MUD line is kept as the
// pieces users read; the history outlives the link.
TEST(HistoriaPedida, LongLinesUpTo256KiBAndAfterTheLinkGoes) {
  MudFalso falso;
  Gateway g;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao lado = liga(ana, falso, {&ana});
  const std::string longas = lote("longa ", 0, 40, 8000);
  enviaLido(lado, longas, {&ana});
  ana.envia("/historia 1000\r\n");
  EXPECT_TRUE(recebe(ana, cabecalho(32) + lote("longa ", 8, 40, 8000) + kFim, 10s));

  const std::string z8000(8000, 'z');
  lado.envia(z8000 + z8000 + std::string(100, 'z') + "\r\n");
  const std::string pedacos = z8000 + "\r\n" + z8000 + "\r\n" + std::string(100, 'z') + "\r\n";
  ASSERT_TRUE(recebe(ana, pedacos));
  ana.envia("/mud\r\n");
  EXPECT_TRUE(recebe(ana, "/Desconectado do MUD\r\n"));
  ana.envia("/historia 4\r\n");
  EXPECT_TRUE(recebe(ana, cabecalho(4) + numerada("longa ", 39, 8000) + "\r\n" + pedacos + kFim));
}

// Each reader gets the history exactly as that reader got the lines live:
// colours stripped or kept, Windows-1252 or UTF-8, framed records folded
// at 80 columns.
TEST(HistoriaPedida, EachReaderGetsTheLinesAsReadLive) {
  MudFalso falso;
  Gateway g;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao bia = g.usuarioTelnet("Bia");
  Conexao dora = g.usuarioTelnet("Dora", "/c3", "/c3 Usando UTF-8");
  Conexao caio = g.usuarioQuadros("Caio");
  bia.envia("/c2\r\n");
  ASSERT_TRUE(bia.leAte("/c2 N\xE3o filtrando cores\r\n"));
  ana.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + "\r\n");
  Conexao lado = falso.aceita();
  ASSERT_TRUE(lado.aberta());
  for (Conexao* c : {&ana, &bia, &dora}) {
    ASSERT_TRUE(c->leAte("/Conectado\r\n"));
    c->descarta();
  }
  ASSERT_TRUE(caio.leAte(quadro("/Conectado")));
  caio.descarta();

  std::string longa;
  for (int i = 0; i < 30; ++i) longa += "palavra" + std::to_string(i) + " ";
  lado.envia("\x1b[1;31mVermelho\x1b[0m e normal\r\nOl\xE1 caf\xE9\r\nOl\xC3\xA1 em UTF-8\r\n" + longa + "\r\nfim\r\n");
  struct Leitor {
    Conexao* c;
    std::string fim, cabeca, rodape;
  };
  const std::string utf8Cabeca = "/Hist\xC3\xB3rico: 5 linhas\r\n", utf8Rodape = "/Fim do hist\xC3\xB3rico\r\n";
  const Leitor leitores[] = {
      {&ana, "fim\r\n", cabecalho(5), kFim},
      {&bia, "fim\r\n", cabecalho(5), kFim},
      {&dora, "fim\r\n", utf8Cabeca, utf8Rodape},
      {&caio, quadro("fim"), quadro("/Hist\xF3rico: 5 linhas"), quadro("/Fim do hist\xF3rico")},
  };
  std::string vivo[4];
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(leitores[i].c->leAte(leitores[i].fim));
    vivo[i] = leitores[i].c->toma();
  }
  // The live forms differ as they should, so the comparison below means something.
  EXPECT_EQ(vivo[0].substr(0, 22), "Vermelho e normal\r\nOl\xE1");
  EXPECT_EQ(vivo[1].substr(0, 7), "\x1b[1;31m");
  EXPECT_EQ(vivo[2].find("Ol\xC3\xA1 caf\xC3\xA9\r\n"), 19u);
  EXPECT_GT(vivo[3].size(), longa.size() + 5 * 3);  // folded into several records

  for (int i = 0; i < 4; ++i) {
    leitores[i].c->envia(i == 3 ? quadro("/historia 5") : std::string("/historia 5\r\n"));
    EXPECT_TRUE(recebe(*leitores[i].c, leitores[i].cabeca + vivo[i] + leitores[i].rodape)) << i;
  }
}

// A 1000-line reply to a reader who does not read at first: the MUD goes on
// meanwhile, Bia gets its lines at once, and Ana, reading at last, gets the
// whole reply and then those lines, in order, nothing lost.
TEST(HistoriaPedida, AThousandLinesReadWholeWhileTheMudGoesOn) {
  MudFalso falso;
  Gateway g;
  Conexao ana = g.usuarioTelnet("Ana");
  Conexao bia = g.usuarioTelnet("Bia");
  ASSERT_TRUE(recebe(ana, "//Bia chegou\r\n"));
  Conexao lado = liga(ana, falso, {&ana, &bia});
  const std::string antigas = lote("antiga ", 0, 1000, 100);
  enviaLido(lado, antigas, {&ana, &bia});

  // Once the reply has begun, Ana stops reading for a while.
  ana.envia("/historia 1000\r\n");
  ASSERT_TRUE(ana.leAte(cabecalho(1000)));
  std::string vivas;
  for (int rajada = 0; rajada < 10; ++rajada) {
    const std::string l = lote("viva ", rajada * 10, rajada * 10 + 10);
    lado.envia(l);
    vivas += l;
    EXPECT_TRUE(recebe(bia, l));
  }
  EXPECT_TRUE(recebe(ana, cabecalho(1000) + antigas + kFim + vivas, 10s));
  lado.envia("depois\r\n");
  EXPECT_TRUE(recebe(ana, "depois\r\n"));
  EXPECT_TRUE(recebe(bia, "depois\r\n"));
}

// Ana asks for everything and leaves without reading: nothing of hers is
// left behind, and the others go on.
TEST(HistoriaPedida, AUserWhoLeavesMidStream) {
  MudFalso falso;
  Gateway g;
  Conexao bia = g.usuarioTelnet("Bia");
  Conexao lado = liga(bia, falso, {&bia});
  const std::string antigas = lote("antiga ", 0, 1000, 250);
  enviaLido(lado, antigas, {&bia});
  {
    Conexao ana = g.usuarioTelnet("Ana");
    ASSERT_TRUE(recebe(bia, "//Ana chegou\r\n"));
    ana.envia("/historia 1000\r\n");
    ASSERT_TRUE(ana.leAte(cabecalho(1000)));
    lado.envia("durante\r\n");
    EXPECT_TRUE(recebe(bia, "durante\r\n"));
  }  // closed unread
  lado.envia(lote("depois ", 0, 50));
  EXPECT_TRUE(recebe(bia, lote("depois ", 0, 50)));
  EXPECT_TRUE(perguntaAte(bia, "/quem\r\n", "/Usu\xE1rios\r\nBia\r\n"));
  bia.envia("/historia 2\r\n");
  EXPECT_TRUE(recebe(bia, cabecalho(2) + lote("depois ", 48, 50) + kFim));
}

}  // namespace
