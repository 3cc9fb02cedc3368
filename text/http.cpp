// The request head parser: finding the blank line, the request line (whole
// or still arriving), the fields the listener reads, and the two readers of
// values.
#include "text/http.h"

#include <cstring>

namespace zandor {

namespace {

constexpr char kVersao[] = "HTTP/1.";  // then one digit
constexpr int kTamanhoVersao = 8;      // "HTTP/1.1"
static_assert(sizeof kVersao == kTamanhoVersao);

// tchar of RFC 9110: the characters of a method or a field name.
bool ehToken(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool ehBranco(unsigned char c) { return c == ' ' || c == '\t'; }

// A byte a field value may hold: visible ASCII, blanks, and 0x80..0xFF.
bool ehDeValor(unsigned char c) { return ehBranco(c) || (c >= 0x21 && c != 0x7F); }

unsigned char minuscula(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

// Whether p[0..n) is `nome`; `semCaixa` ignores ASCII case.
bool mesmoNome(const char* p, int n, const char* nome, bool semCaixa) {
  int i = 0;
  for (; i < n; ++i) {
    if (nome[i] == '\0') return false;
    const auto a = static_cast<unsigned char>(p[i]);
    const auto b = static_cast<unsigned char>(nome[i]);
    if (semCaixa ? minuscula(a) != minuscula(b) : a != b) return false;
  }
  return nome[i] == '\0';
}

// The length of the head in b[0..limite): up to and including the line end
// of its first empty line; 0 when there is none yet.
int fimCabecalho(const char* b, int limite) {
  int inicio = 0;  // where the current line starts
  while (inicio < limite) {
    if (b[inicio] == '\n') return inicio + 1;
    if (b[inicio] == '\r' && inicio + 1 < limite && b[inicio + 1] == '\n') return inicio + 2;
    const void* lf = std::memchr(b + inicio, '\n', static_cast<size_t>(limite - inicio));
    if (lf == nullptr) return 0;
    inicio = static_cast<int>(static_cast<const char*>(lf) - b) + 1;
  }
  return 0;
}

// The request line, without its line end. When `inteira` is false the line
// has not ended yet: running out of bytes is no fault then, only a byte that
// no request line could hold is. 1: whole and valid, read into `pedido`;
// 0: valid so far; -1: malformed.
int leLinhaPedido(const char* p, int n, bool inteira, TPedidoHttp* pedido) {
  const auto u = [p](int i) { return static_cast<unsigned char>(p[i]); };
  const int acabou = inteira ? -1 : 0;  // the answer when the bytes run out

  int i = 0;
  while (i < n && ehToken(u(i))) ++i;
  if (i == n) return acabou;
  if (i == 0 || u(i) != ' ') return -1;
  const int fimMetodo = i++;

  const int inicioAlvo = i;
  if (i == n) return acabou;
  if (u(i) != '/') return -1;  // origin-form only
  while (i < n && u(i) > 0x20 && u(i) < 0x7F && u(i) != '#') ++i;
  if (i == n) return acabou;
  if (u(i) != ' ') return -1;
  const int fimAlvo = i++;

  const int inicioVersao = i;
  for (; i < n && i - inicioVersao < kTamanhoVersao; ++i) {
    const int k = i - inicioVersao;
    if (k < kTamanhoVersao - 1 ? u(i) != static_cast<unsigned char>(kVersao[k]) : u(i) < '0' || u(i) > '9')
      return -1;
  }
  if (i - inicioVersao < kTamanhoVersao) return acabou;
  if (i < n) return -1;  // anything after the version
  if (!inteira) return 0;

  pedido->metodo = mesmoNome(p, fimMetodo, "GET", false)    ? kMetodoGet
                   : mesmoNome(p, fimMetodo, "HEAD", false) ? kMetodoHead
                   : mesmoNome(p, fimMetodo, "POST", false) ? kMetodoPost
                                                            : kMetodoOutro;
  pedido->versao = p[n - 1] == '0' ? 10 : 11;
  const void* interrogacao = std::memchr(p + inicioAlvo, '?', static_cast<size_t>(fimAlvo - inicioAlvo));
  const int fimCaminho = interrogacao ? static_cast<int>(static_cast<const char*>(interrogacao) - p) : fimAlvo;
  pedido->caminho = {p + inicioAlvo, fimCaminho - inicioAlvo};
  if (interrogacao) pedido->consulta = {p + fimCaminho + 1, fimAlvo - fimCaminho - 1};
  return 1;
}

// The fields kept, by name; a second one of any is malformed.
struct TCampo {
  const char* nome;
  TTrecho TPedidoHttp::*valor;
};
constexpr TCampo kCampos[] = {
    {"Host", &TPedidoHttp::host},
    {"Upgrade", &TPedidoHttp::upgrade},
    {"Connection", &TPedidoHttp::connection},
    {"Sec-WebSocket-Key", &TPedidoHttp::chaveWs},
    {"Sec-WebSocket-Version", &TPedidoHttp::versaoWs},
    {"Origin", &TPedidoHttp::origem},
    {"Cookie", &TPedidoHttp::cookie},
    {"Content-Length", &TPedidoHttp::comprimento},
};
// Their mere presence says a proxy stands between the peer and the listener.
constexpr const char* kCamposEncaminhado[] = {"Forwarded", "X-Forwarded-For", "X-Real-IP"};

// One field line, without its line end. False when malformed.
bool leCampo(const char* p, int n, TPedidoHttp* pedido) {
  const auto u = [p](int i) { return static_cast<unsigned char>(p[i]); };
  int i = 0;
  while (i < n && ehToken(u(i))) ++i;
  if (i == 0 || i == n || u(i) != ':') return false;  // also a folded line, which starts with a blank
  const int fimNome = i++;
  while (i < n && ehBranco(u(i))) ++i;
  const int inicioValor = i;
  for (; i < n; ++i)
    if (!ehDeValor(u(i))) return false;
  int fimValor = n;
  while (fimValor > inicioValor && ehBranco(u(fimValor - 1))) --fimValor;

  for (const TCampo& campo : kCampos) {
    if (!mesmoNome(p, fimNome, campo.nome, true)) continue;
    TTrecho& valor = pedido->*campo.valor;
    if (valor.existe()) return false;
    valor = {p + inicioValor, fimValor - inicioValor};
    return true;
  }
  for (const char* nome : kCamposEncaminhado)
    if (mesmoNome(p, fimNome, nome, true)) pedido->encaminhado = true;
  return !mesmoNome(p, fimNome, "Transfer-Encoding", true);
}

// Content-Length's value: digits only, at least one. False when malformed;
// a length past kMaxCorpoHttp reads as -1.
bool leComprimento(TTrecho valor, int* tamanho) {
  if (!valor.existe()) return true;
  if (valor.n == 0) return false;
  long total = 0;
  for (int i = 0; i < valor.n; ++i) {
    const char c = valor.p[i];
    if (c < '0' || c > '9') return false;
    if (total <= kMaxCorpoHttp) total = total * 10 + (c - '0');
  }
  *tamanho = total > kMaxCorpoHttp ? -1 : static_cast<int>(total);
  return true;
}

// The line starting at b[inicio], ending before `fim`: where its content
// ends (before CR LF or LF) and where the next line starts. The caller has
// made sure an LF lies before `fim`.
void achaLinha(const char* b, int inicio, int fim, int* fimConteudo, int* proxima) {
  const auto* lf = static_cast<const char*>(std::memchr(b + inicio, '\n', static_cast<size_t>(fim - inicio)));
  *proxima = static_cast<int>(lf - b) + 1;
  *fimConteudo = *proxima - 1;
  if (*fimConteudo > inicio && b[*fimConteudo - 1] == '\r') --*fimConteudo;
}

}  // namespace

int analisaPedidoHttp(const char* bytes, int n, TPedidoHttp* pedido) {
  const int limite = n < kMaxCabecalhoHttp ? n : kMaxCabecalhoHttp;
  if (limite <= 0) return kHttpIncompleto;
  const int tamanho = fimCabecalho(bytes, limite);

  if (tamanho == 0) {
    // Still arriving: the request line, whole or not, may already tell.
    TPedidoHttp descarte;
    const void* lf = std::memchr(bytes, '\n', static_cast<size_t>(limite));
    int fimLinha = lf ? static_cast<int>(static_cast<const char*>(lf) - bytes) : limite;
    if (fimLinha > 0 && bytes[fimLinha - 1] == '\r') --fimLinha;  // a CR may be half of a CR LF
    if (leLinhaPedido(bytes, fimLinha, lf != nullptr, &descarte) < 0) return kHttpMalformado;
    return n >= kMaxCabecalhoHttp ? kHttpGrande : kHttpIncompleto;
  }

  TPedidoHttp lido;
  int fimConteudo, proxima;
  achaLinha(bytes, 0, tamanho, &fimConteudo, &proxima);
  if (leLinhaPedido(bytes, fimConteudo, true, &lido) <= 0) return kHttpMalformado;
  for (int inicio = proxima; inicio < tamanho;) {
    achaLinha(bytes, inicio, tamanho, &fimConteudo, &proxima);
    if (fimConteudo == inicio) break;  // the blank line
    if (!leCampo(bytes + inicio, fimConteudo - inicio, &lido)) return kHttpMalformado;
    inicio = proxima;
  }
  if (lido.versao == 11 && !lido.host.existe()) return kHttpMalformado;
  if (!leComprimento(lido.comprimento, &lido.tamanhoCorpo)) return kHttpMalformado;
  lido.tamanho = tamanho;
  if (pedido != nullptr) *pedido = lido;
  return kHttpCompleto;
}

bool trechoIgual(TTrecho t, const char* texto) { return t.existe() && mesmoNome(t.p, t.n, texto, false); }

bool temToken(TTrecho valor, const char* token) {
  if (!valor.existe()) return false;
  int i = 0;
  while (i <= valor.n) {
    const void* virgula = std::memchr(valor.p + i, ',', static_cast<size_t>(valor.n - i));
    const int fim = virgula ? static_cast<int>(static_cast<const char*>(virgula) - valor.p) : valor.n;
    int a = i, b = fim;
    while (a < b && ehBranco(static_cast<unsigned char>(valor.p[a]))) ++a;
    while (b > a && ehBranco(static_cast<unsigned char>(valor.p[b - 1]))) --b;
    if (mesmoNome(valor.p + a, b - a, token, true)) return true;
    i = fim + 1;
  }
  return false;
}

TTrecho parametroConsulta(TTrecho consulta, const char* nome) {
  if (!consulta.existe()) return {};
  int i = 0;
  while (i <= consulta.n) {
    const void* e = std::memchr(consulta.p + i, '&', static_cast<size_t>(consulta.n - i));
    const int fim = e ? static_cast<int>(static_cast<const char*>(e) - consulta.p) : consulta.n;
    const void* igual = std::memchr(consulta.p + i, '=', static_cast<size_t>(fim - i));
    const int fimNome = igual ? static_cast<int>(static_cast<const char*>(igual) - consulta.p) : fim;
    if (mesmoNome(consulta.p + i, fimNome - i, nome, false)) {
      const int inicioValor = igual ? fimNome + 1 : fim;
      return {consulta.p + inicioValor, fim - inicioValor};
    }
    i = fim + 1;
  }
  return {};
}

}  // namespace zandor
