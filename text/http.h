// One HTTP/1.1 request head, read from the bytes a connection has received.
//
// The browser listener answers one request per connection (or upgrades it to
// a WebSocket), so all it needs is the head: the request line and the few
// fields the upgrade and the admission look at. The parser keeps no state
// between calls: the caller hands it everything received so far, and it
// finds out whether the head is there yet. Nothing is copied and nothing is
// allocated; what it finds are views into the caller's bytes, valid while
// those bytes stay where they are.
//
//   GET /ws?convite=abc HTTP/1.1 CRLF   request line: method SP target SP version
//   Host: 127.0.0.1:4080 CRLF           fields: name ":" OWS value OWS
//   Upgrade: websocket CRLF
//   ...
//   CRLF                                the blank line ends the head
//   <anything: a WebSocket frame>       not the parser's; `tamanho` stops before it
//
// What it accepts, and why it is strict where it is:
// - Lines end in CR LF or a bare LF; a CR anywhere else is malformed.
// - The request line has exactly one space between its three parts. The
//   target is origin-form only (starts with '/'): the listener is nobody's
//   proxy. It is visible ASCII, without '#'.
// - The version is HTTP/1.0 or HTTP/1.1 (any later 1.x reads as 1.1, as
//   RFC 9110 asks); HTTP/1.1 needs a Host field.
// - A field line that starts with a blank (the old line folding) is
//   malformed, as is a blank before the ':', an empty or non-token name, or a
//   control byte in a value (a tab is a blank). Bytes 0x80..0xFF in a value
//   are kept: old clients send them, and nothing here reads them.
// - A second Host, Upgrade, Connection, Sec-WebSocket-Key,
//   Sec-WebSocket-Version, Origin, Cookie or Content-Length is malformed:
//   the answer must never hang on which copy a reader picked.
// - Content-Length is digits only; a value past kMaxCorpoHttp reads as -1
//   (the caller answers 413 without reading it). Transfer-Encoding is
//   malformed: no body here is ever sent in chunks by a page. The body is
//   the caller's: `tamanho` stops before it.
// - A blank line before the request line is malformed too: browsers never
//   send one.
//
// Cost: finding the blank line is a memchr over the bytes so far (at most
// kMaxCabecalhoHttp), so a client trickling its head a byte at a time costs
// a few microseconds a byte. The request line is checked as it arrives, so
// something that does not speak HTTP is refused at its first bytes; the
// fields are checked once the head is whole.
#pragma once

namespace zandor {

inline constexpr int kMaxCabecalhoHttp = 8192;  // a longer head is refused (431)

// A stretch of the caller's bytes. `p` is null when the thing is absent;
// present but empty is a non-null `p` with `n` 0.
struct TTrecho {
  const char* p = nullptr;
  int n = 0;
  bool existe() const { return p != nullptr; }
};

enum MetodoHttp : int { kMetodoOutro = 0, kMetodoGet, kMetodoHead, kMetodoPost };

// A request body is read only for POST, and only this long at most (413).
inline constexpr int kMaxCorpoHttp = 1024;

enum ResultadoHttp : int {
  kHttpIncompleto = 0,  // no blank line yet, fewer than kMaxCabecalhoHttp bytes
  kHttpCompleto,        // a valid head of `tamanho` bytes
  kHttpGrande,          // kMaxCabecalhoHttp bytes and still no blank line: 431
  kHttpMalformado,      // not a request head this parser accepts: 400
};

struct TPedidoHttp {
  int tamanho = 0;            // bytes of the head, its blank line included
  int metodo = kMetodoOutro;  // any other valid method: the caller answers 405
  int versao = 0;             // 10 or 11
  TTrecho caminho;            // from the '/' up to the '?' or the end
  TTrecho consulta;           // after the '?', absent without one
  TTrecho host, upgrade, connection, chaveWs, versaoWs, origem, cookie, comprimento;  // values, trimmed
  int tamanhoCorpo = 0;       // Content-Length: 0 when absent; -1 when over kMaxCorpoHttp
  bool encaminhado = false;   // any Forwarded, X-Forwarded-For or X-Real-IP field
};

// Reads the head at the start of bytes[0..n). Only the first
// kMaxCabecalhoHttp bytes are looked at; bytes after the head are left
// alone. `pedido` (may be null) is filled only when the result is
// kHttpCompleto.
int analisaPedidoHttp(const char* bytes, int n, TPedidoHttp* pedido);

// Whether the stretch holds exactly `texto` (bytes, case counts): the path
// against "/ws", Sec-WebSocket-Version against "13". False when absent.
bool trechoIgual(TTrecho t, const char* texto);

// Whether a comma-separated field value holds `token` as one of its
// elements, ignoring case and the blanks around each element:
// "keep-alive, Upgrade" holds "upgrade", "Upgrades" does not.
bool temToken(TTrecho valor, const char* token);

// The value of the first parameter called exactly `nome` in a query string
// ("a=1&convite=XYZ"): its bytes up to the next '&', not percent-decoded; a
// parameter without '=' has an empty value. Absent (null `p`) when none is
// so called: "xconvite=1" names no "convite".
TTrecho parametroConsulta(TTrecho consulta, const char* nome);

}  // namespace zandor
