// The MUD directory: "name = address port" lines of the configuration file,
// read byte by byte in chunks, and the lookup by "/mud NAME".
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "gateway/cliente.h"
#include "gateway/diretorio.h"
#include "gateway/inicio.h"
#include "text/dobra.h"

namespace {

using zandor::TLeitorEntradas;

class Diretorio : public ::testing::Test {
 protected:
  void SetUp() override { zandor::montaTabelas(); }
};

// Feeds `texto` in chunks of `pedaco` bytes and supplies the final line end,
// as the lookup does after its last read.
std::optional<std::string> procura(const std::string& pedido, const std::string& texto, size_t pedaco = 300) {
  TLeitorEntradas leitor(pedido.c_str());
  for (size_t i = 0; i < texto.size(); i += pedaco)
    leitor.cLe(texto.data() + i, static_cast<int>(std::min(pedaco, texto.size() - i)));
  leitor.cFimLinha();
  if (leitor.cAchado() == nullptr) return std::nullopt;
  return std::string(leitor.cAchado());
}

struct CasoLinha {
  const char* descricao;
  std::string texto;
  std::string pedido;
  std::optional<std::string> esperado;
};

TEST_F(Diretorio, EntryLineRules) {
  const std::vector<CasoLinha> casos = {
      {"blanks around name and '=' dropped, inner blanks of the value kept",
       "  arena   =   192.0.2.10   4000   \n", "arena", "192.0.2.10   4000"},
      {"tabs around the port vanish: address and port run together", "arena = 192.0.2.10\t4000\t\n", "arena",
       "192.0.2.104000"},
      {"a tab neither separates nor counts, wherever it stands", "\t ar\tena\t =\t 192.0.2.10 4000\n", "arena",
       "192.0.2.10 4000"},
      {"the port line is no entry", "4000\narena = 192.0.2.10 4000\n", "4000", std::nullopt},
      {"a line without '=' is no entry", "arena 192.0.2.10 4000\n", "arena 192.0.2.10 4000", std::nullopt},
      {"the first '=' ends the name; later ones belong to the value", "a = b=c 1\n", "a", "b=c 1"},
      {"name compared without case, accents or blank runs", "  Sert\xE3o   Velho  = 192.0.2.1 23\n",
       "SERTAO velho", "192.0.2.1 23"},
      {"accented request against a plain name", "sertao = 192.0.2.1 23\n", "Sert\xC3o", "192.0.2.1 23"},
      {"bytes from 128 up are ordinary characters in the value", "x = h\xF3st\xE9 23\n", "x", "h\xF3st\xE9 23"},
      {"no entry of that name", "arena = 192.0.2.10 4000\n", "arenas", std::nullopt},
      {"the later of two matching entries wins", "arena = 192.0.2.10 4000\nteste = 192.0.2.11 5000\nArena = 192.0.2.12 6000\n",
       "arena", "192.0.2.12 6000"},
      {"a later entry with an empty value is ignored", "arena = 192.0.2.10 4000\narena =    \n", "arena",
       "192.0.2.10 4000"},
      {"an empty value made of tabs is ignored", "arena = 192.0.2.10 4000\narena =\t\t\n", "arena",
       "192.0.2.10 4000"},
      {"a lone CR ends a line", "4000\rarena = 192.0.2.10 4000\rteste = x 1\r", "arena", "192.0.2.10 4000"},
      {"a lone LF ends a line", "4000\narena = 192.0.2.10 4000\nteste = x 1\n", "teste", "x 1"},
      {"CR LF ends a line and an ignored empty line", "4000\r\narena = 192.0.2.10 4000\r\n\r\nteste = x 1\r\n",
       "arena", "192.0.2.10 4000"},
      {"line ends never join two lines' halves", "arena\n= 192.0.2.10 4000\n", "arena", std::nullopt},
      {"a last line without line end still counts", "4000\narena = 192.0.2.10 4000", "arena", "192.0.2.10 4000"},
  };
  for (const CasoLinha& c : casos) EXPECT_EQ(procura(c.pedido, c.texto), c.esperado) << c.descricao;
}

TEST_F(Diretorio, NameOf300CharactersIsComparedByItsFirst255) {
  const std::string nome(300, 'n');
  const std::string texto = "4000\n" + nome + " = 192.0.2.10 4000\n";
  EXPECT_EQ(procura(std::string(255, 'n'), texto), "192.0.2.10 4000");
  EXPECT_EQ(procura(std::string(256, 'n'), texto), std::nullopt);
  EXPECT_EQ(procura(nome, texto), std::nullopt);
}

TEST_F(Diretorio, ValueIsCutAt255Characters) {
  const std::string valor = "192.0.2.10 " + std::string(289, '9');
  EXPECT_EQ(procura("arena", "arena = " + valor + "\n"), valor.substr(0, 255));
}

TEST_F(Diretorio, LinesMayStraddleChunksOfAnySize) {
  // The entry we want starts before byte 300 (its leading blanks cross it)
  // and its value crosses byte 600; a long line of 500 bytes follows.
  std::string texto = "4000\n" + std::string(280, '#') + "\n";
  const std::string valor = "192.0.2.10" + std::string(200, ' ') + "4000";
  texto += std::string(250, ' ') + "arena = " + valor + "\n";
  texto += std::string(500, '-') + "\narena2 = 192.0.2.99 1";
  ASSERT_GT(texto.size(), 900u);
  for (size_t pedaco : {1u, 2u, 7u, 299u, 300u, 301u, 4096u}) {
    EXPECT_EQ(procura("arena", texto, pedaco), valor) << "chunks of " << pedaco;
    EXPECT_EQ(procura("arena2", texto, pedaco), "192.0.2.99 1") << "chunks of " << pedaco;
  }
}

TEST_F(Diretorio, TrailingBlanksLeftByTheCutAreRemoved) {
  // Cut at 255 characters, the value ends in blanks, which go too.
  EXPECT_EQ(procura("arena", "arena = 192.0.2.10" + std::string(300, ' ') + "4000\n"), "192.0.2.10");
}

// ---- procuraMud over a real file ---------------------------------------------

// Points the configuration file's name at a private directory for the test's
// duration and restores the start-up name afterwards.
class ProcuraMud : public Diretorio {
 protected:
  void SetUp() override {
    Diretorio::SetUp();
    std::memcpy(nomeSalvo, zandor::nomeArquivo, sizeof nomeSalvo);
    fimSalvo = zandor::fimNome - zandor::nomeArquivo;
    char modelo[] = "/tmp/zandor-dir-XXXXXX";
    ASSERT_NE(mkdtemp(modelo), nullptr);
    pasta = modelo;
    const std::string base = pasta + "/zandor";
    ASSERT_LT(base.size() + 5, sizeof zandor::nomeArquivo);
    std::strcpy(zandor::nomeArquivo, base.c_str());
    zandor::fimNome = zandor::nomeArquivo + base.size();
    usuario = new zandor::TCliente;
  }
  void TearDown() override {
    delete usuario;
    std::remove((pasta + "/zandor.cfg").c_str());
    rmdir(pasta.c_str());
    std::memcpy(zandor::nomeArquivo, nomeSalvo, sizeof nomeSalvo);
    zandor::fimNome = zandor::nomeArquivo + fimSalvo;
  }
  void escreve(const std::string& texto) {
    std::ofstream(pasta + "/zandor.cfg", std::ios::binary) << texto;
  }
  std::optional<std::string> procura(const char* nome) {
    const char* r = zandor::procuraMud(nome, usuario);
    if (r == nullptr) return std::nullopt;
    return std::string(r);
  }
  // What the user was told: the bytes queued in the user's ring.
  std::string dito() const {
    std::string r;
    for (int i = usuario->cLeitura(); i != usuario->cEscrita(); i = (i + 1) % zandor::kTamanhoAnel)
      r.push_back(usuario->cAnel()[i]);
    return r;
  }

