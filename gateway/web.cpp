// The web listener, the HTTP requests it reads, and the upgrade to a web user.
#include "gateway/web.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <cstring>
#include <new>

#include "gateway/cliente.h"
#include "gateway/inicio.h"
#include "gateway/mensagens.h"
#include "gateway/paginas.h"
#include "gateway/web/admissao.h"
#include "gateway/web/assentos.h"
#include "text/formulario.h"
#include "framework/laco.h"
#include "framework/relogio.h"
#include "text/brancos.h"
#include "text/formata.h"
#include "text/http.h"
#include "text/numero.h"

namespace zandor {

TConfigWeb configWeb;
int TConexaoHttp::quantos = 0;

namespace {

constexpr int kPortaWebMin = 1024, kPortaWebMax = 65535;
constexpr int kTamanhoResposta = 400;  // a response head
constexpr char kGuidWebSocket[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr int kTamanhoChave = 24;      // 16 bytes in base64

static_assert(kMaxCabecaHttp == kMaxCabecalhoHttp, "the head kept is the head the parser reads");
static_assert(kMaxCorpoHttpWeb == kMaxCorpoHttp, "the body kept is the body the parser allows");

// Sent at once and closed, when kMaxPedidos are being read already, or
// kMaxCabecasPorEndereco from the same address; in clear only.
constexpr char kOcupado[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

struct TStatus {
  int codigo;
  const char* frase;
};
constexpr TStatus kStatus[] = {
    {200, "OK"},
    {204, "No Content"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {413, "Content Too Large"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {503, "Service Unavailable"},
};

const char* fraseDe(int codigo) {
  for (const TStatus& s : kStatus)
    if (s.codigo == codigo) return s.frase;
  return "Error";
}

bool chaveValida(TTrecho chave) {
  if (chave.n != kTamanhoChave) return false;
  for (int i = 0; i < kTamanhoChave - 2; ++i) {
    const char c = chave.p[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
      return false;
  }
  return chave.p[kTamanhoChave - 2] == '=' && chave.p[kTamanhoChave - 1] == '=';
}

// A renewed certificate pair, or one refused, is a line in the log.
void renovaTls(uint32_t agora) {
  char falha[kTamanhoFalhaTls];
  const int r = tlsServidorRenova(agora, falha);
  if (r == kRenovacaoFeita) anotaLog(msg::kLogTlsRenovado, configWeb.certificado);
  if (r == kRenovacaoFalhou) anotaLog(msg::kLogTlsRecusado, falha);
}

}  // namespace

// ---- configuration ---------------------------------------------------------

bool leLinhaWeb(const char* valor, TConfigWeb* cfg) {
  constexpr int kMaxPalavras = 6;  // ADDRESS PORT URL tls CERT KEY
  char copiaValor[kTamanhoUrlWeb + 2 * kTamanhoCaminhoTls + 2 * kTamanhoEnderecoWeb];
  if (std::strlen(valor) >= sizeof copiaValor) return false;
  copia(copiaValor, valor);
  char* palavras[kMaxPalavras] = {};
  int n = 0;
  for (char* p = pulaBrancos(copiaValor); *p != '\0'; p = pulaBrancos(p)) {
    if (n == kMaxPalavras) return false;
    palavras[n++] = p;
    while (*p != '\0' && *p != ' ') ++p;
    if (*p == ' ') *p++ = '\0';
  }
  // The tail: "tls CERT KEY" as the last three words, after the URL or not.
  TConfigWeb lida;
  if (n >= 5 && strcasecmp(palavras[n - 3], "tls") == 0) {
    if (std::strlen(palavras[n - 2]) >= sizeof lida.certificado || std::strlen(palavras[n - 1]) >= sizeof lida.chave)
      return false;
    lida.tls = true;
    copia(lida.certificado, palavras[n - 2]);
    copia(lida.chave, palavras[n - 1]);
    n -= 3;
  }
  if (n < 2 || n > 3) return false;
  in_addr endereco{};
  if (inet_pton(AF_INET, palavras[0], &endereco) != 1) return false;
  for (const char* p = palavras[1]; *p != '\0'; ++p)
    if (*p < '0' || *p > '9') return false;
  const int porta = converteNumero(palavras[1]);
  if (porta < kPortaWebMin || porta > kPortaWebMax) return false;
  if (n == 3) {
    const char* url = palavras[2];
    if (std::strncmp(url, "http://", 7) != 0 && std::strncmp(url, "https://", 8) != 0) return false;
    if (std::strlen(url) >= sizeof lida.url) return false;
    copia(lida.url, url);
  }
  lida.ligado = true;
  lida.endereco = endereco.s_addr;
  lida.porta = static_cast<uint16_t>(porta);
  *cfg = lida;
  return true;
}

bool carregaTlsWeb(char (&falha)[kTamanhoFalhaTls]) {
  falha[0] = '\0';
  return !configWeb.tls || tlsServidorCarrega(configWeb.certificado, configWeb.chave, falha);
}

const char* abreWeb() {
  TEscutaWeb* escuta = new (std::nothrow) TEscutaWeb;
  if (escuta == nullptr) return msg::kAlocando;
  uint16_t porta = configWeb.porta;
  const char* erro = escuta->cAbre(&porta, configWeb.endereco);
  if (erro != nullptr) delete escuta;
  return erro;
}

// ---- the listener ----------------------------------------------------------

void TEscutaWeb::cConecta(int aceito, const sockaddr_in* par) {
  const uint32_t ip = par->sin_addr.s_addr;
  const uint32_t agora = relogio();
  if (TConexaoHttp::quantos >= kMaxPedidos || !abreCabeca(ip, agora)) {
    if (!configWeb.tls) send(aceito, kOcupado, sizeof kOcupado - 1, MSG_NOSIGNAL);
    close(aceito);
    return;
  }
  if (configWeb.tls) renovaTls(agora);
  TConexaoHttp* p = new (std::nothrow) TConexaoHttp(ip);
  if (p == nullptr) {
    fechaCabeca(ip);
    close(aceito);
    return;
  }
  p->adota(aceito);
  semAtraso(aceito);
  if (configWeb.tls && (p->tls = tlsServidorSessao(aceito)) == nullptr) {
    delete p;  // closes the socket
    return;
  }
  p->cArma(kTicksCabeca);
}

// ---- a request -------------------------------------------------------------

// The head counted by TEscutaWeb::cConecta ends with the object, however it ends.
TConexaoHttp::TConexaoHttp(uint32_t par) : peer(par) { ++quantos; }
TConexaoHttp::~TConexaoHttp() {
  --quantos;
  fechaCabeca(peer);
}

void TConexaoHttp::cExpira() { delete this; }

void TConexaoHttp::cEvento(const char* dados, int32_t n) {
  if (dados == nullptr) {
    if (n == 0) {
      delete this;
    } else if (respondendo && falta > 0) {
      alimenta();
    }
    return;
  }
  if (respondendo) return;
  // The head is kept whole up to its bound; bytes after its end (a client
  // that speaks first after an upgrade) are handed to the user.
  const int32_t antes = lido;
  const int32_t cabe = kMaxCabecaHttp + kMaxCorpoHttp - lido;
  const int32_t toma = n < cabe ? n : cabe;
  std::memcpy(cabeca + lido, dados, static_cast<size_t>(toma));
  lido += toma;
  TPedidoHttp pedido;
  switch (analisaPedidoHttp(cabeca, lido, &pedido)) {
    case kHttpIncompleto:
      return;
    case kHttpGrande:
      responde(431, nullptr, nullptr, 0, false);
      return;
    case kHttpMalformado:
      responde(400, nullptr, nullptr, 0, false);
      return;
    default:
      break;
  }
  if (pedido.metodo == kMetodoPost) {
    // A form's body follows its head; it is answered once whole.
    if (pedido.tamanhoCorpo < 0) {
      responde(413, nullptr, nullptr, 0, false);
      return;
    }
    if (lido < pedido.tamanho + pedido.tamanhoCorpo) return;
    entra(pedido, cabeca + pedido.tamanho, pedido.tamanhoCorpo);
    return;
  }
  // What of this delivery lies past the head.
  const int32_t usados = pedido.tamanho - antes;
  trata(pedido, dados + usados, n - usados);
}

// POST /entrar: an invite exchanged for a seat, whose secret goes back in
// a cookie. Any other target: 404.
void TConexaoHttp::entra(const TPedidoHttp& req, const char* corpoForm, int32_t n) {
  if (!trechoIgual(req.caminho, "/entrar")) {
    responde(404, nullptr, nullptr, 0, false);
    return;
  }
  bool assiste = false;
  const TAdmissao admissao = decideEntrada(req, corpoForm, n, peer, configWeb, relogio(), &assiste);
  if (admissao.codigo != kAdmitido) {
    respondeRecusa(admissao);
    return;
  }
  char segredo[kTamanhoSegredo];
  if (criaAssento(assiste, segredo) == 0) {
    responde(503, nullptr, nullptr, 0, false);
    return;
  }
  char campo[kTamanhoCampoCookie];
  campoCookieAssento(campo, segredo, configWeb.tls);
  OPENSSL_cleanse(segredo, sizeof segredo);
  char extras[kTamanhoResposta];
  formata(extras, sizeof extras, "%sCache-Control: no-store\r\n", campo);
  OPENSSL_cleanse(campo, sizeof campo);
  static constexpr unsigned char kNada[] = "";
  responde(204, extras, kNada, 0, false);
  OPENSSL_cleanse(extras, sizeof extras);
}

void TConexaoHttp::respondeRecusa(const TAdmissao& admissao) {
  char extras[kTamanhoResposta] = "";
  if (admissao.codigo == kDemais) formata(extras, sizeof extras, "Retry-After: %d\r\n", admissao.esperaS);
  responde(admissao.codigo, extras, nullptr, 0, false);
}

void TConexaoHttp::trata(const TPedidoHttp& req, const char* sobra, int32_t nSobra) {
  const bool cabecaSo = req.metodo == kMetodoHead;
  if (!cabecaSo && req.metodo != kMetodoGet) {
    responde(405, "Allow: GET, HEAD, POST\r\n", nullptr, 0, false);
    return;
  }
  // The path as a text: the head's copy is ours to cut.
  char caminho[kMaxCabecaHttp + 1];
  std::memcpy(caminho, req.caminho.p, static_cast<size_t>(req.caminho.n));
  caminho[req.caminho.n] = '\0';
  if (std::strcmp(caminho, "/ws") == 0) {
    // Who would get in is answered first, so that a page probing why its
    // WebSocket failed learns it; a probe spends nothing.
    const bool upgrade = !cabecaSo && temToken(req.upgrade, "websocket") && temToken(req.connection, "upgrade") &&
                         chaveValida(req.chaveWs) && trechoIgual(req.versaoWs, "13");
    const TAdmissao admissao = decideAdmissao(req, peer, configWeb, relogio(), !upgrade);
    if (admissao.codigo != kAdmitido) {
      respondeRecusa(admissao);
      return;
    }
    if (!upgrade) {
      responde(400, "Sec-WebSocket-Version: 13\r\n", nullptr, 0, false);
      return;
    }
    char chave[kTamanhoChave + 1];
    std::memcpy(chave, req.chaveWs.p, kTamanhoChave);
    chave[kTamanhoChave] = '\0';
    promove(chave, admissao, parametroConsulta(req.consulta, "retoma"), sobra, nSobra);
    return;
  }
  const TPagina* pagina = procuraPagina(caminho);
  if (pagina == nullptr) {
    responde(404, nullptr, nullptr, 0, cabecaSo);
    return;
  }
  char tipo[kTamanhoResposta];
  formata(tipo, sizeof tipo, "Content-Type: %s\r\nCache-Control: no-cache\r\n", pagina->tipo);
  responde(200, tipo, pagina->bytes, pagina->tamanho, cabecaSo);
}

void TConexaoHttp::responde(int codigo, const char* extras, const unsigned char* bytes, int32_t tamanho, bool cabecaSo) {
  respondendo = true;
  static constexpr unsigned char kSemCorpo[] = "";
  const char* tipo = "";
  if (bytes == nullptr) {
    // An error's body is its status line's words, as plain text.
    bytes = reinterpret_cast<const unsigned char*>(fraseDe(codigo));
    tamanho = static_cast<int32_t>(std::strlen(fraseDe(codigo)));
    tipo = "Content-Type: text/plain; charset=utf-8\r\n";
  }
  // A 204 carries no Content-Length: it has no body to measure.
  char comprimento[32] = "";
  if (codigo != 204) formata(comprimento, sizeof comprimento, "Content-Length: %d\r\n", static_cast<int>(tamanho));
  char resposta[2 * kTamanhoResposta];
  const int n = static_cast<int>(formata(resposta, sizeof resposta,
                                         "HTTP/1.1 %d %s\r\n%s%s%s"
                                         "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n",
                                         codigo, fraseDe(codigo), tipo, extras != nullptr ? extras : "",
                                         comprimento) -
                                 resposta);
  cEnvia(resposta, n);
  OPENSSL_cleanse(resposta, sizeof resposta);  // it may have held a seat's secret
  corpo = cabecaSo ? kSemCorpo : bytes;
  falta = cabecaSo ? 0 : tamanho;
  cArma(kTicksResposta);
  alimenta();
}

// Puts as much of the body in the ring as it takes and flushes; the drain
// event calls again. Once all is out the sending side is shut and what the
// client still sends is read and dropped until it closes (or 2 s pass):
// closing with unread input would reset the connection, and a client may
// then lose the answer, the 431 above all, that it has not read yet.
void TConexaoHttp::alimenta() {
  for (;;) {
    while (falta > 0 && cLivre() > 1) {
      const int32_t pedaco = falta < cLivre() - 1 ? falta : cLivre() - 1;
      if (!cEnvia(corpo, pedaco)) break;
      corpo += pedaco;
      falta -= pedaco;
    }
    if (!cDescarrega()) {
      if (fechar || soqueteSaida < 0) {
        delete this;
        return;
      }
      cArma(kTicksResposta);
      return;
    }
    if (falta == 0) {
      // Over TLS the end of the answer is said inside the session first.
      if (tls != nullptr) tlsTerminaEscrita(tls);
      shutdown(soqueteSaida, SHUT_WR);
      cArma(kTicksFechando);
      return;
    }
  }
}

void TConexaoHttp::promove(const char* chave, const TAdmissao& admissao, TTrecho retoma, const char* sobra,
                           int32_t nSobra) {
  // The page's id names a user admitted the same way: this link is its.
  TCliente* c = TCliente::procuraRetoma(retoma, admissao.assento, admissao.local);
  const bool retomando = c != nullptr;
  if (!retomando) {
    c = new (std::nothrow) TCliente;
    if (c == nullptr || !c->cIniciaWeb()) {
      delete c;
      delete this;
      return;
    }
    c->assento = admissao.assento;
    c->admitidoLocal = admissao.local;
    // Whoever came by an invite or a seat to watch only watches, from its
    // first text on.
    c->assiste = admissao.assiste;
    static_cast<void>(c->cVincula(retoma));  // unbound when memory is short: the user still plays
  }
  char aceite[29];
  aceiteWebSocket(chave, aceite);
  char resposta[kTamanhoResposta];
  const int n = static_cast<int>(formata(resposta, sizeof resposta,
                                         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                         "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n",
                                         aceite) -
                                 resposta);
  // The socket, and its TLS session, change hands: this object must not
  // close them.
  if (retomando) {
    const bool tomou = c->cRetoma(*this, resposta, n);
    delete this;
    if (!tomou) return;
  } else {
    c->adota(cede());
    delete this;
    c->cEnvia(resposta, n);
    c->cComecaWeb();
  }
  TVigia vida(c);
  if (nSobra > 0) c->cEvento(sobra, nSobra);
  // What the TLS session already holds past this delivery wakes no wait
  // (the loop stopped reading for the object that is gone): read it now.
  char buffer[kTamanhoRecebe];
  while (vida.vivo() && c->soqueteEntrada >= 0 && c->cRetido()) {
    const ssize_t r = c->cLe(buffer, sizeof buffer);
    if (r <= 0) break;  // an error or the end: the next wait sees it
    c->cEvento(buffer, static_cast<int32_t>(r));
  }
}


void aceiteWebSocket(const char* chave, char (&aceite)[29]) {
  char juntos[kTamanhoChave + sizeof kGuidWebSocket];
  formata(juntos, sizeof juntos, "%s%s", chave, kGuidWebSocket);
  unsigned char resumo[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(juntos), std::strlen(juntos), resumo);
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(aceite), resumo, SHA_DIGEST_LENGTH);
}

}  // namespace zandor
