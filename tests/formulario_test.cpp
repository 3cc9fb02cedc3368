// What a browser sends besides the request line: a cookie out of a Cookie
// field, a field out of a form body, and the shape of a resume id.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "casos.h"
#include "text/formulario.h"

namespace zandor {
namespace {

std::string texto(TTrecho t) { return t.existe() ? std::string(t.p, static_cast<size_t>(t.n)) : "<ausente>"; }
TTrecho trecho(const std::string& s) { return {s.data(), static_cast<int>(s.size())}; }

struct CasoCookie {
  const char* nome;
  const char* campo;
  const char* esperado;
};
void PrintTo(const CasoCookie& c, std::ostream* os) { *os << c.nome; }

class Cookie : public testing::TestWithParam<CasoCookie> {};

TEST_P(Cookie, FindsTheNamedCookie) {
  const CasoCookie& c = GetParam();
  // A copy of exactly its length: a read past the end is a sanitizer's report.
  const std::string campo = c.campo;
  const auto copia = std::make_unique<char[]>(campo.size() + 1);
  campo.copy(copia.get(), campo.size());
  EXPECT_EQ(texto(valorCookie({copia.get(), static_cast<int>(campo.size())}, "zandor_assento")), c.esperado);
}

INSTANTIATE_TEST_SUITE_P(
    Formulario, Cookie,
    testing::Values(CasoCookie{"Alone", "zandor_assento=XYZ", "XYZ"},
                    CasoCookie{"AmongOthers", "a=1; zandor_assento=Q2x-_9; b=2", "Q2x-_9"},
                    CasoCookie{"LastWithoutSpace", "a=1;zandor_assento=abc", "abc"},
                    CasoCookie{"BlanksAround", "a=1;  zandor_assento = abc \t; b", "abc"},
                    CasoCookie{"FirstCopyWins", "zandor_assento=um; zandor_assento=dois", "um"},
                    CasoCookie{"Empty", "zandor_assento=", ""},
                    CasoCookie{"ValueKeepsItsEquals", "zandor_assento=a=b", "a=b"},
                    CasoCookie{"CaseCounts", "Zandor_assento=abc", "<ausente>"},
                    CasoCookie{"LongerName", "xzandor_assento=abc; zandor_assentos=d", "<ausente>"},
                    CasoCookie{"NameAsValue", "a=zandor_assento", "<ausente>"},
                    CasoCookie{"WithoutEquals", "zandor_assento; b=1", "<ausente>"},
                    CasoCookie{"NothingAtAll", "", "<ausente>"},
                    CasoCookie{"OnlySeparators", ";;; ;", "<ausente>"}),
    PeloNome());

TEST(Formulario, AbsentCookieFieldHasNoCookie) { EXPECT_FALSE(valorCookie({}, "a").existe()); }

struct CasoCampo {
  const char* nome;
  std::string corpo;
  int resultado;
  const char* valor;
};
void PrintTo(const CasoCampo& c, std::ostream* os) { *os << c.nome; }

class Campo : public testing::TestWithParam<CasoCampo> {};

TEST_P(Campo, FindsTheFieldOrRefusesTheBody) {
  const CasoCampo& c = GetParam();
  const auto copia = std::make_unique<char[]>(c.corpo.size() + 1);
  c.corpo.copy(copia.get(), c.corpo.size());
  TTrecho valor;
  EXPECT_EQ(campoFormulario(copia.get(), static_cast<int>(c.corpo.size()), "convite", &valor), c.resultado);
  EXPECT_EQ(texto(valor), c.valor);
}

INSTANTIATE_TEST_SUITE_P(
    Formulario, Campo,
    testing::Values(
        CasoCampo{"Alone", "convite=q4T_x-9ZzAbCdEfGhIjKlm", kFormularioAchado, "q4T_x-9ZzAbCdEfGhIjKlm"},
        CasoCampo{"AmongOthers", "a=1&convite=abc&b=2", kFormularioAchado, "abc"},
        CasoCampo{"FirstCopyWins", "convite=um&convite=dois", kFormularioAchado, "um"},
        CasoCampo{"WithoutEquals", "convite&b=1", kFormularioAchado, ""},
        CasoCampo{"NotDecoded", "convite=a%2Bb+c", kFormularioAchado, "a%2Bb+c"},
        CasoCampo{"Missing", "a=1&xconvite=2&convites=3", kFormularioAusente, "<ausente>"},
        CasoCampo{"EmptyBody", "", kFormularioAusente, "<ausente>"},
        CasoCampo{"LineEnd", "convite=abc\r\n", kFormularioMalformado, "<ausente>"},
        CasoCampo{"NulByte", std::string("convite=a\0b", 11), kFormularioMalformado, "<ausente>"},
        CasoCampo{"HighByte", "convite=\xE9", kFormularioMalformado, "<ausente>"},
        CasoCampo{"OneOver", "convite=" + std::string(kMaxFormulario - 7, 'A'), kFormularioGrande, "<ausente>"}),
    PeloNome());

// The long value is checked here rather than spelled out in the table.
TEST(Formulario, LongBodyAtTheLimitIsRead) {
  const std::string corpo = "convite=" + std::string(kMaxFormulario - 8, 'A');
  TTrecho valor;
  ASSERT_EQ(campoFormulario(corpo.data(), static_cast<int>(corpo.size()), "convite", &valor), kFormularioAchado);
  EXPECT_EQ(valor.n, kMaxFormulario - 8);
}

TEST(Formulario, ResumeIdIs22To64Base64url) {
  const std::string alfabeto = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  struct {
    std::string id;
    bool valida;
  } casos[] = {
      {alfabeto.substr(0, 22), true},  {alfabeto, true},
      {alfabeto.substr(0, 21), false}, {alfabeto + "A", false},
      {std::string(30, 'a') + "=", false}, {std::string(30, 'a') + "%41", false},
      {std::string(30, 'a') + ".", false}, {std::string(30, 'a') + "+", false},
      {"", false},
  };
  for (const auto& c : casos) EXPECT_EQ(retomaValida(trecho(c.id)), c.valida) << c.id;
  EXPECT_FALSE(retomaValida({}));
}

}  // namespace
}  // namespace zandor
