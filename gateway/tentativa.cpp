// A MUD connect under way: the helper thread's side (resolve, connect, shake
// hands, hand the socket back) and the loop's (start, look, give up, finish).
#include "gateway/tentativa.h"

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
#include <new>

#include "framework/relogio.h"
#include "framework/soquete.h"
#include "gateway/cliente.h"
#include "gateway/mensagens.h"
#include "gateway/mud.h"
#include "text/formata.h"

namespace zandor {

TTentativa* tentativa = nullptr;
Resolvedor resolvedor = resolveNome;

namespace {

constexpr int kTamanhoErro = kTamanhoRazaoTls + 8;  // "/Erro: %s"
constexpr int kCabecalhoEspera = 2;

static_assert(kMsPrazoAjudante > kTicksTentativa * static_cast<int>(kMsPorTick),
              "the helper outlives the loop's limit, so the limit users see is the loop's");
static_assert(kTamanhoEspera - kCabecalhoEspera >= kTamanhoLinhaMud, "any one line fits an empty wait");

// What the helper tells the loop; the connected socket travels beside it.
enum : int32_t { kConectou, kSemEndereco, kFalhaInterna, kFalhaConexao, kFalhaTls };
struct TDesfecho {
  int32_t codigo;
  int32_t erro;             // kFalhaConexao: the connect's error number
  TSessaoTls* sessao;       // kConectou over TLS: the loop's once the record is sent
  char razao[kTamanhoRazaoTls];  // kFalhaTls: what went wrong
};

// The helper's whole input: its own heap block, freed by the helper.
struct TPedido {
  char endereco[kTamanhoEndereco];
  uint16_t porta;
  int8_t modoTls;
  bool numerico;  // a dotted address: no resolution, and no resolving slot taken
  Resolvedor resolve;
  int par;    // the helper's end of the record pair
  int aviso;  // the helper's end of the notice pair
};

// Written by the loop as a helper starts; by the helper as it ends, and as
// its resolution ends.
std::atomic<int> ajudantes{0};
std::atomic<int> resolvendo{0};

// ---- the helper thread -------------------------------------------------------

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
  TPedido* pedido = static_cast<TPedido*>(argumento);
  TDesfecho desfecho{kConectou, 0, nullptr, {}};
  sockaddr_in alvo{};
  alvo.sin_family = AF_INET;
  alvo.sin_port = htons(pedido->porta);
  alvo.sin_addr.s_addr = inet_addr(pedido->endereco);
  bool achou = pedido->numerico;
  if (!achou) {
    achou = pedido->resolve(pedido->endereco, &alvo.sin_addr);
    resolvendo.fetch_sub(1);
  }
  // Connect and handshake share one limit, counted from here.
  const uint32_t fim = relogioMonotonico() + static_cast<uint32_t>(kMsPrazoAjudante);
  int s = -1;
  if (!achou)
    desfecho.codigo = kSemEndereco;
  else if (abandonado(pedido->par))
    desfecho.codigo = kFalhaInterna;  // nobody reads it: the send below fails
  else if ((s = soqueteTcp()) < 0)
    desfecho.codigo = kFalhaInterna;
  else if ((desfecho.erro = conecta(s, alvo, pedido->par, fim)) != 0)
    desfecho.codigo = kFalhaConexao;
  else if (pedido->modoTls != kSemTls &&
           (desfecho.sessao = tlsConecta(s, pedido->endereco, pedido->modoTls == kTlsVerificado, pedido->par, fim,
                                         desfecho.razao)) == nullptr)
    desfecho.codigo = kFalhaTls;

