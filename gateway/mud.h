// TMud, the gateway's one link to a MUD, shared by every user.
//
// It answers the MUD's telnet negotiation at once, assembles its bytes into
// lines with colour escape sequences kept whole, and delivers each line to
// every user: unchanged to those who turned filtering off, stripped of
// escapes and control bytes to the rest. A line left unfinished (a prompt)
// is delivered after 3 quiet ticks.
#pragma once

#include <cstdint>

#include "framework/comunica.h"
#include "framework/tempo.h"
#include "framework/tls.h"
#include "gateway/linhas.h"

namespace zandor {

class TCliente;

inline constexpr int kTamanhoTextoMud = 2047;  // only the first 303 bytes are written
inline constexpr int kMaxLinhaMud = kMaxLinha; // a delivered line keeps this many bytes
inline constexpr int kTamanhoComando = 30;
inline constexpr int kTamanhoEscape = 29;
inline constexpr int kTicksPrompt = 3;
inline constexpr int kTamanhoLinhaMud = kCapacidadeMensagem;  // a line for the MUD with its CR LF

class TMud : public TComunica, public TTempo {
 public:
  void cEvento(const char* dados, int32_t n) override;
  void cExpira() override;

  // Queues the text and CR LF; a line that does not fit the ring is lost.
  void cEnviaLinha(const char* linhaUsuario);
  // Delivers the pending line to every user whose protocol is known.
  void cEntrega();

 private:
  void byteTelnet(unsigned char b);
  void byteTexto(unsigned char b);

  uint16_t contagem = 0;  // bytes taken since the last delivery, stored or not
  char texto[kTamanhoTextoMud];
  uint8_t estado = 0;     // 0 text, 2 inside an escape, 10/13 after LF/CR
  unsigned char comando[kTamanhoComando];  // the telnet command being read, from its IAC
  int32_t posComando = 0;                  // its length; 0 outside a command
  char escape[kTamanhoEscape];             // an escape sequence's bytes after ESC
  uint16_t posEscape = 0;
};

extern TMud* mud;

// Tells everyone "/Conectando em ..." and starts an attempt (tentativa.h),
// which resolves, connects and, as `modoTls` asks (tls.h), shakes hands
// without stopping the loop, and replaces the old link only on success; a
// waiting attempt is cancelled first. Every outcome is told to everyone.
void conectaMud(const char* endereco, int porta, int modoTls = kSemTls);
void desconectaMud(TCliente* usuario);
// Makes a freshly connected socket the link, over `sessao` when it is not
// null, destroying the old one without a word. False, with the session
// ended and the socket closed, when the object cannot be made.
bool poeMud(int soquete, TSessaoTls* sessao = nullptr);

// Every line and byte users send the MUD passes here: while an attempt waits
// it waits with it, otherwise it goes to the link if there is one, and
// nowhere if not. A line goes with CR LF after it.
void enviaAoMud(const char* linha);
void enviaBytesAoMud(const void* bytes, int32_t n);

}  // namespace zandor
