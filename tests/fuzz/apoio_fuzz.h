// Small pieces shared by the fuzz targets: a reader that takes sizes and
// flags from the fuzzer's bytes, and socket pairs whose far end the harness
// drains so the gateway's rings see real sends.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "../soquetes.h"

namespace fuzz {

// Consumes the input from the front: control bytes and chunks of data.
class Fluxo {
 public:
  Fluxo(const uint8_t* dados, size_t tamanho) : p_(dados), fim_(dados + tamanho) {}
  bool vazio() const { return p_ == fim_; }
  size_t resta() const { return static_cast<size_t>(fim_ - p_); }
  uint8_t byte() { return vazio() ? 0 : *p_++; }
  uint16_t dois() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  // Up to `maximo` bytes; `n` receives how many.
  const char* pedaco(size_t maximo, size_t* n) {
    *n = resta() < maximo ? resta() : maximo;
    const char* r = reinterpret_cast<const char*>(p_);
    p_ += *n;
    return r;
  }

 private:
  const uint8_t* p_;
  const uint8_t* fim_;
};

// A connected pair of non-blocking stream sockets, the unit tests' own
// (soquetes.h): [0] for the gateway's object, [1] for the harness.
struct Par {
  int fd[2] = {-1, -1};
  Par() { zandor::parDeSoquetes(fd); }
  ~Par() {
    if (fd[1] >= 0) close(fd[1]);
  }
  // Reads and forgets what the gateway sent.
  void drena() const {
    char lixo[4096];
    while (read(fd[1], lixo, sizeof lixo) > 0) {
    }
  }
};

}  // namespace fuzz
