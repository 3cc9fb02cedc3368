// Invites: one-use tokens that let a browser in from anywhere.
//
// "/convite" hands its user a link with a fresh token; the browser listener
// admits the upgrade that names it, once, within 15 minutes. A token is 128
// bits from the kernel's random source, written as 22 characters of
// base64url (A-Za-z0-9_-, no padding), so it travels in a URL fragment and a
// query string as it is. Tokens are secrets: nothing here logs one, and a
// lookup compares in constant time, so timing tells nothing about how much
// of a guess was right.
//
// They live in a fixed table of kMaxConvites entries:
//
//   +---------------------------+-----------+---------+-------+
//   | 22 characters, no NUL     | criado ms | assiste | vivo  |  x kMaxConvites
//   +---------------------------+-----------+---------+-------+
//
// An invite to watch (`assiste`) lets its guest in to read and chat only;
// the kind goes with the invite to whoever uses it.
//
// An entry is freed when used, when found expired, or, with the table full,
// when a new invite needs its place: the oldest is forgotten, so a flood of
// "/convite" can only cost the invites made before it.
//
// Time comes from the clock seam (framework/relogio.h), whose 32-bit
// milliseconds wrap every 49.7 days; ages are unsigned differences, so the
// wrap itself is harmless. What it would cost is an invite left unused for
// that long passing for fresh again: every call first forgets the expired
// ones, and the table's own timer (a TTempo on the loop's wheel) does it
// when nobody calls. It is armed while an invite lives, for when the oldest
// expires, and idle otherwise; a late tick only makes it fire late, and it
// fires long before the clock could come round.
#pragma once

#include <cstdint>

namespace zandor {

inline constexpr int kBytesConvite = 16;    // 128 random bits
inline constexpr int kTamanhoConvite = 23;  // 22 characters and a terminator
inline constexpr int kMaxConvites = 64;
inline constexpr uint32_t kMsValidadeConvite = 15 * 60 * 1000;  // usable while younger than this

static_assert((kBytesConvite * 8 + 5) / 6 == kTamanhoConvite - 1, "base64url of the bytes, without padding");

// Fills `bytes` with n random bytes; false when it cannot. A seam: tests put
// a failing source here.
using FonteAcaso = bool (*)(unsigned char* bytes, int n);
bool acasoSistema(unsigned char* bytes, int n);  // getrandom(2), never blocking
extern FonteAcaso fonteAcaso;

// A secret: n random bytes (at most kMaxBytesSorteio) from fonteAcaso,
// written into `texto` as base64url without padding ((8n + 5) / 6
// characters of A-Za-z0-9_-) and a terminator; the bytes are wiped after
// use. False, and `texto` empty, when the source fails. Invites and seats
// are made of it.
inline constexpr int kMaxBytesSorteio = 48;
bool sorteiaSegredo(char* texto, int n);

// A new invite, to play or only to watch, kept in the table and written
// into `token` with its terminator. False (and `token` empty) when the
// random source fails.
bool criaConvite(char (&token)[kTamanhoConvite], bool assiste = false);

// Whether token[0..n) names an unused invite younger than 15 minutes; if so
// it is used up, and *assiste (may be null) says whether it was one to
// watch. Any other length fails at once (the length is no secret).
bool usaConvite(const char* token, int n, bool* assiste = nullptr);

// The same question without using it up: the admission asks it before it
// knows whether the house has room.
bool conviteValido(const char* token, int n);

// Forgets every invite, and idles the table's timer.
void esqueceConvites();

}  // namespace zandor
