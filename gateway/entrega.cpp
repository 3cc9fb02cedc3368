// Delivery of MUD lines: each form built once per line, then copied.
//
// A form is the framing (telnet, framed at 80 or 240 columns, web) by the
// filter by the charset: 16 at most, each kept in a buffer of its own that
// lives as long as the process (16 x 24 KiB, touched only as far as the
// lines written reach). A generation number says which forms this delivery
// has built, so starting a delivery costs nothing. The texts a form is
// built from (filtered or not, in UTF-8 or as the MUD sent them) are made
// once per delivery too, on first need.
//
// The cost per reader is one look-up and one copy into the ring; building a
// form is paid by its first reader alone.
#include "gateway/entrega.h"

#include <cstring>

#include "gateway/cliente.h"
#include "gateway/mud.h"
#include "text/utf8.h"

namespace zandor {

namespace {

constexpr int kFormas = kMolduras * 4;
// A text converted to UTF-8 grows at most threefold.
constexpr int kTamanhoUtf8 = kMaxBytesUtf8 * kMaxLinha + 1;
static_assert(kTamanhoUtf8 + 2 + kFolgaMoldura <= kCapacidadeCodificada, "a MUD line in UTF-8 is never cut");

struct TForma {
  uint32_t geracao = 0;  // the delivery it was built for
  int n = 0;
  char bytes[kCapacidadeCodificada];
};

// The texts of one delivery: as sent and filtered, each as it is and in
// UTF-8, made on first need.
struct TTextos {
  const char* bruto = nullptr;
  int nBruto = 0;
  bool filtrado = false;
  const char* utf8[2] = {nullptr, nullptr};  // [filtered]
  char textoFiltrado[kMaxLinha + 1];
  char convertido[2][kTamanhoUtf8];
};

TForma formas[kFormas];
TTextos textos;
uint32_t geracao = 0;

int indiceForma(int moldura, uint8_t opcoes) {
  const int filtra = (opcoes & kOpcaoSemFiltro) ? 0 : 1;
  const int utf8 = (opcoes & kOpcaoUtf8) ? 1 : 0;
  return moldura * 4 + utf8 * 2 + filtra;
}

// The MUD's charset is not known. To a UTF-8 reader a line that is valid
// UTF-8 goes unchanged; any other is taken for Windows-1252, which covers
// Latin-1, and converted.
const char* emUtf8(const char* texto, char* buffer, int capacidade) {
  if (ehUtf8(texto, static_cast<int>(std::strlen(texto)))) return texto;
  codificaUtf8(buffer, texto, capacidade);
  return buffer;
}

const char* textoPara(uint8_t opcoes) {
  const int filtrado = (opcoes & kOpcaoSemFiltro) ? 0 : 1;
  if (filtrado && !textos.filtrado) {
    std::memcpy(textos.textoFiltrado, textos.bruto, static_cast<size_t>(textos.nBruto) + 1);
    filtra(textos.textoFiltrado);
    textos.filtrado = true;
  }
  const char* texto = filtrado ? textos.textoFiltrado : textos.bruto;
  if (!(opcoes & kOpcaoUtf8)) return texto;
  if (textos.utf8[filtrado] == nullptr)
    textos.utf8[filtrado] = emUtf8(texto, textos.convertido[filtrado], kTamanhoUtf8);
  return textos.utf8[filtrado];
}

bool leitor(const TCliente* c) { return c->codec().ouve() && !c->cHistoriando(); }

}  // namespace

int entregaLinha(const char* texto, int n) {
  ++geracao;
  int construidas = 0;
  textos.bruto = texto;
  textos.nBruto = n;
  textos.filtrado = false;
  textos.utf8[0] = textos.utf8[1] = nullptr;
  for (TCliente* c = clientes; c != nullptr; c = c->proximo) {
    if (!leitor(c)) continue;
    const TCodec& codec = c->codec();
    TForma& f = formas[indiceForma(codec.moldura(c->opcoes), c->opcoes)];
    if (f.geracao != geracao) {
      f.n = codec.codifica(f.bytes, textoPara(c->opcoes), sizeof f.bytes, c->opcoes);
      f.geracao = geracao;
      ++construidas;
    }
    c->cManda(f.bytes, f.n);
  }
  return construidas;
}

void entregaBruto(const char* bytes, int n) {
  ++geracao;
  for (TCliente* c = clientes; c != nullptr; c = c->proximo) {
    if (!leitor(c) || !(c->opcoes & kOpcaoSemFiltro)) continue;
    const TCodec& codec = c->codec();
    TForma& f = formas[indiceForma(codec.moldura(c->opcoes), c->opcoes)];
    if (f.geracao != geracao) {
      f.n = codec.bruto(f.bytes, bytes, n, sizeof f.bytes);
      f.geracao = geracao;
    }
    if (f.n > 0) c->cManda(f.bytes, f.n);
  }
}

int formaPara(const TCliente& leitor, char* linha, char* saida, int capacidade) {
  if (!(leitor.opcoes & kOpcaoSemFiltro)) filtra(linha);
  char utf8[kTamanhoUtf8];
  const char* texto = (leitor.opcoes & kOpcaoUtf8) ? emUtf8(linha, utf8, sizeof utf8) : linha;
  return leitor.codec().codifica(saida, texto, capacidade, leitor.opcoes);
}

}  // namespace zandor
