// Character folding tables, the whole-text and first-word comparisons, and
// the nickname rule.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "text/dobra.h"

namespace zandor {
namespace {

class Dobra : public testing::Test {
 protected:
  static void SetUpTestSuite() { montaTabelas(); }
};

// The folding that nicknames allow, written out byte by byte from the list
// of allowed characters; every byte not listed is 0.
std::array<unsigned char, 256> apelidoEsperado() {
  std::array<unsigned char, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) {
    t[c] = static_cast<unsigned char>(c);
    t[c - 'a' + 'A'] = static_cast<unsigned char>(c);
  }
  struct Grupo {
    unsigned char dobrado;
    std::array<unsigned char, 8> bytes;
    int n;
  };
  const Grupo grupos[] = {
      {'a', {0xE1, 0xE0, 0xE2, 0xE3, 0xC1, 0xC0, 0xC2, 0xC3}, 8},
      {'e', {0xE9, 0xE8, 0xEA, 0xC9, 0xC8, 0xCA}, 6},
      {'i', {0xED, 0xEC, 0xEE, 0xCD, 0xCC, 0xCE}, 6},
      {'o', {0xF3, 0xF2, 0xF4, 0xF5, 0xD3, 0xD2, 0xD4, 0xD5}, 8},
      {'u', {0xFA, 0xF9, 0xFB, 0xDA, 0xD9, 0xDB}, 6},
      {0xE7, {0xE7, 0xC7}, 2},
  };
  for (const Grupo& g : grupos)
    for (int i = 0; i < g.n; ++i) t[g.bytes[i]] = g.dobrado;
  for (unsigned char s : std::string("#$&'-0123456789@~")) t[s] = s;
  return t;
}

TEST_F(Dobra, NicknameTableHoldsExactlyTheAllowedCharacters) {
  const auto esperado = apelidoEsperado();
  for (int v = 0; v < 256; ++v) EXPECT_EQ(tabelaApelido[v], esperado[v]) << "byte 0x" << std::hex << v;
}

TEST_F(Dobra, CompareTableFoldsAllowedCharactersAndKeepsTheRest) {
  const auto apelido = apelidoEsperado();
  for (int v = 0; v < 256; ++v) {
    const unsigned char esperado = apelido[v] != 0 ? apelido[v] : static_cast<unsigned char>(v);
    EXPECT_EQ(tabelaCompara[v], esperado) << "byte 0x" << std::hex << v;
  }
}

TEST_F(Dobra, TablesSpotCheckEveryGroup) {
  struct Caso {
    unsigned char byte;
    unsigned char apelido;
    unsigned char compara;
  };
  const Caso casos[] = {
      {'a', 'a', 'a'},   {'z', 'z', 'z'},   {'A', 'a', 'a'},   {'Z', 'z', 'z'},   {'Q', 'q', 'q'},
      {0xE1, 'a', 'a'},  {0xC3, 'a', 'a'},  {0xC0, 'a', 'a'},  // á Ã À
      {0xE9, 'e', 'e'},  {0xC8, 'e', 'e'},  {0xCA, 'e', 'e'},  // é È Ê
      {0xED, 'i', 'i'},  {0xCE, 'i', 'i'},                     // í Î
      {0xF5, 'o', 'o'},  {0xD4, 'o', 'o'},  {0xD3, 'o', 'o'},  // õ Ô Ó
      {0xFA, 'u', 'u'},  {0xDB, 'u', 'u'},                     // ú Û
      {0xC7, 0xE7, 0xE7}, {0xE7, 0xE7, 0xE7},                  // Ç ç
      {'#', '#', '#'},   {'~', '~', '~'},   {'0', '0', '0'},   {'9', '9', '9'},   {'@', '@', '@'},
      {'\'', '\'', '\''}, {'-', '-', '-'},  {'$', '$', '$'},   {'&', '&', '&'},
      // Not allowed in a nickname: compared as themselves.
      {' ', 0, ' '},     {0, 0, 0},         {'_', 0, '_'},     {'.', 0, '.'},     {'/', 0, '/'},
      {'\t', 0, '\t'},   {'!', 0, '!'},     {'"', 0, '"'},
      {0xE4, 0, 0xE4},   {0xC4, 0, 0xC4},   // ä Ä
      {0xEB, 0, 0xEB},   // ë
      {0xF1, 0, 0xF1},   {0xD1, 0, 0xD1},   // ñ Ñ
      {0xFC, 0, 0xFC},   {0xDC, 0, 0xDC},   // ü Ü
      {0xFF, 0, 0xFF},   {0x80, 0, 0x80},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << int{c.byte});
    EXPECT_EQ(tabelaApelido[c.byte], c.apelido);
    EXPECT_EQ(tabelaCompara[c.byte], c.compara);
  }
}

