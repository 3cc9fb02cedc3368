#include "text/codifica.h"

namespace zandor {

namespace {

constexpr int kCapacidadeMinTelnet = 4;
constexpr int kCapacidadeMinQuadros = 10;
constexpr int kRestoMinQuadro = 7;          // below this no record is begun
constexpr int kPrefixoContinuacao = 2;      // " /"
constexpr int kRecuoBranco = 17;            // a cut at a blank needs it at w - 17 or later

}  // namespace

int codificaTelnet(char* saida, const char* texto, int capacidade) {
  if (capacidade < kCapacidadeMinTelnet) return 0;
  int conta = 2;  // room kept for the final CR LF
  char* p = saida;
  for (const char* t = texto; *t != '\0'; ++t) {
    if (*t == '\n') {
      if (conta + 2 > capacidade) break;
      *p++ = '\r';
      *p++ = '\n';
      conta += 2;
    } else {
      if (conta + 1 > capacidade) break;
      *p++ = *t;
      conta += 1;
    }
  }
  *p++ = '\r';
  *p = '\n';
  return conta;
}

int codificaQuadros(char* saida, const char* texto, int capacidade, int largura) {
  if (capacidade < kCapacidadeMinQuadros) return 0;
  int prefixo = 0;
  int total = 0;
  int resta = capacidade;
  const char* t = texto;
  char* p = saida;
  while (*t != '\0' && resta >= kRestoMinQuadro) {
    const int maximo = largura - 1 - prefixo;
    int ultimoBranco = 0;
    int varrido = 0;
    while (varrido < maximo && t[varrido] != '\0' && t[varrido] != '\n') {
      if (t[varrido] == ' ') ultimoBranco = varrido;
      ++varrido;
    }
    int pedaco = varrido;
    const bool acabouLinha = t[varrido] == '\0' || t[varrido] == '\n';
    if (!acabouLinha && ultimoBranco >= largura - kRecuoBranco) pedaco = ultimoBranco;
    if (pedaco > resta - prefixo - kCabecalhoQuadro) pedaco = resta - prefixo - kCabecalhoQuadro;

    const int carga = prefixo + pedaco;
    *p++ = static_cast<char>(kTipoQuadro);
    *p++ = static_cast<char>(carga & 0xFF);
    *p++ = static_cast<char>((carga >> 8) & 0xFF);
    if (prefixo == kPrefixoContinuacao) {
      *p++ = ' ';
      *p++ = '/';
    }
    for (int i = 0; i < pedaco; ++i) *p++ = t[i];

    t += pedaco;
    resta -= carga + kCabecalhoQuadro;
    total += carga + kCabecalhoQuadro;
    if (*t == '\n') {
      ++t;
      prefixo = 0;
    } else {
      prefixo = kPrefixoContinuacao;
    }
  }
  return total;
}

}  // namespace zandor
