// The user cap at start-up: the configuration's "usuarios" entry, and the
// open-file limit the cap needs.
//
// Every user holds one descriptor; around them the process keeps a reserve:
//
//   standard streams           3
//   listeners (telnet, web)    2
//   MUD links                  2   the old one and a new one, while /mud replaces it
//   signals' pair              2
//   connect attempts          20   kMaxAjudantes helpers x (two pairs + the connecting socket)
//   web requests              64   kMaxPedidos HTTP connections, not yet users
//                            ---
//                             93
//
// When the system's hard limit leaves fewer descriptors than the cap and
// the reserve need, the gateway serves the cap the limit allows (at least
// one user) and says so at start-up: refusing the start would leave nobody
// served, while a smaller house still plays.
#pragma once

#include "framework/conjunto.h"
#include "gateway/cliente.h"
#include "gateway/tentativa.h"
#include "gateway/web.h"

namespace zandor {

inline constexpr int kDescritoresFixos = 3 + 2 + 2 + 2;
inline constexpr int kDescritoresTentativas = kMaxAjudantes * 5;
inline constexpr int kDescritoresWeb = kMaxPedidos;
inline constexpr int kReservaDescritores = kDescritoresFixos + kDescritoresTentativas + kDescritoresWeb;

static_assert(kMaxUsuarios >= 1 && kMaxUsuarios <= kTetoUsuarios, "the default cap is one \"usuarios\" may set");
static_assert(kTetoUsuarios + kReservaDescritores <= kMaxDescritor, "the largest house fits the loop's sets");

// The cap a "usuarios" value asks for: a plain decimal number from 1 to
// kTetoUsuarios (the entry reader has cut the blanks around it), else -1.
int leTetoUsuarios(const char* valor);

// Raises the process's descriptor limit for `pedido` users: the cap it can
// serve (`pedido`, or fewer when the system will not allow that many, at
// least 1). The limit in force goes to `*limite`.
int ajustaTeto(int pedido, int* limite);

}  // namespace zandor
