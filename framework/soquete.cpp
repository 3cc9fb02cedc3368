// The socket-setup policy: creation, accepting, buffer sizes, Nagle.
#include "framework/soquete.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

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

}  // namespace zandor
