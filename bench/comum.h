// What every part of the load tool shares: the one monotonic clock that
// stamps every line and reads every arrival, the line size, and the way out
// when a run cannot go on.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace carga {

using Ns = int64_t;
inline constexpr Ns kMs = 1000000;
inline constexpr Ns kS = 1000000000;
// Bytes per MUD line, CR LF included: 64 unless --linha says otherwise.
inline constexpr int kTamanhoLinhaPadrao = 64;
inline constexpr int kMaxTamanhoLinha = 8002;  // the gateway's longest line and its CR LF
extern int tamanhoLinha;

inline Ns agora() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<Ns>(t.tv_sec) * kS + t.tv_nsec;
}

// Says why on stderr, ends every process this run started and exits with 2.
[[noreturn]] void falha(const std::string& motivo);

}  // namespace carga
