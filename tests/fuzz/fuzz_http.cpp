// The request head parser on any bytes: views stay inside the head, the
// answer for any prefix agrees with the answer for the whole, and the list
// and query readers agree with a plain reference written over std::string.
// The admission's Origin and Host readers are checked against references of
// their own, and the per-address accounting (heads held, refusals in a
// minute, 429) against a plain model, driven by the input's last bytes as a
// script of connections, answers and clock steps from a few addresses.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "apoio_fuzz.h"
#include "gateway/web/admissao.h"
#include "text/formulario.h"
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

bool hostLocalReferencia(const std::string& host) {
  const size_t dois = host.rfind(':');
  std::string nome = host, porta;
  if (host.size() > 0 && host[0] == '[') {
    const size_t fecha = host.find(']');
    if (fecha == std::string::npos) return false;
    nome = host.substr(0, fecha + 1);
    porta = host.substr(fecha + 1);
  } else if (dois != std::string::npos) {
    nome = host.substr(0, host.find(':'));
    porta = host.substr(host.find(':'));
  }
  if (!porta.empty() && porta[0] != ':') return false;
  for (size_t i = 1; i < porta.size(); ++i)
    if (porta[i] < '0' || porta[i] > '9') return false;
  nome = baixa(nome);
  return nome == "127.0.0.1" || nome == "localhost" || nome == "[::1]";
}

bool origemReferencia(const TPedidoHttp& p, const TConfigWeb& cfg) {
  if (!p.origem.existe()) return true;
  const std::string origem = baixa(texto(p.origem));
  if (p.host.existe() && p.host.n > 0 && origem == (cfg.tls ? "https://" : "http://") + baixa(texto(p.host)))
    return true;
  const std::string url = cfg.url;
  const size_t esquema = url.find("://");
  if (esquema == std::string::npos) return false;
  const size_t fim = url.find('/', esquema + 3);
  const std::string autoridade = url.substr(esquema + 3, fim == std::string::npos ? fim : fim - esquema - 3);
  return !autoridade.empty() && origem == baixa(url.substr(0, esquema + 3) + autoridade);
}

// The accounting against a model: a script of steps over four addresses.
void contabilidade(const uint8_t* script, size_t n) {
  esqueceEnderecos();
  TConfigWeb cfg;
  TPedidoHttp sem;  // no Host, no credential: a refusal, unless 429
  std::map<uint32_t, int> cabecas, recusas;
  std::map<uint32_t, uint32_t> inicio;
  uint32_t agora = 1;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t ip = 0x0100007F + (static_cast<uint32_t>(script[i] & 3) << 24);
    switch ((script[i] >> 2) & 3) {
      case 0: {
        const bool abriu = abreCabeca(ip, agora);
        confere(abriu == (cabecas[ip] < kMaxCabecasPorEndereco));
        if (abriu) ++cabecas[ip];
        break;
      }
      case 1:
        if (cabecas[ip] > 0) {
          fechaCabeca(ip);
          --cabecas[ip];
        }
        break;
      case 2: {
        const bool aberto = recusas[ip] > 0 && agora - inicio[ip] < kMsJanelaRecusas;
        const TAdmissao a = decideAdmissao(sem, ip, cfg, agora);
        if (aberto && recusas[ip] >= kRecusasPorMinuto) {
          confere(a.codigo == kDemais && a.esperaS >= 1 && a.esperaS <= 60);
        } else {
          confere(a.codigo == kProibido);
          if (!aberto) {
            recusas[ip] = 0;
            inicio[ip] = agora;
          }
          ++recusas[ip];
        }
        break;
      }
      default:
        agora += 1u << (script[i] >> 4);  // up to 32 s a step
    }
    confere(cabecasDe(ip) == cabecas[ip]);
  }
  for (auto& [ip, c] : cabecas)
    while (c-- > 0) fechaCabeca(ip);
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
    confere(pedido.metodo >= kMetodoOutro && pedido.metodo <= kMetodoPost);
    confere(pedido.tamanhoCorpo >= -1 && pedido.tamanhoCorpo <= kMaxCorpoHttp);
    confere(pedido.versao == 10 || pedido.versao == 11);
    confere(pedido.versao == 10 || pedido.host.existe());
    confere(pedido.caminho.existe() && pedido.caminho.n > 0 && pedido.caminho.p[0] == '/');
    for (TTrecho v : {pedido.caminho, pedido.consulta, pedido.host, pedido.upgrade, pedido.connection,
                      pedido.chaveWs, pedido.versaoWs, pedido.origem, pedido.cookie, pedido.comprimento}) {
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
    // The seat's cookie is a view inside the Cookie field, and a form's
    // body, as the listener reads it after the head, yields a view inside
    // the body or a refusal.
    const TTrecho assento = valorCookie(pedido.cookie, "zandor_assento");
    if (assento.existe()) {
      confere(pedido.cookie.existe());
      dentro(assento, pedido.cookie.p, pedido.cookie.n);
    }
    if (pedido.metodo == kMetodoPost && pedido.tamanhoCorpo > 0 && t + pedido.tamanhoCorpo <= n) {
      TTrecho convite;
      const int f = campoFormulario(bytes + t, pedido.tamanhoCorpo, "convite", &convite);
      confere(f >= kFormularioAusente && f <= kFormularioMalformado);
      if (f == kFormularioAchado) dentro(convite, bytes + t, pedido.tamanhoCorpo);
    }
    // Who may upgrade, as far as Host and Origin say.
    if (pedido.host.existe()) confere(hostLocal(pedido.host) == hostLocalReferencia(texto(pedido.host)));
    for (const char* url : {"", "http://jogo.example:8080/z/", "https://Jogo.Example", "http://"}) {
      TConfigWeb cfg;
      std::strcpy(cfg.url, url);
      for (bool tls : {false, true}) {
        cfg.tls = tls;
        confere(origemPropria(pedido, cfg) == origemReferencia(pedido, cfg));
      }
    }
  }
  // The tail after the head, or the whole input, scripts the accounting.
  if (r == kHttpCompleto)
    contabilidade(dados + pedido.tamanho, static_cast<size_t>(n - pedido.tamanho));
  else if (n > 0 && dados[0] == 0xFF)
    contabilidade(dados + 1, static_cast<size_t>(n - 1));

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
