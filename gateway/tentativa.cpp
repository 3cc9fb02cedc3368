// A MUD connect under way, the loop's side: start a helper (conector.h),
// look for its record, give up, finish.
#include "gateway/tentativa.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

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
  char razao[kTamanhoRazaoTls];
  copiaErro(razao, erro, sizeof razao);
  formata(texto, sizeof texto, msg::kErro, razao);
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

bool iniciaTentativa(const char* endereco, int porta, int modoTls) {
  int par[2] = {-1, -1};
  int aviso[2] = {-1, -1};
  TTarefa* tarefa = nullptr;
  TTentativa* t = nullptr;
  const bool numerico = inet_addr(endereco) != INADDR_NONE;
  bool pronto = (numerico || ajudantesResolvendo() < kMaxAjudantes) && ajudantesAtivos() < kMaxFiosAjudantes &&
                socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, par) == 0 &&
                socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, aviso) == 0 &&
                (tarefa = new (std::nothrow) TTarefa) != nullptr && (t = new (std::nothrow) TTentativa) != nullptr;
  if (pronto) {
    copiaLimitada(tarefa->endereco, endereco, sizeof tarefa->endereco);
    tarefa->porta = static_cast<uint16_t>(porta);
    tarefa->modoTls = static_cast<int8_t>(modoTls);
    tarefa->numerico = numerico;
    tarefa->resolve = resolvedor;
    tarefa->par = par[1];
    tarefa->aviso = aviso[1];
    pronto = lancaAjudante(tarefa);
  }
  if (!pronto) {
    for (int s : {par[0], par[1], aviso[0], aviso[1]})
      if (s >= 0) close(s);
    delete tarefa;
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
