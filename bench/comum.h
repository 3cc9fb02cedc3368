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
// Bytes per MUD line, CR LF included: 64 unless --bytes says otherwise,
// up to kMaxTamanhoLinha (the gateway's own line limit, 8000, and CR LF).
inline constexpr int kTamanhoLinhaPadrao = 64;
inline constexpr int kMinTamanhoLinha = 48;  // room for "ZL", the sequence number and the time
inline constexpr int kMaxTamanhoLinha = 8002;
inline int tamanhoLinha = kTamanhoLinhaPadrao;

inline Ns agora() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<Ns>(t.tv_sec) * kS + t.tv_nsec;
}

// Says why on stderr, ends every process this run started and exits with 2.
[[noreturn]] void falha(const std::string& motivo);

}  // namespace carga
