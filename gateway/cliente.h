// TCliente, one user of the gateway, and TEntrada, the listener that admits
// users. Here are the user record, the list of users, admission with its
// greeting, and the ways text reaches users: cEscreve (one user, encoded
// for that user's protocol, converted to UTF-8 for a user who asked for it)
// and escreveTodos (every user whose protocol is known) for what the gateway
// says; cEscreveMud for a line from the MUD. The session's input side,
// cEvento and cExpira, lives in sessao.cpp; the meaning of a typed line,
// cInterpreta, in comandos.cpp.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "framework/comunica.h"
#include "framework/escuta.h"
#include "framework/tempo.h"
#include "gateway/linhas.h"

namespace zandor {

inline constexpr int kTamanhoApelido = 17;   // 16 characters and a terminator
inline constexpr int kTamanhoLinha = 3 + kMaxLinha + 1;  // a framed header, the line, its terminator
inline constexpr int kCapacidadeSaida = kCapacidadeMensagem;  // one encoded text

// The user cap: kMaxUsuarios unless the configuration's "usuarios = N" sets
// another, from 1 to kTetoUsuarios. Users count in every stage, from the
// greeting on; one beyond the cap is told "-Zandor lotado" and closed.
inline constexpr int kMaxUsuarios = 62;     // the default cap
inline constexpr int kTetoUsuarios = 1000;  // the largest cap "usuarios" may set

// protocolo
inline constexpr int8_t kProtocoloDesconhecido = 0;
inline constexpr int8_t kProtocoloTelnet = 1;
inline constexpr int8_t kProtocoloQuadros = 2;

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
  bool cInterpreta(char* digitado);

  // A text the gateway composed, in Windows-1252.
  bool cEscreve(const char* texto);
  // A line from the MUD, in whatever charset the MUD speaks.
  bool cEscreveMud(const char* linhaMud);
  void cPedeApelido();

  // The last `linhas` lines of the history (historia.cpp), streamed as the
  // ring drains; with nothing kept, msg::kHistoricoVazio when `avisaVazio`,
  // otherwise nothing. A request while one is under way is ignored.
  void cMostraHistoria(int linhas, bool avisaVazio);
  // Sends what the ring takes of a history under way.
  void cBombeiaHistoria();
  bool cHistoriando() const { return historiaEtapa != kHistoriaParada; }

  TCliente* anterior = nullptr;
  TCliente* proximo = nullptr;
  char apelido[kTamanhoApelido] = {};
  int8_t protocolo = kProtocoloDesconhecido;
  uint8_t opcoes = 0;
  int8_t etapa = kEtapaSaudado;

 private:
  // The line being assembled; its layout is drawn in sessao.cpp.
  uint16_t tamanho = 0;
  char linha[kTamanhoLinha];
  // The input decoder's state, which means one of three things:
  //   0                    plain text
  //   kPulaUm..kAposDo     (telnet) inside a command or an ESC sequence:
  //                        bytes to skip, after IAC, inside SB ... SE,
  //                        after IAC DO (whose option may need an answer)
  //   CR or LF (13, 10)    (telnet) the line just ended with this byte: its
  //                        partner, should it come next, is skipped;
  //                        (framed) the detection line ended here, so one
  //                        byte (the LF of its CR LF) is still to be dropped
  uint8_t estado = 0;
  static constexpr uint8_t kPulaUm = 1, kPulaDois = 2, kAposIAC = 3, kSubnegociacao = 4, kAposDo = 5;

  // A history under way: the next line to send, the end of the lines asked
  // for, how many were announced, and the stage. Kept lines that arrive
  // meanwhile are reached by the same cursor after the footer.
  uint32_t historiaProxima = 0;
  uint32_t historiaFim = 0;
  int16_t historiaTotal = 0;
  int8_t historiaEtapa = kHistoriaParada;

  // Input decoding, one pass each: true when a line is complete, false when
  // the bytes ran out. `destruido` is set when the session destroyed itself
  // (a framed record it cannot take).
  bool passoTelnet(const char*& dados, const char* fim);
  bool passoQuadros(const char*& dados, const char* fim, bool& destruido);
  // What a complete line does; false when the session is gone.
  bool completaLinha();
  bool despacha(char* texto, bool longa);

  // A text in the bytes this user reads, encoded for the protocol and queued.
  bool enviaTexto(const char* texto);

  void escolheApelido(const char* texto);
  void comandoHistoria(const char* argumento);
  bool folgaHistoria();
  void comandoMud(char* argumento);
  void listaUsuarios();
  void mudaApelido(char* argumento);
  void permiteEndereco(const char* argumento);
  void textoOuConversa(char* texto, const char* digitado);
};

class TEntrada : public TEscuta {
 public:
  void cConecta(int aceito, const sockaddr_in* par) override;
};

extern TCliente* clientes;       // newest user first
extern int quantosUsuarios;      // on that list, in every stage
extern int limiteUsuarios;       // the cap in force, 1..kTetoUsuarios
extern uint32_t ipPermitido;     // network byte order
extern bool permiteRemoto;

void escreveTodos(const char* texto);

// True when the users have reached the cap: a new connection is refused.
bool casaCheia();

}  // namespace zandor
