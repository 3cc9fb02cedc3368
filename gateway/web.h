// The browser's way in: the web listener of the
// `web = ADDRESS PORT [URL] [tls CERT KEY]` line, the short HTTP exchange
// that serves the page built into the program, and the upgrade that turns a
// request for /ws into a web user (a TCliente whose protocol is
// kProtocoloWeb; its frames are codec/web.cpp's). Who may upgrade is
// web/admissao.h's to say.
//
// A connection on the web listener is a TConexaoHttp until its request head
// is read: at most kMaxPedidos of them at once, and at most
// kMaxCabecasPorEndereco from one address, each given 10 s for its head, so
// that a crowd of idle half-open requests can neither starve the users nor
// fill the loop's socket sets, and one address cannot take every place. The
// page's bytes are sent in pieces as the ring drains; once they are out the
// sending side is shut, and the connection closes when the client closes its
// own (2 s at most).
//
// With `tls` on the line the listener speaks only TLS: each connection gets
// a server session at once (framework/tls.h), its handshake runs inside the
// first reads, within the same 10 s, and the session passes to the web user
// on upgrade.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "framework/comunica.h"
#include "framework/escuta.h"
#include "framework/tempo.h"

namespace zandor {

class TCliente;

// WebSocket opcodes and close codes (RFC 6455), as this gateway uses them.
inline constexpr uint8_t kOpcodeContinua = 0, kOpcodeTexto = 1, kOpcodeBinario = 2;
inline constexpr uint8_t kOpcodeFecha = 8, kOpcodePing = 9, kOpcodePong = 10;
inline constexpr uint16_t kFechoNormal = 1000, kFechoSaindo = 1001, kFechoProtocolo = 1002;
inline constexpr uint16_t kFechoTipo = 1003, kFechoDados = 1007, kFechoPolitica = 1008, kFechoGrande = 1009;
// The session went on over another link (a resume took it over): the page
// must not try to take it back.
inline constexpr uint16_t kFechoAssumido = 4001;

inline constexpr int kMaxMensagemWeb = 16 * 1024;  // a longer message is refused, 1009
inline constexpr int kTicksPulso = 150;            // 30 s: an idle web user is pinged...
inline constexpr int kPulsosSilencio = 4;          // ...and dropped at the 4th silent one: past 2 min

inline constexpr int kMaxCabecaHttp = 8192;   // a longer head is answered 431 (text/http.h)
inline constexpr int kMaxCorpoHttpWeb = 1024; // a longer body is answered 413 (text/http.h)
inline constexpr int kTicksCabeca = 50;       // 10 s for the whole head
inline constexpr int kTicksResposta = 50;     // 10 s without progress ends a response
inline constexpr int kTicksFechando = 10;     // 2 s for the client to close after the answer
inline constexpr int kMaxPedidos = 64;        // HTTP connections read at once
inline constexpr int kTamanhoUrlWeb = 256;
inline constexpr int kTamanhoEnderecoWeb = 16;  // dotted IPv4 and a terminator

// The web line as read at start-up; `ligado` only when there is one.
struct TConfigWeb {
  bool ligado = false;
  uint32_t endereco = 0;  // network byte order
  uint16_t porta = 0;
  char url[kTamanhoUrlWeb] = {};  // empty: links name the address reached
  bool tls = false;               // with the pair below
  char certificado[kTamanhoCaminhoTls] = {};
  char chave[kTamanhoCaminhoTls] = {};
};

extern TConfigWeb configWeb;

// Reads the value of a `web` line ("ADDRESS PORT [URL] [tls CERT KEY]",
// `tls` in either case) into `cfg`: false for anything else (a bad address,
// a port outside 1024..65535, a URL that is not http:// or https://, `tls`
// without both paths, a word more). Paths are words: no blanks inside.
bool leLinhaWeb(const char* valor, TConfigWeb* cfg);

// Loads configWeb's certificate pair, when it has one: false with
// "FILE: reason" in `falha`.
bool carregaTlsWeb(char (&falha)[kTamanhoFalhaTls]);

// Opens the web listener of configWeb: null on success, else the system's
// reason as the main listener reports it.
const char* abreWeb();

class TEscutaWeb : public TEscuta {
 public:
  void cConecta(int aceito, const sockaddr_in* par) override;
};

// One HTTP connection until its head is read and answered.
class TConexaoHttp : public TComunica, public TTempo {
 public:
  explicit TConexaoHttp(uint32_t par);
  ~TConexaoHttp() override;

  void cEvento(const char* dados, int32_t n) override;
  void cExpira() override;

  static int quantos;  // alive

 private:
  void trata(const struct TPedidoHttp& req, const char* sobra, int32_t nSobra);
  void entra(const struct TPedidoHttp& req, const char* corpoForm, int32_t n);
  void respondeRecusa(const struct TAdmissao& admissao);
  void responde(int codigo, const char* extras, const unsigned char* corpo, int32_t tamanhoCorpo, bool cabecaSo);
  void promove(const char* chave, const struct TAdmissao& admissao, struct TTrecho retoma, const char* sobra,
               int32_t nSobra);
  void alimenta();

  uint32_t peer;                 // network byte order
  int32_t lido = 0;              // head bytes kept
  bool respondendo = false;      // input is ignored from then on
  const unsigned char* corpo = nullptr;  // what is still to go out
  int32_t falta = 0;
  char cabeca[kMaxCabecaHttp + kMaxCorpoHttpWeb + 1];  // a form's body after the head
};

// A web user's frame state, made with its upgrade and gone with it.
struct TEstadoWeb;

// wslay's receive contexts, lent to web users only while a frame of theirs
// is half read (codec/web.cpp): how many exist, and how many of those are
// on the free list, lent to nobody.
struct TTramasContagem {
  int feitos;
  int livres;
};
TTramasContagem contagemTramas();

// The close code to answer a peer's close frame with, from its body
// corpo[0..n): the peer's own code echoed when an endpoint may send it, 1000
// for a close without one, 1002 for a code no endpoint may send (or a body
// of one byte), 1007 for a reason that is not UTF-8.
uint16_t respostaFecho(const unsigned char* corpo, int n);

// The Sec-WebSocket-Accept value of `chave` (28 characters and a terminator).
void aceiteWebSocket(const char* chave, char (&aceite)[29]);

}  // namespace zandor
