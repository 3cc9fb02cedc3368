#include "text/utf8.h"

#include <cstring>

namespace zandor {

namespace {

// What leSequencia found besides a code point; both lie above U+10FFFF.
constexpr uint32_t kFalha = 0x110000;      // a maximal invalid subpart
constexpr uint32_t kIncompleta = 0x110001; // a well-formed start that the end cuts short

constexpr unsigned char kSemForma = '?';   // a character with no Windows-1252 form

constexpr bool continua(unsigned char b) { return (b & 0xC0) == 0x80; }

// One step of reading UTF-8 at p < fim: returns the bytes taken (at least
// one) and puts in `ponto` the code point they encode, kFalha, or
// kIncompleta. The ranges are those of the well-formed sequences in the
// Unicode Standard: the second byte's range depends on the first, which is
// what rules out overlong forms (C0, C1, E0 80..9F, F0 80..8F), surrogates
// (ED A0..BF) and code points past U+10FFFF (F4 90.., F5..FF).
int leSequencia(const unsigned char* p, const unsigned char* fim, uint32_t& ponto) {
  const unsigned char b = p[0];
  if (b < 0x80) {
    ponto = b;
    return 1;
  }
  int total;
  uint32_t valor;
  unsigned char menor = 0x80, maior = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    total = 2;
    valor = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    total = 3;
    valor = b & 0x0F;
    if (b == 0xE0) menor = 0xA0;
    if (b == 0xED) maior = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    total = 4;
    valor = b & 0x07;
    if (b == 0xF0) menor = 0x90;
    if (b == 0xF4) maior = 0x8F;
  } else {
    ponto = kFalha;
    return 1;
  }
  for (int i = 1; i < total; ++i) {
    if (p + i == fim) {
      ponto = kIncompleta;
      return i;
    }
    if (p[i] < menor || p[i] > maior) {
      ponto = kFalha;
      return i;  // the breaking byte is not taken
    }
    menor = 0x80;
    maior = 0xBF;
    valor = (valor << 6) | (p[i] & 0x3F);
  }
  ponto = valor;
  return total;
}

// Code point -> Windows-1252 byte, "?" where there is none. Only the 32
// extras need a search; a handful of comparisons per such character.
unsigned char paraWindows(uint32_t ponto) {
  if (ponto < 0x80 || (ponto >= 0xA0 && ponto <= 0xFF)) return static_cast<unsigned char>(ponto);
  for (int b = 0x80; b < 0xA0; ++b)
    if (tabelaUnicode[b] == ponto) return static_cast<unsigned char>(b);
  return kSemForma;
}

}  // namespace

int codificaUtf8(char* saida, const char* texto, int capacidade) {
  if (capacidade <= 0) return 0;
  int n = 0;
  for (const unsigned char* t = reinterpret_cast<const unsigned char*>(texto); *t != 0; ++t) {
    const uint32_t u = tabelaUnicode[*t];
    const int largura = u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
    if (n + largura > capacidade - 1) break;
    if (largura == 1) {
      saida[n++] = static_cast<char>(u);
    } else if (largura == 2) {
      saida[n++] = static_cast<char>(0xC0 | (u >> 6));
      saida[n++] = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      saida[n++] = static_cast<char>(0xE0 | (u >> 12));
      saida[n++] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      saida[n++] = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  saida[n] = '\0';
  return n;
}

bool ehUtf8(const char* texto, int n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(texto);
  const unsigned char* const fim = p + n;
  while (p < fim) {
    uint32_t ponto;
    p += leSequencia(p, fim, ponto);
    if (ponto >= kFalha) return false;
  }
  return true;
}

int decodificaUtf8(char* saida, const char* texto, int capacidade) {
  if (capacidade <= 0) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(texto);
  const unsigned char* const fim = p + std::strlen(texto);
  int n = 0;
  // Each step reads before it writes, and writes one byte for at least one
  // read: in place, the output never overtakes the input.
  while (p < fim && n < capacidade - 1) {
    uint32_t ponto;
    p += leSequencia(p, fim, ponto);
    saida[n++] = static_cast<char>(ponto >= kFalha ? kSemForma : paraWindows(ponto));
  }
  saida[n] = '\0';
  return n;
}

int inicioIncompleto(const char* texto, int n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(texto);
  // An unfinished sequence has at most three bytes: its first is among the
  // last three.
  for (int j = n - 1; j >= 0 && j >= n - 3; --j) {
    if (continua(p[j])) continue;
    uint32_t ponto;
    leSequencia(p + j, p + n, ponto);
    return ponto == kIncompleta ? j : n;
  }
  return n;
}

int inicioUltimo(const char* texto, int n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(texto);
  int j = n - 1;
  while (j > 0 && j > n - 4 && continua(p[j])) --j;
  if (j < n - 1) {
    uint32_t ponto;
    if (leSequencia(p + j, p + n, ponto) == n - j && ponto != kFalha) return j;
  }
  return n - 1;
}

}  // namespace zandor
