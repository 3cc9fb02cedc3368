// A user's session: the four stages with their idle timers, protocol
// detection, and what a complete line does. The bytes of each kind of reader
// are its codec's (codec/); the session only learns that a line ended.
#include <cstring>

#include "framework/reserva.h"
#include "gateway/cliente.h"
#include "gateway/mensagens.h"
#include "gateway/mud.h"
#include "text/brancos.h"
#include "text/formata.h"

namespace zandor {

static_assert(kMaxLinha == 8000, "msg::kLinhaLonga names the limit");
// What a user costs at rest: the record with its ring and its line inside.
static_assert(sizeof(TCliente) <= 4096 - 64, "an idle user fits 4 KiB");

namespace {

TReserva<TMontagem::kTamanho> linhasLongas;  // large line buffers not in use

}  // namespace

bool TMontagem::cresce() {
  char* grande = linhasLongas.toma();
  if (grande == nullptr) return false;
  std::memcpy(grande, linha, static_cast<size_t>(tamanho));
  linha = grande;
  return true;
}

void TMontagem::solta() {
  if (linha == curta) return;
  linhasLongas.devolve(linha);
  linha = curta;
}

void TCliente::cEvento(const char* dados, int32_t n) {
  if (dados == nullptr) {
    if (n == 0) {
      if (!cAusenta()) delete this;  // closed or failed: away, or gone silently
    } else {
      escoaGuardado();     // drained: what was kept while away goes on,
      cBombeiaHistoria();  // then a history under way
    }
    return;
  }
  static_cast<void>(codec().recebe(*this, dados, n));  // nothing follows either way
}

bool TCliente::completaLinha() {
  const bool longa = montagem.longa();
  if (!trataLinha(montagem.fecha(), longa)) return false;
  montagem.solta();
  return true;
}

bool TCliente::trataLinha(char* texto, bool longa) {
  if (!codec().ouve()) {
    // Detection: a first line with text is the framed client's, an empty
    // one a terminal's. Both replies go out as telnet lines: the kind is set
    // after.
    const bool quadros = texto[0] != '\0';
    cEscreve(quadros ? msg::kEntrandoOrvalho : msg::kEntrandoTelnet);
    protocolo = quadros ? kProtocoloQuadros : kProtocoloTelnet;
    etapa = kEtapaDetectado;
    cArma(kTicksAntesPedido);
    return true;
  }
  cArma(etapa == kEtapaNomeado ? kTicksNomeado : kTicksPedido);

  texto = pulaBrancos(texto);
  if (texto[0] == '\0') {
    codec().vazia(*this, longa);
    return true;
  }
  // Any other line ends a hold.
  if (cModo() == kModoRetido) {
    cMuda(kModoNormal, kNivelNormal);
    cLimpa();
    cBombeiaHistoria();
  }
  return despacha(texto, longa);
}

bool TCliente::despacha(char* texto, bool longa) {
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
  if (cAusente()) {
    // Ten minutes away: gone, as if it had left.
    if (etapa == kEtapaNomeado) {
      char aviso[kTamanhoApelido + 16];
      formata(aviso, sizeof aviso, msg::kSaiu, apelido);
      delete this;
      escreveTodos(aviso);
      return;
    }
    delete this;
    return;
  }
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
