// The bounded formatter, the two copies and the number conversion.
//
// Every write goes into a buffer filled with a canary byte and surrounded by
// a guard area on both sides, so a test sees exactly which bytes were
// written: the text, the terminator, and nothing past the limit.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cerrno>
#include <cstring>
#include <string>

#include "text/formata.h"
#include "text/numero.h"

namespace zandor {
namespace {

constexpr char kCanario = '\xA5';
constexpr int kGuarda = 16;  // untouchable bytes before the destination
constexpr int kArea = 128;   // destination plus the guard after it

struct Area {
  char bytes[kGuarda + kArea];
  Area() { std::memset(bytes, kCanario, sizeof bytes); }
  char* destino() { return bytes + kGuarda; }
  // True when no byte in [de, ate) of the destination was written.
  bool intacto(int de, int ate) const {
    for (int i = de; i < ate; ++i)
      if (bytes[kGuarda + i] != kCanario) return false;
    return true;
  }
  bool guardaIntacta() const {
    for (int i = 0; i < kGuarda; ++i)
      if (bytes[i] != kCanario) return false;
    return true;
  }
};

// What a bounded write left behind: whether a terminator was written, and
// the text before it.
struct Escrito {
  bool escreveu = false;  // a terminator was written
  std::string texto;      // the bytes before the terminator
};

// Checks the invariants shared by formata and copiaLimitada: with a size of 0
// or less nothing is touched and the destination comes back; otherwise the
// returned position holds the terminator, lies within size - 1, and not one
// byte after it (up to the end of the area) or before the destination was
// written.
Escrito confere(Area& area, char* fim, int tamanho) {
  Escrito e;
  char* const d = area.destino();
  EXPECT_TRUE(area.guardaIntacta()) << "wrote before the destination";
  if (tamanho <= 0) {
    EXPECT_EQ(fim, d);
    EXPECT_TRUE(area.intacto(0, kArea)) << "size " << tamanho << " must leave the destination untouched";
    return e;
  }
  const std::ptrdiff_t n = fim - d;
  EXPECT_GE(n, 0);
  EXPECT_LE(n, tamanho - 1) << "the terminator lies past the limit";
  if (n < 0 || n > tamanho - 1) return e;
  EXPECT_EQ(*fim, '\0') << "the returned position must hold the terminator";
  EXPECT_TRUE(area.intacto(static_cast<int>(n) + 1, kArea)) << "bytes after the terminator were written";
  e.escreveu = true;
  e.texto.assign(d, static_cast<std::size_t>(n));
  return e;
}

template <typename... Args>
Escrito formataEm(int tamanho, const char* formato, Args... args) {
  Area area;
  char* fim = formata(area.destino(), tamanho, formato, args...);
  return confere(area, fim, tamanho);
}

// Shorthand for the common case: the text written into a buffer of `tamanho`.
template <typename... Args>
std::string fmt(int tamanho, const char* formato, Args... args) {
  Escrito e = formataEm(tamanho, formato, args...);
  EXPECT_TRUE(e.escreveu);
  return e.texto;
}

// ---------------------------------------------------------------- formata

TEST(Formata, SizeOneWritesOnlyTheTerminator) {
  Area area;
  char* fim = formata(area.destino(), 1, "abc%d%s", 42, "xyz");
  EXPECT_EQ(fim, area.destino());
  Escrito e = confere(area, fim, 1);
  EXPECT_TRUE(e.escreveu);
  EXPECT_EQ(e.texto, "");
}

TEST(Formata, SizeZeroOrNegativeLeavesTheDestinationUntouched) {
  for (int tamanho : {0, -1, -100, INT_MIN}) {
    SCOPED_TRACE(tamanho);
    Escrito e = formataEm(tamanho, "abc%d%s%t%c%%", 42, "xyz", "w", 'c');
    EXPECT_FALSE(e.escreveu);
  }
}

TEST(Formata, TextIsCopiedAndCutAtTheLimit) {
  EXPECT_EQ(fmt(64, "plain text"), "plain text");
  EXPECT_EQ(fmt(64, ""), "");
  EXPECT_EQ(fmt(11, "plain text"), "plain text");  // exact fit
  EXPECT_EQ(fmt(10, "plain text"), "plain tex");
  EXPECT_EQ(fmt(2, "plain text"), "p");
  // Windows-1252 bytes above 127 are plain characters.
  EXPECT_EQ(fmt(64, "Usu\xE1rio \xFF"), "Usu\xE1rio \xFF");
}

TEST(Formata, StringConversionCutsInsideTheArgument) {
  EXPECT_EQ(fmt(4, "ab%s", "xyz"), "abx");
  EXPECT_EQ(fmt(64, "ab%s", "xyz"), "abxyz");
  EXPECT_EQ(fmt(64, "<%s>", ""), "<>");
  EXPECT_EQ(fmt(64, "%s%s%s", "a", "", "bc"), "abc");
  const std::string longo(100, 'q');
  EXPECT_EQ(fmt(101, "%s", longo.c_str()), longo);
  EXPECT_EQ(fmt(60, "%s", longo.c_str()), longo.substr(0, 59));
}

TEST(Formata, DecimalConversion) {
  struct Caso {
    int valor;
    int tamanho;
    const char* esperado;
  };
  const Caso casos[] = {
      {0, 64, "0"},
      {7, 64, "7"},
      {-7, 64, "-7"},
      {100, 64, "100"},           // inner zeros stay
      {-1000000, 64, "-1000000"},
      {12345, 64, "12345"},
      {INT_MAX, 64, "2147483647"},
      {INT_MIN, 64, "-2147483648"},  // the '-' and all ten digits
      {INT_MIN, 12, "-2147483648"},  // exact fit
      {INT_MIN, 11, "-214748364"},
      {12345, 4, "123"},  // room for three: the last digits go
      {12345, 6, "12345"},
      {12345, 5, "1234"},
      {-7, 2, "-"},  // room for one: only the sign
      {-7, 3, "-7"},
      {-12345, 4, "-12"},
      {0, 2, "0"},
      {12345, 1, ""},  // no room at all: nothing
      {-7, 1, ""},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << c.valor << " into size " << c.tamanho);
    EXPECT_EQ(fmt(c.tamanho, "%d", c.valor), c.esperado);
  }
  // No '+' sign, no padding; text around the number is kept.
  EXPECT_EQ(fmt(64, "[%d|%d]", 5, -5), "[5|-5]");
  EXPECT_EQ(fmt(6, "ab%d", 12345), "ab123");
  EXPECT_EQ(fmt(3, "ab%d", 12345), "ab");
}

TEST(Formata, WordConversion) {
  EXPECT_EQ(fmt(64, "<%t>", "word rest of it"), "<word>");
  EXPECT_EQ(fmt(64, "<%t>", " leading blank"), "<>");
  EXPECT_EQ(fmt(64, "<%t>", ""), "<>");
  EXPECT_EQ(fmt(64, "<%t>", "abcdefghijklmnopqrst"), "<abcdefghijklmnop>");  // 20 letters -> 16
  EXPECT_EQ(fmt(64, "<%t>", "abcdefghijklmnop"), "<abcdefghijklmnop>");      // exactly 16
  EXPECT_EQ(fmt(64, "<%t>", "abcdefghijklmno q"), "<abcdefghijklmno>");      // blank at 16th place
  // Only the blank ends the word: a tab, a newline or a CR do not.
  EXPECT_EQ(fmt(64, "<%t>", "ab\tcd ef"), "<ab\tcd>");
  EXPECT_EQ(fmt(64, "<%t>", "ab\ncd\ref gh"), "<ab\ncd\ref>");
  // Cut by the buffer like any text.
  EXPECT_EQ(fmt(5, "<%t>", "abcdef"), "<abc");
}

TEST(Formata, PercentAndCharacterConversions) {
  EXPECT_EQ(fmt(64, "100%%"), "100%");
  EXPECT_EQ(fmt(64, "%%%%"), "%%");
  EXPECT_EQ(fmt(64, "%%d", 5), "%d");  // "%%" then plain 'd': no argument taken
  EXPECT_EQ(fmt(64, "%c%c%c", 'a', 'B', ' '), "aB ");
  EXPECT_EQ(fmt(64, "%c", 0x141), "A");  // the low byte only
  EXPECT_EQ(fmt(64, "%c", 0xE9), "\xE9");
  EXPECT_EQ(fmt(64, "%c", -23), "\xE9");
  EXPECT_EQ(fmt(3, "%c%c%c", 'a', 'b', 'c'), "ab");
}

TEST(Formata, UnknownConversionKeepsTheCharacterAndTakesNoArgument) {
  EXPECT_EQ(fmt(64, "%x"), "x");
  EXPECT_EQ(fmt(64, "a%xb"), "axb");
  EXPECT_EQ(fmt(64, "%5d", 7), "5d");  // no widths: '5' and 'd' are text
  EXPECT_EQ(fmt(64, "%q%d|%s", 9, "s"), "q9|s");
  EXPECT_EQ(fmt(64, "% %s", "s"), " s");  // '%' then blank: the blank is text
}

TEST(Formata, LonePercentAtTheEndIsDropped) {
  EXPECT_EQ(fmt(64, "abc%"), "abc");
  EXPECT_EQ(fmt(64, "%"), "");
  EXPECT_EQ(fmt(64, "%d%", 3), "3");
}

TEST(Formata, FullBufferStillConsumesEveryArgument) {
  // Every kind of conversion meets a full buffer here. Text and numbers
  // alternate, so a conversion that skipped its argument would make the next
  // %s or %t read a number as a text pointer.
  {
    Escrito e = formataEm(3, "%s%c%d%s%t%d%%%s|%c%t", "abcdef", 'c', 12345, "ghi", "jkl mno", -7, "pqr", 'z',
                          "stu");
    EXPECT_TRUE(e.escreveu);
    EXPECT_EQ(e.texto, "ab");
  }
  // The buffer fills in the middle of a %d, which still takes its argument.
  {
    Escrito e = formataEm(4, "%d%s%d%t", 12345, "xyz", 99, "w");
    EXPECT_TRUE(e.escreveu);
    EXPECT_EQ(e.texto, "123");
  }
  // A sign without room for any digit.
  {
    Escrito e = formataEm(2, "%d%s", -5, "xyz");
    EXPECT_TRUE(e.escreveu);
    EXPECT_EQ(e.texto, "-");
  }
  // Size 1: everything meets a full buffer from the start.
  {
    Escrito e = formataEm(1, "%d%s%c%t%s", 1, "a", 'b', "c", "d");
    EXPECT_TRUE(e.escreveu);
    EXPECT_EQ(e.texto, "");
  }
}

TEST(Formata, ReturnedPositionLetsTheCallerAppend) {
  char buf[32];
  std::memset(buf, kCanario, sizeof buf);
  char* p = formata(buf, sizeof buf, "%s=", "porta");
  EXPECT_EQ(p, buf + 6);
  p = formata(p, static_cast<int>(sizeof buf - (p - buf)), "%d", 4000);
  EXPECT_EQ(p, buf + 10);
  EXPECT_STREQ(buf, "porta=4000");
}

TEST(Formata, ComposedMessage) {
  EXPECT_EQ(fmt(100, "/%s. %s", "Ana", "bom dia"), "/Ana. bom dia");
  EXPECT_EQ(fmt(100, "// %t entrou (%d)", "Ana sobrenome", 3), "// Ana entrou (3)");
  EXPECT_EQ(fmt(1948, "%s\r\n", "look"), "look\r\n");
}

// ---------------------------------------------------------- copiaLimitada

TEST(CopiaLimitada, CutsAtTheLimitCountingTheTerminator) {
  struct Caso {
    const char* origem;
    int limite;
    const char* esperado;  // nullptr: nothing written at all
  };
  const Caso casos[] = {
      {"abcdefghijklmnopqrst", 17, "abcdefghijklmnop"},  // 20 characters keep 16
      {"abcdefghijklmnop", 17, "abcdefghijklmnop"},      // exact fit
      {"abc", 17, "abc"},
      {"", 17, ""},
      {"abc", 4, "abc"},
      {"abc", 3, "ab"},
      {"abc", 2, "a"},
      {"abc", 1, ""},  // only the terminator
      {"abc", 0, nullptr},
      {"abc", -1, nullptr},
      {"", 0, nullptr},
      {"Jo\xE3o", 17, "Jo\xE3o"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << '"' << c.origem << "\" limit " << c.limite);
    Area area;
    char* fim = copiaLimitada(area.destino(), c.origem, c.limite);
    Escrito e = confere(area, fim, c.limite);
    if (c.esperado == nullptr) {
      EXPECT_FALSE(e.escreveu);
    } else {
      EXPECT_TRUE(e.escreveu);
      EXPECT_EQ(e.texto, c.esperado);
    }
  }
}

// -------------------------------------------------------------- copiaErro

// The thread-safe copy says what strerror says, byte for byte (a user reads
// it after "/Erro: "), unknown numbers included, and cuts as copiaLimitada.
TEST(CopiaErro, SaysWhatStrerrorSaysAndCuts) {
  for (int erro : {ECONNREFUSED, ETIMEDOUT, ECANCELED, ENETUNREACH, ECONNRESET, ENOMEM, 0, 4242, -1}) {
    SCOPED_TRACE(erro);
    const std::string esperado = std::strerror(erro);
    Area area;
    char* fim = copiaErro(area.destino(), erro, kArea);
    EXPECT_EQ(confere(area, fim, kArea).texto, esperado);
    Area curta;
    fim = copiaErro(curta.destino(), erro, 6);
    EXPECT_EQ(confere(curta, fim, 6).texto, esperado.substr(0, 5));
  }
}

// ------------------------------------------------------------------ copia

TEST(Copia, CopiesEverythingAndReturnsTheTerminatorPosition) {
  Area area;
  char* d = area.destino();
  char* fim = copia(d, "endereco 4000");
  EXPECT_EQ(fim, d + 13);
  Escrito e = confere(area, fim, kArea);
  EXPECT_EQ(e.texto, "endereco 4000");

  // Appending through the returned position.
  fim = copia(fim, "");
  EXPECT_EQ(fim, d + 13);
  fim = copia(fim, "/x");
  EXPECT_EQ(fim, d + 15);
  EXPECT_EQ(confere(area, fim, kArea).texto, "endereco 4000/x");
}

TEST(Copia, EmptySourceWritesOnlyTheTerminator) {
  Area area;
  char* fim = copia(area.destino(), "");
  EXPECT_EQ(fim, area.destino());
  Escrito e = confere(area, fim, kArea);
  EXPECT_TRUE(e.escreveu);
  EXPECT_EQ(e.texto, "");
}

// ---------------------------------------------------------- converteNumero

TEST(ConverteNumero, ReadsLikeAtoiAndSaturates) {
  struct Caso {
    const char* texto;
    int esperado;
  };
  const Caso casos[] = {
      {"4000", 4000},
      {"0", 0},
      {"", 0},
      {"abc", 0},
      {"   4000", 4000},
      {" \t\n\r\v\f4000", 4000},  // every kind of leading white space
      {"+7", 7},
      {"-13", -13},
      {"-13x", -13},  // stops at the first non-digit
      {"4000 mud", 4000},
      {"12 34", 12},
      {"1e3", 1},
      {"0x1A", 0},  // decimal only
      {"007", 7},
      {"- 5", 0},  // the sign must touch the digits
      {"+-5", 0},
      {"x4000", 0},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", INT_MAX},  // beyond an int: saturates
      {"-2147483649", INT_MIN},
      {"4294971296", INT_MAX},  // would wrap to 4000 in 32 bits
      {"99999999999999999999999999", INT_MAX},
      {"-99999999999999999999999999", INT_MIN},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << '"' << c.texto << '"');
    EXPECT_EQ(converteNumero(c.texto), c.esperado);
  }
}

}  // namespace
}  // namespace zandor
