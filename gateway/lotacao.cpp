// The user cap at start-up.
#include "gateway/lotacao.h"

namespace zandor {

int leTetoUsuarios(const char* valor) {
  int n = 0;
  const char* p = valor;
  // Four digits at most, leading zeros included: a longer number is refused,
  // so the count never overflows.
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (p - valor == 4) return -1;
    n = n * 10 + (*p - '0');
  }
  if (p == valor || *p != '\0' || n < 1 || n > kTetoUsuarios) return -1;
  return n;
}

int ajustaTeto(int pedido, int* limite) {
  *limite = limitaDescritores(pedido + kReservaDescritores);
  const int cabem = *limite - kReservaDescritores;
  if (cabem >= pedido) return pedido;
  return cabem >= 1 ? cabem : 1;
}

}  // namespace zandor
