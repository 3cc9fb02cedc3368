// TLS through OpenSSL: the client handshake on a helper thread, the server
// context of the web listener and its renewal, and the loop's non-blocking
// reads, writes and close.
#include "framework/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>

#include "framework/soquete.h"
#include "text/formata.h"

namespace zandor {

void tlsPreparaProcesso() { OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr); }

namespace {

// The text of the failure OpenSSL has just reported for `r` on `sessao`.
void explica(TSessaoTls* sessao, int r, char (&razao)[kTamanhoRazaoTls]) {
  const int tipo = SSL_get_error(sessao, r);
  const int erroSistema = errno;
  if (tipo == SSL_ERROR_ZERO_RETURN) {
    copiaLimitada(razao, kTlsEncerrado, sizeof razao);
    ERR_clear_error();
    return;
  }
  const unsigned long erro = ERR_get_error();
  const char* texto = erro != 0 ? ERR_reason_error_string(erro) : nullptr;
  // The check's own text after "certificate verify failed" says which.
  if (texto != nullptr && ERR_GET_REASON(erro) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    formata(razao, sizeof razao, "%s: %s", texto, X509_verify_cert_error_string(SSL_get_verify_result(sessao)));
  } else if (texto != nullptr) {
    copiaLimitada(razao, texto, sizeof razao);
  } else if (erro != 0) {
    ERR_error_string_n(erro, razao, sizeof razao);
  } else if (tipo == SSL_ERROR_SYSCALL && erroSistema != 0) {
    copiaErro(razao, erroSistema, sizeof razao);
  } else {
    // The peer closed without a word (OpenSSL before 3.0 says nothing).
    copiaErro(razao, ECONNRESET, sizeof razao);
  }
  ERR_clear_error();
}

// After a fatal error no alert may be sent: the close that follows is quiet.
void falhou(TSessaoTls* sessao) {
  SSL_set_quiet_shutdown(sessao, 1);
  ERR_clear_error();
}

// A session of its own context. Null when OpenSSL cannot make one.
TSessaoTls* novaSessao(int soquete, const char* nome, bool verifica) {
  SSL_CTX* contexto = SSL_CTX_new(TLS_client_method());
  if (contexto == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(contexto, TLS1_2_VERSION);
  SSL_CTX_set_options(contexto, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(contexto, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  bool pronto = true;
  if (verifica) {
    pronto = SSL_CTX_set_default_verify_paths(contexto) == 1;
    SSL_CTX_set_verify(contexto, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(contexto, SSL_VERIFY_NONE, nullptr);
  }
  TSessaoTls* sessao = pronto ? SSL_new(contexto) : nullptr;
  SSL_CTX_free(contexto);  // the session holds its own reference
  if (sessao == nullptr) return nullptr;

  in_addr ip4;
  in6_addr ip6;
  const bool ehIp = inet_pton(AF_INET, nome, &ip4) == 1 || inet_pton(AF_INET6, nome, &ip6) == 1;
  X509_VERIFY_PARAM* parametros = SSL_get0_param(sessao);
  // SNI names hosts only: an address literal is never sent in it.
  if (!ehIp) pronto = SSL_set_tlsext_host_name(sessao, nome) == 1;
  if (pronto && verifica && ehIp) pronto = X509_VERIFY_PARAM_set1_ip_asc(parametros, nome) == 1;
  if (pronto && verifica && !ehIp) {
    X509_VERIFY_PARAM_set_hostflags(parametros, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    pronto = X509_VERIFY_PARAM_set1_host(parametros, nome, 0) == 1;
  }
  if (pronto) pronto = SSL_set_fd(sessao, soquete) == 1;
  if (!pronto) {
    SSL_free(sessao);
    return nullptr;
  }
  SSL_set_connect_state(sessao);
  return sessao;
}

}  // namespace

TSessaoTls* tlsConecta(int soquete, const char* nome, bool verifica, int vigia, uint32_t fimMs,
                       char (&razao)[kTamanhoRazaoTls]) {
  razao[0] = '\0';
  ERR_clear_error();
  TSessaoTls* sessao = novaSessao(soquete, nome, verifica);
  if (sessao == nullptr) {
    const unsigned long erro = ERR_get_error();
    if (erro != 0)
      ERR_error_string_n(erro, razao, sizeof razao);
    else
      copiaErro(razao, ENOMEM, sizeof razao);
    ERR_clear_error();
    return nullptr;
  }
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(sessao);
    if (r == 1) return sessao;
    const int tipo = SSL_get_error(sessao, r);
    short quer = 0;
    if (tipo == SSL_ERROR_WANT_READ) quer = POLLIN;
    if (tipo == SSL_ERROR_WANT_WRITE) quer = POLLOUT;
    int espera = 0;
    if (quer == 0) {
      explica(sessao, r, razao);
    } else if ((espera = aguardaSoquete(soquete, quer, vigia, fimMs)) == 0) {
      continue;
    } else if (espera != ECANCELED) {
      copiaErro(razao, espera, sizeof razao);
    }
    SSL_free(sessao);  // no alert: the link is abandoned, not ended
    return nullptr;
  }
}

void tlsAdota(TSessaoTls* sessao, int soquete) {
  if (soquete < 0) {
    SSL_set_quiet_shutdown(sessao, 1);
    return;
  }
  // SSL_set_fd gave the session one socket BIO for both ways, not owning
  // its descriptor: pointing it elsewhere keeps every buffered byte.
  BIO_set_fd(SSL_get_rbio(sessao), soquete, BIO_NOCLOSE);
}

ssize_t tlsLe(TSessaoTls* sessao, char* buffer, int n) {
  ERR_clear_error();
  const int r = SSL_read(sessao, buffer, n);
  if (r > 0) return r;
  switch (SSL_get_error(sessao, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;  // close_notify: answered with ours when the link closes
    case SSL_ERROR_SYSCALL: {
      const int erro = errno;
      falhou(sessao);
      if (erro == 0) return 0;  // the connection ended without close_notify
      errno = ehBloqueio(erro) ? EIO : erro;
      return -1;
    }
    default:
      falhou(sessao);
      errno = EPROTO;
      return -1;
  }
}

ssize_t tlsEscreve(TSessaoTls* sessao, const char* dados, int n) {
  ERR_clear_error();
  const int r = SSL_write(sessao, dados, n);
  if (r > 0) return r;
  switch (SSL_get_error(sessao, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_SYSCALL: {
      const int erro = errno;
      falhou(sessao);
      errno = erro == 0 || ehBloqueio(erro) ? EPIPE : erro;
      return -1;
    }
    default:
      falhou(sessao);
      errno = EPROTO;
      return -1;
  }
}

bool tlsPendente(TSessaoTls* sessao) { return SSL_has_pending(sessao) == 1; }

void tlsTerminaEscrita(TSessaoTls* sessao) {
  ERR_clear_error();
  if ((SSL_get_shutdown(sessao) & SSL_SENT_SHUTDOWN) == 0) SSL_shutdown(sessao);
  ERR_clear_error();
}

void tlsEncerra(TSessaoTls* sessao) {
  if (sessao == nullptr) return;
  // One attempt, non-blocking: a full socket loses the alert, never the loop.
  ERR_clear_error();
  SSL_shutdown(sessao);
  ERR_clear_error();
  SSL_free(sessao);
}

// ---- the server side ---------------------------------------------------------

namespace {

// A file as stat saw it: a renewal changes one of these.
struct TMarcaArquivo {
  timespec mudou{};
  ino_t no = 0;
  bool operator==(const TMarcaArquivo& o) const {
    return mudou.tv_sec == o.mudou.tv_sec && mudou.tv_nsec == o.mudou.tv_nsec && no == o.no;
  }
};

// The listener's pair: the context in service, the files it came from, and
// the times they had when it was loaded (or when loading them last failed).
struct TServidorTls {
  SSL_CTX* contexto = nullptr;
  char certificado[kTamanhoCaminhoTls] = {};
  char chave[kTamanhoCaminhoTls] = {};
  TMarcaArquivo marcaCertificado, marcaChave;  // of the pair in service, or of the last that failed
  uint32_t vistoMs = 0;                        // last look at the files
};
TServidorTls servidor;

TMarcaArquivo marcaDe(const char* caminho) {
  struct stat st {};
  TMarcaArquivo m;
  if (stat(caminho, &st) == 0) {
    m.mudou = st.st_mtim;
    m.no = st.st_ino;
  }
  return m;
}

// "FILE: reason" from the earliest error OpenSSL queued: the one that says
// what went wrong first (a missing file's system error before the PEM
// reader's complaint about it).
void falhaDe(const char* arquivo, char (&falha)[kTamanhoFalhaTls]) {
  const char* dados = nullptr;
  int bandeiras = 0;
  const unsigned long erro = ERR_peek_error_data(&dados, &bandeiras);
  char razao[kTamanhoRazaoTls];
  if (erro != 0 && ERR_GET_LIB(erro) == ERR_LIB_SYS) {
    copiaErro(razao, ERR_GET_REASON(erro), sizeof razao);
  } else if (erro != 0 && ERR_reason_error_string(erro) != nullptr) {
    // The reason, and OpenSSL's own words after it where it has some ("no
    // start line: Expecting: TRUSTED CERTIFICATE").
    const bool texto = (bandeiras & ERR_TXT_STRING) != 0 && dados != nullptr && dados[0] != '\0';
    formata(razao, sizeof razao, texto ? "%s: %s" : "%s", ERR_reason_error_string(erro), texto ? dados : "");
  } else if (erro != 0) {
    ERR_error_string_n(erro, razao, sizeof razao);
  } else {
    copiaErro(razao, errno != 0 ? errno : EINVAL, sizeof razao);
  }
  formata(falha, sizeof falha, "%s: %s", arquivo, razao);
  ERR_clear_error();
}

// A server context for the pair, or null with `falha` filled.
SSL_CTX* contextoServidor(const char* certificado, const char* chave, char (&falha)[kTamanhoFalhaTls]) {
  ERR_clear_error();
  errno = 0;
  SSL_CTX* contexto = SSL_CTX_new(TLS_server_method());
  if (contexto == nullptr) {
    falhaDe(certificado, falha);
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(contexto, TLS1_2_VERSION);
  SSL_CTX_set_options(contexto, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(contexto, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Nothing resumes: every connection is one request or one long session.
  SSL_CTX_set_session_cache_mode(contexto, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(contexto, 0);
  const char* culpado = nullptr;
  if (SSL_CTX_use_certificate_chain_file(contexto, certificado) != 1)
    culpado = certificado;
  else if (SSL_CTX_use_PrivateKey_file(contexto, chave, SSL_FILETYPE_PEM) != 1 ||
           SSL_CTX_check_private_key(contexto) != 1)
    culpado = chave;
  if (culpado != nullptr) {
    falhaDe(culpado, falha);
    SSL_CTX_free(contexto);
    return nullptr;
  }
  return contexto;
}

}  // namespace

bool tlsServidorCarrega(const char* certificado, const char* chave, char (&falha)[kTamanhoFalhaTls]) {
  falha[0] = '\0';
  const TMarcaArquivo mc = marcaDe(certificado), mk = marcaDe(chave);
  SSL_CTX* contexto = contextoServidor(certificado, chave, falha);
  if (contexto == nullptr) return false;
  SSL_CTX_free(servidor.contexto);
  servidor.contexto = contexto;
  copiaLimitada(servidor.certificado, certificado, sizeof servidor.certificado);
  copiaLimitada(servidor.chave, chave, sizeof servidor.chave);
  servidor.marcaCertificado = mc;
  servidor.marcaChave = mk;
  return true;
}

int tlsServidorRenova(uint32_t agoraMs, char (&falha)[kTamanhoFalhaTls]) {
  falha[0] = '\0';
  if (servidor.contexto == nullptr || agoraMs - servidor.vistoMs < kMsEntreRenovacoes) return kRenovacaoNenhuma;
  servidor.vistoMs = agoraMs;
  const TMarcaArquivo mc = marcaDe(servidor.certificado), mk = marcaDe(servidor.chave);
  if (mc == servidor.marcaCertificado && mk == servidor.marcaChave) return kRenovacaoNenhuma;
  // Whatever comes of it, these times have been seen: a pair that fails is
  // not read again, nor reported again, until one of the files changes.
  servidor.marcaCertificado = mc;
  servidor.marcaChave = mk;
  SSL_CTX* contexto = contextoServidor(servidor.certificado, servidor.chave, falha);
  if (contexto == nullptr) return kRenovacaoFalhou;
  SSL_CTX_free(servidor.contexto);  // sessions under way keep their own reference
  servidor.contexto = contexto;
  return kRenovacaoFeita;
}

TSessaoTls* tlsServidorSessao(int soquete) {
  if (servidor.contexto == nullptr) return nullptr;
  ERR_clear_error();
  TSessaoTls* sessao = SSL_new(servidor.contexto);
  if (sessao != nullptr && SSL_set_fd(sessao, soquete) != 1) {
    SSL_free(sessao);
    sessao = nullptr;
  }
  ERR_clear_error();
  if (sessao != nullptr) SSL_set_accept_state(sessao);
  return sessao;
}

void tlsServidorEsquece() {
  SSL_CTX_free(servidor.contexto);
  servidor = TServidorTls{};
}

}  // namespace zandor
