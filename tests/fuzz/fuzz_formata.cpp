// The formatter with any format, any size and arguments of the types its
// conversions take: the calls are built so every %c/%d gets an int and every
// %s/%t a text, as the program's own calls do.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apoio_fuzz.h"
#include "text/formata.h"

namespace {

constexpr int kMaxArgumentos = 6;
constexpr int kTamanhoMax = 600;

struct Chamada {
  const char* formato;
  int tamanho;
  char* destino;
  bool texto[kMaxArgumentos];
  int numeros[kMaxArgumentos];
  const char* textos[kMaxArgumentos];
  int quantos;
};

template <typename... Args>
char* chama(const Chamada& c, Args... args) {
  constexpr int k = sizeof...(Args);
  if constexpr (k < kMaxArgumentos) {
    if (k < c.quantos) return c.texto[k] ? chama(c, args..., c.textos[k]) : chama(c, args..., c.numeros[k]);
  }
  return zandor::formata(c.destino, c.tamanho, c.formato, args...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  fuzz::Fluxo fluxo(dados, tamanho);
  Chamada c{};
  c.tamanho = static_cast<int>(fluxo.dois() % (kTamanhoMax + 2)) - 1;  // -1 .. 600

  // Arguments: numbers (including the extremes) and texts.
  static const char* const kTextos[] = {"", "abc", " lead", "palavra-muito-longa-de-vinte", "a\tb c", "\xE7\xE3o"};
  for (int i = 0; i < kMaxArgumentos; ++i) {
    const uint8_t b = fluxo.byte();
    c.numeros[i] = b == 0 ? INT32_MIN : b == 1 ? INT32_MAX : static_cast<int>(fluxo.dois()) * (b & 1 ? -1 : 1);
    c.textos[i] = kTextos[b % 6];
  }
  size_t n;
  const char* bruto = fluxo.pedaco(1024, &n);
  std::string formato(bruto, n);
  formato = formato.substr(0, formato.find('\0'));

  // Cut the format after its sixth conversion and note each one's type.
  for (size_t i = 0; i < formato.size(); ++i) {
    if (formato[i] != '%' || i + 1 >= formato.size()) continue;
    const char conv = formato[++i];
    if (conv != 'c' && conv != 'd' && conv != 's' && conv != 't') continue;
    if (c.quantos == kMaxArgumentos) {
      formato.resize(i - 1);
      break;
    }
    c.texto[c.quantos++] = conv == 's' || conv == 't';
  }
  c.formato = formato.c_str();

  std::vector<char> destino(c.tamanho > 0 ? static_cast<size_t>(c.tamanho) : 1, '#');
  c.destino = destino.data();
  char* fim = chama(c);
  if (c.tamanho <= 0) {
    if (fim != c.destino || destino[0] != '#') std::abort();
  } else {
    if (fim < c.destino || fim >= c.destino + c.tamanho || *fim != '\0') std::abort();
  }
  return 0;
}
