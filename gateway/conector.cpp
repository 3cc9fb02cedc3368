// The connect helper's thread: resolve, connect, shake hands, hand the
// socket back. What it may touch is listed in conector.h.
#include "gateway/conector.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "framework/relogio.h"
#include "framework/soquete.h"

namespace zandor {

namespace {

// Written by the loop as a helper starts; by the helper as it ends, and as
// its resolution ends.
std::atomic<int> ajudantes{0};
std::atomic<int> resolvendo{0};

// The non-blocking connect, waited for until `fimMs` or until the loop gives
// the attempt up (`vigia`, the helper's end of the record pair, hangs up): 0
// or an error number, ECANCELED when given up.
int conecta(int s, const sockaddr_in& alvo, int vigia, uint32_t fimMs) {
  if (connect(s, reinterpret_cast<const sockaddr*>(&alvo), sizeof alvo) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  const int espera = aguardaSoquete(s, POLLOUT, vigia, fimMs);
  if (espera != 0) return espera;
  int erro = 0;
  socklen_t n = sizeof erro;
  return getsockopt(s, SOL_SOCKET, SO_ERROR, &erro, &n) == 0 ? erro : errno;
}

// Whether the loop has given the attempt up: its end of the pair is shut.
bool abandonado(int vigia) {
  pollfd p{vigia, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// One record, with `soquete` attached when there is one. False when the loop
// has shut or closed its end: the caller still owns its socket and session.
bool entrega(int para, const TDesfecho& desfecho, int soquete) {
  iovec v{const_cast<TDesfecho*>(&desfecho), sizeof desfecho};
  msghdr m{};
  m.msg_iov = &v;
  m.msg_iovlen = 1;
  alignas(cmsghdr) char controle[CMSG_SPACE(sizeof(int))] = {};
  if (soquete >= 0) {
    m.msg_control = controle;
    m.msg_controllen = sizeof controle;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &soquete, sizeof soquete);
  }
  return sendmsg(para, &m, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof desfecho);
}

void* ajuda(void* argumento) {
  TTarefa* tarefa = static_cast<TTarefa*>(argumento);
  TDesfecho desfecho{kConectou, 0, nullptr, {}};
  sockaddr_in alvo{};
  alvo.sin_family = AF_INET;
  alvo.sin_port = htons(tarefa->porta);
  alvo.sin_addr.s_addr = inet_addr(tarefa->endereco);
  bool achou = tarefa->numerico;
  if (!achou) {
    achou = tarefa->resolve(tarefa->endereco, &alvo.sin_addr);
    resolvendo.fetch_sub(1);
  }
  // Connect and handshake share one limit, counted from here.
  const uint32_t fim = relogioMonotonico() + static_cast<uint32_t>(kMsPrazoAjudante);
  int s = -1;
  if (!achou)
    desfecho.codigo = kSemEndereco;
  else if (abandonado(tarefa->par))
    desfecho.codigo = kFalhaInterna;  // nobody reads it: the send below fails
  else if ((s = soqueteTcp()) < 0)
    desfecho.codigo = kFalhaInterna;
  else if ((desfecho.erro = conecta(s, alvo, tarefa->par, fim)) != 0)
    desfecho.codigo = kFalhaConexao;
  else if (tarefa->modoTls != kSemTls &&
           (desfecho.sessao = tlsConecta(s, tarefa->endereco, tarefa->modoTls == kTlsVerificado, tarefa->par, fim,
                                         desfecho.razao)) == nullptr)
    desfecho.codigo = kFalhaTls;

  const bool entregue = entrega(tarefa->par, desfecho, desfecho.codigo == kConectou ? s : -1);
  // A session that did not go is ended here, while its socket is open.
  if (!entregue && desfecho.sessao != nullptr) tlsEncerra(desfecho.sessao);
  // Sent or not, this copy goes: a socket that went is the loop's now.
  if (s >= 0) close(s);
  close(tarefa->par);
  const char um = 1;
  send(tarefa->aviso, &um, 1, MSG_NOSIGNAL);
  close(tarefa->aviso);
  delete tarefa;
  ajudantes.fetch_sub(1);
  return nullptr;
}

}  // namespace

bool resolveNome(const char* nome, in_addr* ip) {
  addrinfo dica{};
  dica.ai_family = AF_INET;
  dica.ai_socktype = SOCK_STREAM;
  addrinfo* achados = nullptr;
  if (getaddrinfo(nome, nullptr, &dica, &achados) != 0) return false;
  const bool achou = achados != nullptr;
  if (achou) *ip = reinterpret_cast<sockaddr_in*>(achados->ai_addr)->sin_addr;
  freeaddrinfo(achados);
  return achou;
}

bool lancaAjudante(TTarefa* tarefa) {
  pthread_attr_t atributos;
  if (pthread_attr_init(&atributos) != 0) return false;
  pthread_attr_setdetachstate(&atributos, PTHREAD_CREATE_DETACHED);
  sigset_t todos, antes;
  sigfillset(&todos);
  pthread_sigmask(SIG_SETMASK, &todos, &antes);
  // Counted before the thread runs: the next attempt must see it.
  const int resolve = tarefa->numerico ? 0 : 1;
  ajudantes.fetch_add(1);
  resolvendo.fetch_add(resolve);
  pthread_t id;
  const bool lancado = pthread_create(&id, &atributos, ajuda, tarefa) == 0;
  if (!lancado) {
    ajudantes.fetch_sub(1);
    resolvendo.fetch_sub(resolve);
  }
  pthread_sigmask(SIG_SETMASK, &antes, nullptr);
  pthread_attr_destroy(&atributos);
  return lancado;
}

int ajudantesAtivos() { return ajudantes.load(); }
int ajudantesResolvendo() { return resolvendo.load(); }

}  // namespace zandor
