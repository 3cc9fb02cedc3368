// An away user's kept output: whole messages in order, the oldest dropped
// and counted past 64 KiB, streamed out only as the ring takes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/ausencia.h"

namespace zandor {
namespace {

std::string mensagem(int i, int tamanho) {
  std::string m = "m" + std::to_string(i) + ":";
  m.resize(static_cast<size_t>(tamanho), static_cast<char>('a' + i % 26));
  return m;
}

class Ausencia : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(a_.cComeca()); }
  void guarda(const std::string& m) { a_.cGuarda(m.data(), static_cast<int32_t>(m.size())); }
  // Everything kept, in the order it comes out.
  std::vector<std::string> escoa() {
    std::vector<std::string> saida;
    a_.cEscoa([&](const char* p, int32_t n) {
      saida.emplace_back(p, static_cast<size_t>(n));
      return true;
    });
    return saida;
  }
  TAusencia a_;
};

TEST_F(Ausencia, EmptyStoreHasNothingToSend) {
  const char* p;
  int32_t n;
  EXPECT_FALSE(a_.cPrimeira(&p, &n));
  EXPECT_TRUE(escoa().empty());
  char aviso[64];
  EXPECT_FALSE(a_.cAvisoPerdidas(aviso, sizeof aviso));
  a_.cTira();  // harmless
  EXPECT_TRUE(a_.cVazia());
}

TEST_F(Ausencia, StreamsInOrderTakingOnlyWhatTheRingAccepts) {
  for (int i = 0; i < 5; ++i) guarda(mensagem(i, 10 + i));
  guarda("");  // an empty message is a message too
  int aceitas = 2;
  std::vector<std::string> saida;
  const auto ring = [&](const char* p, int32_t n) {
    if (aceitas == 0) return false;
    --aceitas;
    saida.emplace_back(p, static_cast<size_t>(n));
    return true;
  };
  EXPECT_EQ(a_.cEscoa(ring), 2);
  EXPECT_EQ(a_.cMensagens(), 4);
  // New output while streaming goes in behind what is kept.
  guarda(mensagem(5, 30));
  aceitas = 100;
  EXPECT_EQ(a_.cEscoa(ring), 5);
  const std::vector<std::string> esperado = {mensagem(0, 10), mensagem(1, 11), mensagem(2, 12), mensagem(3, 13),
                                             mensagem(4, 14), "", mensagem(5, 30)};
  EXPECT_EQ(saida, esperado);
  EXPECT_TRUE(a_.cVazia());
  EXPECT_EQ(a_.cBytes(), 0);
  EXPECT_EQ(a_.cPerdidas(), 0);
}

// Past 64 KiB the oldest whole messages go: what remains is the newest,
// each whole, in order, within the bound; the rest are counted.
TEST_F(Ausencia, OverflowKeepsTheNewestWholeMessagesAndCountsTheRest) {
  for (int tamanho : {100, 777, 4000, 30000}) {
    a_.cTermina();
    ASSERT_TRUE(a_.cComeca());
    const int total = 3 * kBytesAusencia / tamanho + 7;
    for (int i = 0; i < total; ++i) {
      guarda(mensagem(i, tamanho));
      ASSERT_LE(a_.cBytes() + a_.cMensagens() * TAusencia::kCabeca, kBytesAusencia);
      ASSERT_EQ(a_.cMensagens() + a_.cPerdidas(), i + 1);
    }
    const int perdidas = a_.cPerdidas();
    EXPECT_GT(perdidas, 0) << tamanho;
    // The store stays nearly full: less than a message free and one unused at its end.
    EXPECT_GT(a_.cBytes() + (a_.cMensagens() + 2) * (TAusencia::kCabeca + tamanho), kBytesAusencia) << tamanho;
    char aviso[64];
    ASSERT_TRUE(a_.cAvisoPerdidas(aviso, sizeof aviso));
    EXPECT_EQ(std::string(aviso), "/" + std::to_string(perdidas) + " linhas perdidas enquanto ausente");
    EXPECT_EQ(a_.cPerdidas(), 0) << "the count is taken once";
    const std::vector<std::string> saida = escoa();
    ASSERT_EQ(static_cast<int>(saida.size()), total - perdidas);
    for (size_t k = 0; k < saida.size(); ++k) ASSERT_EQ(saida[k], mensagem(perdidas + static_cast<int>(k), tamanho));
  }
}

// Mixed sizes wrap the buffer at odd places; the order and the count hold.
TEST_F(Ausencia, WrappingAtAnyPlaceKeepsOrder) {
  std::vector<std::string> todas;
  for (int i = 0; i < 2000; ++i) {
    todas.push_back(mensagem(i, 5 + (i * 7919) % 3001));
    guarda(todas.back());
    if (i % 97 == 0) {  // a partial drain now and then
      int resta = 3;
      a_.cEscoa([&](const char*, int32_t) { return resta-- > 0; });
    }
  }
  const int tiradas = static_cast<int>(todas.size()) - a_.cMensagens();
  const std::vector<std::string> saida = escoa();
  ASSERT_FALSE(saida.empty());
  EXPECT_EQ(saida.back(), todas.back());
  // What comes out is a run of the newest, with none skipped inside it.
  const size_t primeira = todas.size() - saida.size();
  for (size_t k = 0; k < saida.size(); ++k) ASSERT_EQ(saida[k], todas[primeira + k]);
  EXPECT_GT(tiradas, a_.cPerdidas());
}

TEST_F(Ausencia, WithoutMemoryOrRoomTheMessageIsLost) {
  const std::string grande(kBytesAusencia, 'g');
  guarda(grande);
  guarda("depois");
  EXPECT_EQ(a_.cPerdidas(), 1);
  EXPECT_EQ(escoa(), std::vector<std::string>{"depois"});
  const std::string cabe(kBytesAusencia - TAusencia::kCabeca, 'c');
  guarda(cabe);
  EXPECT_EQ(escoa(), std::vector<std::string>{cabe});

  a_.cTermina();
  EXPECT_FALSE(a_.cAtiva());
  EXPECT_EQ(a_.cPerdidas(), 0);
  guarda("sem buffer");
  EXPECT_EQ(a_.cPerdidas(), 1);
  EXPECT_TRUE(escoa().empty());
}

}  // namespace
}  // namespace zandor
