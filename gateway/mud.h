// TMud, the gateway's one link to a MUD, shared by every user.
//
// It answers the MUD's telnet negotiation at once, assembles its bytes into
// lines with colour escape sequences kept whole, and delivers each line to
// every user: unchanged to those who turned filtering off, stripped of
// escapes and control bytes to the rest. A line left unfinished (a prompt)
// is delivered after 3 quiet ticks. A line longer than kMaxLinha goes out as
// several lines of at most that many bytes, so nothing of it is lost. Every
// line the MUD ended is also kept in the history (historico.h), as
// assembled; a prompt is not. A user who is being shown the history gets
// kept lines through it instead, after what was asked for, and no prompts.
#pragma once

#include <cstdint>

#include "framework/comunica.h"
#include "framework/tempo.h"
#include "framework/tls.h"
#include "gateway/estado.h"
#include "gateway/linhas.h"

namespace zandor {

class TCliente;

inline constexpr int kTamanhoTextoMud = kMaxLinha + 1;  // a line and its terminator
inline constexpr int kTamanhoComando = 30;
inline constexpr int kTamanhoEscape = 29;
inline constexpr int kTicksPrompt = 3;
inline constexpr int kTamanhoLinhaMud = kMaxLinha + 3;  // a line for the MUD with its CR LF

class TMud : public TComunica, public TTempo {
 public:
  void cEvento(const char* dados, int32_t n) override;
  void cExpira() override;

  // Queues the text and CR LF; a line that does not fit the ring is lost.
  void cEnviaLinha(const char* linhaUsuario);
  // Delivers the pending line to every user whose protocol is known, keeping
  // it in the history when `guarda` (a line the MUD ended, or a piece of one).
  void cEntrega(bool guarda = true);

 private:
  void byteTelnet(unsigned char b);
  void byteTexto(unsigned char b);
  // Makes room for `n` more bytes: a line that has no room left for them is
  // delivered first, as a line of its own.
  void abreEspaco(int n);

  uint16_t contagem = 0;  // bytes of the line being assembled, at most kMaxLinha
  char texto[kTamanhoTextoMud];
  uint8_t estado = 0;     // 0 text, 2 inside an escape, 10/13 after LF/CR
  unsigned char comando[kTamanhoComando];  // the telnet command being read, from its IAC
  int32_t posComando = 0;                  // its length; 0 outside a command
  char escape[kTamanhoEscape];             // an escape sequence's bytes after ESC
  uint16_t posEscape = 0;
};


// What a user who filters colours reads of a MUD line: bytes below 32 and
// each escape sequence up to its first letter removed, in place.
void filtra(char* linha);

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
