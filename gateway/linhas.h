// The sizes every line of the gateway keeps, in both directions.
//
// A line keeps up to 8000 bytes, whether a user typed it or the MUD sent it
// (the longest line a common MUD server sends or takes). Nothing is cut: a
// longer MUD line reaches users as several lines of at most that many bytes,
// and a longer typed line is refused whole, with a word to its author.
//
// What the gateway composes for a connection (an encoded text for a user, a
// line with its CR LF for the MUD) is built in a buffer of kCapacidadeMensagem
// bytes, large enough for the longest line in its costliest form, UTF-8 from
// Windows-1252 (three bytes a character at most) with room for the words
// around it, and small enough to fit the ring behind a full share of ordinary
// output.
#pragma once

#include "framework/comunica.h"
#include "text/utf8.h"

namespace zandor {

inline constexpr int kMaxLinha = 8000;         // bytes a line keeps
inline constexpr int kFolgaTexto = 100;        // room for what the gateway says around a line
// The longest text the gateway composes: a chat line or a notice around a
// whole line (a nickname, an address), in Windows-1252.
inline constexpr int kMaxTexto = kMaxLinha + kFolgaTexto;
inline constexpr int kCapacidadeMensagem = kMaxBytesUtf8 * kMaxTexto + kFolgaTexto;

static_assert(kCapacidadeMensagem + kFilaComum < kCapacidadeAnel,
              "a composed message fits the ring behind a full share of ordinary output");

}  // namespace zandor
