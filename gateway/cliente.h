// TCliente, one user of the gateway, and TPortaria, the listener that admits
// users. Here are the user record, the list of users, admission with its
// greeting, and the ways the gateway's own texts reach users: cEscreve (one
// user, converted to UTF-8 for a user who asked for it, encoded by the
// user's codec) and escreveTodos (every user whose kind is known). A line
// from the MUD reaches users through entrega.h. The session's input side,
// cEvento and cExpira, lives in sessao.cpp; the meaning of a typed line,
// cInterpreta, in comandos.cpp; each kind's bytes, in codec/.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "framework/comunica.h"
#include "framework/escuta.h"
#include "framework/tempo.h"
#include "gateway/ausencia.h"
#include "gateway/codec/codec.h"
#include "gateway/estado.h"
#include "gateway/linhas.h"
#include "text/http.h"

namespace zandor {

inline constexpr int kTamanhoApelido = 17;   // 16 characters and a terminator
inline constexpr int kCapacidadeSaida = kCapacidadeMensagem;  // one encoded text

// protocolo
inline constexpr int8_t kProtocoloDesconhecido = 0;
inline constexpr int8_t kProtocoloTelnet = 1;
inline constexpr int8_t kProtocoloQuadros = 2;
inline constexpr int8_t kProtocoloWeb = 3;  // a browser, in WebSocket frames (codec/web.cpp)

// opcoes bits
inline constexpr uint8_t kOpcaoSemFiltro = 1;  // "/c2": colours passed on
inline constexpr uint8_t kOpcaoC1 = 2;         // "/c1": no rewind (telnet), 240 columns (framed)
inline constexpr uint8_t kOpcaoUtf8 = 4;       // "/c3": a telnet user who reads and types UTF-8

// etapa
inline constexpr int8_t kEtapaSaudado = 0;
inline constexpr int8_t kEtapaDetectado = 1;
inline constexpr int8_t kEtapaPedido = 2;
inline constexpr int8_t kEtapaNomeado = 3;

// The history shown on request (20 lines unless told), at most, and to a
// browser user on entering.
inline constexpr int kHistoriaPadrao = 20;
inline constexpr int kHistoriaMaxima = 1000;
inline constexpr int kHistoriaEntrada = 50;

// historiaEtapa
inline constexpr int8_t kHistoriaParada = 0;
inline constexpr int8_t kHistoriaCabecalho = 1;  // msg::kHistorico due
inline constexpr int8_t kHistoriaLinhas = 2;     // the lines asked for
inline constexpr int8_t kHistoriaRodape = 3;     // msg::kFimHistorico due
inline constexpr int8_t kHistoriaAlcance = 4;    // lines kept since, up to the newest

// Idle timers, in ticks of 200 ms.
inline constexpr int kTicksPrimeiraLinha = 50;   // 10 s
inline constexpr int kTicksAntesPedido = 10;     // 2 s
inline constexpr int kTicksPedido = 300;         // 1 min
inline constexpr int kTicksNomeado = 1500;       // 5 min

class TCliente : public TComunica, public TTempo {
 public:
  TCliente();
  ~TCliente() override;

  void cEvento(const char* dados, int32_t n) override;
  void cExpira() override;

  // One typed line, as typed: false when the user is leaving.
  [[nodiscard]] bool cInterpreta(char* digitado);

  // A text the gateway composed, in Windows-1252.
  bool cEscreve(const char* texto);
  void cPedeApelido();

  // This reader's codec (codec/codec.h), by the kind `protocolo` names.
  const TCodec& codec() const;
  // The line in `montagem` has ended: what it does. False when the session
  // is gone. Called by the codecs' decoders.
  [[nodiscard]] bool completaLinha();

  // A web user: the frame state, made before the upgrade's answer (false
  // when it cannot be), and the start that asks for the nickname.
  bool cIniciaWeb();
  void cComecaWeb();
  // Queues a close frame with `codigo`, once; nothing for other users.
  void cFechaWeb(uint16_t codigo);
  // A fresh frame state for a new link of the same web user.
  bool cRenovaWeb();

