// "/historia" and the history shown to a user: the request, and the pump
// that streams the reply across passes of the loop. The lines themselves
// are kept by THistorico (historico.h); this file only replays them.
//
// A reply may be far larger than the user's ring (1000 lines of up to 8000
// bytes), so it is never queued at once. The user keeps a cursor into the
// history and a stage (header, lines, footer, then the lines kept since);
// the pump sends while the ring takes them and stops at the first refusal.
// It runs again when the ring drains (the loop's drained event) and when a
// hold ends, never while the user holds. A refused line is retried, never
// skipped. Meanwhile the MUD's kept lines do not go to this user directly
// (entrega.cpp skips a user who is being shown the history): they are in the
// history too, so the cursor reaches them after the footer, in order, and
// the stream ends when it catches up with the newest line. Nobody else
// waits, and a user who leaves mid-stream leaves only these few fields.
//
// The cost of the ring rule: if the history evicts lines that a slow reader
// had not reached yet, that reader loses them; the cursor moves on to the
// oldest line still kept.
#include <cstring>

#include "gateway/cliente.h"
#include "gateway/entrega.h"
#include "gateway/historico.h"
#include "gateway/mensagens.h"
#include "gateway/mud.h"
#include "text/brancos.h"
#include "text/formata.h"

namespace zandor {

namespace {

constexpr int kTamanhoCabecalho = 40;  // msg::kHistorico with a count of four digits
// Room the pump leaves in the ordinary share of the ring for what the
// gateway says meanwhile (chat, notices), so that a stream to a reader whose
// socket is full does not make those texts the ones refused.
constexpr int kReservaTextos = 512;

static_assert(kHistoriaMaxima == kLinhasHistorico, "a request may ask for every kept line");
static_assert(kHistoriaMaxima <= INT16_MAX, "historiaTotal holds a count");
static_assert(kReservaTextos < kFilaComum, "an empty ring always leaves room for the pump");

// The count after "/historia": digits, with blanks after them, from 1 to
// kHistoriaMaxima. Leading zeros are fine; a sign or anything else is not.
bool leContagem(const char* p, int* n) {
  int valor = 0;
  int digitos = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digitos)
    if (valor <= kHistoriaMaxima) valor = valor * 10 + (*p - '0');  // stops growing once too big
  p = pulaBrancos(p);
  if (digitos == 0 || *p != '\0' || valor < 1 || valor > kHistoriaMaxima) return false;
  *n = valor;
  return true;
}

}  // namespace

void TCliente::comandoHistoria(const char* argumento) {
  int linhas = kHistoriaPadrao;
  if (argumento[0] != '\0' && !leContagem(argumento, &linhas)) {
    cEscreve(msg::kUsoHistoria);
    return;
  }
  if (cHistoriando()) {
    cEscreve(msg::kHistoriaEmAndamento);
    return;
  }
  cMostraHistoria(linhas, true);
}

void TCliente::cMostraHistoria(int linhas, bool avisaVazio) {
  if (cHistoriando() || linhas < 1) return;
  if (historico.linhas() == 0) {
    if (avisaVazio) cEscreve(msg::kHistoricoVazio);
    return;
  }
  if (linhas > historico.linhas()) linhas = historico.linhas();
  historiaFim = historico.fim();
  historiaProxima = historiaFim - static_cast<uint32_t>(linhas);
  historiaTotal = static_cast<int16_t>(linhas);
  historiaEtapa = kHistoriaCabecalho;
  cBombeiaHistoria();
}

// Whether the ring has room for one more step of the stream beside the
// reserve: one flush is tried when it has not. An away user's store takes
// everything (and keeps the newest); one still sending what it kept waits
// until that is out, so the order holds.
bool TCliente::folgaHistoria() {
  if (retoma != nullptr && (retoma->ausente || retoma->escoando)) return retoma->ausente;
  if (cLivre() >= kReservaTextos) return true;
  cDescarrega();
  return cLivre() >= kReservaTextos;
}

void TCliente::cBombeiaHistoria() {
  char linhaMud[kMaxLinha + 1];
  char saida[kCapacidadeCodificada];
  while (historiaEtapa != kHistoriaParada) {
    if (cModo() == kModoRetido || !folgaHistoria()) return;
    switch (historiaEtapa) {
      case kHistoriaCabecalho: {
        char texto[kTamanhoCabecalho];
        formata(texto, sizeof texto, msg::kHistorico, static_cast<int>(historiaTotal));
        if (!cEscreve(texto)) return;
        historiaEtapa = kHistoriaLinhas;
        break;
      }
      case kHistoriaRodape:
        if (!cEscreve(msg::kFimHistorico)) return;
        historiaEtapa = kHistoriaAlcance;
        break;
      default: {
        const uint32_t ate = historiaEtapa == kHistoriaLinhas ? historiaFim : historico.fim();
        if (historico.perdida(historiaProxima)) historiaProxima = historico.inicio();
        if (static_cast<int32_t>(historiaProxima - ate) >= 0) {
          historiaEtapa = historiaEtapa == kHistoriaLinhas ? kHistoriaRodape : kHistoriaParada;
          break;
        }
        // As the MUD's delivery would have written it to this user.
        historico.copia(historiaProxima, linhaMud);
        if (!cManda(saida, formaPara(*this, linhaMud, saida, sizeof saida))) return;
        ++historiaProxima;
        break;
      }
    }
  }
}

}  // namespace zandor
