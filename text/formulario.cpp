// Cookies, form fields and tokens, read in place.
#include "text/formulario.h"

#include <cstring>

namespace zandor {

namespace {

bool ehBranco(char c) { return c == ' ' || c == '\t'; }

bool ehBase64Url(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool mesmoNome(const char* p, int n, const char* nome) {
  const size_t tamanho = std::strlen(nome);
  return static_cast<size_t>(n) == tamanho && std::memcmp(p, nome, tamanho) == 0;
}

// The end of the piece starting at `inicio` (the separator's index, or n).
int fimPedaco(const char* p, int inicio, int n, char separador) {
  const void* s = std::memchr(p + inicio, separador, static_cast<size_t>(n - inicio));
  return s ? static_cast<int>(static_cast<const char*>(s) - p) : n;
}

}  // namespace

TTrecho valorCookie(TTrecho campo, const char* nome) {
  if (!campo.existe()) return {};
  const char* p = campo.p;
  for (int i = 0; i <= campo.n;) {
    const int fim = fimPedaco(p, i, campo.n, ';');
    int a = i, b = fim;
    while (a < b && ehBranco(p[a])) ++a;
    while (b > a && ehBranco(p[b - 1])) --b;
    const void* igual = std::memchr(p + a, '=', static_cast<size_t>(b - a));
    if (igual != nullptr) {
      const int fimNome = static_cast<int>(static_cast<const char*>(igual) - p);
      int n = fimNome;
      while (n > a && ehBranco(p[n - 1])) --n;
      if (mesmoNome(p + a, n - a, nome)) {
        int v = fimNome + 1;
        while (v < b && ehBranco(p[v])) ++v;
        return {p + v, b - v};
      }
    }
    i = fim + 1;
  }
  return {};
}

int campoFormulario(const char* corpo, int n, const char* nome, TTrecho* valor) {
  if (n > kMaxFormulario) return kFormularioGrande;
  if (corpo == nullptr || n < 0) return kFormularioMalformado;
  for (int i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(corpo[i]);
    if (c < 0x20 || c > 0x7E) return kFormularioMalformado;
  }
  for (int i = 0; i <= n;) {
    const int fim = fimPedaco(corpo, i, n, '&');
    const int fimNome = fimPedaco(corpo, i, fim, '=');
    if (mesmoNome(corpo + i, fimNome - i, nome)) {
      const int inicioValor = fimNome < fim ? fimNome + 1 : fim;
      if (valor != nullptr) *valor = {corpo + inicioValor, fim - inicioValor};
      return kFormularioAchado;
    }
    i = fim + 1;
  }
  return kFormularioAusente;
}

bool tokenValido(TTrecho t, int minimo, int maximo) {
  if (!t.existe() || t.n < minimo || t.n > maximo) return false;
  for (int i = 0; i < t.n; ++i)
    if (!ehBase64Url(static_cast<unsigned char>(t.p[i]))) return false;
  return true;
}

}  // namespace zandor