  // Every byte for this user's reader goes through here: queued in the
  // ring, or kept while the user is away (retoma.cpp). False when refused.
  bool cManda(const void* bytes, int32_t n);
  // Away: a web user bound to a resume id whose link ended without /sair.
  bool cAusente() const { return retoma != nullptr && retoma->ausente; }
  // The link ended: the user goes away (true), or it is not bound (false:
  // the caller ends it). False too when the store cannot be had.
  [[nodiscard]] bool cAusenta();
  // Binds a new web user to the id its page sent (when it has a seat or is
  // loopback); false when memory is short (the user is merely unbound).
  bool cVincula(TTrecho id);
  // The user bound to `id` admitted the same way (same seat, or both
  // loopback), or null.
  static TCliente* procuraRetoma(TTrecho id, uint32_t assento, bool local);
  // This user takes the link of `http` over (its socket and TLS session),
  // answers the upgrade with `resposta`, then sends what was kept. False
  // when memory is short: the link is closed and the user stays away.
  [[nodiscard]] bool cRetoma(TComunica& http, const char* resposta, int n);

  // The last `linhas` lines of the history (reprise.cpp), streamed as the
  // ring drains; with nothing kept, msg::kHistoricoVazio when `avisaVazio`,
  // otherwise nothing. A request while one is under way is ignored.
  void cMostraHistoria(int linhas, bool avisaVazio);
  // Sends what the ring takes of a history under way.
  void cBombeiaHistoria();
  bool cHistoriando() const { return historiaEtapa != kHistoriaParada; }

  // A line of this user's for the MUD: a watcher's goes nowhere, and the
  // watcher is told so.
  void cEnviaAoMud(const char* linha);

  TCliente* anterior = nullptr;
  TCliente* proximo = nullptr;
  char apelido[kTamanhoApelido] = {};
  int8_t protocolo = kProtocoloDesconhecido;
  uint8_t opcoes = 0;
  int8_t etapa = kEtapaSaudado;
  // Only watches: reads and chats, never reaches the MUD. Set at a web
  // upgrade by an invite or a seat to watch; never for anyone else.
  bool assiste = false;
  struct TEstadoWeb* web = nullptr;  // a web user's frames; null for the rest
  TRetoma* retoma = nullptr;         // a web user bound to a resume id; null for the rest
  uint32_t assento = 0;              // the seat that let it in (assentos.h), 0 for none
  bool admitidoLocal = false;        // let in as loopback
  TMontagem montagem;                // the line being assembled

 private:
  // A history under way: the next line to send, the end of the lines asked
  // for, how many were announced, and the stage. Kept lines that arrive
  // meanwhile are reached by the same cursor after the footer.
  uint32_t historiaProxima = 0;
  uint32_t historiaFim = 0;
  int16_t historiaTotal = 0;
  int8_t historiaEtapa = kHistoriaParada;

  [[nodiscard]] bool trataLinha(char* texto, bool longa);
  [[nodiscard]] bool despacha(char* texto, bool longa);
  void liberaWeb(bool comFecho = true);  // without: the link is gone, no close frame

  void escolheApelido(const char* texto);
  void comandoHistoria(const char* argumento);
  bool folgaHistoria();
  void escoaGuardado();
  void avisaPerdidas();
  void comandoMud(char* argumento);
  void listaUsuarios();
  void mudaApelido(char* argumento);
  void permiteEndereco(const char* argumento);
  void convida(bool paraAssistir);
  void textoOuConversa(char* texto, const char* digitado);
  [[nodiscard]] bool revoga(const char* argumento);

 public:
  void cDespeRevogado(bool destroi = true);
};

class TPortaria : public TEscuta {
 public:
  void cConecta(int aceito, const sockaddr_in* par) override;
};

void escreveTodos(const char* texto);

// Whether an away user goes by `apelido` (compared as nicknames are): it
// keeps it while away, so nobody else may take it.
bool apelidoAusente(const char* apelido);

// What the users say of seat `id` (assentos.h's presencaAssento).
int presencaNoAssento(uint32_t id);

// True when the users have reached the cap: a new connection is refused.
bool casaCheia();

}  // namespace zandor
