// Windows-1252 and UTF-8: the table over every byte, the encoder's cut, the
// validator, the decoder over broken input, and the helpers that close a
// cut line and erase one character.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/utf8.h"

namespace zandor {
namespace {

std::string codifica(const std::string& texto, int capacidade = 1024) {
  std::vector<char> saida(static_cast<size_t>(capacidade > 0 ? capacidade : 1), '#');
  const int n = codificaUtf8(saida.data(), texto.c_str(), capacidade);
  EXPECT_EQ(n, static_cast<int>(std::string(saida.data()).size())) << texto;
  return std::string(saida.data(), static_cast<size_t>(n));
}

std::string decodifica(const std::string& texto, int capacidade = 1024) {
  std::vector<char> saida(static_cast<size_t>(capacidade), '#');
  const int n = decodificaUtf8(saida.data(), texto.c_str(), capacidade);
  EXPECT_EQ(n, static_cast<int>(std::string(saida.data()).size())) << texto;
  return std::string(saida.data(), static_cast<size_t>(n));
}

bool valido(const std::string& t) { return ehUtf8(t.data(), static_cast<int>(t.size())); }

// The UTF-8 form of every Windows-1252 byte. 0x80..0x9F are written out
// from the WHATWG index; the rest are their own code points, in one byte
// below 0x80 and in two (C2 or C3, then the low six bits) from 0xA0.
std::string utf8Esperado(int b) {
  static const char* const kExtras[32] = {
      "\xE2\x82\xAC", "\xC2\x81",     "\xE2\x80\x9A", "\xC6\x92",     "\xE2\x80\x9E", "\xE2\x80\xA6",
      "\xE2\x80\xA0", "\xE2\x80\xA1", "\xCB\x86",     "\xE2\x80\xB0", "\xC5\xA0",     "\xE2\x80\xB9",
      "\xC5\x92",     "\xC2\x8D",     "\xC5\xBD",     "\xC2\x8F",     "\xC2\x90",     "\xE2\x80\x98",
      "\xE2\x80\x99", "\xE2\x80\x9C", "\xE2\x80\x9D", "\xE2\x80\xA2", "\xE2\x80\x93", "\xE2\x80\x94",
      "\xCB\x9C",     "\xE2\x84\xA2", "\xC5\xA1",     "\xE2\x80\xBA", "\xC5\x93",     "\xC2\x9D",
      "\xC5\xBE",     "\xC5\xB8",
  };
  if (b < 0x80) return std::string(1, static_cast<char>(b));
  if (b < 0xA0) return kExtras[b - 0x80];
  return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

TEST(Utf8, EveryWindows1252ByteConvertsAndComesBack) {
  std::string todos, todosUtf8;
  for (int b = 1; b < 256; ++b) {
    const std::string um(1, static_cast<char>(b));
    const std::string esperado = utf8Esperado(b);
    EXPECT_EQ(codifica(um), esperado) << "byte 0x" << std::hex << b;
    EXPECT_TRUE(valido(esperado)) << "byte 0x" << std::hex << b;
    EXPECT_EQ(decodifica(esperado), um) << "byte 0x" << std::hex << b;
    todos += um;
    todosUtf8 += esperado;
  }
  EXPECT_EQ(tabelaUnicode[0], 0);
  EXPECT_EQ(codifica(todos, 1024), todosUtf8);
  EXPECT_EQ(decodifica(todosUtf8), todos);
  EXPECT_LE(static_cast<int>(todosUtf8.size()), kMaxBytesUtf8 * 255);
}

TEST(Utf8, EncoderCutsBetweenCharactersOnly) {
  const std::string texto = "a\xE9\x80";  // 1, 2 and 3 bytes in UTF-8
  const std::vector<std::string> porCapacidade = {
      "", "", "a", "a", "a\xC3\xA9", "a\xC3\xA9", "a\xC3\xA9", "a\xC3\xA9\xE2\x82\xAC",
  };
  for (int c = 1; c < static_cast<int>(porCapacidade.size()); ++c)
    EXPECT_EQ(codifica(texto, c), porCapacidade[c]) << "capacity " << c;
  char intocado = '#';
  EXPECT_EQ(codificaUtf8(&intocado, texto.c_str(), 0), 0);
  EXPECT_EQ(decodificaUtf8(&intocado, texto.c_str(), 0), 0);
  EXPECT_EQ(intocado, '#');
}

TEST(Utf8, ValidatorRefusesOverlongSurrogateTooHighAndTruncated) {
  const std::vector<std::pair<std::string, bool>> casos = {
      {"", true},
      {"ol\xC3\xA1 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},  // each length's ends
      {std::string("a\0b", 3), true},
      {"\x80", false},                  // continuation with no start
      {"\xC3", false},                  // truncated
      {"\xE2\x82", false},
      {"\xF0\x9F\x98", false},
      {"\xC3x", false},
      {"\xC0\xAF", false},              // overlong "/"
      {"\xC1\xBF", false},
      {"\xE0\x80\xAF", false},
      {"\xE0\x9F\xBF", false},
      {"\xF0\x8F\xBF\xBF", false},
      {"\xED\xA0\x80", false},          // surrogates
      {"\xED\xBF\xBF", false},
      {"\xED\x9F\xBF", true},           // U+D7FF, just below them
      {"\xF4\x90\x80\x80", false},      // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFE", false},
      {"\xFF", false},
      {"\xC3\xA9\xA9", false},          // one continuation too many
  };
  for (const auto& [texto, esperado] : casos) EXPECT_EQ(valido(texto), esperado) << testing::PrintToString(texto);
}

// One "?" per maximal subpart: the longest well-formed start before the byte
// that breaks it, and that byte then read on its own.
TEST(Utf8, DecoderGivesOneQuestionMarkPerMaximalSubpart) {
  const std::vector<std::pair<std::string, std::string>> casos = {
      {"ol\xC3\xA1", "ol\xE1"},
      {"\xE2\x82\xAC \xC5\x93 \xE2\x84\xA2", "\x80 \x9C \x99"},
      {"\xC2\x81\xC2\x9D", "\x81\x9D"},         // the undefined bytes come back
      {"\xC2\x80\xC2\x82", "??"},               // C1 controls Windows-1252 lacks
      {"\xCF\x80 \xF0\x9F\x98\x80", "? ?"},     // no Windows-1252 form
      {"\xEF\xBB\xBFx", "?x"},                  // a BOM is a character like another
      {"\x80\xBF", "??"},
      {"\xC3", "?"},
      {"\xE2\x82", "?"},
      {"\xF0\x9F\x98", "?"},
      {"\xF0\x9F\x98x", "?x"},
      {"\xE2\x82\xE2\x82\xAC", "?\x80"},
      {"\xC0\xAF", "??"},
      {"\xE0\x80\xAF", "???"},
      {"\xF0\x80\x80\x80", "????"},
      {"\xED\xA0\x80", "???"},
      {"\xF4\x90\x80\x80", "????"},
      {"\xFF\xFE", "??"},
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a???b?c??d"},  // the Unicode Standard's example
  };
  for (const auto& [texto, esperado] : casos) {
    const std::string r = decodifica(texto);
    EXPECT_EQ(r, esperado) << testing::PrintToString(texto);
    EXPECT_LE(r.size(), texto.size());
  }
  // In place, and cut by the capacity between characters.
  char mesmo[] = "\xE0\x80 ol\xC3\xA1 \xE2\x82\xAC";
  EXPECT_EQ(decodificaUtf8(mesmo, mesmo, sizeof mesmo), 8);
  EXPECT_EQ(std::string(mesmo), "?? ol\xE1 \x80");
  EXPECT_EQ(decodifica("ol\xC3\xA1 \xE2\x82\xAC", 4), "ol\xE1");
}

TEST(Utf8, UnfinishedCharacterAndErasingOne) {
  struct Caso {
    std::string texto;
    int incompleto;  // inicioIncompleto
    int ultimo;      // inicioUltimo
  };
  const std::vector<Caso> casos = {
      {"abc", 3, 2},
      {"ab\xC3\xA9", 4, 2},
      {"ab\xC3", 2, 2},
      {"ab\xE2\x82\xAC", 5, 2},
      {"ab\xE2\x82", 2, 2},
      {"ab\xF0\x9F\x98", 2, 2},
      {"ab\xF0\x9F\x98\x80", 6, 2},
      {"ab\xE9", 2, 2},            // a Latin-1 letter alone looks like a cut
      {"ab\xFF", 3, 2},            // a byte that starts nothing does not
      {"ab\xE0\x80", 4, 3},        // broken before the end: not a cut either
      {"a\x80\x80\x80\x80", 5, 4}, // stray continuations go one by one
      {"\xC3\xA9", 2, 0},
  };
  for (const Caso& c : casos) {
    const int n = static_cast<int>(c.texto.size());
    EXPECT_EQ(inicioIncompleto(c.texto.data(), n), c.incompleto) << testing::PrintToString(c.texto);
    EXPECT_EQ(inicioUltimo(c.texto.data(), n), c.ultimo) << testing::PrintToString(c.texto);
  }
}

}  // namespace
}  // namespace zandor
