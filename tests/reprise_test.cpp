// The history in-process: the store's two bounds and its eviction, copies
// across the end of its byte ring, and a user's stream of it (the entry
// lines a browser user gets, the drained event that carries a reply larger
// than the ring, live MUD lines queued after it, a hold that pauses it).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "gateway/cliente.h"
#include "gateway/entrega.h"
#include "gateway/historico.h"
#include "gateway/mud.h"
#include "gateway_falso.h"
#include "quadro.h"
#include "soquetes.h"
#include "text/dobra.h"

namespace zandor {
namespace {

std::string copia(const THistorico& h, uint32_t seq) {
  char linha[kMaxLinha + 1];
  const int n = h.copia(seq, linha);
  return n < 0 ? "<perdida>" : std::string(linha, static_cast<size_t>(n));
}

std::string numerada(int i, size_t tamanho = 0) {
  std::string s = "linha " + std::to_string(i);
  if (s.size() < tamanho) s += std::string(tamanho - s.size(), static_cast<char>('a' + i % 26));
  return s;
}

TEST(Historico, KeepsTheLast1000LinesAndNumbersThemOn) {
  auto h = std::make_unique<THistorico>();
  EXPECT_EQ(h->linhas(), 0);
  EXPECT_EQ(copia(*h, 0), "<perdida>");
  for (int i = 0; i < 1200; ++i) h->guarda(numerada(i).c_str(), static_cast<int>(numerada(i).size()));
  EXPECT_EQ(h->linhas(), 1000);
  EXPECT_EQ(h->inicio(), 200u);
  EXPECT_EQ(h->fim(), 1200u);
  EXPECT_TRUE(h->perdida(199));
  EXPECT_FALSE(h->perdida(200));
  EXPECT_EQ(copia(*h, 199), "<perdida>");
  EXPECT_EQ(copia(*h, 200), "linha 200");
  EXPECT_EQ(copia(*h, 1199), "linha 1199");
  EXPECT_EQ(copia(*h, 1200), "<perdida>");  // not made yet
  h->guarda("", 0);  // an empty line is a line
  EXPECT_EQ(copia(*h, 1200), "");
  EXPECT_EQ(h->inicio(), 201u);
}

// Lines of 8000 bytes: 32 fit 256 KiB, a 33rd evicts the oldest; lines that
// straddle the end of the byte ring come out whole, over many turns of it.
TEST(Historico, KeepsAtMost256KiBAndCopiesAcrossTheRingsEnd) {
  auto h = std::make_unique<THistorico>();
  for (int i = 0; i < 200; ++i) {
    const std::string l = numerada(i, 8000);
    h->guarda(l.c_str(), static_cast<int>(l.size()));
    ASSERT_LE(h->bytes(), kBytesHistorico);
    ASSERT_EQ(copia(*h, static_cast<uint32_t>(i)), l);
  }
  EXPECT_EQ(h->linhas(), 32);
  EXPECT_EQ(h->bytes(), 32 * 8000);
  for (int i = 168; i < 200; ++i) EXPECT_EQ(copia(*h, static_cast<uint32_t>(i)), numerada(i, 8000));
  // A short line after them evicts nothing more than it needs.
  h->guarda("x", 1);
  EXPECT_EQ(h->linhas(), 33);
  const std::string longa = numerada(7, 8000);
  h->guarda(longa.c_str(), 8000);
  EXPECT_EQ(h->linhas(), 33);
  EXPECT_EQ(copia(*h, h->fim() - 1), longa);
  h->limpa();
  EXPECT_EQ(h->linhas(), 0);
  EXPECT_EQ(h->bytes(), 0);
}

// Named users and a MUD link on the shared fixture.
class Historia : public GatewayFalso {
 protected:
  void SetUp() override {
    GatewayFalso::SetUp();
    ligaMud();
  }
};

// The browser user's entry: the last 50 lines as that user reads them, in
// the reply's frame; nothing at all while nothing is kept. Prompts are not
// kept, so the 50 are the lines the MUD ended.
TEST_F(Historia, EntryLinesAreTheLast50OrNothing) {
  int pa, pb;
  TCliente* ana = usuario(kProtocoloTelnet, 0, pa);
  ana->cMostraHistoria(kHistoriaEntrada, false);
  EXPECT_EQ(passo(ana, pa), "");
  EXPECT_FALSE(ana->cHistoriando());

  std::string live;
  for (int i = 0; i < 60; ++i) doMud("\x1b[31m" + numerada(i) + "\x1b[0m\r\n");
  doMud("PV 10> ");
  mud->cExpira();
  passo(ana, pa);
  TCliente* bia = usuario(kProtocoloQuadros, kOpcaoSemFiltro, pb);
  bia->cMostraHistoria(kHistoriaEntrada, false);
  std::string telnet = "/Hist\xF3rico: 50 linhas\r\n", quadros = quadro("/Hist\xF3rico: 50 linhas");
  for (int i = 10; i < 60; ++i) {
    telnet += numerada(i) + "\r\n";
    quadros += quadro("\x1b[31m" + numerada(i) + "\x1b[0m");
  }
  EXPECT_EQ(passo(bia, pb), quadros + quadro("/Fim do hist\xF3rico"));
  ana->cMostraHistoria(kHistoriaEntrada, false);
  EXPECT_EQ(passo(ana, pa), telnet + "/Fim do hist\xF3rico\r\n");
  EXPECT_FALSE(ana->cHistoriando());
}

// A reply far larger than the ring and the socket, read a piece at a time:
// the drained event carries it on; MUD lines that arrive meanwhile reach
// the streaming user after the footer, in order, and everyone else at once;
// a prompt goes to everyone else only; a hold stops the stream, and the
// hold's end resumes it.
TEST_F(Historia, AReplyLargerThanTheRingArrivesWholeWithLiveLinesAfterIt) {
  for (int i = 0; i < 1000; ++i) doMud(numerada(i, 200) + "\r\n");
  int pa, pb;
  // Ana's hold does not rewind (/c1), so what she reads is the stream alone.
  TCliente* ana = usuario(kProtocoloTelnet, kOpcaoC1, pa, 4096);
  TCliente* bia = usuario(kProtocoloTelnet, 0, pb);
  ana->cMostraHistoria(1000, true);
  ASSERT_TRUE(ana->cHistoriando());

  std::string esperado = "/Hist\xF3rico: 1000 linhas\r\n";
  for (int i = 0; i < 1000; ++i) esperado += numerada(i, 200) + "\r\n";
  esperado += "/Fim do hist\xF3rico\r\n";
  std::string recebido, vivas;
  int passos = 0;
  bool reteve = false;
  while (ana->cHistoriando() && passos < 100000) {
    ++passos;
    if (passos % 3 == 0 && passos <= 30) {
      const std::string l = "viva " + std::to_string(passos / 3) + "\r\n";
      doMud(l);
      vivas += l;
      EXPECT_EQ(passo(bia, pb), l);  // Bia is not kept waiting
    }
    if (passos == 4) {
      // A prompt is not kept, so the streaming user never gets it.
      doMud("PV 10> ");
      mud->cExpira();
      EXPECT_EQ(passo(bia, pb), "PV 10> \r\n");
    }
    if (passos == 10) {
      // Ana holds: nothing more is sent until she types.
      ana->cEvento("\r\n", 2);
      ASSERT_EQ(ana->cModo(), kModoRetido);
      recebido += le(pa);
      const std::string parado = recebido;
      const int pendentes = ana->cPendentes();
      doMud("durante a pausa\r\n");
      vivas += "durante a pausa\r\n";
      EXPECT_EQ(passo(bia, pb), "durante a pausa\r\n");
      for (int k = 0; k < 5; ++k) recebido += passo(ana, pa);
      EXPECT_EQ(recebido, parado);
      EXPECT_EQ(ana->cPendentes(), pendentes);
      const std::string tecle = "tecle\r\n";  // sent straight to the socket
      ASSERT_EQ(recebido.substr(recebido.size() - tecle.size()), tecle);
      recebido.resize(recebido.size() - tecle.size());
      ana->cEvento("/\r\n", 3);  // an empty line for the MUD ends the hold
      reteve = true;
      continue;
    }
    recebido += passo(ana, pa);
  }
  recebido += passo(ana, pa);
  EXPECT_TRUE(reteve);
  EXPECT_GT(passos, 20);  // it did take many passes
  EXPECT_EQ(recebido, esperado + vivas);
  // The stream over, the next line goes straight through.
  doMud("depois\r\n");
  EXPECT_EQ(passo(ana, pa), "depois\r\n");
}

// A reader who stalls while the MUD sends more than the history keeps loses
// what was evicted before the cursor reached it (the ring rule), and gets
// the rest in order: the footer, then every line kept since, to the newest.
TEST_F(Historia, EvictionOvertakingAStalledReaderSkipsOnlyWhatIsGone) {
  for (int i = 0; i < 1000; ++i) doMud(numerada(i) + "\r\n");
  int pa;
  TCliente* ana = usuario(kProtocoloTelnet, 0, pa, 4096);
  ana->cMostraHistoria(1000, true);
  ASSERT_TRUE(ana->cHistoriando());
  for (int i = 1000; i < 2500; ++i) doMud(numerada(i) + "\r\n");
  std::string recebido;
  for (int passos = 0; ana->cHistoriando() && passos < 10000; ++passos) recebido += passo(ana, pa);
  recebido += passo(ana, pa);
  ASSERT_FALSE(ana->cHistoriando());

  // Every MUD line received is later than the one before; the footer comes
  // once, and the newest 1000 lines all arrive.
  size_t de = 0, fim;
  int anterior = -1, rodapes = 0, depoisDoRodape = 0, linhas = 0;
  ASSERT_EQ(recebido.rfind("/Hist\xF3rico: 1000 linhas\r\n", 0), 0u);
  de = recebido.find("\r\n") + 2;
  while ((fim = recebido.find("\r\n", de)) != std::string::npos) {
    const std::string l = recebido.substr(de, fim - de);
    de = fim + 2;
    if (l == "/Fim do hist\xF3rico") {
      ++rodapes;
      continue;
    }
    ASSERT_EQ(l.rfind("linha ", 0), 0u) << l;
    const int n = std::atoi(l.c_str() + 6);
    ASSERT_GT(n, anterior);
    if (n > 1500) {
      ASSERT_EQ(n, anterior + 1);  // never evicted: none missing
    }
    if (rodapes == 1) ++depoisDoRodape;
    anterior = n;
    ++linhas;
  }
  EXPECT_EQ(rodapes, 1);
  EXPECT_EQ(anterior, 2499);
  EXPECT_EQ(depoisDoRodape, 1000);
  EXPECT_LT(linhas, 2500);  // some were lost, so the case is the one meant
}

// A MUD line is built once per form its readers use, not once per reader:
// two telnet readers who filter share one; UTF-8, 80 and 240 columns and no
// filter are one each. Every reader gets the bytes of its own form.
TEST_F(Historia, EachFormOfALineIsBuiltOnce) {
  int pa, pb, pc, pd, pe, pf;
  TCliente* a = usuario(kProtocoloTelnet, 0, pa);
  TCliente* b = usuario(kProtocoloTelnet, 0, pb);
  TCliente* c = usuario(kProtocoloTelnet, kOpcaoUtf8, pc);
  TCliente* d = usuario(kProtocoloQuadros, 0, pd);
  TCliente* e = usuario(kProtocoloQuadros, kOpcaoC1, pe);
  TCliente* f = usuario(kProtocoloTelnet, kOpcaoSemFiltro, pf);
  const std::string linha = "\x1b[1mol\xE1\x1b[0m";
  for (int vez = 0; vez < 2; ++vez) {
    EXPECT_EQ(entregaLinha(linha.c_str(), static_cast<int>(linha.size())), 5);
    EXPECT_EQ(passo(a, pa), "ol\xE1\r\n");
    EXPECT_EQ(passo(b, pb), "ol\xE1\r\n");
    EXPECT_EQ(passo(c, pc), "ol\xC3\xA1\r\n");
    EXPECT_EQ(passo(d, pd), quadro("ol\xE1"));
    EXPECT_EQ(passo(e, pe), quadro("ol\xE1"));
    EXPECT_EQ(passo(f, pf), linha + "\r\n");
  }
}

}  // namespace
}  // namespace zandor
