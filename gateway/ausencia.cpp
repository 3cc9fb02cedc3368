// The away user's kept output: its buffer, its records and its count of
// messages lost.
#include "gateway/ausencia.h"

#include <cassert>
#include <cstring>
#include <new>

#include "gateway/mensagens.h"
#include "text/formata.h"

namespace zandor {

bool TAusencia::cComeca() {
  if (base == nullptr) base = new (std::nothrow) char[kBytesAusencia];
  return base != nullptr;
}

void TAusencia::cTermina() {
  delete[] base;
  base = nullptr;
  inicio = fim = marca = 0;
  dobrada = false;
  mensagens = bytes = perdidas = 0;
}

void TAusencia::cGuarda(const char* dados, int32_t n) {
  const int32_t registro = kCabeca + n;
  if (base == nullptr || n < 0 || n > kBytesAusencia - kCabeca) {
    ++perdidas;
    return;
  }
  for (;;) {
    if (mensagens == 0) {  // empty: start at the front
      inicio = fim = marca = 0;
      dobrada = false;
    }
    if (!dobrada) {
      if (kBytesAusencia - fim >= registro) break;
      // No room before the end: go on at the front, behind the oldest.
      marca = fim;
      fim = 0;
      dobrada = true;
      continue;
    }
    if (inicio - fim >= registro) break;
    descartaMaisAntiga();
  }
  std::memcpy(base + fim, &n, kCabeca);
  std::memcpy(base + fim + kCabeca, dados, static_cast<size_t>(n));
  fim += registro;
  ++mensagens;
  bytes += n;
}

bool TAusencia::cPrimeira(const char** dados, int32_t* n) const {
  if (mensagens == 0) return false;
  int32_t tamanho;
  std::memcpy(&tamanho, base + inicio, kCabeca);
  *dados = base + inicio + kCabeca;
  *n = tamanho;
  return true;
}

void TAusencia::cTira() {
  if (mensagens == 0) return;
  int32_t tamanho;
  std::memcpy(&tamanho, base + inicio, kCabeca);
  inicio += kCabeca + tamanho;
  --mensagens;
  bytes -= tamanho;
  // The records behind the oldest are used up: the front ones are all left.
  if (dobrada && inicio == marca) {
    inicio = 0;
    dobrada = false;
  }
  assert(dobrada ? inicio < marca && fim <= inicio : inicio <= fim);
}

void TAusencia::descartaMaisAntiga() {
  cTira();
  ++perdidas;
}

bool TAusencia::cAvisoPerdidas(char* destino, int tamanho) {
  if (perdidas == 0) return false;
  formata(destino, tamanho, msg::kLinhasPerdidas, static_cast<int>(cTiraPerdidas()));
  return true;
}

}  // namespace zandor
