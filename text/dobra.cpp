// Folding tables and comparisons. All bytes are taken as unsigned indexes.
#include "text/dobra.h"

#include <cstring>

#include "text/brancos.h"

namespace zandor {

unsigned char tabelaApelido[256];
unsigned char tabelaCompara[256];

namespace {

constexpr unsigned char kCedilha = 0xE7;  // ç
constexpr int kMaxApelido = 16;

struct GrupoAcentos {
  unsigned char dobrado;
  const char* bytes;
};

// Windows-1252 codes of the accented letters that fold to a plain letter.
constexpr GrupoAcentos kGrupos[] = {
    {'a', "\xE1\xE0\xE2\xE3\xC1\xC0\xC2\xC3"},
    {'e', "\xE9\xE8\xEA\xC9\xC8\xCA"},
    {'i', "\xED\xEC\xEE\xCD\xCC\xCE"},
    {'o', "\xF3\xF2\xF4\xF5\xD3\xD2\xD4\xD5"},
    {'u', "\xFA\xF9\xFB\xDA\xD9\xDB"},
    {kCedilha, "\xE7\xC7"},
};

constexpr char kSimbolos[] = "#$&'-0123456789@~";

inline unsigned char dobra(const char* p) { return tabelaCompara[static_cast<unsigned char>(*p)]; }

inline int sinal(unsigned char x, unsigned char y) {
  if (x == y) return 0;
  return x < y ? -1 : 1;
}

inline bool ehLetra(unsigned char f) { return (f >= 'a' && f <= 'z') || f == kCedilha; }
inline bool ehVogal(unsigned char f) { return f == 'a' || f == 'e' || f == 'i' || f == 'o' || f == 'u'; }

}  // namespace

void montaTabelas() {
  std::memset(tabelaApelido, 0, sizeof tabelaApelido);
  for (int c = 'a'; c <= 'z'; ++c) {
    tabelaApelido[c] = static_cast<unsigned char>(c);
    tabelaApelido[c - 'a' + 'A'] = static_cast<unsigned char>(c);
  }
  for (const GrupoAcentos& g : kGrupos)
    for (const char* b = g.bytes; *b != '\0'; ++b) tabelaApelido[static_cast<unsigned char>(*b)] = g.dobrado;
  for (const char* s = kSimbolos; *s != '\0'; ++s)
    tabelaApelido[static_cast<unsigned char>(*s)] = static_cast<unsigned char>(*s);
  for (int v = 0; v < 256; ++v)
    tabelaCompara[v] = tabelaApelido[v] != 0 ? tabelaApelido[v] : static_cast<unsigned char>(v);
}

int comparaTexto(const char* a, const char* b) {
  unsigned char x, y;
  for (;;) {
    if (*a == ' ' && *b == ' ') {
      a = pulaBrancos(a);
      b = pulaBrancos(b);
    }
    if (*a == '\0' || *b == '\0') {
      a = pulaBrancos(a);
      b = pulaBrancos(b);
    }
    x = dobra(a);
    y = dobra(b);
    if (x == 0 || x != y) break;
    ++a;
    ++b;
  }
  return sinal(x, y);
}

int comparaPalavra(const char* a, const char* b) {
  unsigned char x, y;
  for (;;) {
    x = dobra(a);
    y = dobra(b);
    if (x == ' ') x = 0;
    if (y == ' ') y = 0;
    if (x == 0 || x != y) break;
    ++a;
    ++b;
  }
  return sinal(x, y);
}

int validaApelido(const char* texto) {
  if (std::strchr(texto, ' ') != nullptr) return kApelidoRecusado;

  // H: an h that counts (after b d f g h j k m q r s t v x z) was seen in this
  // stretch of letters; V: a vowel was seen in it. Both together refuse.
  unsigned char anterior = 0;
  bool letra = false, marcaH = false, marcaV = false;
  int n = 0;
  for (; texto[n] != '\0' && n <= kMaxApelido; ++n) {
    const unsigned char f = tabelaApelido[static_cast<unsigned char>(texto[n])];
    if (f == 0) return kApelidoRecusado;
    if (f == 'h' && anterior != 0 && std::strchr("bdfghjkmqrstvxz", anterior) != nullptr) {
      marcaH = true;
      if (marcaV) return kApelidoRecusado;
    }
    if (ehLetra(f)) {
      letra = true;
      if (ehVogal(f)) marcaV = true;
      if (marcaV && marcaH) return kApelidoRecusado;
    } else {
      marcaH = marcaV = false;
    }
    anterior = f;
  }
  if (n < 2 || n > kMaxApelido) return kApelidoRecusado;
  return letra ? kApelidoValido : kApelidoSemLetra;
}

}  // namespace zandor
