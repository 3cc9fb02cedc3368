// A web user's link that ends without /sair, and the link that takes it up
// again: the user stays, away, its output kept (ausencia.h), until the same
// page comes back with the same resume id and the same admission, or ten
// minutes pass.
//
// cManda is the one door of every byte to a user: the gateway's texts, the
// MUD's lines, the raw prompt, the history pump and the web frames all go
// through it, so "away" is one branch here and not one in each of them.
#include <cstring>
#include <new>

#include "gateway/cliente.h"
#include "gateway/mensagens.h"
#include "gateway/web.h"
#include "gateway/web/assentos.h"
#include "text/dobra.h"
#include "text/formata.h"
#include "text/formulario.h"
#include "text/utf8.h"

namespace zandor {

namespace {

constexpr int kTamanhoAviso = 100;

}  // namespace

bool TCliente::cManda(const void* bytes, int32_t n) {
  if (retoma == nullptr || (!retoma->ausente && !retoma->escoando)) return cEnvia(bytes, n);
  if (n < 0) n = static_cast<int32_t>(std::strlen(static_cast<const char*>(bytes)));
  retoma->guardado.cGuarda(static_cast<const char*>(bytes), n);
  if (retoma->escoando) escoaGuardado();
  return true;
}

bool TCliente::cVincula(TTrecho id) {
  if (!retomaValida(id) || (assento == 0 && !admitidoLocal)) return true;
  retoma = new (std::nothrow) TRetoma;
  if (retoma == nullptr) return false;
  std::memcpy(retoma->id, id.p, static_cast<size_t>(id.n));
  retoma->id[id.n] = '\0';
  return true;
}

TCliente* TCliente::procuraRetoma(TTrecho id, uint32_t assento, bool local) {
  if (!retomaValida(id) || (assento == 0 && !local)) return nullptr;
  for (TCliente* c = clientes; c != nullptr; c = c->proximo) {
    if (c->retoma == nullptr || c->assento != assento || c->admitidoLocal != local) continue;
    if (static_cast<int>(std::strlen(c->retoma->id)) == id.n && std::memcmp(c->retoma->id, id.p, id.n) == 0) return c;
  }
  return nullptr;
}

bool TCliente::cAusenta() {
  if (retoma == nullptr || retoma->ausente) return false;
  if (!retoma->guardado.cComeca()) return false;
  // What the ring still held may or may not have reached the page: it goes.
  cFecha(false);
  liberaWeb(false);  // no close frame for a link that is gone
  retoma->ausente = true;
  retoma->escoando = false;
  if (assento != 0) renovaAssento(assento);
  cArma(kTicksAusencia);
  // A history under way goes on into the store.
  cBombeiaHistoria();
  return true;
}

bool TCliente::cRetoma(TComunica& http, const char* resposta, int n) {
  if (retoma->ausente) {
    cArma(0);
  } else {
    // A link still open (half dead, or another tab with this id): told
    // why, and dropped.
    cFechaWeb(kFechoAssumido);
    cFecha(true);
    retoma->guardado.cComeca();
  }
  liberaWeb();
  // Half a line typed on the old link is no part of the new one.
  static_cast<void>(montagem.fecha());
  montagem.solta();
  adota(http.cede());
  if (!cRenovaWeb()) {
    // No frame state to be had: the new link goes, the user stays away.
    cFecha(false);
    retoma->ausente = true;
    cArma(kTicksAusencia);
    return false;
  }
  retoma->ausente = false;
  cEnvia(resposta, n);
  avisaPerdidas();
  retoma->escoando = true;
  if (assento != 0) renovaAssento(assento);
  cArma(etapa == kEtapaNomeado ? kTicksNomeado : kTicksPedido);
  escoaGuardado();
  return true;
}

// The lost count, ahead of everything kept.
void TCliente::avisaPerdidas() {
  char aviso[kTamanhoAviso];
  if (!retoma->guardado.cAvisoPerdidas(aviso, sizeof aviso)) return;
  char utf8[3 * kTamanhoAviso];
  codificaUtf8(utf8, aviso, sizeof utf8);
  char saida[kCapacidadeCodificada];
  cEnvia(saida, codec().codifica(saida, utf8, sizeof saida, opcoes));
}

// Sends what the ring takes of the kept output; once it is all out, the
// store goes and output flows as before, a history under way included.
void TCliente::escoaGuardado() {
  if (retoma == nullptr || !retoma->escoando) return;
  retoma->guardado.cEscoa([this](const char* p, int32_t n) { return cEnvia(p, n); });
  if (!retoma->guardado.cVazia()) return;
  retoma->escoando = false;
  avisaPerdidas();  // lost while draining to a slow link
  retoma->guardado.cTermina();
  cBombeiaHistoria();
}

bool apelidoAusente(const char* apelido) {
  for (const TCliente* c = clientes; c != nullptr; c = c->proximo)
    if (c->cAusente() && c->etapa == kEtapaNomeado && comparaTexto(c->apelido, apelido) == 0) return true;
  return false;
}

int presencaNoAssento(uint32_t id) {
  int presenca = kAssentoLivre;
  for (const TCliente* c = clientes; c != nullptr; c = c->proximo) {
    if (c->assento != id) continue;
    if (!c->cAusente()) return kAssentoConectado;
    presenca = kAssentoAusente;
  }
  return presenca;
}

}  // namespace zandor
