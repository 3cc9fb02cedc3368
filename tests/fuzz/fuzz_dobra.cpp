// The folding comparisons and the nickname rule on any bytes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "apoio_fuzz.h"
#include "text/dobra.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zandor::montaTabelas();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  using namespace zandor;
  std::string tudo(reinterpret_cast<const char*>(dados), tamanho);
  const size_t corte = tudo.find('\0');
  const std::string a = tudo.substr(0, corte);
  const std::string b = corte == std::string::npos ? std::string() : tudo.substr(corte + 1);

  if (comparaTexto(a.c_str(), a.c_str()) != 0 || comparaPalavra(a.c_str(), a.c_str()) != 0) std::abort();
  const int ab = comparaTexto(a.c_str(), b.c_str());
  if (ab < -1 || ab > 1 || ab != -comparaTexto(b.c_str(), a.c_str())) std::abort();
  const int pab = comparaPalavra(a.c_str(), b.c_str());
  if (pab < -1 || pab > 1) std::abort();

  const int v = validaApelido(a.c_str());
  if (v < 0 || v > 2) std::abort();
  if (v != 0 && (a.size() < 2 || a.size() > 16 || a.find(' ') != std::string::npos)) std::abort();
  return 0;
}
