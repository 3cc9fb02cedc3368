// The base name of the program's two files, taken from its start path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gateway/inicio.h"

namespace {

using zandor::derivaNomeBase;
using zandor::kTamanhoBase;

// Runs derivaNomeBase into a buffer with a guard zone after its 185 bytes, so
// a write past the base name's room shows up as a changed guard byte.
std::string base(const std::string& caminho) {
  char destino[kTamanhoBase + 64];
  std::memset(destino, '#', sizeof destino);
  derivaNomeBase(caminho.c_str(), destino);
  for (size_t i = kTamanhoBase; i < sizeof destino; ++i)
    EXPECT_EQ(destino[i], '#') << "written past the base name's room at " << i << " for " << caminho;
  EXPECT_NE(std::memchr(destino, '\0', kTamanhoBase), nullptr) << "no terminator for " << caminho;
  return destino;
}

struct CasoNome {
  const char* caminho;
  const char* esperado;
};

class NomeBase : public ::testing::TestWithParam<CasoNome> {};

TEST_P(NomeBase, LastComponentUpToItsFirstDot) { EXPECT_EQ(base(GetParam().caminho), GetParam().esperado); }

INSTANTIATE_TEST_SUITE_P(
    StartPaths, NomeBase,
    ::testing::Values(CasoNome{"C:\\jogos\\Zandor.exe", "Zandor"}, CasoNome{"./Zandor", "Zandor"},
                      CasoNome{"Zandor", "Zandor"}, CasoNome{"/usr/local/bin/zandor", "zandor"},
                      // Separators are taken before dots are cut.
                      CasoNome{"C:\\jogos.antigos\\prog.novo.exe", "prog"},
                      // Both separators count, on every platform; the last one wins.
                      CasoNome{"a/b\\c.x", "c"}, CasoNome{"a\\b/c.x", "c"},
                      // Nothing after the last separator, or a component that starts with a dot.
                      CasoNome{"C:\\jogos\\", ""}, CasoNome{"./", ""}, CasoNome{"/opt/zandor/.zandor", ""},
                      CasoNome{".", ""}, CasoNome{"", ""}),
    [](const ::testing::TestParamInfo<CasoNome>& i) { return "caso" + std::to_string(i.index); });

TEST(NomeBaseLongo, CutToItsFirst184Characters) {
  std::string nome;
  for (int i = 0; i < 300; ++i) nome.push_back(static_cast<char>('a' + i % 26));
  EXPECT_EQ(base(nome), nome.substr(0, 184));
  EXPECT_EQ(base("/" + nome), nome.substr(0, 184));
  EXPECT_EQ(base("C:\\jogos\\" + nome + ".exe"), nome.substr(0, 184));
}

TEST(NomeBaseLongo, SeparatorBeyondTheFirst300BytesStillCounts) {
  // The whole start path is scanned, not only what fits the work buffer.
  const std::string pastas(350, 'p');
  EXPECT_EQ(base(pastas + "/Zandor.exe"), "Zandor");
  EXPECT_EQ(base(pastas + "\\" + pastas + "\\Zandor"), "Zandor");
}

TEST(NomeBaseLongo, DotBeyondTheFirst184CharactersIsNeverReached) {
  const std::string nome(200, 'z');
  EXPECT_EQ(base(nome + ".exe"), std::string(184, 'z'));
  EXPECT_EQ(base(std::string(10, 'z') + "." + nome), std::string(10, 'z'));
}

}  // namespace
