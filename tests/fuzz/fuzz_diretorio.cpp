// The configuration-entry reader on any file contents, fed in chunks of any
// size: the value it returns is bounded, has no control bytes and no blanks
// at its ends.
#include <cstdlib>
#include <cstring>
#include <string>

#include "apoio_fuzz.h"
#include "gateway/diretorio.h"
#include "text/dobra.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zandor::montaTabelas();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  using namespace zandor;
  fuzz::Fluxo fluxo(dados, tamanho);
  size_t n;
  const char* nome = fluxo.pedaco(1 + fluxo.byte() % 24, &n);
  std::string pedido(nome, n);
  pedido = pedido.substr(0, pedido.find('\0'));

  TLeitorEntradas leitor(pedido.c_str());
  while (!fluxo.vazio()) {
    const char* pedaco = fluxo.pedaco(1 + fluxo.byte(), &n);
    leitor.cLe(pedaco, static_cast<int>(n));
  }
  leitor.cFimLinha();
  if (const char* valor = leitor.cAchado()) {
    const size_t t = std::strlen(valor);
    if (t == 0 || t > kTamanhoValorEntrada - 1 || valor[0] == ' ' || valor[t - 1] == ' ') std::abort();
    for (size_t i = 0; i < t; ++i)
      if (static_cast<unsigned char>(valor[i]) < ' ') std::abort();
  }
  return 0;
}
