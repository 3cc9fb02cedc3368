// The cookie and form readers on any bytes: views stay inside the input,
// and both agree with a plain reference written over std::string; the
// token check agrees with a character-by-character one.
//
// The input's first byte picks the reader: even, a Cookie field; odd, a
// form body. The rest is the field or the body.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text/formulario.h"

namespace {

using namespace zandor;

void confere(bool condicao) {
  if (!condicao) std::abort();
}

std::string texto(TTrecho t) { return t.existe() ? std::string(t.p, static_cast<size_t>(t.n)) : "<ausente>"; }

std::string apara(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

std::string cookieReferencia(const std::string& campo, const std::string& nome) {
  size_t i = 0;
  for (;;) {
    const size_t fim = campo.find(';', i);
    const std::string par = apara(campo.substr(i, fim == std::string::npos ? std::string::npos : fim - i));
    const size_t igual = par.find('=');
    if (igual != std::string::npos && apara(par.substr(0, igual)) == nome) return apara(par.substr(igual + 1));
    if (fim == std::string::npos) return "<ausente>";
    i = fim + 1;
  }
}

int campoReferencia(const std::string& corpo, const std::string& nome, std::string* valor) {
  if (corpo.size() > static_cast<size_t>(kMaxFormulario)) return kFormularioGrande;
  for (unsigned char c : corpo)
    if (c < 0x20 || c > 0x7E) return kFormularioMalformado;
  size_t i = 0;
  for (;;) {
    const size_t fim = corpo.find('&', i);
    const std::string par = corpo.substr(i, fim == std::string::npos ? std::string::npos : fim - i);
    const size_t igual = par.find('=');
    if (par.substr(0, igual) == nome) {
      *valor = igual == std::string::npos ? "" : par.substr(igual + 1);
      return kFormularioAchado;
    }
    if (fim == std::string::npos) return kFormularioAusente;
    i = fim + 1;
  }
}

bool tokenReferencia(const std::string& t, int minimo, int maximo) {
  if (t.size() < static_cast<size_t>(minimo) || t.size() > static_cast<size_t>(maximo)) return false;
  for (char c : t)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

void dentro(TTrecho t, const char* inicio, int tamanho) {
  if (t.existe()) confere(t.n >= 0 && t.p >= inicio && t.p + t.n <= inicio + tamanho);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  if (tamanho == 0) return 0;
  const bool cookie = dados[0] % 2 == 0;
  const char* bytes = reinterpret_cast<const char*>(dados + 1);
  const size_t resto = tamanho - 1;
  const int n = resto > static_cast<size_t>(4 * kMaxFormulario) ? 4 * kMaxFormulario : static_cast<int>(resto);
  const std::string entrada(bytes, static_cast<size_t>(n));

  for (const char* nome : {"zandor_assento", "convite", "a", ""}) {
    if (cookie) {
      const TTrecho v = valorCookie({bytes, n}, nome);
      dentro(v, bytes, n);
      confere(texto(v) == cookieReferencia(entrada, nome));
      confere(tokenValido(v, kMinRetoma, kMaxRetoma) == (v.existe() && tokenReferencia(texto(v), 22, 64)));
    } else {
      TTrecho v;
      std::string esperado = "<ausente>";
      const int r = campoFormulario(bytes, n, nome, &v);
      confere(r == campoReferencia(entrada, nome, &esperado));
      confere(texto(v) == esperado);
      dentro(v, bytes, n);
      confere(retomaValida(v) == (v.existe() && tokenReferencia(texto(v), kMinRetoma, kMaxRetoma)));
    }
  }
  return 0;
}
