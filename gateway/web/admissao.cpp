// The admission of the web listener: origin, host, credential, full house,
// and the accounting per source address (admissao.h).
#include "gateway/web/admissao.h"

#include <arpa/inet.h>

#include <cstring>

#include "gateway/cliente.h"
#include "gateway/convite.h"
#include "gateway/web/assentos.h"
#include "text/formulario.h"

namespace zandor {

namespace {

struct TEndereco {
  uint32_t ip = 0;
  uint8_t cabecas = 0;   // heads in progress
  uint8_t recusas = 0;   // 403s since `inicio`, saturating
  uint32_t inicio = 0;   // ms of the first refusal of the current minute
};

static_assert(kMaxCabecasPorEndereco < UINT8_MAX && kRecusasPorMinuto < UINT8_MAX, "counts fit their bytes");

TEndereco enderecos[kMaxEnderecos];

bool minutoAberto(const TEndereco& e, uint32_t agora) { return e.recusas > 0 && agora - e.inicio < kMsJanelaRecusas; }
bool livre(const TEndereco& e, uint32_t agora) { return e.cabecas == 0 && !minutoAberto(e, agora); }

// The entry of `ip`, or null; with `cria`, a new one when there is none.
TEndereco* enderecoDe(uint32_t ip, uint32_t agora, bool cria) {
  TEndereco* vaga = nullptr;
  TEndereco* velha = nullptr;
  for (TEndereco& e : enderecos) {
    if (livre(e, agora)) {
      e = TEndereco{};
      if (vaga == nullptr) vaga = &e;
      continue;
    }
    if (e.ip == ip) return &e;
    if (e.cabecas == 0 && (velha == nullptr || agora - e.inicio > agora - velha->inicio)) velha = &e;
  }
  if (!cria) return nullptr;
  TEndereco* e = vaga != nullptr ? vaga : velha;
  if (e == nullptr) return nullptr;  // cannot happen: see kMaxEnderecos
  *e = TEndereco{};
  e->ip = ip;
  return e;
}

// A 403: counted against the address, whose minute begins with its first.
TAdmissao recusa(uint32_t par, uint32_t agora) {
  if (TEndereco* e = enderecoDe(par, agora, true)) {
    if (!minutoAberto(*e, agora)) {
      e->recusas = 0;
      e->inicio = agora;
    }
    if (e->recusas < UINT8_MAX) ++e->recusas;
  }
  return TAdmissao{kProibido, 0};
}

char minuscula(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether t[0..n) and texto[0..m) are the same letters, case aside.
bool mesmasLetras(const char* t, int n, const char* texto, int m) {
  if (n != m) return false;
  for (int i = 0; i < n; ++i)
    if (minuscula(t[i]) != minuscula(texto[i])) return false;
  return true;
}

// Whether `origem` is `esquema` "://" followed by `autoridade`.
bool origemEh(TTrecho origem, const char* esquema, const char* autoridade, int nAutoridade) {
  const int nEsquema = static_cast<int>(std::strlen(esquema));
  if (nAutoridade <= 0 || origem.n != nEsquema + 3 + nAutoridade) return false;
  return mesmasLetras(origem.p, nEsquema, esquema, nEsquema) && std::memcmp(origem.p + nEsquema, "://", 3) == 0 &&
         mesmasLetras(origem.p + nEsquema + 3, nAutoridade, autoridade, nAutoridade);
}

// Which credential a request holds, strongest first. Each is only looked
// at here (a seat's last use moves: it was presented); using an invite up is
// the caller's, once the house is known to have room.
enum Credencial : int { kSemCredencial = 0, kCredencialAssento, kCredencialLocal, kCredencialConvite };

Credencial credencialDe(const TPedidoHttp& req, uint32_t par, TTrecho* convite, uint32_t* assento) {
  const TTrecho cookie = valorCookie(req.cookie, kCookieAssento);
  if (cookie.existe() && (*assento = usaAssento(cookie.p, cookie.n)) != 0) return kCredencialAssento;
  if (par == htonl(INADDR_LOOPBACK) && !req.encaminhado && hostLocal(req.host)) return kCredencialLocal;
  *convite = parametroConsulta(req.consulta, "convite");
  if (convite->existe() && conviteValido(convite->p, convite->n)) return kCredencialConvite;
  return kSemCredencial;
}

}  // namespace

bool hostLocal(TTrecho host) {
  if (!host.existe()) return false;
  int fim = 0;  // where the name ends and ":port" may begin
  if (host.n > 0 && host.p[0] == '[') {
    while (fim < host.n && host.p[fim] != ']') ++fim;
    if (fim == host.n) return false;
    ++fim;
    if (!mesmasLetras(host.p, fim, "[::1]", 5)) return false;
  } else {
    while (fim < host.n && host.p[fim] != ':') ++fim;
    if (!mesmasLetras(host.p, fim, "127.0.0.1", 9) && !mesmasLetras(host.p, fim, "localhost", 9)) return false;
  }
  if (fim == host.n) return true;
  if (host.p[fim] != ':') return false;
  for (int i = fim + 1; i < host.n; ++i)
    if (host.p[i] < '0' || host.p[i] > '9') return false;
  return true;
}

bool origemPropria(const TPedidoHttp& req, const TConfigWeb& cfg) {
  if (!req.origem.existe()) return true;
  if (req.host.existe() && origemEh(req.origem, cfg.tls ? "https" : "http", req.host.p, req.host.n)) return true;
  // The web line's URL: its scheme and authority, up to the path.
  const char* url = cfg.url;
  const char* depois = std::strstr(url, "://");
  if (url[0] == '\0' || depois == nullptr) return false;
  const char* autoridade = depois + 3;
  const char* fim = std::strchr(autoridade, '/');
  const int n = fim != nullptr ? static_cast<int>(fim - autoridade) : static_cast<int>(std::strlen(autoridade));
  char esquema[8] = {};
  const int nEsquema = static_cast<int>(depois - url);
  if (nEsquema >= static_cast<int>(sizeof esquema)) return false;
  std::memcpy(esquema, url, static_cast<size_t>(nEsquema));
  return origemEh(req.origem, esquema, autoridade, n);
}

namespace {

// Step 1: an address past its refusals, or nothing.
bool demais(uint32_t par, uint32_t agora, TAdmissao* resposta) {
  const TEndereco* e = enderecoDe(par, agora, false);
  if (e == nullptr || !minutoAberto(*e, agora) || e->recusas < kRecusasPorMinuto) return false;
  const uint32_t falta = kMsJanelaRecusas - (agora - e->inicio);
  *resposta = TAdmissao{kDemais, static_cast<int>((falta + 999) / 1000)};
  return true;
}

}  // namespace

TAdmissao decideAdmissao(const TPedidoHttp& req, uint32_t par, const TConfigWeb& cfg, uint32_t agora, bool sonda) {
  TAdmissao resposta;
  if (demais(par, agora, &resposta)) return resposta;
  if (!origemPropria(req, cfg)) return recusa(par, agora);
  TTrecho convite;
  uint32_t assento = 0;
  const Credencial credencial = credencialDe(req, par, &convite, &assento);
  if (credencial == kSemCredencial) return recusa(par, agora);
  // A page taking its user back adds nobody: a full house does not stop it.
  const bool retoma = TCliente::procuraRetoma(parametroConsulta(req.consulta, "retoma"),
                                              credencial == kCredencialAssento ? assento : 0,
                                              credencial == kCredencialLocal) != nullptr;
  if (casaCheia() && !retoma) return TAdmissao{kLotado, 0};
  if (sonda) return TAdmissao{kAdmitido, 0};
  if (credencial == kCredencialConvite && !usaConvite(convite.p, convite.n, &resposta.assiste))
    return recusa(par, agora);
  resposta.codigo = kAdmitido;
  resposta.assento = credencial == kCredencialAssento ? assento : 0;
  if (resposta.assento != 0) resposta.assiste = assentoAssiste(resposta.assento);
  resposta.local = credencial == kCredencialLocal;
  return resposta;
}

TAdmissao decideEntrada(const TPedidoHttp& req, const char* corpo, int n, uint32_t par, const TConfigWeb& cfg,
                        uint32_t agora, bool* assiste) {
  TAdmissao resposta;
  if (demais(par, agora, &resposta)) return resposta;
  if (!origemPropria(req, cfg)) return recusa(par, agora);
  TTrecho convite;
  if (campoFormulario(corpo, n, "convite", &convite) != kFormularioAchado || !usaConvite(convite.p, convite.n, assiste))
    return recusa(par, agora);
  resposta.codigo = kAdmitido;
  return resposta;
}


bool abreCabeca(uint32_t par, uint32_t agora) {
  TEndereco* e = enderecoDe(par, agora, true);
  if (e == nullptr || e->cabecas >= kMaxCabecasPorEndereco) return false;
  ++e->cabecas;
  return true;
}

void fechaCabeca(uint32_t par) {
  for (TEndereco& e : enderecos)
    if (e.ip == par && e.cabecas > 0) {
      --e.cabecas;
      return;
    }
}

int cabecasDe(uint32_t par) {
  for (const TEndereco& e : enderecos)
    if (e.ip == par && e.cabecas > 0) return e.cabecas;
  return 0;
}

void esqueceEnderecos() {
  for (TEndereco& e : enderecos) e = TEndereco{};
}

}  // namespace zandor
