// The process's signals: SIGPIPE ignored; those that end the gateway, a
// byte from the handler and the shutdown from the loop.
#include "gateway/sinais.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "framework/comunica.h"
#include "framework/tempo.h"
#include "gateway/inicio.h"

namespace zandor {

namespace {

constexpr int kSinais[] = {SIGTERM, SIGINT, SIGHUP};

// The handler's end of the pair; written before any handler is installed.
volatile sig_atomic_t soqueteSinal = -1;

class TSinais : public TComunica, public TTempo {
 public:
  void cEvento(const char* dados, int32_t) override {
    if (dados != nullptr) encerraZandor();
  }
  void cExpira() override {
    char byte;
    if (soqueteEntrada >= 0 && recv(soqueteEntrada, &byte, 1, MSG_DONTWAIT) == 1) encerraZandor();
    cArma(kTicksVigiaSinais);
  }
};

// Only async-signal-safe calls, and errno as the interrupted code left it. A
// full pair already holds a byte the loop has yet to read: enough.
void aoSinal(int) {
  const int salvo = errno;
  const char um = 1;
  send(soqueteSinal, &um, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  errno = salvo;
}

}  // namespace

void ignoraSigpipe() {
  struct sigaction acao {};
  acao.sa_handler = SIG_IGN;
  sigemptyset(&acao.sa_mask);
  sigaction(SIGPIPE, &acao, nullptr);
}

bool instalaSinais() {
  int par[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, par) != 0) return false;
  TSinais* vigia = new (std::nothrow) TSinais;
  if (vigia == nullptr) {
    close(par[0]);
    close(par[1]);
    return false;
  }
  vigia->soqueteEntrada = par[0];
  vigia->cMuda(kModoNormal, kNivelSinais);
  vigia->cArma(kTicksVigiaSinais);
  soqueteSinal = par[1];

  struct sigaction acao {};
  acao.sa_handler = aoSinal;
  acao.sa_flags = SA_RESTART;
  sigemptyset(&acao.sa_mask);
  for (int sinal : kSinais) sigaction(sinal, &acao, nullptr);
  return true;
}

}  // namespace zandor
