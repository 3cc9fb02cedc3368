// The floor under the gateway's CPU per copy: what the kernel alone costs a
// sender that does nothing but hand each user one block per pass over
// loopback TCP, as the gateway's users' sockets are set up (TCP_NODELAY, a
// 64 KiB send buffer). A reader thread drains every socket, as the load
// tool's users do; the sender's own CPU time, over the copies it sent, is
// the figure. No gateway logic runs, so the gateway cannot go below it at
// the same pass rate.
//
//   zandor_piso [--usuarios N] [--taxa LINES/S] [--bytes B] [--passos PASSES/S] [--segundos S]
//
// With "--partes 2" each block goes in two sends, the first with MSG_MORE,
// as a pass whose output overflows a user's ring sends it.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "apoio.h"

namespace {

double cpuDaThread() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  int usuarios = 62, taxa = 2000, bytes = 80, passos = 50, segundos = 4, partes = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (o == "--usuarios") usuarios = v;
    else if (o == "--taxa") taxa = v;
    else if (o == "--bytes") bytes = v;
    else if (o == "--passos") passos = v;
    else if (o == "--segundos") segundos = v;
    else if (o == "--partes") partes = v;
  }
  if (usuarios < 1 || taxa < passos || bytes < 1 || passos < 1 || segundos < 1 || partes < 1 || partes > 2) {
    std::fprintf(stderr, "usage: zandor_piso [--usuarios N] [--taxa L] [--bytes B] [--passos P] [--segundos S] [--partes 1|2]\n");
    return 2;
  }

  int porta = 0;
  const int escuta = e2e::escutaLocal(usuarios, &porta);
  const sockaddr_in destino = e2e::enderecoLocal("127.0.0.1", porta);
  std::vector<int> envia, recebe;
  const int um = 1, buffer = 64 * 1024;
  for (int i = 0; i < usuarios; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(c, reinterpret_cast<const sockaddr*>(&destino), sizeof destino) != 0) return 1;
    const int s = accept4(escuta, nullptr, nullptr, SOCK_NONBLOCK);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &um, sizeof um);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    envia.push_back(s);
    recebe.push_back(c);
  }
  close(escuta);

  std::atomic<bool> fim{false};
  std::thread leitor([&] {
    const int ep = epoll_create1(0);
    for (int c : recebe) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.fd = c;
      epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
    }
    std::vector<char> b(1 << 16);
    epoll_event ev[128];
    while (!fim.load()) {
      const int n = epoll_wait(ep, ev, 128, 50);
      for (int i = 0; i < n; ++i) {
        while (recv(ev[i].data.fd, b.data(), b.size(), MSG_DONTWAIT) > 0) {
        }
      }
    }
    close(ep);
  });

  const int linhas = taxa / passos;
  std::string linha(static_cast<size_t>(bytes), 'x');
  linha += "\r\n";
  std::string bloco;
  for (int i = 0; i < linhas; ++i) bloco += linha;
  const size_t meio = bloco.size() / 2;

  long long enviados = 0;
  const double antes = cpuDaThread();
  timespec proximo{};
  clock_gettime(CLOCK_MONOTONIC, &proximo);
  for (int p = 0; p < passos * segundos; ++p) {
    for (int s : envia) {
      if (partes == 2) {
        const ssize_t a = send(s, bloco.data(), meio, MSG_NOSIGNAL | MSG_MORE);
        const ssize_t b = send(s, bloco.data() + meio, bloco.size() - meio, MSG_NOSIGNAL);
        enviados += (a > 0 ? a : 0) + (b > 0 ? b : 0);
      } else {
        const ssize_t a = send(s, bloco.data(), bloco.size(), MSG_NOSIGNAL);
        enviados += a > 0 ? a : 0;
      }
    }
    proximo.tv_nsec += 1000000000L / passos;
    if (proximo.tv_nsec >= 1000000000L) {
      proximo.tv_nsec -= 1000000000L;
      ++proximo.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &proximo, nullptr);
  }
  const double cpu = cpuDaThread() - antes;
  const long long recusados = static_cast<long long>(usuarios) * passos * segundos * static_cast<long long>(bloco.size()) - enviados;
  usleep(200000);
  fim = true;
  leitor.join();

  const double copias = static_cast<double>(usuarios) * linhas * passos * segundos;
  std::printf("floor: %d users, %d passes/s of %d lines of %d bytes, %d send%s per user per pass: %.3f us/copy "
              "(%.1f us per user per pass), %lld bytes not taken\n",
              usuarios, passos, linhas, bytes, partes, partes == 1 ? "" : "s", cpu * 1e6 / copias,
              cpu * 1e6 / (static_cast<double>(usuarios) * passos * segundos), recusados);
  for (int s : envia) close(s);
  for (int c : recebe) close(c);
  return 0;
}