  char nomeSalvo[sizeof zandor::nomeArquivo];
  std::ptrdiff_t fimSalvo = 0;
  std::string pasta;
  zandor::TCliente* usuario = nullptr;
};

TEST_F(ProcuraMud, ReadsTheWholeFileInChunksAndTheLastEntryWins) {
  std::string texto = "4000\n" + std::string(290, '#') + "\narena = 192.0.2.10 4000\n" + std::string(700, '-') + "\n";
  texto += "ARENA=192.0.2.11 5000";  // after the 1000th byte, without line end
  escreve(texto);
  EXPECT_EQ(procura("arena"), "192.0.2.11 5000");
  EXPECT_EQ(dito(), "");
  // The file is read anew at every lookup.
  escreve("4000\narena = 192.0.2.12 6000\n");
  EXPECT_EQ(procura("Arena"), "192.0.2.12 6000");
  EXPECT_EQ(dito(), "");
}

TEST_F(ProcuraMud, LastLineWithoutLineEndEndingExactlyAtAChunkBoundary) {
  // Two full reads of 300 bytes, then one of none: the line end supplied
  // after that last read still closes the entry.
  const std::string entrada = "z = 192.0.2.1 1234";
  const std::string texto = "4000\n" + std::string(600 - 5 - 1 - entrada.size(), '#') + "\n" + entrada;
  ASSERT_EQ(texto.size(), 600u);
  escreve(texto);
  EXPECT_EQ(procura("z"), "192.0.2.1 1234");
}

TEST_F(ProcuraMud, UnknownNameIsToldToTheUser) {
  escreve("4000\narena = 192.0.2.10 4000\n");
  EXPECT_EQ(procura("outro"), std::nullopt);
  EXPECT_EQ(dito(), "/MUD n\xE3o encontrado\r\n");
}

TEST_F(ProcuraMud, ReservedNamesAreNoMudButTheirEntriesAreRead) {
  escreve("4000\nweb = 127.0.0.1 4080\nUsu\xE1rios = 200\n");
  EXPECT_EQ(procura("web"), std::nullopt);
  EXPECT_EQ(procura("USUARIOS"), std::nullopt);
  EXPECT_EQ(dito(), "/MUD n\xE3o encontrado\r\n/MUD n\xE3o encontrado\r\n");
  char valor[zandor::kTamanhoValorEntrada];
  EXPECT_EQ(zandor::leEntrada("web", valor), 1);
  EXPECT_STREQ(valor, "127.0.0.1 4080");
  EXPECT_EQ(zandor::leEntrada("usuarios", valor), 1);
  EXPECT_STREQ(valor, "200");
  EXPECT_EQ(zandor::leEntrada("arena", valor), 0);
}

TEST_F(ProcuraMud, MissingFileIsToldToTheUserByName) {
  EXPECT_EQ(procura("arena"), std::nullopt);
  EXPECT_EQ(dito(), "/N\xE3o consegui abrir arquivo " + pasta + "/zandor.cfg\r\n");
  // The lookup leaves the configuration file's name in place.
  EXPECT_STREQ(zandor::nomeArquivo, (pasta + "/zandor.cfg").c_str());
}

}  // namespace