  const bool entregue = entrega(pedido->par, desfecho, desfecho.codigo == kConectou ? s : -1);
  // A session that did not go is ended here, while its socket is open.
  if (!entregue && desfecho.sessao != nullptr) tlsEncerra(desfecho.sessao);
  // Sent or not, this copy goes: a socket that went is the loop's now.
  if (s >= 0) close(s);
  close(pedido->par);
  const char um = 1;
  send(pedido->aviso, &um, 1, MSG_NOSIGNAL);
  close(pedido->aviso);
  delete pedido;
  ajudantes.fetch_sub(1);
  return nullptr;
}

// Starts the helper, detached and with every signal blocked, so that signals
// always reach the loop's thread.
bool lancaAjudante(TPedido* pedido) {
  pthread_attr_t atributos;
  if (pthread_attr_init(&atributos) != 0) return false;
  pthread_attr_setdetachstate(&atributos, PTHREAD_CREATE_DETACHED);
  sigset_t todos, antes;
  sigfillset(&todos);
  pthread_sigmask(SIG_SETMASK, &todos, &antes);
  // Counted before the thread runs: the next attempt must see it.
  const int resolve = pedido->numerico ? 0 : 1;
  ajudantes.fetch_add(1);
  resolvendo.fetch_add(resolve);
  pthread_t id;
  const bool lancado = pthread_create(&id, &atributos, ajuda, pedido) == 0;
  if (!lancado) {
    ajudantes.fetch_sub(1);
    resolvendo.fetch_sub(resolve);
  }
  pthread_sigmask(SIG_SETMASK, &antes, nullptr);
  pthread_attr_destroy(&atributos);
  return lancado;
}

// ---- the loop's side ---------------------------------------------------------

// Takes the helper's record and the socket that may come with it (-1 when
// none): 1 when a whole record came, 0 when none is there yet, -1 when none
// ever will.
int leDesfecho(int de, TDesfecho* desfecho, int* soquete) {
  *soquete = -1;
  iovec v{desfecho, sizeof *desfecho};
  msghdr m{};
  m.msg_iov = &v;
  m.msg_iovlen = 1;
  alignas(cmsghdr) char controle[CMSG_SPACE(sizeof(int))] = {};
  m.msg_control = controle;
  m.msg_controllen = sizeof controle;
  const ssize_t r = recvmsg(de, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  for (cmsghdr* c = r >= 0 ? CMSG_FIRSTHDR(&m) : nullptr; c != nullptr; c = CMSG_NXTHDR(&m, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int)))
      std::memcpy(soquete, CMSG_DATA(c), sizeof *soquete);
  if (r < 0 && ehBloqueio(errno)) return 0;
  return r == static_cast<ssize_t>(sizeof *desfecho) ? 1 : -1;
}

const char* textoErro(char (&texto)[kTamanhoErro], int erro) {
  formata(texto, sizeof texto, msg::kErro, std::strerror(erro));
  return texto;
}

// A record that will not be used: its socket closed, its session ended.
void descarta(const TDesfecho& desfecho, int soquete) {
  if (desfecho.codigo == kConectou && desfecho.sessao != nullptr) {
    tlsAdota(desfecho.sessao, soquete);
    tlsEncerra(desfecho.sessao);
  }
  if (soquete >= 0) close(soquete);
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

int ajudantesAtivos() { return ajudantes.load(); }
int ajudantesResolvendo() { return resolvendo.load(); }

bool iniciaTentativa(const char* endereco, int porta, int modoTls) {
  int par[2] = {-1, -1};
  int aviso[2] = {-1, -1};
  TPedido* pedido = nullptr;
  TTentativa* t = nullptr;
  const bool numerico = inet_addr(endereco) != INADDR_NONE;
  bool pronto = (numerico || resolvendo.load() < kMaxAjudantes) && ajudantes.load() < kMaxFiosAjudantes &&
                socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, par) == 0 &&
                socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, aviso) == 0 &&
                (pedido = new (std::nothrow) TPedido) != nullptr && (t = new (std::nothrow) TTentativa) != nullptr;
  if (pronto) {
    copiaLimitada(pedido->endereco, endereco, sizeof pedido->endereco);
    pedido->porta = static_cast<uint16_t>(porta);
    pedido->modoTls = static_cast<int8_t>(modoTls);
    pedido->numerico = numerico;
    pedido->resolve = resolvedor;
    pedido->par = par[1];
    pedido->aviso = aviso[1];
    pronto = lancaAjudante(pedido);
  }
  if (!pronto) {
    for (int s : {par[0], par[1], aviso[0], aviso[1]})
      if (s >= 0) close(s);
    delete pedido;
    delete t;
    escreveTodos(msg::kErroInterno);
    return false;
  }
  t->par = par[0];
  t->soqueteEntrada = aviso[0];
  t->cMuda(kModoNormal, kNivelAvisos);
  t->cArma(1);
  tentativa = t;
  return true;
}

