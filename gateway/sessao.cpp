// A user's session: protocol detection, the telnet and framed decoders, the
// four stages with their idle timers, and the telnet hold on an empty line.
//
// `linha` keeps the line being assembled. Its first three bytes hold a framed
// record's header; the text starts at byte 3 for both protocols:
//
//   0     1     2     3                                  8003  8004
//   +-----+-----+-----+------------------------------------+----+
//   |type | lenL| lenH| text: at most 8000 bytes kept      |NUL |
//   +-----+-----+-----+------------------------------------+----+
//   `tamanho` counts from byte 0, header included, and goes on counting
//   telnet bytes that no longer fit (up to its 16-bit limit), so that a line
//   past 8000 bytes is known as such when it ends: it goes nowhere, and its
//   author alone is told. A framed record (1024 bytes at most) always fits.
//
// The line is kept as typed also for a UTF-8 user, whose lines for the MUD
// go out in those bytes (comandos.cpp decodes the rest). For such a user a
// BS erases a whole character.
#include <sys/socket.h>

#include <cstring>

#include "gateway/cliente.h"
#include "gateway/mensagens.h"
#include "text/brancos.h"
#include "text/telnet.h"
#include "text/utf8.h"

namespace zandor {

using namespace telnet;

namespace {

constexpr int kInicioTexto = 3;                        // after the framed header
constexpr int kFimTexto = kInicioTexto + kMaxLinha;    // 8003: where the terminator goes
constexpr int kMaxQuadro = 1024;                       // header and payload

static_assert(kFimTexto < kTamanhoLinha);
static_assert(kMaxQuadro <= kFimTexto, "a whole framed record is always kept");
static_assert(kFimTexto < UINT16_MAX, "tamanho counts past a whole line");
static_assert(kMaxLinha == 8000, "msg::kLinhaLonga names the limit");

constexpr unsigned char kMarcaTempo[] = {IAC, WILL, kOpcaoMarcaTempo};

}  // namespace

bool TCliente::passoTelnet(const char*& p, const char* fim) {
  if (tamanho < kInicioTexto) tamanho = kInicioTexto;
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
        if (b == kOpcaoMarcaTempo) cEnviaDireto(kMarcaTempo, sizeof kMarcaTempo);
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
      if ((opcoes & kOpcaoUtf8) && tamanho > kInicioTexto && tamanho <= kFimTexto)
        tamanho = static_cast<uint16_t>(kInicioTexto + inicioUltimo(linha + kInicioTexto, tamanho - kInicioTexto));
      else if (tamanho > kInicioTexto && tamanho < UINT16_MAX)
        --tamanho;
    } else if (b == 0) {
      // dropped
    } else if (tamanho < kFimTexto) {
      linha[tamanho++] = static_cast<char>(b);
    } else if (tamanho < UINT16_MAX) {
      ++tamanho;  // past the line's limit: only counted
    }
  }
  return false;
}

bool TCliente::passoQuadros(const char*& p, const char* fim, bool& destruido) {
  if (estado != 0 && p < fim) {
    // The byte after the detection line's end (the LF of its CR LF).
    ++p;
    estado = 0;
  }
  while (tamanho < kInicioTexto && p < fim) linha[tamanho++] = *p++;
  if (p == fim) return false;

  const unsigned char* cabecalho = reinterpret_cast<const unsigned char*>(linha);
  const int total = (cabecalho[1] | (cabecalho[2] << 8)) + kInicioTexto;
  if (total > kMaxQuadro || cabecalho[0] != 1) {
    destruido = true;
    delete this;
    return false;
  }
  int quer = total - tamanho;
  if (quer > fim - p) quer = static_cast<int>(fim - p);
  std::memcpy(linha + tamanho, p, static_cast<size_t>(quer));
  p += quer;
  tamanho = static_cast<uint16_t>(tamanho + quer);
  return tamanho >= total;
}

void TCliente::cEvento(const char* dados, int32_t n) {
  if (dados == nullptr) {
    if (n == 0)
      delete this;  // closed or failed: leave silently
    else
      cBombeiaHistoria();  // drained: a history under way goes on
    return;
  }
  // Every complete line of the delivery is handled, in order, for as long as
  // the session lives: a client that sends several lines in one write loses
  // none of them.
  const char* p = dados;
  const char* const fim = dados + n;
  while (p < fim) {
    bool destruido = false;
    const bool completa = protocolo == kProtocoloQuadros ? passoQuadros(p, fim, destruido) : passoTelnet(p, fim);
    if (destruido || !completa) return;
    if (!completaLinha()) return;
  }
}

bool TCliente::completaLinha() {
  const bool longa = tamanho > kFimTexto;
  linha[longa ? kFimTexto : tamanho] = '\0';
  tamanho = 0;
  if (protocolo != kProtocoloDesconhecido) cArma(etapa == kEtapaNomeado ? kTicksNomeado : kTicksPedido);
  char* texto = linha + kInicioTexto;

  if (protocolo == kProtocoloDesconhecido) {
    // Both replies go out as telnet lines: the protocol is set after.
    if (texto[0] != '\0') {
      cEscreve(msg::kEntrandoOrvalho);
      protocolo = kProtocoloQuadros;
    } else {
      cEscreve(msg::kEntrandoTelnet);
      protocolo = kProtocoloTelnet;
    }
    etapa = kEtapaDetectado;
    cArma(kTicksAntesPedido);
    return true;
  }

  if (protocolo == kProtocoloTelnet) {
    texto = pulaBrancos(texto);
    if (etapa == kEtapaDetectado) {
      cPedeApelido();
      etapa = kEtapaPedido;
    }
    if (texto[0] == '\0') {
      // ENTER on an empty line holds the output until the next line.
      if (cModo() == kModoNormal) {
        cDescarrega();
        cMuda(kModoRetido, kNivelNormal);
        cEnviaDireto(msg::kTecle, sizeof msg::kTecle - 1);
        if (!(opcoes & kOpcaoC1)) cRepete();
      }
      return true;
    }
    if (cModo() == kModoRetido) {
      cMuda(kModoNormal, kNivelNormal);
      cLimpa();
      cBombeiaHistoria();
    }
  }
  return despacha(texto, longa);
}

bool TCliente::despacha(char* texto, bool longa) {
  texto = pulaBrancos(texto);
  if (texto[0] == '\0') return true;
  if (etapa == kEtapaDetectado) {
    cPedeApelido();
    etapa = kEtapaPedido;
  }
  // Nothing of a line past the limit is used, so nothing half of it is
  // stored on the MUD or said in the chat.
  if (longa) {
    cEscreve(msg::kLinhaLonga);
    return true;
  }
  if (!cInterpreta(texto)) {
    delete this;
    return false;
  }
  return true;
}

void TCliente::cExpira() {
  switch (etapa) {
    case kEtapaSaudado:
      cEnvia(msg::kTempoEsgotado, -1);
      delete this;  // the destructor sends what it can before closing
      return;
    case kEtapaDetectado:
      cPedeApelido();
      etapa = kEtapaPedido;
      return;
    case kEtapaPedido:
      cEscreve(msg::kDigiteApelido);
      cArma(kTicksPedido);
      return;
    default:
      cEscreve("");
      cArma(kTicksNomeado);
      cMuda(kModoNormal, kNivelNormal);
      cBombeiaHistoria();
      return;
  }
}

}  // namespace zandor
