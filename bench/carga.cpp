// The load's sessions and its one event loop: users connecting and logging
// in, the MUD link, and the loop that reads both sides and paces the sends.
#include "carga.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "quadro.h"
#include "quadroweb.h"

namespace carga {

namespace {

void preparaSoquete(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  const int um = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &um, sizeof um);
}

// Connects to 127.0.0.1:porta, retrying while nothing listens yet: a relay
// started a moment ago may not be listening.
e2e::Conexao conectaAte(int porta, Ns prazo = 5 * kS) {
  const Ns fim = agora() + prazo;
  for (;;) {
    e2e::Conexao c = e2e::Conexao::conecta(porta);
    if (c.aberta()) {
      preparaSoquete(c.fd());
      return c;
    }
    if (agora() > fim) falha("cannot connect to port " + std::to_string(porta));
    usleep(20000);
  }
}

void enviaTudo(int fd, const std::string& s) {
  size_t feito = 0;
  while (feito < s.size()) {
    const ssize_t r = send(fd, s.data() + feito, s.size() - feito, MSG_NOSIGNAL);
    if (r > 0) {
      feito += static_cast<size_t>(r);
    } else if (r < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      falha("send failed");
    }
  }
}

}  // namespace

Carga::Carga() : ep_(epoll_create1(0)) {
  if (ep_ < 0) falha("epoll_create1 failed");
}

Carga::~Carga() { close(ep_); }

// ---- sessions ------------------------------------------------------------------

void Carga::conectaUsuario(int porta) {
  Usuario x;
  x.conexao = conectaAte(porta);
  vigia(x.conexao.fd(), static_cast<uint32_t>(usuarios_.size()), EPOLLIN);
  usuarios_.push_back(std::move(x));
}

