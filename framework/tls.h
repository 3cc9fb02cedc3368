// TLS over a connected TCP socket, through OpenSSL: the client handshake,
// run where waiting is allowed (a helper thread), the server side of a
// listener (its certificate pair, renewed when the files change), and the
// non-blocking reads, writes and close that a connection object does in the
// loop.
//
//   helper thread                                loop
//   tlsConecta: context, SNI, names to check,    tlsLe / tlsEscreve: one call
//   handshake polled with a deadline and a       each, "would block" as EAGAIN
//   watched descriptor whose hang-up aborts  ==> tlsEncerra: close_notify
//                 (session handed over)          once, then free
//
// OpenSSL's socket BIO writes with write(2), not send(2) with MSG_NOSIGNAL
// as the rest of the program does: the process must ignore SIGPIPE, or a
// link the peer reset would end it. Start-up sees to that (sinais.h).
//
// A session belongs to one thread at a time; the hand-over (a record on a
// socket pair) orders the two. Each session carries its own context, made on
// the helper thread: the trusted certificates are read there, never in the
// loop, and nothing global outlives a session.
//
// Write states: a write that would block has taken its bytes into a record
// it still holds; the retry must offer the same bytes again, at least as
// many. The ring does: its first pending byte stays put until the session
// reports it sent, and the pending piece only grows. Partial writes are on,
// so each call reports what went, record by record; a moved buffer is
// accepted as well, as a safety margin. Renegotiation is refused, so a
// write never waits for a read; what a read needs to write (a key update's
// answer) goes with the next call.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ssl_st;  // OpenSSL's SSL

namespace zandor {

// Called once at start-up, before anything else of OpenSSL: OpenSSL without
// its own clean-up at exit. That clean-up frees every thread's OpenSSL
// state; a helper thread still inside a handshake when the process ends
// (a "/terminar" during a connect) would then free its own a second time as
// it leaves. The system takes the memory back at exit anyway.
void tlsPreparaProcesso();

using TSessaoTls = ssl_st;

inline constexpr int kTamanhoRazaoTls = 160;  // a failure's text, NUL included

inline constexpr char kTlsEncerrado[] = "close_notify";

// How a connect uses TLS.
inline constexpr int kSemTls = 0;
inline constexpr int kTlsVerificado = 1;  // the certificate must name `nome` and chain to a trusted root
inline constexpr int kTlsInseguro = 2;    // encrypted, but nobody's identity is checked

// The client handshake on connected, non-blocking `soquete`: SNI with
// `nome` when it is no IP address, and, when `verifica`, the chain against
// OpenSSL's default paths (SSL_CERT_FILE, SSL_CERT_DIR) and the name, a DNS
// name or an IP address. Waits with poll until the handshake ends, until
// `fimMs` on relogioMonotonico, or until `vigia` hangs up (the loop gave the
// attempt up). The session, or null with `razao` filled: OpenSSL's reason,
// the verification error's text after "certificate verify failed", or the
// system's for a socket error; empty when `vigia` hung up; kTlsEncerrado
// when the peer ended the session (close_notify) before the handshake was
// done, the TLS form of a server that closes as soon as it accepts.
TSessaoTls* tlsConecta(int soquete, const char* nome, bool verifica, int vigia, uint32_t fimMs,
                       char (&razao)[kTamanhoRazaoTls]);

// Hands a session over to `soquete`, the same connection under another
// descriptor (one passed between threads): every later call uses it. With
// -1 (the connection is already gone) the session may only be ended, and
// ends without a word.
void tlsAdota(TSessaoTls* sessao, int soquete);

// One read into `buffer`: bytes, 0 when the peer ended the session or the
// connection, -1 with errno set, a would-block errno when there is nothing
// to read yet (ehBloqueio).
ssize_t tlsLe(TSessaoTls* sessao, char* buffer, int n);
// One write: bytes taken, or -1 with errno as above.
ssize_t tlsEscreve(TSessaoTls* sessao, const char* dados, int n);
// Bytes the session holds that no poll on the socket would announce.
bool tlsPendente(TSessaoTls* sessao);
// Sends close_notify now, once, keeping the session for the reads that
// follow (a server done writing that still drains what the client sends).
void tlsTerminaEscrita(TSessaoTls* sessao);
// Sends close_notify once, unless the session failed, and frees it. The
// socket stays open: its owner closes it.
void tlsEncerra(TSessaoTls* sessao);

// ---- the server side ---------------------------------------------------------
//
// One certificate pair serves every accepted connection. The server session
// needs no handshake of its own: it starts in accept state, and the loop's
// first tlsLe runs the handshake as far as the bytes received allow, "would
// block" in between, so it never waits and its time is the connection's own
// (whatever deadline the connection keeps covers it). A handshake that needs
// to write more than the socket takes waits for the client's next bytes; the
// server's first flight is a few KiB, so a fresh socket takes it whole.
//
// Renewal: tlsServidorRenova looks at the files' modification times (stat,
// at most once a second) and loads a changed pair for the connections that
// follow; the sessions already made keep the context they began with (each
// holds a reference). A pair that fails is reported once for those files'
// times, and the working pair stays.

inline constexpr int kTamanhoCaminhoTls = 256;  // a path, NUL included
inline constexpr int kTamanhoFalhaTls = kTamanhoCaminhoTls + kTamanhoRazaoTls;  // "FILE: reason"
inline constexpr uint32_t kMsEntreRenovacoes = 1000;

// Loads the pair at start-up: CERT a PEM chain, leaf first (an ACME client's
// fullchain.pem), KEY its PEM private key. False with "FILE: OpenSSL's
// reason" in `falha` when either is missing, unreadable or they do not match.
bool tlsServidorCarrega(const char* certificado, const char* chave, char (&falha)[kTamanhoFalhaTls]);

// What tlsServidorRenova did.
inline constexpr int kRenovacaoNenhuma = 0;
inline constexpr int kRenovacaoFeita = 1;
inline constexpr int kRenovacaoFalhou = -1;  // `falha` says why; reported once per change

// Called when a connection arrives, with the monotonic time in ms.
int tlsServidorRenova(uint32_t agoraMs, char (&falha)[kTamanhoFalhaTls]);

// A server session over accepted `soquete`, in accept state; null when
// OpenSSL cannot make one or no pair was ever loaded.
TSessaoTls* tlsServidorSessao(int soquete);

// Frees the server context (tests; the process otherwise keeps it).
void tlsServidorEsquece();

}  // namespace zandor
