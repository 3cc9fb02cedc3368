// The page's script follows the nickname by recognising a few of the
// gateway's texts, and so keeps copies of them: a string compared with a
// whole line, or a pattern a line must match. Each copy is checked here
// against the text the gateway actually sends a browser (mensagens.h in
// UTF-8, with names put in), in the script as it is served, so that
// rewording a message fails this test instead of quietly breaking the page.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <string>
#include <vector>

#include "gateway/mensagens.h"
#include "gateway/paginas.h"
#include "text/formata.h"
#include "text/utf8.h"

namespace zandor {
namespace {

// One copy: the script's constant and the gateway's line it must recognise;
// for a pattern, also the names it must pick out of the line.
struct Copia {
  const char* constante;
  std::string linha;
  std::vector<std::string> nomes;
};

std::string utf8(const char* texto) {
  char saida[1024];
  codificaUtf8(saida, texto, sizeof saida);
  return saida;
}

std::string texto(const char* formato, const char* a, const char* b = "") {
  char saida[512];
  formata(saida, sizeof saida, formato, a, b);
  return utf8(saida);
}

std::string script() {
  const TPagina* p = procuraPagina("/zandor.js");
  return p == nullptr ? "" : std::string(reinterpret_cast<const char*>(p->bytes), static_cast<size_t>(p->tamanho));
}

// What follows "const NAME = " in the script, up to the end of its string
// or pattern literal ("..." or /.../flags, escapes kept as written); empty
// when the script defines no such constant.
std::string literal(const std::string& fonte, const std::string& nome) {
  const std::string inicio = "const " + nome + " = ";
  const size_t p = fonte.find(inicio);
  if (p == std::string::npos) return "";
  const size_t a = p + inicio.size();
  if (a >= fonte.size() || (fonte[a] != '"' && fonte[a] != '/')) return "";
  const char fecho = fonte[a];
  bool classe = false;
  for (size_t i = a + 1; i < fonte.size() && fonte[i] != '\n'; ++i) {
    if (fonte[i] == '\\') {
      ++i;
    } else if (fecho == '/' && fonte[i] == '[') {
      classe = true;
    } else if (fecho == '/' && fonte[i] == ']') {
      classe = false;
    } else if (fonte[i] == fecho && !classe) {
      size_t fim = i + 1;
      while (fecho == '/' && fim < fonte.size() && std::isalpha(static_cast<unsigned char>(fonte[fim]))) ++fim;
      return fonte.substr(a, fim - a);
    }
  }
  return "";
}

TEST(Pagina, EveryGatewayTextTheScriptRecognisesIsTheOneTheGatewaySends) {
  const std::string fonte = script();
  ASSERT_FALSE(fonte.empty()) << "the page's script is not built in";
  const Copia copias[] = {
      {"kPedeApelido", utf8(msg::kDigiteApelido), {}},
      {"kApelidoInvalido", utf8(msg::kApelidoInvalidoDigite), {}},
      {"kChegou", texto(msg::kChegou, "Ana"), {"Ana"}},
      {"kRenomeado", texto(msg::kConhecidoComo, "Ana", "Bia"), {"Ana", "Bia"}},
      {"kAssistir", utf8(msg::kEntrouAssistir), {}},
  };
  for (const Copia& c : copias) {
    SCOPED_TRACE(c.constante);
    const std::string copia = literal(fonte, c.constante);
    ASSERT_FALSE(copia.empty()) << "the script no longer defines it as a string or a pattern";
    if (copia[0] == '"') {
      ASSERT_EQ(copia.find('\\'), std::string::npos) << "an escape this test does not read: " << copia;
      EXPECT_EQ(copia.substr(1, copia.size() - 2), c.linha);
      EXPECT_TRUE(c.nomes.empty());
      continue;
    }
    const size_t fim = copia.rfind('/');
    ASSERT_EQ(copia.substr(fim + 1), "") << "a flag this test does not follow: " << copia;
    const std::regex padrao(copia.substr(1, fim - 1), std::regex::ECMAScript);
    std::smatch achado;
    ASSERT_TRUE(std::regex_match(c.linha, achado, padrao)) << copia << " misses " << c.linha;
    ASSERT_EQ(achado.size(), c.nomes.size() + 1) << copia;
    for (size_t i = 0; i < c.nomes.size(); ++i) EXPECT_EQ(achado[i + 1].str(), c.nomes[i]) << copia;
  }
}

}  // namespace
}  // namespace zandor
