// Seats: what lets a browser that came once by invite come back, from any
// address, for thirty days after its last use, across restarts.
//
// A seat is made when an invite is exchanged for it; its secret goes to the
// browser (a cookie) and never stays here: the table keeps the secret's
// SHA-256, so neither the table nor its file lets anyone in. A lookup hashes
// what was presented and compares it with every live seat in constant time.
//
//   gAssentos[kMaxAssentos]
//   +----------------+---------+---------+---------+---------+----------+
//   | SHA-256 (32 B) | criado  | usado   | apelido | assiste | geracao  |
//   +----------------+---------+---------+---------+---------+----------+
//                     wall-clock seconds    last one, "" before any
//
// A seat is named to the sessions by a small id, its slot and the slot's
// generation (geracao << 8 | slot): when a seat is revoked, forgotten or
// evicted its slot's generation moves on, so an id held by a session stops
// naming it (assentoValido) and never names the next seat in that slot.
// 0 is no seat.
//
// Bounds: at most kMaxAssentos seats. One unused for kSegundosAssento is
// forgotten (seats in use never are). When a new seat finds the table full,
// the least recently used seat that nobody is using goes.
//
// The file kArquivoAssentos, in the working directory, holds one seat a line:
//
//   <64 hex digits of the hash> <criado> <usado> <0|1 assiste>[ <apelido>]
//
// It is written whole, through a temporary file, fsync and rename, with
// mode 0600, so a crash leaves the old file or the new one, never half of
// one. A change to a seat (made, named, revoked, forgotten) writes it at
// once; a use only moves a time, so uses are gathered and written at most
// once a minute by a timer on the wheel. Each write costs an fsync of a file
// of at most 256 short lines, and of the directory, on the loop's thread:
// a few milliseconds on a local disk, paid per invite, nickname, revocation
// and minute of use, never per message.
#pragma once

#include <cstdint>
#include <cstdio>

#include "gateway/convite.h"

namespace zandor {

inline constexpr int kMaxAssentos = 256;
inline constexpr int kBytesSegredo = 24;                          // 192 random bits
inline constexpr int kCaracteresSegredo = kBytesSegredo / 3 * 4;  // base64url: 32 characters, no padding
inline constexpr int kTamanhoSegredo = kCaracteresSegredo + 1;    // and a terminator
inline constexpr int kBytesHashAssento = 32;                      // SHA-256
inline constexpr int64_t kSegundosAssento = 30 * 24 * 60 * 60;    // forgotten after this long unused
inline constexpr int kTicksGravaUso = 300;                        // 1 min: uses reach the file this often
inline constexpr int kTamanhoApelidoAssento = 17;                 // a nickname: 16 characters and a terminator
inline constexpr char kArquivoAssentos[] = "assentos";
inline constexpr char kCookieAssento[] = "zandor_assento";
// The Set-Cookie field that hands a secret to the browser, CR LF included.
inline constexpr int kTamanhoCampoCookie = 128;

static_assert(kBytesSegredo % 3 == 0, "base64url of whole groups needs no padding");
static_assert(kBytesSegredo * 8 >= 128 && kCaracteresSegredo >= 22, "at least 128 bits, 22 characters");
static_assert(kBytesSegredo <= kMaxBytesSorteio && (8 * kBytesSegredo + 5) / 6 == kCaracteresSegredo,
              "sorteiaSegredo writes the whole secret");
static_assert(kMaxAssentos <= 256, "a seat's slot fits the id's low byte");

// What the sessions say of a seat, for the listing and so that a seat in
// use is never evicted nor forgotten.
enum PresencaAssento : int {
  kAssentoLivre = 0,   // nobody on it
  kAssentoConectado,   // a user on it, linked
  kAssentoAusente,     // a user on it, away
};
using FontePresenca = int (*)(uint32_t id);
extern FontePresenca presencaAssento;  // by default every seat is free

// A new seat; its secret is written into `segredo` with a terminator. The
// id, or 0 (and `segredo` empty) when the random source fails.
uint32_t criaAssento(bool assiste, char (&segredo)[kTamanhoSegredo]);

// The seat whose secret is segredo[0..n), its last use refreshed; 0 when
// none is (any length but kCaracteresSegredo fails at once).
uint32_t usaAssento(const char* segredo, int n);

// The Set-Cookie field for `segredo`, lasting as long as an unused seat,
// sent only to this gateway's pages (and only over TLS when `seguro`), out
// of scripts' reach; into destino[kTamanhoCampoCookie].
void campoCookieAssento(char (&destino)[kTamanhoCampoCookie], const char* segredo, bool seguro);

bool assentoValido(uint32_t id);
bool assentoAssiste(uint32_t id);  // false for no seat
const char* apelidoAssento(uint32_t id);  // "" before one, and for no seat

// The nickname the seat's user now goes by.
void nomeiaAssento(uint32_t id, const char* apelido);
// The seat's user was seen now (it leaves, goes away or comes back).
void renovaAssento(uint32_t id);

// Revokes every seat whose last nickname is `apelido`, compared as
// nicknames are (comparaTexto); how many went. Their ids stop being valid:
// the sessions on them are for the caller to end.
int revogaAssentos(const char* apelido);

// Forgets the seats unused for kSegundosAssento; every other call does this
// too, so it is only for a caller that wants the file trimmed.
void expiraAssentos();

int quantosAssentos();

// "/Assentos: N" and a line per seat, most recently used first, or
// "/Nenhum assento"; each text goes to escreve(contexto, text).
using EscreveAssento = bool (*)(void* contexto, const char* texto);
void listaAssentos(EscreveAssento escreve, void* contexto);

// Loads the file at start-up, replacing the table; a damaged line is
// skipped and reported to `log` (may be null) and standard error. An older
// file of another mode is set to 0600. How many seats were loaded; -1 when
// the file exists and cannot be read.
int carregaAssentos(std::FILE* log);

// Writes the file now; false when it could not be (it is tried again a
// minute later).
bool gravaAssentos();
// Writes the uses still waiting for the timer, if any: for the gateway's end.
void descarregaAssentos();

// Forgets every seat and any write waiting, without touching the file.
void esqueceAssentos();

}  // namespace zandor
