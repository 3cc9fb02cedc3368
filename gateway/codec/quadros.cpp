// The framed ("Orvalho") codec: records in, records out (text/codifica.h
// draws the record). A record is a whole line; the client does its own
// editing, so nothing inside one is interpreted.
//
// The decoder's state (TMontagem::estado): 0, or CR/LF when the detection
// line ended with that byte, so that one byte (the LF of its CR LF) is still
// to be dropped before the first record.
#include <cstring>

#include "gateway/cliente.h"
#include "gateway/codec/codec.h"
#include "gateway/mensagens.h"
#include "text/codifica.h"

namespace zandor {

namespace {

constexpr int kMaxRegistro = 1024;  // header and payload

static_assert(kMaxRegistro <= TMontagem::kCurto - 1, "a whole framed record is kept inside the session");
static_assert(kCabecalhoQuadro == TMontagem::kInicio, "the header sits before the line's text");

enum class TPasso { Falta, Linha, Invalido };

TPasso passo(TMontagem& m, const char*& p, const char* fim) {
  if (m.estado != 0 && p < fim) {
    ++p;
    m.estado = 0;
  }
  while (m.tamanho < TMontagem::kInicio && p < fim) m.linha[m.tamanho++] = *p++;
  if (p == fim) return TPasso::Falta;

  const unsigned char* cabecalho = reinterpret_cast<const unsigned char*>(m.linha);
  const int total = (cabecalho[1] | (cabecalho[2] << 8)) + TMontagem::kInicio;
  if (total > kMaxRegistro || cabecalho[0] != kTipoQuadro) return TPasso::Invalido;
  int quer = total - m.tamanho;
  if (quer > fim - p) quer = static_cast<int>(fim - p);
  std::memcpy(m.linha + m.tamanho, p, static_cast<size_t>(quer));
  p += quer;
  m.tamanho = static_cast<uint16_t>(m.tamanho + quer);
  return m.tamanho >= total ? TPasso::Linha : TPasso::Falta;
}

class TCodecQuadros final : public TCodec {
 public:
  // A record the gateway cannot take ends the session, without a word.
  bool recebe(TCliente& s, const char* dados, int32_t n) const override {
    const char* p = dados;
    const char* const fim = dados + n;
    while (p < fim) {
      const TPasso r = passo(s.montagem, p, fim);
      if (r == TPasso::Falta) return true;
      if (r == TPasso::Invalido) {
        delete &s;
        return false;
      }
      if (!s.completaLinha()) return false;
    }
    return true;
  }
  int codifica(char* saida, const char* texto, int capacidade, uint8_t opcoes) const override {
    return codificaQuadros(saida, texto, capacidade, (opcoes & kOpcaoC1) ? kLargura240 : kLargura80);
  }
  int bruto(char*, const char*, int, int) const override { return 0; }
  int moldura(uint8_t opcoes) const override { return (opcoes & kOpcaoC1) ? kMoldura240 : kMoldura80; }
  void vazia(TCliente&, bool) const override {}
  const char* respostaC1(bool ligado) const override { return ligado ? msg::kC1Corta240 : msg::kC1Corta80; }
};

const TCodecQuadros quadrosUnico;

}  // namespace

const TCodec& codecQuadros = quadrosUnico;

}  // namespace zandor
