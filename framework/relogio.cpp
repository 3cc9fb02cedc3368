// The clocks behind the seams.
#include "framework/relogio.h"

#include <ctime>

namespace zandor {

uint32_t relogioMonotonico() {
  timespec agora{};
  clock_gettime(CLOCK_MONOTONIC, &agora);
  const uint64_t ms = static_cast<uint64_t>(agora.tv_sec) * 1000u + static_cast<uint64_t>(agora.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

FonteRelogio relogio = relogioMonotonico;

int64_t segundosSistema() {
  timespec agora{};
  clock_gettime(CLOCK_REALTIME, &agora);
  return static_cast<int64_t>(agora.tv_sec);
}

FonteSegundos segundos = segundosSistema;

}  // namespace zandor