void cancelaTentativa() {
  if (tentativa != nullptr) tentativa->cCancela();
}

TTentativa::~TTentativa() {
  if (tentativa == this) tentativa = nullptr;
  if (par < 0) return;
  // Shut first: from now on the helper's send fails (and its poll wakes), so
  // what is queued is all that will ever be; a session in it is freed here.
  shutdown(par, SHUT_RDWR);
  TDesfecho desfecho{};
  int soquete = -1;
  while (leDesfecho(par, &desfecho, &soquete) > 0) descarta(desfecho, soquete);
  if (soquete >= 0) close(soquete);
  close(par);
}

// The notice, or its pair closing: either way the record is there, or the
// helper is gone without one.
void TTentativa::cEvento(const char* dados, int32_t n) {
  if (dados == nullptr && n != 0) return;  // output drained: it sends nothing
  if (!olha() && dados == nullptr) conclui(-1, nullptr, msg::kErroInterno);  // no record will ever come
}

void TTentativa::cExpira() {
  if (olha()) return;
  if (++ticks < kTicksTentativa) {
    cArma(1);
    return;
  }
  char erro[kTamanhoErro];
  conclui(-1, nullptr, textoErro(erro, ETIMEDOUT));
}

bool TTentativa::olha() {
  TDesfecho desfecho{};
  int soquete = -1;
  const int lido = leDesfecho(par, &desfecho, &soquete);
  if (lido == 0) return false;
  if (lido > 0 && desfecho.codigo == kConectou && soquete >= 0) {
    if (desfecho.sessao != nullptr) tlsAdota(desfecho.sessao, soquete);
    conclui(soquete, desfecho.sessao, nullptr);
    return true;
  }
  if (lido > 0)
    descarta(desfecho, soquete);
  else if (soquete >= 0)
    close(soquete);
  char erro[kTamanhoErro];
  const char* mensagem = msg::kErroInterno;
  if (lido > 0 && desfecho.codigo == kSemEndereco) mensagem = msg::kEnderecoNaoEncontrado;
  if (lido > 0 && desfecho.codigo == kFalhaConexao) mensagem = textoErro(erro, desfecho.erro);
  if (lido > 0 && desfecho.codigo == kFalhaTls) {
    desfecho.razao[sizeof desfecho.razao - 1] = '\0';
    formata(erro, sizeof erro, msg::kErro, desfecho.razao);
    // A MUD that ended the session politely closed the link, as a plain
    // one that closes at once: no error of ours.
    mensagem = std::strcmp(desfecho.razao, kTlsEncerrado) == 0 ? msg::kConexaoTerminada : erro;
  }
  conclui(-1, nullptr, mensagem);
  return true;
}

void TTentativa::cCancela() {
  char erro[kTamanhoErro];
  conclui(-1, nullptr, textoErro(erro, ECANCELED));
}

void TTentativa::cGuarda(const void* bytes, int32_t n) {
  if (n <= 0 || n > kTamanhoEspera - kCabecalhoEspera - usados) return;
  espera[usados] = static_cast<char>(n & 0xFF);
  espera[usados + 1] = static_cast<char>(n >> 8);
  std::memcpy(espera + usados + kCabecalhoEspera, bytes, static_cast<size_t>(n));
  usados = static_cast<int16_t>(usados + kCabecalhoEspera + n);
}

void TTentativa::conclui(int soquete, TSessaoTls* sessao, const char* mensagem) {
  // From here on lines for the MUD go to the link itself.
  if (tentativa == this) tentativa = nullptr;
  if (soquete >= 0) mensagem = poeMud(soquete, sessao) ? msg::kConectado : msg::kErroInterno;
  escreveTodos(mensagem);
  // What waited goes to the link now in place, each message as if typed now.
  for (int i = 0; i < usados;) {
    const int n = static_cast<unsigned char>(espera[i]) | static_cast<unsigned char>(espera[i + 1]) << 8;
    if (mud != nullptr) mud->cEnvia(espera + i + kCabecalhoEspera, n);
    i += kCabecalhoEspera + n;
  }
  delete this;
}

}  // namespace zandor
