// The sizes every line of the gateway is cut to, in both directions.
//
// A line keeps at most 300 characters, whether a user typed it or the MUD
// sent it; the assembly buffers store two bytes past that before the cut.
// What the gateway composes for a connection (an encoded text for a user, a
// line with its CR LF for the MUD) is built in a buffer 100 bytes short of
// the output ring, so it always fits an empty ring with room to spare.
#pragma once

#include "framework/comunica.h"

namespace zandor {

inline constexpr int kMaxLinha = 300;          // characters a line keeps
inline constexpr int kFolgaLinha = 2;          // bytes stored past them before the cut
inline constexpr int kFolgaAnel = 100;
inline constexpr int kCapacidadeMensagem = kTamanhoAnel - kFolgaAnel;

static_assert(kCapacidadeMensagem == 1948);
static_assert(kCapacidadeMensagem < kTamanhoAnel - 1, "a composed message must fit an empty ring");

}  // namespace zandor
