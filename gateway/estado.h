// The gateway's state in one place: who is in, how many may be, the one
// remote address a "/con" let in next, the MUD link and the lines it sent.
//
// It is one struct, `estado`, so that a reader finds it here; the code uses
// each field through the short name below it, which is that field and
// nothing else (a reference bound at start-up, costing nothing). Two more
// pieces are kept beside the only code that changes them, and named here so
// that the list is whole: the attempt under way (`tentativa`, tentativa.h)
// and the web listener's configuration (`configWeb`, web.h).
//
// Everything here belongs to the loop's thread: a helper thread touches none
// of it.
#pragma once

#include <cstdint>

#include "gateway/historico.h"

namespace zandor {

class TCliente;
class TMud;

// The user cap: kMaxUsuarios unless the configuration's "usuarios = N" sets
// another, from 1 to kTetoUsuarios. Users count in every stage, from the
// greeting on, web users too; one beyond the cap is told "-Zandor lotado"
// and closed (a web upgrade: 503).
inline constexpr int kMaxUsuarios = 62;     // the default cap
inline constexpr int kTetoUsuarios = 1000;  // the largest cap "usuarios" may set

struct TEstado {
  TCliente* clientes = nullptr;          // newest user first
  int quantosUsuarios = 0;               // on that list, in every stage
  int limiteUsuarios = kMaxUsuarios;     // the cap in force, 1..kTetoUsuarios
  uint32_t ipPermitido = 0;              // "/con": network byte order
  bool permiteRemoto = false;            // one connection from it may come in
  TMud* mud = nullptr;                   // the link, or null
  THistorico historico;                  // the lines the MUD ended
};

extern TEstado estado;

inline TCliente*& clientes = estado.clientes;
inline int& quantosUsuarios = estado.quantosUsuarios;
inline int& limiteUsuarios = estado.limiteUsuarios;
inline uint32_t& ipPermitido = estado.ipPermitido;
inline bool& permiteRemoto = estado.permiteRemoto;
inline TMud*& mud = estado.mud;
inline THistorico& historico = estado.historico;

}  // namespace zandor
