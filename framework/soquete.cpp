// The socket-setup policy: creation, accepting, buffer sizes, Nagle.
#include "framework/soquete.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "framework/relogio.h"

namespace zandor {

int soqueteTcp() { return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

int aceitaSoquete(int escuta, sockaddr_in* par) {
  socklen_t tamanho = sizeof *par;
  const int s = accept4(escuta, reinterpret_cast<sockaddr*>(par), &tamanho, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return -1;
  // A failure leaves the system's sizes: the connection works, only less
  // output can wait in the kernel for a slow reader.
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kBufferRecepcao, sizeof kBufferRecepcao);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kBufferEnvio, sizeof kBufferEnvio);
  return s;
}

void semAtraso(int soquete) {
#ifndef ZANDOR_NAGLE
  // A failure only costs latency, never correctness: nothing to report.
  const int um = 1;
  setsockopt(soquete, IPPROTO_TCP, TCP_NODELAY, &um, sizeof um);
#else
  (void)soquete;
#endif
}

void empurra(int soquete) {
  // Taking a cork off pushes whatever waits, whether or not one was on.
  const int zero = 0;
  setsockopt(soquete, IPPROTO_TCP, TCP_CORK, &zero, sizeof zero);
}

int aguardaSoquete(int soquete, short eventos, int vigia, uint32_t fimMs) {
  for (;;) {
    const int32_t resto = static_cast<int32_t>(fimMs - relogioMonotonico());
    if (resto <= 0) return ETIMEDOUT;
    pollfd p[2] = {{soquete, eventos, 0}, {vigia, POLLIN, 0}};
    const int r = poll(p, 2, resto);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    // The watched end first: a wait given up on ends so, ready or not.
    if (p[1].revents != 0) return ECANCELED;
    if (p[0].revents != 0) return 0;
  }
}

}  // namespace zandor
