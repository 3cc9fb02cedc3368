// The web listener, the HTTP requests it reads, and the upgrade to a web user.
#include "gateway/web.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "gateway/cliente.h"
#include "gateway/mensagens.h"
#include "gateway/paginas.h"
#include "text/brancos.h"
#include "text/formata.h"
#include "text/numero.h"

namespace zandor {

TConfigWeb configWeb;
int TPedido::quantos = 0;

namespace {

constexpr int kPortaWebMin = 1024, kPortaWebMax = 65535;
constexpr int kTamanhoResposta = 400;  // a response head
constexpr char kGuidWebSocket[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr int kTamanhoChave = 24;      // 16 bytes in base64
constexpr char kLocal[] = "127.0.0.1";

// Sent at once and closed, when kMaxPedidos are being read already.
constexpr char kOcupado[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

struct TStatus {
  int codigo;
  const char* frase;
};
constexpr TStatus kStatus[] = {
    {200, "OK"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {431, "Request Header Fields Too Large"},
    {503, "Service Unavailable"},
};

const char* fraseDe(int codigo) {
  for (const TStatus& s : kStatus)
    if (s.codigo == codigo) return s.frase;
  return "Error";
}

// Whether the comma-separated list `lista` holds `token`, letter case aside.
bool temToken(const char* lista, const char* token) {
  if (lista == nullptr) return false;
  const size_t n = std::strlen(token);
  const char* p = lista;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    const char* inicio = p;
    while (*p != '\0' && *p != ',') ++p;
    const char* fim = p;
    while (fim > inicio && (fim[-1] == ' ' || fim[-1] == '\t')) --fim;
    if (static_cast<size_t>(fim - inicio) == n && strncasecmp(inicio, token, n) == 0) return true;
  }
  return false;
}

bool chaveValida(const char* chave) {
  if (chave == nullptr || std::strlen(chave) != kTamanhoChave) return false;
  for (int i = 0; i < kTamanhoChave - 2; ++i) {
    const char c = chave[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
      return false;
  }
  return chave[kTamanhoChave - 2] == '=' && chave[kTamanhoChave - 1] == '=';
}

// The request head, read in place: the request line's three parts and the
// header fields, each a terminated text inside the head's buffer.
constexpr int kMaxCampos = 64;
constexpr int kTamanhoValorQuery = 128;

struct TRequisicao {
  char* metodo = nullptr;
  char* caminho = nullptr;   // without the query
  char* consulta = nullptr;  // after '?', or empty
  char* nomes[kMaxCampos] = {};
  char* valores[kMaxCampos] = {};
  int campos = 0;

  // The value of the first field named `nome` (letter case aside), or null.
  const char* campo(const char* nome) const {
    for (int i = 0; i < campos; ++i)
      if (strcasecmp(nomes[i], nome) == 0) return valores[i];
    return nullptr;
  }
  // The query's `nome=` value, into `valor`; false when absent or too long.
  bool parametro(const char* nome, char (&valor)[kTamanhoValorQuery]) const {
    const size_t n = std::strlen(nome);
    for (const char* p = consulta; *p != '\0';) {
      const char* fim = std::strchr(p, '&');
      if (fim == nullptr) fim = p + std::strlen(p);
      if (static_cast<size_t>(fim - p) > n && std::strncmp(p, nome, n) == 0 && p[n] == '=') {
        const size_t tamanho = static_cast<size_t>(fim - p) - n - 1;
        if (tamanho >= sizeof valor) return false;
        std::memcpy(valor, p + n + 1, tamanho);
        valor[tamanho] = '\0';
        return true;
      }
      p = *fim == '&' ? fim + 1 : fim;
    }
    return false;
  }
};

// Where the head that starts buffer[0] ends (just past its blank line), or
// -1 while it has not. `desde` is where the last search left off.
int fimCabecaHttp(const char* buffer, int n, int desde) {
  for (int i = desde > 3 ? desde - 3 : 0; i < n; ++i) {
    if (buffer[i] != '\n') continue;
    if (i + 1 < n && buffer[i + 1] == '\n') return i + 2;
    if (i + 2 < n && buffer[i + 1] == '\r' && buffer[i + 2] == '\n') return i + 3;
  }
  return -1;
}

// Splits the head in place. False for a malformed request line or field.
bool leRequisicao(char* cabeca, TRequisicao* req) {
  char* p = cabeca;
  auto linha = [&p]() -> char* {
    char* inicio = p;
    while (*p != '\0' && *p != '\n') ++p;
    char* fim = p;
    if (*p == '\n') ++p;
    if (fim > inicio && fim[-1] == '\r') --fim;
    *fim = '\0';
    return inicio;
  };
  char* primeira = linha();
  req->metodo = primeira;
  char* alvo = std::strchr(primeira, ' ');
  if (alvo == nullptr) return false;
  *alvo++ = '\0';
  char* versao = std::strchr(alvo, ' ');
  if (versao == nullptr) return false;
  *versao++ = '\0';
  if (std::strcmp(versao, "HTTP/1.1") != 0 && std::strcmp(versao, "HTTP/1.0") != 0) return false;
  if (alvo[0] != '/' || req->metodo[0] == '\0') return false;
  req->caminho = alvo;
  char* interrogacao = std::strchr(alvo, '?');
  static char kVazio[] = "";
  req->consulta = kVazio;
  if (interrogacao != nullptr) {
    *interrogacao = '\0';
    req->consulta = interrogacao + 1;
  }
  for (;;) {
    char* l = linha();
    if (*l == '\0') return true;
    char* doisPontos = std::strchr(l, ':');
    if (doisPontos == nullptr || doisPontos == l || req->campos == kMaxCampos) return false;
    *doisPontos = '\0';
    char* valor = doisPontos + 1;
    while (*valor == ' ' || *valor == '\t') ++valor;
    char* fim = valor + std::strlen(valor);
    while (fim > valor && (fim[-1] == ' ' || fim[-1] == '\t')) *--fim = '\0';
    req->nomes[req->campos] = l;
    req->valores[req->campos] = valor;
    ++req->campos;
  }
}

// An invitation's token: none is accepted until invitations exist.
bool conviteAceito(const char*) { return false; }

}  // namespace

// ---- configuration ---------------------------------------------------------

bool leLinhaWeb(const char* valor, TConfigWeb* cfg) {
  char copiaValor[kTamanhoUrlWeb + 2 * kTamanhoEnderecoWeb];
  if (std::strlen(valor) >= sizeof copiaValor) return false;
  copia(copiaValor, valor);
  char* palavras[4] = {};
  int n = 0;
  for (char* p = pulaBrancos(copiaValor); *p != '\0'; p = pulaBrancos(p)) {
    if (n == 4) return false;
    palavras[n++] = p;
    while (*p != '\0' && *p != ' ') ++p;
    if (*p == ' ') *p++ = '\0';
  }
  if (n < 2 || n > 3) return false;
  in_addr endereco{};
  if (inet_pton(AF_INET, palavras[0], &endereco) != 1) return false;
  for (const char* p = palavras[1]; *p != '\0'; ++p)
    if (*p < '0' || *p > '9') return false;
  const int porta = converteNumero(palavras[1]);
  if (porta < kPortaWebMin || porta > kPortaWebMax) return false;
  TConfigWeb lida;
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
  if (TPedido::quantos >= kMaxPedidos) {
    send(aceito, kOcupado, sizeof kOcupado - 1, MSG_NOSIGNAL);
    close(aceito);
    return;
  }
  TPedido* p = new (std::nothrow) TPedido(par->sin_addr.s_addr);
  if (p == nullptr) {
    close(aceito);
    return;
  }
  p->soqueteSaida = p->soqueteEntrada = aceito;
  semAtraso(aceito);
  p->cArma(kTicksCabeca);
}

// ---- a request -------------------------------------------------------------

TPedido::TPedido(uint32_t par) : peer(par) { ++quantos; }
TPedido::~TPedido() { --quantos; }

void TPedido::cExpira() { delete this; }

void TPedido::cEvento(const char* dados, int32_t n) {
  if (dados == nullptr) {
    if (n == 0) {
      delete this;
    } else if (respondendo) {
      alimenta();
    }
    return;
  }
  if (respondendo) return;
  // The head is kept whole up to its bound; bytes after its end (a client
  // that speaks first after an upgrade) are handed to the user.
  const int32_t antes = lido;
  const int32_t cabe = kMaxCabecaHttp - lido;
  const int32_t toma = n < cabe ? n : cabe;
  std::memcpy(cabeca + lido, dados, static_cast<size_t>(toma));
  lido += toma;
  cabeca[lido] = '\0';
  const int fimCabeca = fimCabecaHttp(cabeca, lido, antes);
  if (fimCabeca < 0) {
    if (lido >= kMaxCabecaHttp) responde(431, nullptr, nullptr, 0, false);
    return;
  }
  // What of this delivery lies past the head.
  const int32_t usados = fimCabeca - antes;
  cabeca[fimCabeca] = '\0';
  lido = fimCabeca;
  restoDados = dados + usados;
  restoN = n - usados;
  trata();
}

void TPedido::trata() {
  TRequisicao req;
  if (!leRequisicao(cabeca, &req)) {
    responde(400, nullptr, nullptr, 0, false);
    return;
  }
  const bool cabecaSo = std::strcmp(req.metodo, "HEAD") == 0;
  if (!cabecaSo && std::strcmp(req.metodo, "GET") != 0) {
    responde(405, "Allow: GET, HEAD\r\n", nullptr, 0, false);
    return;
  }
  if (std::strcmp(req.caminho, "/ws") == 0) {
    const char* chave = req.campo("Sec-WebSocket-Key");
    const char* versao = req.campo("Sec-WebSocket-Version");
    if (cabecaSo || !temToken(req.campo("Upgrade"), "websocket") || !temToken(req.campo("Connection"), "upgrade") ||
        !chaveValida(chave) || versao == nullptr || std::strcmp(versao, "13") != 0) {
      responde(400, "Sec-WebSocket-Version: 13\r\n", nullptr, 0, false);
      return;
    }
    if (casaCheia()) {
      responde(503, nullptr, nullptr, 0, false);
      return;
    }
    in_addr endereco{};
    endereco.s_addr = peer;
    char texto[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &endereco, texto, sizeof texto);
    const bool encaminhado = req.campo("Forwarded") != nullptr || req.campo("X-Forwarded-For") != nullptr ||
                             req.campo("X-Real-IP") != nullptr;
    const bool local = std::strcmp(texto, kLocal) == 0 && !encaminhado;
    char convite[kTamanhoValorQuery];
    const bool comConvite = !local && req.parametro("convite", convite) && conviteAceito(convite);
    if (!local && !comConvite) {
      responde(403, nullptr, nullptr, 0, false);
      return;
    }
    promove(chave, restoDados, restoN);
    return;
  }
  const TPagina* pagina = procuraPagina(req.caminho);
  if (pagina == nullptr) {
    responde(404, nullptr, nullptr, 0, cabecaSo);
    return;
  }
  char tipo[kTamanhoResposta];
  formata(tipo, sizeof tipo, "Content-Type: %s\r\nCache-Control: no-cache\r\n", pagina->tipo);
  responde(200, tipo, pagina->bytes, pagina->tamanho, cabecaSo);
}

void TPedido::responde(int codigo, const char* extras, const unsigned char* bytes, int32_t tamanho, bool cabecaSo) {
  respondendo = true;
  static constexpr unsigned char kSemCorpo[] = "";
  const char* tipo = "";
  if (bytes == nullptr) {
    // An error's body is its status line's words, as plain text.
    bytes = reinterpret_cast<const unsigned char*>(fraseDe(codigo));
    tamanho = static_cast<int32_t>(std::strlen(fraseDe(codigo)));
    tipo = "Content-Type: text/plain; charset=utf-8\r\n";
  }
  char resposta[kTamanhoResposta];
  const int n = static_cast<int>(formata(resposta, sizeof resposta,
                                         "HTTP/1.1 %d %s\r\n%s%sContent-Length: %d\r\n"
                                         "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n",
                                         codigo, fraseDe(codigo), tipo, extras != nullptr ? extras : "",
                                         static_cast<int>(tamanho)) -
                                 resposta);
  cEnvia(resposta, n);
  corpo = cabecaSo ? kSemCorpo : bytes;
  falta = cabecaSo ? 0 : tamanho;
  cArma(kTicksResposta);
  alimenta();
}

// Puts as much of the body in the ring as it takes and flushes; the drain
// event calls again. Once all is out the connection closes.
void TPedido::alimenta() {
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
      delete this;
      return;
    }
  }
}

void TPedido::promove(const char* chave, const char* sobra, int32_t nSobra) {
  TCliente* c = new (std::nothrow) TCliente;
  if (c == nullptr || !c->cIniciaWeb()) {
    delete c;
    delete this;
    return;
  }
  char aceite[29];
  aceiteWebSocket(chave, aceite);
  char resposta[kTamanhoResposta];
  const int n = static_cast<int>(formata(resposta, sizeof resposta,
                                         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                         "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n",
                                         aceite) -
                                 resposta);
  // The socket changes hands: this object must not close it.
  c->soqueteSaida = c->soqueteEntrada = soqueteSaida;
  soqueteSaida = soqueteEntrada = -1;
  delete this;
  c->cEnvia(resposta, n);
  c->cComecaWeb();
  if (nSobra > 0) c->cEvento(sobra, nSobra);
}

void aceiteWebSocket(const char* chave, char (&aceite)[29]) {
  char juntos[kTamanhoChave + sizeof kGuidWebSocket];
  formata(juntos, sizeof juntos, "%s%s", chave, kGuidWebSocket);
  unsigned char resumo[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(juntos), std::strlen(juntos), resumo);
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(aceite), resumo, SHA_DIGEST_LENGTH);
}

}  // namespace zandor
