// The telnet codec: a terminal's bytes in, CR LF lines out. Also the codec
// of a session whose kind is not known yet: detection reads the first line
// the telnet way, and the gateway's first answers are telnet lines.
//
// The decoder's state (TMontagem::estado) means one of:
//   0                    plain text
//   kPulaUm..kAposDo     inside a command or an ESC sequence: bytes to skip,
//                        after IAC, inside SB ... SE, after IAC DO (whose
//                        option may need an answer)
//   CR or LF (13, 10)    the line just ended with this byte: its partner,
//                        should it come next, is skipped
// The line is kept as typed also for a UTF-8 user, whose lines for the MUD
// go out in those bytes; for such a user a BS erases a whole character.
#include "framework/comunica.h"
#include "gateway/cliente.h"
#include "gateway/codec/codec.h"
#include "gateway/mensagens.h"
#include "text/codifica.h"
#include "text/telnet.h"
#include "text/utf8.h"

namespace zandor {

using namespace telnet;

namespace {

constexpr uint8_t kPulaUm = 1, kPulaDois = 2, kAposIAC = 3, kSubnegociacao = 4, kAposDo = 5;
static_assert(kAposDo < LF, "a command state never reads as a line end");

constexpr unsigned char kMarcaTempo[] = {IAC, WILL, kOpcaoMarcaTempo};

// One pass: true when a line is complete, false when the bytes ran out.
bool passo(TCliente& s, const char*& p, const char* fim) {
  TMontagem& m = s.montagem;
  uint8_t& estado = m.estado;
  if (m.tamanho < TMontagem::kInicio) m.tamanho = TMontagem::kInicio;
  while (p < fim) {
    const unsigned char b = static_cast<unsigned char>(*p++);
    switch (estado) {
      case kPulaUm:
      case kPulaDois:
        --estado;
        continue;
      case kAposIAC:
        estado = b == SB ? kSubnegociacao : b == DO ? kAposDo : (b >= WILL && b <= DONT) ? kPulaUm : 0;
        continue;
      case kAposDo:
        // A telnet client that sent an interrupt (IAC IP IAC DO TIMING-MARK)
        // discards everything until the mark is answered: the answer passes
        // the ring and the hold, or a held user would stay deaf.
        if (b == kOpcaoMarcaTempo) s.cEnviaDireto(kMarcaTempo, sizeof kMarcaTempo);
        estado = 0;
        continue;
      case kSubnegociacao:
        if (b == SE) estado = 0;
        continue;
      default:
        break;
    }
    if (b == IAC) {
      estado = kAposIAC;
    } else if (b == ESC) {
      estado = kPulaDois;
    } else if ((b == CR && estado == LF) || (b == LF && estado == CR)) {
      estado = 0;  // second half of a line-end pair
    } else if (b == CR || b == LF) {
      estado = b;
      return true;
    } else if (b == BS || b == DEL) {
      // A UTF-8 user erases a character, not one of its bytes; past the
      // bytes kept there is nothing to look at, and only the count goes back.
      if ((s.opcoes & kOpcaoUtf8) && m.tamanho > TMontagem::kInicio && m.tamanho <= m.capacidade())
        m.tamanho = static_cast<uint16_t>(TMontagem::kInicio + inicioUltimo(m.linha + TMontagem::kInicio,
                                                                             m.tamanho - TMontagem::kInicio));
      else if (m.tamanho > TMontagem::kInicio && m.tamanho < UINT16_MAX)
        --m.tamanho;
    } else if (b != 0) {
      m.poe(b);
    }
  }
  return false;
}

class TCodecTelnet : public TCodec {
 public:
  // Every complete line of the delivery is handled, in order, for as long as
  // the session lives: a client that sends several lines in one write loses
  // none of them.
  bool recebe(TCliente& s, const char* dados, int32_t n) const override {
    const char* p = dados;
    const char* const fim = dados + n;
    while (p < fim) {
      if (!passo(s, p, fim)) return true;
      if (!s.completaLinha()) return false;
      // Detection chose another kind: the rest is that kind's.
      if (&s.codec() != this) return s.codec().recebe(s, p, static_cast<int32_t>(fim - p));
    }
    return true;
  }
  int codifica(char* saida, const char* texto, int capacidade, uint8_t) const override {
    return codificaTelnet(saida, texto, capacidade);
  }
  int bruto(char* saida, const char* bytes, int n, int capacidade) const override {
    if (n > capacidade) return 0;
    for (int i = 0; i < n; ++i) saida[i] = bytes[i];
    return n;
  }
  int moldura(uint8_t) const override { return kMolduraTelnet; }
  // ENTER on an empty line holds the output until the next line.
  // A first line of blanks also asks the nickname, as any other line does.
  void vazia(TCliente& s, bool) const override {
    if (s.etapa == kEtapaDetectado) {
      s.cPedeApelido();
      s.etapa = kEtapaPedido;
    }
    if (s.cModo() != kModoNormal) return;
    s.cDescarrega();
    s.cMuda(kModoRetido, kNivelNormal);
    s.cEnviaDireto(msg::kTecle, sizeof msg::kTecle - 1);
    if (!(s.opcoes & kOpcaoC1)) s.cRepete();
  }
  const char* respostaC1(bool ligado) const override { return ligado ? msg::kC1NaoVoltando : msg::kC1Voltando; }
  bool trocaCharset() const override { return true; }
};

// Before detection: read as telnet, answered as telnet, told nothing else.
class TCodecDeteccao final : public TCodecTelnet {
 public:
  bool ouve() const override { return false; }
  void vazia(TCliente&, bool) const override {}
  bool trocaCharset() const override { return false; }
};

const TCodecTelnet telnetUnico;
const TCodecDeteccao deteccaoUnica;

}  // namespace

const TCodec& codecTelnet = telnetUnico;
const TCodec& codecDeteccao = deteccaoUnica;

}  // namespace zandor
