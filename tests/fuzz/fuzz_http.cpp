// The request head parser on any bytes: views stay inside the head, the
// answer for any prefix agrees with the answer for the whole, and the list
// and query readers agree with a plain reference written over std::string.
#include <cstdlib>
#include <cstring>
#include <string>

#include "apoio_fuzz.h"
#include "text/http.h"

namespace {

using namespace zandor;

void confere(bool condicao) {
  if (!condicao) std::abort();
}

std::string baixa(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

std::string apara(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

bool temTokenReferencia(const std::string& valor, const std::string& token) {
  size_t i = 0;
  for (;;) {
    const size_t fim = valor.find(',', i);
    if (baixa(apara(valor.substr(i, fim == std::string::npos ? std::string::npos : fim - i))) == baixa(token))
      return true;
    if (fim == std::string::npos) return false;
    i = fim + 1;
  }
}

// "<ausente>" for none.
std::string parametroReferencia(const std::string& consulta, const std::string& nome) {
  size_t i = 0;
  for (;;) {
    const size_t fim = consulta.find('&', i);
    const std::string par = consulta.substr(i, fim == std::string::npos ? std::string::npos : fim - i);
    const size_t igual = par.find('=');
    if (par.substr(0, igual) == nome) return igual == std::string::npos ? "" : par.substr(igual + 1);
    if (fim == std::string::npos) return "<ausente>";
    i = fim + 1;
  }
}

std::string texto(TTrecho t) { return t.existe() ? std::string(t.p, static_cast<size_t>(t.n)) : "<ausente>"; }

void dentro(TTrecho t, const char* inicio, int tamanho) {
  if (!t.existe()) return;
  confere(t.n >= 0 && t.p >= inicio && t.p + t.n <= inicio + tamanho);
}

bool iguais(const TPedidoHttp& a, const TPedidoHttp& b) {
  const auto mesmo = [](TTrecho x, TTrecho y) { return x.p == y.p && x.n == y.n; };
  return a.tamanho == b.tamanho && a.metodo == b.metodo && a.versao == b.versao && mesmo(a.caminho, b.caminho) &&
         mesmo(a.consulta, b.consulta) && mesmo(a.host, b.host) && mesmo(a.upgrade, b.upgrade) &&
         mesmo(a.connection, b.connection) && mesmo(a.chaveWs, b.chaveWs) && mesmo(a.versaoWs, b.versaoWs) &&
         mesmo(a.origem, b.origem) && a.encaminhado == b.encaminhado;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  const char* bytes = reinterpret_cast<const char*>(dados);
  const int n = tamanho > 100000 ? 100000 : static_cast<int>(tamanho);
  TPedidoHttp pedido;
  const int r = analisaPedidoHttp(bytes, n, &pedido);
  confere(r >= kHttpIncompleto && r <= kHttpMalformado);
  confere(r != kHttpGrande || n >= kMaxCabecalhoHttp);
  confere(r != kHttpIncompleto || n < kMaxCabecalhoHttp);

  if (r == kHttpCompleto) {
    const int t = pedido.tamanho;
    confere(t > 0 && t <= n && t <= kMaxCabecalhoHttp && bytes[t - 1] == '\n');
    confere(pedido.metodo >= kMetodoOutro && pedido.metodo <= kMetodoHead);
    confere(pedido.versao == 10 || pedido.versao == 11);
    confere(pedido.versao == 10 || pedido.host.existe());
    confere(pedido.caminho.existe() && pedido.caminho.n > 0 && pedido.caminho.p[0] == '/');
    for (TTrecho v : {pedido.caminho, pedido.consulta, pedido.host, pedido.upgrade, pedido.connection,
                      pedido.chaveWs, pedido.versaoWs, pedido.origem}) {
      dentro(v, bytes, t);
      // Values are trimmed and hold no line end.
      if (v.existe() && v.n > 0) confere(v.p[0] != ' ' && v.p[v.n - 1] != ' ' && v.p[v.n - 1] != '\t');
      if (v.existe()) confere(std::memchr(v.p, '\n', static_cast<size_t>(v.n)) == nullptr);
      if (v.existe()) confere(std::memchr(v.p, '\r', static_cast<size_t>(v.n)) == nullptr);
    }
    for (const char* token : {"upgrade", "keep-alive", "websocket", ""})
      for (TTrecho v : {pedido.connection, pedido.upgrade, pedido.host})
        if (v.existe()) confere(temToken(v, token) == temTokenReferencia(texto(v), token));
    for (const char* nome : {"convite", "a", ""})
      if (pedido.consulta.existe())
        confere(texto(parametroConsulta(pedido.consulta, nome)) == parametroReferencia(texto(pedido.consulta), nome));
  }

  // Bytes that arrive later never change the answer for those already here.
  const int cortes[] = {n / 3, 2 * n / 3, n - 1, r == kHttpCompleto ? pedido.tamanho - 1 : 0,
                        r == kHttpCompleto ? pedido.tamanho : 0};
  for (int k : cortes) {
    if (k < 0 || k > n) continue;
    TPedidoHttp parte;
    const int rk = analisaPedidoHttp(bytes, k, &parte);
    switch (r) {
      case kHttpCompleto:
        confere(k < pedido.tamanho ? rk == kHttpIncompleto : rk == kHttpCompleto && iguais(parte, pedido));
        break;
      case kHttpGrande:
        confere(rk == (k < kMaxCabecalhoHttp ? kHttpIncompleto : kHttpGrande));
        break;
      case kHttpMalformado:
        confere(rk == kHttpIncompleto || rk == kHttpMalformado);
        break;
      default:
        confere(rk == kHttpIncompleto);
    }
  }
  return 0;
}
