// The two output encoders, byte for byte: telnet lines and framed records.
//
// Every call writes into a buffer of exactly the given capacity followed by
// a canary area; the tests check the whole output, headers included, and
// that no byte past the returned length was touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "quadro.h"
#include "text/codifica.h"

namespace zandor {
namespace {

constexpr char kCanario = '\xA5';
constexpr int kGuarda = 32;

// Runs an encoder into a canary-filled buffer of `capacidade` bytes (none
// when it is negative) and returns exactly the bytes it reports as written.
template <typename Codifica>
std::string codificaEm(int capacidade, Codifica codifica) {
  const int espaco = std::max(capacidade, 0);
  std::vector<char> buf(static_cast<std::size_t>(espaco + kGuarda), kCanario);
  const int n = codifica(buf.data());
  EXPECT_GE(n, 0);
  EXPECT_LE(n, espaco) << "more than the capacity";
  if (n < 0 || n > espaco) return {};
  for (std::size_t i = static_cast<std::size_t>(n); i < buf.size(); ++i) {
    if (buf[i] != kCanario) {
      ADD_FAILURE() << "byte " << i << " written past the returned length " << n << " (capacity " << capacidade
                    << ")";
      break;
    }
  }
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string telnet(const std::string& texto, int capacidade = 1948) {
  return codificaEm(capacidade, [&](char* saida) { return codificaTelnet(saida, texto.c_str(), capacidade); });
}

std::string quadros(const std::string& texto, int capacidade = 1948, int largura = kLargura80) {
  return codificaEm(capacidade,
                    [&](char* saida) { return codificaQuadros(saida, texto.c_str(), capacidade, largura); });
}

std::string letras(int n, char c = 'x') { return std::string(static_cast<std::size_t>(n), c); }

// Readable form of bytes for failure messages.
std::string mostra(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      r += hex;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

struct Caso {
  std::string texto;
  int capacidade;
  std::string esperado;
};

// ------------------------------------------------------------------ telnet

TEST(CodificaTelnet, LinesBecomeCrLfAndOneCrLfEndsTheOutput) {
  const Caso casos[] = {
      {"abc", 1948, "abc\r\n"},
      {"a\nb", 1948, "a\r\nb\r\n"},
      {"", 1948, "\r\n"},
      {"\n", 1948, "\r\n\r\n"},
      {"abc\n", 1948, "abc\r\n\r\n"},
      {"a\n\nb", 1948, "a\r\n\r\nb\r\n"},
      // CR and byte 255 pass unchanged; nothing is doubled.
      {"a\rb", 1948, "a\rb\r\n"},
      {"\r\n", 1948, "\r\r\n\r\n"},
      {"\xFF\xFF", 1948, "\xFF\xFF\r\n"},
      {"Usu\xE1rio \xFF\xFB\x01", 1948, "Usu\xE1rio \xFF\xFB\x01\r\n"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(mostra(c.texto));
    EXPECT_EQ(mostra(telnet(c.texto, c.capacidade)), mostra(c.esperado));
  }
}

TEST(CodificaTelnet, CutsAfterTheLastWholeByteThatFits) {
  const Caso casos[] = {
      {"abcdef", 6, "abcd\r\n"},
      {"ab\ncd", 6, "ab\r\n\r\n"},
      {"abc", 4, "ab\r\n"},
      {"abc", 5, "abc\r\n"},
      {"", 4, "\r\n"},
      {"\n", 4, "\r\n\r\n"},
      {"\n", 5, "\r\n\r\n"},
      {"a\n", 4, "a\r\n"},  // the LF's CR LF does not fit and is not split
      {"a\n\nb", 5, "a\r\n\r\n"},
      // The first thing that does not fit ends the text, even when a later
      // byte would still fit.
      {"abc\nd", 6, "abc\r\n"},
      {"abc\nd", 7, "abc\r\n\r\n"},
      {"abc\nd", 8, "abc\r\nd\r\n"},
      {letras(3000), 1948, letras(1946) + "\r\n"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << mostra(c.texto.substr(0, 20)) << " capacity " << c.capacidade);
    EXPECT_EQ(mostra(telnet(c.texto, c.capacidade)), mostra(c.esperado));
  }
}

TEST(CodificaTelnet, CapacityBelowFourWritesNothing) {
  for (int capacidade : {3, 2, 1, 0, -1, -1000}) {
    for (const char* texto : {"", "a", "abc\n"}) {
      SCOPED_TRACE(testing::Message() << '"' << mostra(texto) << "\" capacity " << capacidade);
      EXPECT_EQ(telnet(texto, capacidade), "");
    }
  }
}

// ------------------------------------------------------------------ framed

TEST(CodificaQuadros, OneRecordPerLine) {
  const Caso casos[] = {
      {"", 1948, ""},
      {"\n", 1948, quadro("")},
      {"abc", 1948, quadro("abc")},
      {"abc\n", 1948, quadro("abc")},  // an LF at the very end adds nothing
      {"abc\n\n", 1948, quadro("abc") + quadro("")},
      {"\nabc", 1948, quadro("") + quadro("abc")},
      {"a\n\nb", 1948, quadro("a") + quadro("") + quadro("b")},
      {"\n\n", 1948, quadro("") + quadro("")},
      // CR and byte 255 reach the client unchanged.
      {"a\rb\xFF", 1948, quadro("a\rb\xFF")},
      {"\r", 1948, quadro("\r")},
      {"Usu\xE1rio", 1948, quadro("Usu\xE1rio")},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(mostra(c.texto));
    EXPECT_EQ(mostra(quadros(c.texto, c.capacidade)), mostra(c.esperado));
    EXPECT_EQ(mostra(quadros(c.texto, c.capacidade, kLargura240)), mostra(c.esperado));
  }
}

struct CasoLargura {
  const char* nome;
  std::string texto;
  int largura;
  std::string esperado;
};

void confereLarguras(const std::vector<CasoLargura>& casos) {
  for (const CasoLargura& c : casos) {
    SCOPED_TRACE(testing::Message() << c.nome << ", width " << c.largura);
    EXPECT_EQ(mostra(quadros(c.texto, 1948, c.largura)), mostra(c.esperado));
  }
}

TEST(CodificaQuadros, LongLinesAreCutHardAtTheWidth) {
  const std::string A = letras(300, 'a');
  confereLarguras({
      {"78 bytes", letras(78), 79, quadro(letras(78))},
      {"79 bytes", letras(79), 79, quadro(letras(78)) + quadro(" /x")},
      {"79 bytes and LF", letras(79) + "\n", 79, quadro(letras(78)) + quadro(" /x")},
      {"78 bytes, LF, more", letras(78) + "\nabc", 79, quadro(letras(78)) + quadro("abc")},
      {"79 bytes, LF, more", letras(79) + "\nabc", 79, quadro(letras(78)) + quadro(" /x") + quadro("abc")},
      // A continuation holds 76 bytes after its prefix.
      {"78 + 76", letras(154), 79, quadro(letras(78)) + quadro(" /" + letras(76))},
      {"78 + 76 + 1", letras(155), 79,
       quadro(letras(78)) + quadro(" /" + letras(76)) + quadro(" /x")},
      {"238 bytes", letras(238), 239, quadro(letras(238))},
      {"239 bytes", letras(239), 239, quadro(letras(238)) + quadro(" /x")},
      {"238 + 236", letras(474), 239, quadro(letras(238)) + quadro(" /" + letras(236))},
      {"238 + 236 + 1", letras(475), 239,
       quadro(letras(238)) + quadro(" /" + letras(236)) + quadro(" /x")},
      // The continuation prefix comes back after every cut.
      {"two lines cut", letras(80) + "\n" + letras(79), 79,
       quadro(letras(78)) + quadro(" /xx") + quadro(letras(78)) + quadro(" /x")},
  });
}

TEST(CodificaQuadros, LongLinesPreferABlankNearTheEnd) {
  const std::string L62 = letras(62, 'l'), L61 = letras(61, 'l'), M40 = letras(40, 'm');
  confereLarguras({
      // The last blank at position 62 or later: cut just before it; the blank
      // opens the continuation.
      {"blank at 62", L62 + " " + M40, 79, quadro(L62) + quadro(" / " + M40)},
      // Before 62: cut hard after 78 bytes.
      {"blank at 61", L61 + " " + M40, 79, quadro(L61 + " " + letras(16, 'm')) + quadro(" /" + letras(24, 'm'))},
      {"blank at 77", letras(77, 'l') + " " + letras(10, 'm'), 79,
       quadro(letras(77, 'l')) + quadro(" / " + letras(10, 'm'))},
      // Just outside the 78 bytes scanned: a hard cut, and the blank follows
      // the prefix.
      {"blank at 78", letras(78, 'l') + " " + letras(10, 'm'), 79,
       quadro(letras(78, 'l')) + quadro(" / " + letras(10, 'm'))},
      // The last blank counts, not the first.
      {"blanks at 30 and 71", letras(30, 'l') + " " + letras(40, 'm') + " " + letras(20, 'n'), 79,
       quadro(letras(30, 'l') + " " + letras(40, 'm')) + quadro(" / " + letras(20, 'n'))},
      {"blanks at 10 and 61", letras(10, 'l') + " " + letras(50, 'm') + " " + letras(40, 'n'), 79,
       quadro(letras(10, 'l') + " " + letras(50, 'm') + " " + letras(16, 'n')) + quadro(" /" + letras(24, 'n'))},
      // A run of blanks: the cut comes before the last one scanned.
      {"three blanks from 62", L62 + "   " + letras(20, 'm'), 79,
       quadro(L62 + "  ") + quadro(" / " + letras(20, 'm'))},
      // A line that fits is never cut, whatever blanks it holds.
      {"78 bytes with a blank at 70", letras(70, 'l') + " " + letras(7, 'm'), 79,
       quadro(letras(70, 'l') + " " + letras(7, 'm'))},
      // The same position counts in a continuation, from its own start.
      {"continuation, blank at 62", letras(78, 'a') + L62 + " " + M40, 79,
       quadro(letras(78, 'a')) + quadro(" /" + L62) + quadro(" / " + M40)},
      {"continuation, blank at 61", letras(78, 'a') + L61 + " " + M40, 79,
       quadro(letras(78, 'a')) + quadro(" /" + L61 + " " + letras(14, 'm')) + quadro(" /" + letras(26, 'm'))},
      // Width 239: the blank must lie at 222 or later.
      {"blank at 222", letras(222, 'l') + " " + M40, 239, quadro(letras(222, 'l')) + quadro(" / " + M40)},
      {"blank at 221", letras(221, 'l') + " " + M40, 239,
       quadro(letras(221, 'l') + " " + letras(16, 'm')) + quadro(" /" + letras(24, 'm'))},
      {"blank at 62, width 239", L62 + " " + letras(200, 'm'), 239,
       quadro(L62 + " " + letras(175, 'm')) + quadro(" /" + letras(25, 'm'))},
  });
}

TEST(CodificaQuadros, CapacityCutsTheLastRecordAndDropsTheRest) {
  const std::string X300 = letras(300);
  const Caso casos[] = {
      {X300, 20, quadro(letras(17))},
      {X300, 10, quadro(letras(7))},
      {"ab", 10, quadro("ab")},
      {"abcdefg", 10, quadro("abcdefg")},
      {"abcdefgh", 10, quadro("abcdefg")},
      // After a full record 6 bytes remain: too few to begin another.
      {X300, 87, quadro(letras(78))},
      // 7 remain: a continuation with two bytes of text.
      {X300, 88, quadro(letras(78)) + quadro(" /xx")},
      {X300, 100, quadro(letras(78)) + quadro(" /" + letras(14))},
      // A new line after a full one is cut to fit as well.
      {"abc\n" + X300, 16, quadro("abc") + quadro(letras(7))},
      {"abc\n" + X300, 15, quadro("abc") + quadro(letras(6))},
      // Empty records count too.
      {"\n\n\n\n\n", 12, quadro("") + quadro("")},
      {"\n\n\n\n\n", 13, quadro("") + quadro("") + quadro("")},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << mostra(c.texto.substr(0, 12)) << "... capacity " << c.capacidade);
    EXPECT_EQ(mostra(quadros(c.texto, c.capacidade)), mostra(c.esperado));
  }

  // The capacity the gateway uses, at 240 columns: eight full records, then
  // the ninth cut to fill exactly 1948 bytes.
  std::string esperado = quadro(letras(238));
  for (int i = 0; i < 7; ++i) esperado += quadro(" /" + letras(236));
  esperado += quadro(" /" + letras(15));
  ASSERT_EQ(esperado.size(), 1948u);
  EXPECT_EQ(quadros(letras(5000), 1948, kLargura240), esperado);
}

TEST(CodificaQuadros, CapacityOfNineOrLessOrEmptyTextWritesNothing) {
  for (int capacidade : {9, 8, 5, 1, 0, -1, -1000}) {
    for (const char* texto : {"", "a", "abc\n", "\n"}) {
      SCOPED_TRACE(testing::Message() << '"' << mostra(texto) << "\" capacity " << capacidade);
      EXPECT_EQ(quadros(texto, capacidade), "");
      EXPECT_EQ(quadros(texto, capacidade, kLargura240), "");
    }
  }
  EXPECT_EQ(quadros("", 10), "");
}

// ---------------------------------------------------------------- property

// Random texts, capacities and widths. For each call: nothing is written past
// the returned length or the capacity, and the output decodes back into the
// text under the stated cutting rules.
class Aleatorio : public testing::Test {
 protected:
  std::mt19937 gerador{20240611u};

  int sorteia(int de, int ate) { return std::uniform_int_distribution<int>(de, ate)(gerador); }

  std::string textoAleatorio() {
    // Mostly letters, with blanks often enough to meet the blank rule and an
    // occasional line end; no '/', so only a continuation begins with " /".
    static const char kOutros[] = {'\r', '\xFF', '\xE9', '\x01'};
    std::string s;
    const int n = sorteia(0, 3) == 0 ? sorteia(0, 20) : sorteia(0, 700);
    for (int i = 0; i < n; ++i) {
      const int r = sorteia(0, 99);
      if (r < 3)
        s += '\n';
      else if (r < 18)
        s += ' ';
      else if (r < 21)
        s += kOutros[sorteia(0, 3)];
      else
        s += static_cast<char>('a' + sorteia(0, 25));
    }
    return s;
  }

  int capacidadeAleatoria() {
    switch (sorteia(0, 4)) {
      case 0:
        return sorteia(-3, 12);
      case 1:
        return 1948;
      default:
        return sorteia(13, 900);
    }
  }
};

TEST_F(Aleatorio, TelnetOutputIsTheLongestWholePrefixThatFits) {
  for (int rodada = 0; rodada < 3000; ++rodada) {
    const std::string texto = textoAleatorio();
    const int capacidade = capacidadeAleatoria();
    SCOPED_TRACE(testing::Message() << "round " << rodada << ", capacity " << capacidade);
    const std::string saida = telnet(texto, capacidade);
    if (capacidade < 4) {
      EXPECT_EQ(saida, "");
      continue;
    }
    // Expand the text byte by byte until the output's length is reached.
    std::string expandido;
    std::size_t k = 0;
    while (expandido.size() + 2 < saida.size() && k < texto.size()) {
      expandido += texto[k] == '\n' ? std::string("\r\n") : std::string(1, texto[k]);
      ++k;
    }
    ASSERT_EQ(mostra(saida), mostra(expandido + "\r\n"));
    if (k < texto.size()) {
      const std::size_t proximo = texto[k] == '\n' ? 2 : 1;
      EXPECT_GT(saida.size() + proximo, static_cast<std::size_t>(capacidade)) << "stopped while there was room";
    }
  }
}

TEST_F(Aleatorio, FramedOutputDecodesBackIntoTheText) {
  for (int rodada = 0; rodada < 3000; ++rodada) {
    const std::string texto = textoAleatorio();
    const int capacidade = capacidadeAleatoria();
    const int largura = sorteia(0, 1) == 0 ? kLargura80 : kLargura240;
    SCOPED_TRACE(testing::Message() << "round " << rodada << ", capacity " << capacidade << ", width " << largura);
    const std::string saida = quadros(texto, capacidade, largura);
    if (capacidade <= 9 || texto.empty()) {
      EXPECT_EQ(saida, "");
      continue;
    }
    std::size_t pos = 0;     // in the output
    std::size_t lido = 0;    // in the text
    bool continua = false;   // the next record continues a cut line
    int resta = capacidade;  // capacity left before the record
    while (pos < saida.size()) {
      ASSERT_GE(saida.size() - pos, 3u) << "truncated header";
      ASSERT_EQ(saida[pos], '\x01');
      const std::size_t carga = static_cast<unsigned char>(saida[pos + 1]) |
                                (static_cast<std::size_t>(static_cast<unsigned char>(saida[pos + 2])) << 8);
      ASSERT_LE(pos + 3 + carga, saida.size()) << "payload runs past the output";
      std::string pedaco = saida.substr(pos + 3, carga);
      ASSERT_GE(resta, 7) << "a record begun with less than 7 bytes left";
      const int prefixo = continua ? 2 : 0;
      if (continua) {
        ASSERT_EQ(pedaco.substr(0, 2), " /");
        pedaco.erase(0, 2);
      }
      ASSERT_LE(static_cast<int>(pedaco.size()), largura - 1 - prefixo);
      ASSERT_EQ(mostra(pedaco), mostra(texto.substr(lido, pedaco.size())));
      ASSERT_EQ(pedaco.find('\n'), std::string::npos);

      // Where the piece had to end, before any cut by the capacity.
      const int maximo = largura - 1 - prefixo;
      std::size_t fimLinha = texto.find('\n', lido);
      if (fimLinha == std::string::npos) fimLinha = texto.size();
      int devido;
      if (static_cast<int>(fimLinha - lido) <= maximo) {
        devido = static_cast<int>(fimLinha - lido);
      } else {
        int ultimoBranco = 0;
        for (int i = 0; i < maximo; ++i)
          if (texto[lido + static_cast<std::size_t>(i)] == ' ') ultimoBranco = i;
        devido = ultimoBranco >= largura - 17 ? ultimoBranco : maximo;
      }
      EXPECT_EQ(static_cast<int>(pedaco.size()), std::min(devido, resta - prefixo - 3));

      pos += 3 + carga;
      resta -= static_cast<int>(3 + carga);
      lido += pedaco.size();
      if (lido < texto.size() && texto[lido] == '\n') {
        ++lido;
        continua = false;
      } else {
        continua = true;
      }
    }
    // Either the whole text went out, or the capacity ran out.
    EXPECT_TRUE(lido == texto.size() || resta < 7) << "stopped with " << resta << " bytes left";
  }
}

}  // namespace
}  // namespace zandor
