// The formatter walks the format once, to its end, whatever fits: the cut
// only stops the writing, never the consumption of arguments.
#include "text/formata.h"

#include <cstdarg>
#include <cstring>

namespace zandor {

namespace {

constexpr int kMaxPalavra = 16;       // %t keeps at most this many characters
constexpr int kRascunhoDigitos = 20;  // more digits than any int has
constexpr int kTamanhoTextoErro = 128;  // glibc's longest text, "Unknown error" and a number included, is under 64

// strerror_r comes in two kinds: glibc's own, which g++ always gets
// (_GNU_SOURCE), returns the text, in the buffer or a constant of its own;
// the POSIX one returns 0 and fills the buffer. The overloads take
// whichever the headers declare.
[[maybe_unused]] const char* textoErro(const char* texto, const char*) { return texto; }
[[maybe_unused]] const char* textoErro(int r, const char* buffer) { return r == 0 ? buffer : nullptr; }

// Writes one character if the write position is before the limit.
inline void poe(char*& p, char* limite, char c) {
  if (p < limite) *p++ = c;
}

void poeNumero(char*& p, char* limite, int valor) {
  if (p >= limite) return;
  // The magnitude is taken in unsigned arithmetic so the most negative int
  // has one too.
  unsigned magnitude = static_cast<unsigned>(valor);
  if (valor < 0) {
    *p++ = '-';
    magnitude = 0u - magnitude;
  }
  char rascunho[kRascunhoDigitos];
  int n = 0;
  do {
    rascunho[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (n > 0 && p < limite) *p++ = rascunho[--n];
}

}  // namespace

char* formata(char* destino, int tamanho, const char* formato, ...) {
  if (tamanho <= 0) return destino;
  char* p = destino;
  char* const limite = destino + tamanho - 1;

  va_list argumentos;
  va_start(argumentos, formato);
  for (const char* f = formato; *f != '\0'; ++f) {
    if (*f != '%') {
      poe(p, limite, *f);
      continue;
    }
    ++f;
    switch (*f) {
      case '\0':  // a lone '%' at the end is dropped
        --f;
        break;
      case '%':
        poe(p, limite, '%');
        break;
      case 'c':
        poe(p, limite, static_cast<char>(va_arg(argumentos, int)));
        break;
      case 'd':
        poeNumero(p, limite, va_arg(argumentos, int));
        break;
      case 's':
        for (const char* s = va_arg(argumentos, const char*); *s != '\0'; ++s) poe(p, limite, *s);
        break;
      case 't': {
        const char* s = va_arg(argumentos, const char*);
        for (int i = 0; i < kMaxPalavra && s[i] != '\0' && s[i] != ' '; ++i) poe(p, limite, s[i]);
        break;
      }
      default:  // unknown conversion: the '%' goes, the character stays
        poe(p, limite, *f);
        break;
    }
  }
  va_end(argumentos);

  *p = '\0';
  return p;
}

char* copiaLimitada(char* destino, const char* origem, int limite) {
  if (limite <= 0) return destino;
  char* p = destino;
  for (int n = 0; n < limite - 1 && origem[n] != '\0'; ++n) *p++ = origem[n];
  *p = '\0';
  return p;
}

char* copiaErro(char* destino, int erro, int limite) {
  char buffer[kTamanhoTextoErro] = {};
  const char* texto = textoErro(strerror_r(erro, buffer, sizeof buffer), buffer);
  if (texto == nullptr) {  // the POSIX kind, for a number it does not know
    formata(buffer, sizeof buffer, "Unknown error %d", erro);
    texto = buffer;
  }
  return copiaLimitada(destino, texto, limite);
}

char* copia(char* destino, const char* origem) {
  while ((*destino = *origem) != '\0') {
    ++destino;
    ++origem;
  }
  return destino;
}

}  // namespace zandor
