// Socket helpers for the in-process tests that play the far end of a
// connection: drain what arrived, fill a socket until it refuses.
#pragma once

#include <sys/socket.h>

#include <string>

namespace zandor {

// Everything the far end can read now (the socket is non-blocking).
inline std::string le(int fd) {
  std::string r;
  char tmp[65536];
  ssize_t n;
  while ((n = recv(fd, tmp, sizeof tmp, 0)) > 0) r.append(tmp, static_cast<size_t>(n));
  return r;
}

// Writes into a socket until it takes not even one byte more; returns what went.
inline std::string enche(int fd) {
  std::string r;
  for (size_t pedaco = 65536; pedaco > 0; pedaco /= 2) {
    const std::string bloco(pedaco, 'f');
    ssize_t n;
    while ((n = send(fd, bloco.data(), bloco.size(), MSG_NOSIGNAL)) > 0) r.append(bloco, 0, static_cast<size_t>(n));
  }
  return r;
}

}  // namespace zandor
