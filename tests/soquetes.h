// Socket helpers for the in-process tests that play the far end of a
// connection: the pair a connection is made of, the one reader (what
// arrived, and whether the end came), a reader that waits for the close,
// and filling a socket until it refuses.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <string>

namespace zandor {

// A non-blocking AF_UNIX pair; `buffer` > 0 makes both sides' buffers that
// small (the gateway's send side, the far end's receive side), so a ring
// fills without megabytes. False when the system refuses.
inline bool parDeSoquetes(int (&fds)[2], int buffer = 0) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) return false;
  if (buffer > 0) {
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }
  return true;
}

// Everything the far end can read now (the socket is non-blocking); with
// `fechou`, whether the connection's end was read too.
inline std::string le(int fd, bool* fechou = nullptr) {
  std::string r;
  char tmp[65536];
  ssize_t n;
  while ((n = recv(fd, tmp, sizeof tmp, 0)) > 0) r.append(tmp, static_cast<size_t>(n));
  if (fechou != nullptr) *fechou = n == 0;
  return r;
}

// Everything `fd` receives until the peer closes or a second passes with
// nothing, then "<still open>" after it when the peer did not close.
inline std::string leAteFechar(int fd) {
  std::string r;
  char tmp[4096];
  for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 1000) == 1;) {
    const ssize_t n = recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) return r;
    r.append(tmp, static_cast<size_t>(n));
  }
  return r + "<still open>";
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
