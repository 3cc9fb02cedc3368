// Both encoders with any text, capacity and width. The output buffer is
// exactly the capacity, so a byte written past it is caught; the telnet form
// must end in CR LF and the records must parse back to the total returned.
// The UTF-8 conversions over the same text: what the encoder writes is valid
// UTF-8 and decodes back to the start of the text, the decoder never grows
// a text, and the two helpers for a typed line stay inside it.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "apoio_fuzz.h"
#include "text/codifica.h"
#include "text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  using namespace zandor;
  fuzz::Fluxo fluxo(dados, tamanho);
  const int capacidade = fluxo.dois() % 2100;
  const int largura = static_cast<int8_t>(fluxo.byte()) + 150;  // -128+150 .. 127+150
  size_t n;
  const char* bruto = fluxo.pedaco(4096, &n);
  std::vector<char> texto(bruto, bruto + n);
  texto.push_back('\0');

  std::vector<char> saida(static_cast<size_t>(capacidade) + 1);
  char* const buffer = saida.data() + 1;  // one guard byte before

  const int t = codificaTelnet(buffer, texto.data(), capacidade);
  if (t < 0 || t > capacidade) std::abort();
  if (capacidade >= 4 && (t < 2 || buffer[t - 2] != '\r' || buffer[t - 1] != '\n')) std::abort();

  const int q = codificaQuadros(buffer, texto.data(), capacidade, largura);
  if (q < 0 || q > capacidade) std::abort();
  for (int i = 0; i < q;) {
    if (q - i < kCabecalhoQuadro || buffer[i] != kTipoQuadro) std::abort();
    const int carga = static_cast<unsigned char>(buffer[i + 1]) | (static_cast<unsigned char>(buffer[i + 2]) << 8);
    i += kCabecalhoQuadro + carga;
    if (i > q) std::abort();
  }

  const int comprimento = static_cast<int>(std::strlen(texto.data()));
  const int u = codificaUtf8(buffer, texto.data(), capacidade);
  if (capacidade <= 0) {
    if (u != 0) std::abort();
  } else {
    if (u < 0 || u > capacidade - 1 || buffer[u] != '\0' || !ehUtf8(buffer, u)) std::abort();
    std::vector<char> volta(static_cast<size_t>(u) + 1);
    const int v = decodificaUtf8(volta.data(), buffer, u + 1);
    if (v > comprimento || std::memcmp(volta.data(), texto.data(), static_cast<size_t>(v)) != 0) std::abort();
    if (u > 0 && v == 0) std::abort();
  }
  const int d = decodificaUtf8(buffer, texto.data(), capacidade);
  if (d < 0 || d > comprimento || (capacidade > 0 && (d > capacidade - 1 || buffer[d] != '\0'))) std::abort();
  const int k = inicioIncompleto(texto.data(), comprimento);
  if (k < 0 || k > comprimento || (k < comprimento && k < comprimento - 3)) std::abort();
  if (comprimento > 0) {
    const int j = inicioUltimo(texto.data(), comprimento);
    if (j < 0 || j >= comprimento || j < comprimento - 4) std::abort();
  }
  return 0;
}
