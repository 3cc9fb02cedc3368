// The bounded store of the MUD's last lines.
#include "gateway/historico.h"

#include <cstring>

namespace zandor {


void THistorico::descartaMaisAntiga() {
  usados -= entradas[cabeca].tamanho;
  cabeca = (cabeca + 1) % kLinhasHistorico;
  ++primeira;
}

void THistorico::guarda(const char* linha, int n) {
  if (n < 0) n = 0;
  if (n > kMaxLinha) n = kMaxLinha;
  while (linhas() == kLinhasHistorico || usados + n > kBytesHistorico) descartaMaisAntiga();
  TEntrada& e = entradas[(cabeca + linhas()) % kLinhasHistorico];
  e.posicao = escrita;
  e.tamanho = static_cast<uint16_t>(n);
  const int ate = kBytesHistorico - static_cast<int>(escrita);  // bytes before the ring wraps
  const int primeiraParte = n < ate ? n : ate;
  std::memcpy(anel + escrita, linha, static_cast<size_t>(primeiraParte));
  std::memcpy(anel, linha + primeiraParte, static_cast<size_t>(n - primeiraParte));
  escrita = (escrita + static_cast<uint32_t>(n)) % kBytesHistorico;
  usados += n;
  ++proxima;
}

int THistorico::copia(uint32_t seq, char* destino) const {
  if (perdida(seq) || static_cast<int32_t>(seq - proxima) >= 0) return -1;
  const TEntrada& e = entradas[(cabeca + static_cast<int32_t>(seq - primeira)) % kLinhasHistorico];
  const int n = e.tamanho;
  const int ate = kBytesHistorico - static_cast<int>(e.posicao);
  const int primeiraParte = n < ate ? n : ate;
  std::memcpy(destino, anel + e.posicao, static_cast<size_t>(primeiraParte));
  std::memcpy(destino + primeiraParte, anel, static_cast<size_t>(n - primeiraParte));
  destino[n] = '\0';
  return n;
}

void THistorico::limpa() {
  cabeca = 0;
  primeira = proxima = escrita = 0;
  usados = 0;
}

}  // namespace zandor