TEST_F(Dobra, BuildingTheTablesTwiceGivesTheSameTables) {
  std::array<unsigned char, 256> a, c;
  for (int v = 0; v < 256; ++v) {
    a[v] = tabelaApelido[v];
    c[v] = tabelaCompara[v];
  }
  montaTabelas();
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(tabelaApelido[v], a[v]);
    EXPECT_EQ(tabelaCompara[v], c[v]);
  }
}

struct CasoComparacao {
  const char* a;
  const char* b;
  int esperado;
};

std::string mostra(const char* s) {
  std::string r = "\"";
  for (const char* p = s; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      r += hex;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r + "\"";
}

TEST_F(Dobra, ComparaTexto) {
  const CasoComparacao casos[] = {
      // Case and accents fold.
      {"/SAIR", "/sair", 0},
      {"/S\xE1ir", "/sair", 0},
      {"/sair", "/sair", 0},
      {"/mud \xC9" "den", "/MUD eden", 0},
      // Trailing blanks are ignored on either side.
      {"/sair   ", "/sair", 0},
      {"/sair", "/sair   ", 0},
      // Runs of blanks of any length match each other.
      {"/mud  x", "/mud x", 0},
      {"/mud x", "/mud     x", 0},
      {"a   b  ", "a b", 0},
      {"  a", " a", 0},
      {"  a", "  a", 0},
      // A blank against a visible character is a difference.
      {"/mud x", "/mudx", -1},
      {"/mudx", "/mud x", 1},
      {"/sair agora", "/sair", 1},
      {"/sair", "/sair agora", -1},
      // Leading blanks are not skipped against a visible character.
      {" /sair", "/sair", -1},
      {"/sair", " /sair", 1},
      // ... but an empty text equals one made only of blanks.
      {"", "", 0},
      {"", "   ", 0},
      {"   ", "", 0},
      {" ", "", 0},
      {" x", "", 1},
      {"", " x", -1},
      // Prefixes and plain differences.
      {"/sai", "/sair", -1},
      {"/sairx", "/sair", 1},
      {"ABC", "abd", -1},
      {"abd", "ABC", 1},
      // Only the blank collapses; a tab is an ordinary byte below the blank.
      {"a\tb", "a b", -1},
      {"a\t", "a", 1},
      // The folded bytes are compared, as unsigned bytes.
      {"\xE9", "f", -1},  // é folds to e, which is below f
      {"\xFF", "a", 1},
      {"a", "\xFF", -1},
      // Accented vowels and the cedilla fold; other accented letters do not.
      {"\xC8", "e", 0},      // È
      {"\xC7", "\xE7", 0},   // Ç ç
      {"\xD4", "o", 0},      // Ô
      {"\xE4", "a", 1},      // ä
      {"a", "\xE4", -1},
      {"\xF1", "n", 1},      // ñ
      {"\xE7", "c", 1},      // ç is not c
  };
  for (const CasoComparacao& c : casos) {
    SCOPED_TRACE(mostra(c.a) + " vs " + mostra(c.b));
    EXPECT_EQ(comparaTexto(c.a, c.b), c.esperado);
  }
}

TEST_F(Dobra, ComparaPalavra) {
  const CasoComparacao casos[] = {
      {"/con 10.0.0.1", "/con", 0},
      {"/conx", "/con", 1},
      {"/NOME Ana", "/nome", 0},
      {"/nomeAna", "/nome", 1},
      {"/N\xD3ME Ana", "/nome", 0},
      {"/con  ", "/con", 0},
      {"/con", "/con", 0},
      // A blank ends either text.
      {"/con", "/con x", 0},
      {"/con a", "/con b", 0},
      {"/co", "/con", -1},
      {"/con", "/co", 1},
      // A text that starts with a blank equals only an empty text or one that
      // starts with a blank.
      {" abc", "", 0},
      {"", " abc", 0},
      {" abc", " xyz", 0},
      {" abc", "abc", -1},
      {"abc", " abc", 1},
      {"", "", 0},
      // A tab does not end the word.
      {"/mud\tx", "/mud", 1},
      // Folding.
      {"\xC8", "e", 0},
      {"\xC7", "\xE7", 0},
      {"\xD4", "o", 0},
      {"\xE4", "a", 1},
      {"\xF1", "n", 1},
      {"\xFF", "a", 1},
  };
  for (const CasoComparacao& c : casos) {
    SCOPED_TRACE(mostra(c.a) + " vs " + mostra(c.b));
    EXPECT_EQ(comparaPalavra(c.a, c.b), c.esperado);
  }
}

TEST_F(Dobra, ValidaApelido) {
  struct Caso {
    const char* apelido;
    int esperado;
  };
  const Caso casos[] = {
      {"Ana", kApelidoValido},
      {"ab", kApelidoValido},
      {"Ze", kApelidoValido},
      {"a1", kApelidoValido},
      {"1a", kApelidoValido},
      {"y1", kApelidoValido},  // y is a letter
      {"Jo\xE3o", kApelidoValido},
      {"Andr\xE9", kApelidoValido},
      {"\xC7" "a", kApelidoValido},
      // Blanks anywhere.
      {"ana maria", kApelidoRecusado},
      {"Ana ", kApelidoRecusado},
      {" Ana", kApelidoRecusado},
      // Length: 2 to 16.
      {"", kApelidoRecusado},
      {"A", kApelidoRecusado},
      {"1", kApelidoRecusado},
      {"anaanaanaanaanaa", kApelidoValido},     // 16
      {"anaanaanaanaanaan", kApelidoRecusado},  // 17
      {"anaanaanaanaanaanaanaana", kApelidoRecusado},
      {"1234567890123456", kApelidoSemLetra},   // 16
      {"12345678901234567", kApelidoRecusado},  // 17
      // No letter.
      {"1234", kApelidoSemLetra},
      {"#-#", kApelidoSemLetra},
      {"@~", kApelidoSemLetra},
      {"''", kApelidoSemLetra},
      {"$&", kApelidoSemLetra},
      {"--", kApelidoSemLetra},
      // Characters outside the allowed set.
      {"Ana_1", kApelidoRecusado},
      {"Zo\xEB", kApelidoRecusado},   // ë
      {"Nu\xF1" "ez", kApelidoRecusado},  // ñ
      {"M\xFCller", kApelidoRecusado},  // ü
      {"\xC4" "da", kApelidoRecusado},  // Ä
      {"ana.b", kApelidoRecusado},
      {"ana/b", kApelidoRecusado},
      {"ana\tb", kApelidoRecusado},
      {"ana\xFF", kApelidoRecusado},
      // The h rule: an h after b d f g h j k m q r s t v x z in a stretch of
      // letters that also holds a vowel, in either order.
      {"Thiago", kApelidoRecusado},
      {"Sheila", kApelidoRecusado},
      {"SHEILA", kApelidoRecusado},
      {"Kha", kApelidoRecusado},
      {"Tha", kApelidoRecusado},
      {"aTh", kApelidoRecusado},
      {"Th\xE9", kApelidoRecusado},  // é is a vowel
      {"Xhya", kApelidoRecusado},
      {"ahh", kApelidoRecusado},  // h after h counts
      {"Hha", kApelidoRecusado},
      {"abcdefghijklmnop", kApelidoRecusado},  // gh
      // ... and the h that does not count.
      {"Chico", kApelidoValido},
      {"Filho", kApelidoValido},
      {"Phil", kApelidoValido},
      {"Nh\xF4", kApelidoValido},
      {"Ahmed", kApelidoValido},
      {"Ha", kApelidoValido},  // nothing before the h
      {"Ah", kApelidoValido},
      {"\xC7ha", kApelidoValido},  // after ç
      {"Wha", kApelidoValido},
      {"Yha", kApelidoValido},
      // A digit or symbol ends the stretch of letters.
      {"Th3o", kApelidoValido},
      {"Th-a", kApelidoValido},
      {"Bh1a", kApelidoValido},
      {"a1th", kApelidoValido},
      // No vowel in the stretch.
      {"Sh", kApelidoValido},
      {"Shy", kApelidoValido},
      {"Xhy", kApelidoValido},
      {"Shhh", kApelidoValido},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(mostra(c.apelido));
    EXPECT_EQ(validaApelido(c.apelido), c.esperado);
  }
}

}  // namespace
}  // namespace zandor