// Connections are made in groups of eight, each greeted before the next, to
// stay within the gateway's listen backlog.
void Carga::entraNoGateway(int porta, int n, int web, int portaWeb, int quadros) {
  for (int i = 0; i < n; i += 8) {
    for (int j = i; j < std::min(n, i + 8); ++j) conectaUsuario(porta);
    esperaTodos("ENTER\r\n", "greeting", static_cast<size_t>(i));
  }
  // A first line with text is the framed client's.
  for (size_t i = 0; i < usuarios_.size(); ++i) {
    usuarios_[i].quadros = static_cast<int>(i) < quadros;
    enviaTudo(usuarios_[i].conexao.fd(), usuarios_[i].quadros ? "q\r\n" : "\r\n");
  }
  esperaTodos("Entrando via", "detection");
  for (size_t i = 0; i < usuarios_.size(); ++i) {
    const std::string apelido = "u" + std::to_string(i + 1);  // u1, u2, ...
    enviaTudo(usuarios_[i].conexao.fd(), usuarios_[i].quadros ? quadro(apelido) : apelido + "\r\n");
  }
  esperaTodos("Tecle /ajuda para saber os comandos\r\n", "nickname");
  // Web users in groups of six, the requests the web listener reads at once.
  const size_t primeiroWeb = usuarios_.size();
  for (int i = 0; i < web; i += 6) {
    const size_t desde = usuarios_.size();
    for (int j = i; j < std::min(web, i + 6); ++j) {
      conectaUsuario(portaWeb);
      Usuario& x = usuarios_.back();
      x.web = true;
      enviaTudo(x.conexao.fd(), "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    }
    esperaTodos("Digite seu apelido\r\n", "web upgrade", desde);
  }
  for (size_t i = primeiroWeb; i < usuarios_.size(); ++i) enviaTudo(usuarios_[i].conexao.fd(), textoWeb("u" + std::to_string(i + 1)));
  esperaTodos("Tecle /ajuda para saber os comandos\r\n", "web nickname", primeiroWeb);
}

bool Carga::enviaLinha(const Usuario& x, const std::string& linha) {
  std::string bytes = linha;
  if (x.web) bytes = textoWeb(linha);
  if (x.quadros) bytes = quadro(linha.substr(0, linha.find_first_of("\r\n")));
  return send(x.conexao.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void Carga::aqueceGateway(int porta, int portaWeb) {
  if (portaWeb > 0) {
    entraNoGateway(porta, 0, 1, portaWeb);
  } else {
    entraNoGateway(porta, 1);
  }
  const int fd = usuarios_[0].conexao.fd();
  enviaTudo(fd, portaWeb > 0 ? textoWeb("/sair") : std::string("/sair\r\n"));
  const Ns fim = agora() + 5 * kS;
  char lixo[4096];
  for (ssize_t r; (r = recv(fd, lixo, sizeof lixo, 0)) != 0 && agora() < fim;) {
    pollfd p{fd, POLLIN, 0};
    if (r < 0) poll(&p, 1, 100);
  }
  usuarios_.clear();  // closes the socket
  pausa(300 * kMs);
}

void Carga::ligaMudPeloGateway() {
  const std::string mud = "/mud 127.0.0.1 " + std::to_string(mud_.porta()) + "\r\n";
  if (!enviaLinha(usuarios_[0], mud)) falha("the first user could not ask for the MUD");
  aceitaMud();
  esperaTodos("/Conectado\r\n", "MUD link");
}

void Carga::aceitaMud() {
  mudLado_ = mud_.aceita(std::chrono::milliseconds(5000));
  if (!mudLado_.aberta()) falha("the target never connected to the MUD");
  preparaSoquete(mudLado_.fd());
  vigia(mudLado_.fd(), kMud, EPOLLIN);
}

void Carga::sincroniza() {
  for (Usuario& x : usuarios_) {
    x.logado = true;
    x.viuSync = false;
    x.entrada.clear();
  }
  const Ns fim = agora() + 15 * kS;
  while (!todos([](const Usuario& x) { return x.viuSync; })) {
    if (agora() > fim) falha("users never saw the MUD's marker line");
    enviaTudo(mudLado_.fd(), "ZS\r\n");
    gira(agora() + 100 * kMs, [] { return false; });
  }
  gira(agora() + 200 * kMs, [] { return false; });  // let stray markers pass
}

// ---- the loop --------------------------------------------------------------------

void Carga::vigia(int fd, uint32_t marca, uint32_t eventos) {
  epoll_event e{};
  e.events = eventos;
  e.data.u32 = marca;
  epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
}

bool Carga::todos(const std::function<bool(const Usuario&)>& p) const {
  return std::all_of(usuarios_.begin(), usuarios_.end(), p);
}

// Waits until every user from `desde` on has received `texto`.
void Carga::esperaTodos(const std::string& texto, const char* etapa, size_t desde) {
  auto chegou = [&](const Usuario& x) { return x.logado || x.entrada.find(texto) != std::string::npos; };
  gira(agora() + 15 * kS, [&] { return std::all_of(usuarios_.begin() + static_cast<long>(desde), usuarios_.end(), chegou); });
  for (size_t i = desde; i < usuarios_.size(); ++i) {
    Usuario& x = usuarios_[i];
    if (!x.logado && x.entrada.find(texto) == std::string::npos) falha(std::string("login stalled at ") + etapa);
    x.entrada.clear();
  }
}

// Reads users and the MUD, paces the MUD's lines and the users' typing,
// until `ate` or until `pronto` says so.
void Carga::gira(Ns ate, const std::function<bool()>& pronto) {
  epoll_event ev[128];
  while (!pronto()) {
    const Ns t = agora();
    if (t >= ate) return;
    const int espera = (enviando_ || digitando_ || !mudSaida_.empty()) ? 1 : static_cast<int>(std::min<Ns>(50, (ate - t) / kMs + 1));
    const int n = epoll_wait(ep_, ev, 128, espera);
    for (int i = 0; i < n; ++i) {
      if (ev[i].data.u32 == kMud) {
        if (ev[i].events & EPOLLIN) leMud();
        if (ev[i].events & EPOLLOUT) descarregaMud();
      } else {
        leUsuario(usuarios_[ev[i].data.u32]);
      }
    }
    if (enviando_) enviaLinhas();
    if (digitando_) digita();
  }
}

void Carga::leUsuario(Usuario& x) {
  for (;;) {
    const ssize_t r = recv(x.conexao.fd(), buffer_, sizeof buffer_, 0);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) falha("the target closed a user's connection");
    if (r < 0) return;
    const Ns t = agora();
    if (x.web) {
      // The upgrade's answer, then frames: their text goes on as a telnet
      // user's bytes would; pings and the like are skipped.
      x.bruto.append(buffer_, static_cast<size_t>(r));
      if (!x.aberto) {
        const size_t fim = x.bruto.find("\r\n\r\n");
        if (fim == std::string::npos) continue;
        x.bruto.erase(0, fim + 4);
        x.aberto = true;
      }
      size_t usado = 0;
      for (;;) {
        const size_t resta = x.bruto.size() - usado;
        if (resta < 2) break;
        const unsigned char* u = reinterpret_cast<const unsigned char*>(x.bruto.data() + usado);
        const unsigned curto = u[1] & 0x7F;
        const size_t inicio = curto == 126 ? 4 : 2;  // the gateway's frames stay under 64 KiB
        if (resta < inicio) break;
        const size_t carga = curto == 126 ? (static_cast<size_t>(u[2]) << 8 | u[3]) : curto;
        if (resta < inicio + carga) break;
        if ((u[0] & 0x0F) <= 1) x.entrada.append(x.bruto, usado + inicio, carga);
        usado += inicio + carga;
      }
      x.bruto.erase(0, usado);
    } else if (x.quadros) {
      // The detection's answer is a telnet line; records follow, each one
      // line. (A record that continues a cut line would need joining; the
      // lines measured here are never cut.)
      x.bruto.append(buffer_, static_cast<size_t>(r));
      if (!x.aberto) {
        const size_t fim = x.bruto.find("Orvalho\r\n");
        if (fim == std::string::npos) continue;
        x.entrada.append(x.bruto, 0, fim + 9);
        x.bruto.erase(0, fim + 9);
        x.aberto = true;
      }
      size_t usado = 0;
      while (x.bruto.size() - usado >= 3) {
        const unsigned char* u = reinterpret_cast<const unsigned char*>(x.bruto.data() + usado);
        const size_t carga = static_cast<size_t>(u[1]) | static_cast<size_t>(u[2]) << 8;
        if (x.bruto.size() - usado < 3 + carga) break;
        x.entrada.append(x.bruto, usado + 3, carga);
        x.entrada += "\r\n";
        usado += 3 + carga;
      }
      x.bruto.erase(0, usado);
    } else {
      x.entrada.append(buffer_, static_cast<size_t>(r));
    }
    if (x.logado) analisaUsuario(x, t);
    if (static_cast<size_t>(r) < sizeof buffer_) return;
  }
}

void Carga::leMud() {
  for (;;) {
    const ssize_t r = recv(mudLado_.fd(), buffer_, sizeof buffer_, 0);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) falha("the target closed the MUD connection");
    if (r < 0) return;
    const Ns t = agora();
    mudEntrada_.append(buffer_, static_cast<size_t>(r));
    analisaMud(t);
    if (static_cast<size_t>(r) < sizeof buffer_) return;
  }
}

void Carga::descarregaMud() {
  while (!mudSaida_.empty()) {
    const ssize_t r = send(mudLado_.fd(), mudSaida_.data(), mudSaida_.size(), MSG_NOSIGNAL);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (r <= 0) falha("the target closed the MUD connection");
    mudSaida_.erase(0, static_cast<size_t>(r));
  }
  epoll_event e{};
  e.events = EPOLLIN | (mudSaida_.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
  e.data.u32 = kMud;
  epoll_ctl(ep_, EPOLL_CTL_MOD, mudLado_.fd(), &e);
}

}  // namespace carga
