// Both encoders with any text, capacity and width. The output buffer is
// exactly the capacity, so a byte written past it is caught; the telnet form
// must end in CR LF and the records must parse back to the total returned.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "apoio_fuzz.h"
#include "text/codifica.h"

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
  return 0;
}
