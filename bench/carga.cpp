// zandor_carga: the gateway's performance figures, measured from outside.
//
// One process plays every part around the program under test. It starts the
// target (the gateway, or for reference socat or TinTin++ sharing its MUD
// session on a port), listens on 127.0.0.1 as the MUD, connects N users, and
// drives all traffic from a single thread with one monotonic clock, so a send
// time written into a line can be compared with the moment the line is read
// at the other end. Only loopback is used; the only processes signalled are
// the ones started here, by their ids.
//
// What it measures, for each N:
//  - Memory: VmRSS of the gateway once N users have logged in, minus VmRSS
//    with none, divided by N. One user logs in and leaves before the baseline,
//    so the code a session runs is already resident. Pages are 4 KiB, so the
//    figure for one user is coarse.
//  - Idle wake-ups: voluntary context switches of the gateway (each one a
//    sleep that ended) per second, read from /proc/PID/status over 4 s with
//    the users logged in, the MUD linked and no traffic.
//  - Bursts: the MUD writes 16, 32, ... 4096 lines in one go (a long room, a
//    help page), half a second apart, until some user misses a line.
//  - A fixed load: the MUD sends --taxa lines/s (64 bytes each, paced every
//    millisecond) for --segundos s. Every line carries its sequence number and
//    its send time; each user checks the sequence (a gap is a loss) and records
//    MUD->user latency per copy. Meanwhile the users type, about 100 lines/s in
//    all and never two from one user within 100 ms (as people type: each line
//    is its own delivery and its own latency); each typed line carries its send
//    time and the MUD records user->MUD latency. The target's CPU time over the
//    load, divided by the copies delivered, gives CPU per delivered copy
//    (microseconds per copy = CPU seconds per million copies).
//  - Capacity: the highest offered rate that the gateway sustains: every user
//    got every line in order, the MUD was never held back by TCP flow control
//    (it got at least 97% of the offered lines out in time), and lines did
//    not queue up in either direction (MUD->user and user->MUD p99 at most
//    100 ms, about three passes of the loop). Rates double from 250 lines/s
//    up to 256,000 until a step fails, and the gap between the last passing
//    and the first failing rate is then halved twice geometrically. Each step lasts 2 s, with typing, and ends
//    with a drain, so a step counts every line it sent. All users share this
//    process's one thread, so near the top the readers, not only the gateway,
//    may be what gives out; the gateway's CPU share is printed with the step.
//
// CPU time is the target's utime+stime. Linux derives both from the task's
// exact run time, which /proc/PID/schedstat gives in nanoseconds; that is read
// when present, /proc/PID/stat (clock ticks) otherwise.
//
// Targets: --alvo zandor (default; started from --binario, or an already
// running one given by --porta and --pid), socat (one user, a plain relay),
// tintin (TinTin++ in a private tmux, forwarding every MUD line to all port
// connections and every port message to the MUD).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Ns = int64_t;
constexpr Ns kMs = 1000000;
constexpr Ns kS = 1000000000;
constexpr int kTamanhoLinha = 64;  // bytes per MUD line, CR LF included

Ns agora() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<Ns>(t.tv_sec) * kS + t.tv_nsec;
}

// ---- processes we started, for clean-up on any exit -------------------------

std::vector<pid_t> filhos;  // killed and reaped at the end
pid_t tintinPid = -1;       // not our child (tmux's), killed by id
std::string tmuxSoquete;    // private tmux server, by its socket path
std::vector<std::string> pastas;  // temporary directories, removed at the end

void encerraProcessos() {
  if (tintinPid > 0) kill(tintinPid, SIGKILL);
  tintinPid = -1;
  for (pid_t p : filhos) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  filhos.clear();
  if (!tmuxSoquete.empty()) {
    const std::string c = "tmux -S '" + tmuxSoquete + "' kill-server >/dev/null 2>&1";
    if (std::system(c.c_str()) != 0) {
    }
    tmuxSoquete.clear();
  }
  for (const std::string& p : pastas) std::filesystem::remove_all(p);
  pastas.clear();
}

void aoSinal(int) {
  if (tintinPid > 0) kill(tintinPid, SIGKILL);
  for (pid_t p : filhos) kill(p, SIGKILL);
  _exit(130);
}

[[noreturn]] void falha(const std::string& m) {
  std::fflush(stdout);
  std::fprintf(stderr, "zandor_carga: %s\n", m.c_str());
  encerraProcessos();
  std::exit(2);
}

std::string leArquivo(const std::string& caminho) {
  std::ifstream f(caminho, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// CPU time of a process in nanoseconds (see the header comment).
Ns cpuNs(pid_t pid) {
  const std::string sched = leArquivo("/proc/" + std::to_string(pid) + "/schedstat");
  const long long exato = std::atoll(sched.c_str());
  if (exato > 0) return exato;
  const std::string stat = leArquivo("/proc/" + std::to_string(pid) + "/stat");
  const size_t fim = stat.rfind(')');
  unsigned long long utime = 0, stime = 0;  // fields 14 and 15, in clock ticks
  if (fim == std::string::npos || std::sscanf(stat.c_str() + fim + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return 0;
  return static_cast<Ns>(utime + stime) * (kS / sysconf(_SC_CLK_TCK));
}

// A numeric field of /proc/PID/status ("VmRSS:" in KiB, counters as is).
long long campoStatus(pid_t pid, const char* nome) {
  std::istringstream s(leArquivo("/proc/" + std::to_string(pid) + "/status"));
  for (std::string linha; std::getline(s, linha);)
    if (linha.rfind(nome, 0) == 0) return std::atoll(linha.c_str() + std::strlen(nome));
  return -1;
}

// ---- sockets -----------------------------------------------------------------

sockaddr_in loopback(int porta) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(porta));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void preparaSoquete(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  const int um = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &um, sizeof um);
}

int escutaLocal(int* porta) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(*porta);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) falha("cannot listen on loopback");
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  *porta = ntohs(a.sin_port);
  return fd;
}

int portaLivre() {
  int porta = 0;
  close(escutaLocal(&porta));
  return porta;
}

// Connects to 127.0.0.1:porta, retrying while nothing listens yet.
int conectaLocal(int porta, Ns prazo = 5 * kS) {
  const Ns fim = agora() + prazo;
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(porta);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      preparaSoquete(fd);
      return fd;
    }
    close(fd);
    if (agora() > fim) falha("cannot connect to port " + std::to_string(porta));
    usleep(20000);
  }
}

int aceitaLocal(int escuta, Ns prazo = 5 * kS) {
  pollfd p{escuta, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(prazo / kMs)) <= 0) falha("the target never connected to the MUD");
  const int fd = accept(escuta, nullptr, nullptr);
  preparaSoquete(fd);
  return fd;
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

// ---- figures -------------------------------------------------------------------

struct Quantis {
  double p50 = NAN, p99 = NAN, max = NAN;  // milliseconds
  size_t n = 0;
};

Quantis quantis(std::vector<int32_t> us) {
  Quantis q;
  q.n = us.size();
  if (us.empty()) return q;
  std::sort(us.begin(), us.end());
  auto em = [&](double f) { return us[std::min(us.size() - 1, static_cast<size_t>(std::ceil(f * us.size())) - 1)] / 1000.0; };
  q.p50 = em(0.50);
  q.p99 = em(0.99);
  q.max = us.back() / 1000.0;
  return q;
}

std::string mostra(const Quantis& q) {
  if (q.n == 0) return "-";
  char b[64];
  std::snprintf(b, sizeof b, "%.1f/%.1f/%.1f", q.p50, q.p99, q.max);
  return b;
}

// Reads a decimal number at p, moving p past it and one following blank.
uint64_t numero(const char*& p, const char* fim) {
  uint64_t v = 0;
  while (p < fim && *p >= '0' && *p <= '9') v = v * 10 + static_cast<uint64_t>(*p++ - '0');
  if (p < fim && *p == ' ') ++p;
  return v;
}

// ---- the load ------------------------------------------------------------------

struct Usuario {
  int fd = -1;
  std::string entrada;     // bytes received and not yet taken
  bool logado = false;     // lines are parsed only once the login is over
  bool viuSync = false;
  uint64_t esperado = 0;   // next sequence number due from the MUD
  uint64_t recebidas = 0, perdidas = 0, foraDeOrdem = 0;
  Ns proximaDigitacao = 0;
  uint64_t digitadas = 0;
};

struct Fase {
  double taxa = 0, segundos = 0;
  uint64_t enviadas = 0, copias = 0, perdidas = 0, foraDeOrdem = 0;
  uint64_t digitadas = 0, digitadasRecebidas = 0;
  double cpuS = 0, decorridos = 0;  // target's CPU time, wall time with the drain
  bool contido = false;  // the MUD was held back by flow control
  bool atrasado = false; // lines queued: a p99 over 100 ms either way, or a drain over 1 s
  Quantis desce, sobe;   // MUD->user, user->MUD
  bool passou() const { return perdidas == 0 && foraDeOrdem == 0 && !contido && !atrasado; }
  const char* falta() const { return perdidas > 0 || foraDeOrdem > 0 ? "loss" : contido ? "held" : "late"; }
};

class Carga {
 public:
  explicit Carga(pid_t alvo) : alvo_(alvo) {
    ep_ = epoll_create1(0);
    mudEscuta_ = escutaLocal(&mudPorta_);
  }
  ~Carga() {
    for (Usuario& x : usuarios_) close(x.fd);
    if (mudFd_ >= 0) close(mudFd_);
    close(mudEscuta_);
    close(ep_);
  }
  int mudPorta() const { return mudPorta_; }
  void defineAlvo(pid_t p) { alvo_ = p; }

  void conectaUsuario(int porta) {
    Usuario x;
    x.fd = conectaLocal(porta);
    vigia(x.fd, static_cast<uint32_t>(usuarios_.size()), EPOLLIN);
    usuarios_.push_back(std::move(x));
  }

  // The gateway's telnet login, all users at once. Connections are made in
  // groups of eight, each greeted before the next, to stay within the
  // gateway's listen backlog.
  void entraNoGateway(int porta, int n) {
    for (int i = 0; i < n; i += 8) {
      for (int j = i; j < std::min(n, i + 8); ++j) conectaUsuario(porta);
      esperaTodos("ENTER\r\n", "greeting", static_cast<size_t>(i));
    }
    for (Usuario& x : usuarios_) enviaTudo(x.fd, "\r\n");
    esperaTodos("/quit\r\n", "telnet detection");
    for (size_t i = 0; i < usuarios_.size(); ++i) {
      std::string apelido = "u";  // u1, u2, ...
      apelido += std::to_string(i + 1);
      apelido += "\r\n";
      enviaTudo(usuarios_[i].fd, apelido);
    }
    esperaTodos("Tecle /ajuda para saber os comandos\r\n", "nickname");
  }

  // One user logs in and leaves, so that the code and tables a session
  // touches are resident before the baseline is read.
  void aqueceGateway(int porta) {
    entraNoGateway(porta, 1);
    enviaTudo(usuarios_[0].fd, "/sair\r\n");
    const Ns fim = agora() + 5 * kS;
    char lixo[4096];
    for (ssize_t r; (r = recv(usuarios_[0].fd, lixo, sizeof lixo, 0)) != 0 && agora() < fim;) {
      pollfd p{usuarios_[0].fd, POLLIN, 0};
      if (r < 0) poll(&p, 1, 100);
    }
    close(usuarios_[0].fd);
    usuarios_.clear();
    pausa(300 * kMs);
  }

  // The first user asks the gateway for the MUD and everyone hears it linked.
  void ligaMudPeloGateway() {
    enviaTudo(usuarios_[0].fd, "/mud 127.0.0.1 " + std::to_string(mudPorta_) + "\r\n");
    aceitaMud();
    esperaTodos("/Conectado\r\n", "MUD link");
  }

  void aceitaMud() {
    mudFd_ = aceitaLocal(mudEscuta_);
    vigia(mudFd_, kMud, EPOLLIN);
  }

  // From here on every user parses lines; returns once each has seen a
  // marker line from the MUD, so no earlier text is in flight.
  void sincroniza() {
    for (Usuario& x : usuarios_) {
      x.logado = true;
      x.viuSync = false;
      x.entrada.clear();
    }
    const Ns fim = agora() + 15 * kS;
    while (!todos([](const Usuario& x) { return x.viuSync; })) {
      if (agora() > fim) falha("users never saw the MUD's marker line");
      enviaTudo(mudFd_, "ZS\r\n");
      gira(agora() + 100 * kMs, [] { return false; });
    }
    gira(agora() + 200 * kMs, [] { return false; });  // let stray markers pass
  }

  void pausa(Ns d) { gira(agora() + d, [] { return false; }); }

  // The MUD sends `taxa` lines/s for `segundos`, then every user is drained.
  Fase fluxo(double taxa, double segundos, bool digitar) {
    Fase f;
    f.taxa = taxa;
    f.segundos = segundos;
    const Ns cpu0 = comecaFase(), t0 = agora();
    const Ns intervalo = std::max<Ns>(100 * kMs, static_cast<Ns>(usuarios_.size()) * 10 * kMs);
    inicio_ = agora();
    fimEnvio_ = inicio_ + static_cast<Ns>(segundos * kS);
    total_ = static_cast<uint64_t>(taxa * segundos);
    taxa_ = taxa;
    enviando_ = true;
    digitando_ = digitar;
    for (size_t i = 0; i < usuarios_.size(); ++i)
      usuarios_[i].proximaDigitacao = inicio_ + intervalo * static_cast<Ns>(i) / static_cast<Ns>(usuarios_.size()) + 50 * kMs;
    intervalo_ = intervalo;
    gira(fimEnvio_, [] { return false; });
    enviando_ = digitando_ = false;
    f.contido = seq_ - primeira_ < static_cast<uint64_t>(0.97 * static_cast<double>(total_));
    for (const Usuario& x : usuarios_) f.digitadas += x.digitadas;
    concluiFase(f, cpu0, t0);
    return f;
  }

  // The MUD writes `n` lines at once, as it does for a long room or a help
  // page, then every user is drained.
  Fase rajada(int n) {
    Fase f;
    f.segundos = 1;
    const Ns cpu0 = comecaFase(), t = agora();
    for (int i = 0; i < n; ++i) poeLinha(t);
    descarregaMud();
    concluiFase(f, cpu0, t);
    return f;
  }

 private:
  Ns comecaFase() {
    primeira_ = seq_;
    for (Usuario& x : usuarios_) {
      x.esperado = seq_;
      x.recebidas = x.perdidas = x.foraDeOrdem = x.digitadas = 0;
    }
    latDesce_.clear();
    latSobe_.clear();
    digitadasRecebidas_ = 0;
    return cpuNs(alvo_);
  }

  // Drain: until every user has the last line and the MUD every typed one,
  // or nothing moved for 2 s. Whatever is still missing then is lost.
  void concluiFase(Fase& f, Ns cpu0, Ns t0) {
    uint64_t visto = 0;
    const Ns fimEnvio = agora();
    Ns mudou = fimEnvio;
    gira(agora() + 10 * kS, [&] {
      uint64_t soma = digitadasRecebidas_;
      bool completo = mudSaida_.empty() && digitadasRecebidas_ >= f.digitadas;
      for (const Usuario& x : usuarios_) {
        soma += x.recebidas + x.perdidas;
        completo = completo && x.esperado >= seq_;
      }
      if (soma != visto) {
        visto = soma;
        mudou = agora();
      }
      return completo || agora() - mudou > 2 * kS;
    });
    f.cpuS = static_cast<double>(cpuNs(alvo_) - cpu0) / kS;
    f.decorridos = static_cast<double>(agora() - t0) / kS;
    f.atrasado = agora() - fimEnvio > kS;
    f.enviadas = seq_ - primeira_;
    for (Usuario& x : usuarios_) {
      if (x.esperado < seq_) x.perdidas += seq_ - x.esperado;
      x.esperado = seq_;
      f.copias += x.recebidas;
      f.perdidas += x.perdidas;
      f.foraDeOrdem += x.foraDeOrdem;
    }
    f.digitadasRecebidas = digitadasRecebidas_;
    f.desce = quantis(latDesce_);
    f.sobe = quantis(latSobe_);
    f.atrasado = f.atrasado || f.desce.p99 > 100 || f.sobe.p99 > 100;
  }

  void poeLinha(Ns t) {
    char linha[kTamanhoLinha + 1];
    const int n = std::snprintf(linha, sizeof linha, "ZL %llu %lld ", static_cast<unsigned long long>(seq_++), static_cast<long long>(t));
    std::memset(linha + n, 'x', static_cast<size_t>(kTamanhoLinha - 2 - n));
    linha[kTamanhoLinha - 2] = '\r';
    linha[kTamanhoLinha - 1] = '\n';
    mudSaida_.append(linha, kTamanhoLinha);
  }

  static constexpr uint32_t kMud = 0xFFFFFFFF;

  void vigia(int fd, uint32_t marca, uint32_t eventos) {
    epoll_event e{};
    e.events = eventos;
    e.data.u32 = marca;
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
  }

  bool todos(const std::function<bool(const Usuario&)>& p) const { return std::all_of(usuarios_.begin(), usuarios_.end(), p); }

  // Waits until every user from `desde` on has received `texto`.
  void esperaTodos(const std::string& texto, const char* etapa, size_t desde = 0) {
    auto chegou = [&](const Usuario& x) { return x.logado || x.entrada.find(texto) != std::string::npos; };
    gira(agora() + 15 * kS, [&] { return std::all_of(usuarios_.begin() + static_cast<long>(desde), usuarios_.end(), chegou); });
    for (size_t i = desde; i < usuarios_.size(); ++i) {
      Usuario& x = usuarios_[i];
      if (!x.logado && x.entrada.find(texto) == std::string::npos) falha(std::string("login stalled at ") + etapa);
      x.entrada.clear();
    }
  }

  // The one event loop: reads users and the MUD, paces the MUD's lines and
  // the users' typing, until `ate` or until `pronto` says so.
  void gira(Ns ate, const std::function<bool()>& pronto) {
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

  void leUsuario(Usuario& x) {
    for (;;) {
      const ssize_t r = recv(x.fd, buffer_, sizeof buffer_, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) falha("the target closed a user's connection");
      if (r < 0) return;
      const Ns t = agora();
      x.entrada.append(buffer_, static_cast<size_t>(r));
      if (x.logado) analisaUsuario(x, t);
      if (static_cast<size_t>(r) < sizeof buffer_) return;
    }
  }

  // Lines "ZL seq sendtime ...": a gap in the sequence is a loss. Anything
  // before the marker (telnet negotiation from a relay) is skipped.
  void analisaUsuario(Usuario& x, Ns t) {
    const char* base = x.entrada.data();
    size_t pos = 0;
    for (;;) {
      const void* nl = std::memchr(base + pos, '\n', x.entrada.size() - pos);
      if (nl == nullptr) break;
      const char* ini = base + pos;
      const char* fim = static_cast<const char*>(nl);
      pos = static_cast<size_t>(fim - base) + 1;
      const char* m = (fim - ini >= 3 && ini[0] == 'Z' && ini[1] == 'L') ? ini : static_cast<const char*>(memmem(ini, static_cast<size_t>(fim - ini), "ZL ", 3));
      if (m == nullptr) {
        if (memmem(ini, static_cast<size_t>(fim - ini), "ZS", 2) != nullptr) x.viuSync = true;
        continue;
      }
      const char* p = m + 3;
      const uint64_t s = numero(p, fim);
      const Ns enviado = static_cast<Ns>(numero(p, fim));
      if (s < x.esperado) {
        ++x.foraDeOrdem;
        continue;
      }
      x.perdidas += s - x.esperado;
      x.esperado = s + 1;
      ++x.recebidas;
      latDesce_.push_back(static_cast<int32_t>((t - enviado) / 1000));
    }
    x.entrada.erase(0, pos);
  }

  void leMud() {
    for (;;) {
      const ssize_t r = recv(mudFd_, buffer_, sizeof buffer_, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) falha("the target closed the MUD connection");
      if (r < 0) return;
      const Ns t = agora();
      mudEntrada_.append(buffer_, static_cast<size_t>(r));
      size_t pos = 0, nl;
      while ((nl = mudEntrada_.find('\n', pos)) != std::string::npos) {
        const char* ini = mudEntrada_.data() + pos;
        const char* fim = mudEntrada_.data() + nl;
        pos = nl + 1;
        const char* m = static_cast<const char*>(memmem(ini, static_cast<size_t>(fim - ini), "ZU ", 3));
        if (m == nullptr) continue;
        const char* p = m + 3;
        numero(p, fim);  // user
        numero(p, fim);  // that user's count
        const Ns enviado = static_cast<Ns>(numero(p, fim));
        ++digitadasRecebidas_;
        latSobe_.push_back(static_cast<int32_t>((t - enviado) / 1000));
      }
      mudEntrada_.erase(0, pos);
      if (static_cast<size_t>(r) < sizeof buffer_) return;
    }
  }

  void descarregaMud() {
    while (!mudSaida_.empty()) {
      const ssize_t r = send(mudFd_, mudSaida_.data(), mudSaida_.size(), MSG_NOSIGNAL);
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (r <= 0) falha("the target closed the MUD connection");
      mudSaida_.erase(0, static_cast<size_t>(r));
    }
    epoll_event e{};
    e.events = EPOLLIN | (mudSaida_.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
    e.data.u32 = kMud;
    epoll_ctl(ep_, EPOLL_CTL_MOD, mudFd_, &e);
  }

  // Lines due by now, stamped with the time they are written. While the
  // socket holds earlier lines back, nothing new is made: that shortfall is
  // what marks a step as held back.
  void enviaLinhas() {
    if (!mudSaida_.empty()) return;
    const Ns t = agora();
    if (t >= fimEnvio_) return;
    const uint64_t feitas = seq_ - primeira_;
    uint64_t devidas = std::min<uint64_t>(total_, static_cast<uint64_t>(static_cast<double>(t - inicio_) * taxa_ / kS));
    if (devidas <= feitas) return;
    for (uint64_t i = std::min<uint64_t>(devidas - feitas, 1024); i > 0; --i) poeLinha(t);
    descarregaMud();
  }

  void digita() {
    const Ns t = agora();
    for (size_t i = 0; i < usuarios_.size(); ++i) {
      Usuario& x = usuarios_[i];
      if (t < x.proximaDigitacao) continue;
      const std::string l = "ZU " + std::to_string(i) + " " + std::to_string(x.digitadas) + " " + std::to_string(t) + "\r\n";
      if (send(x.fd, l.data(), l.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(l.size())) ++x.digitadas;
      x.proximaDigitacao = std::max(x.proximaDigitacao + intervalo_, t + 100 * kMs);
    }
  }

  pid_t alvo_;
  int ep_ = -1;
  int mudEscuta_ = -1, mudPorta_ = 0, mudFd_ = -1;
  std::string mudSaida_, mudEntrada_;
  std::vector<Usuario> usuarios_;
  std::vector<int32_t> latDesce_, latSobe_;
  uint64_t digitadasRecebidas_ = 0;
  uint64_t seq_ = 1, primeira_ = 1, total_ = 0;
  double taxa_ = 0;
  Ns inicio_ = 0, fimEnvio_ = 0, intervalo_ = 0;
  bool enviando_ = false, digitando_ = false;
  char buffer_[1 << 18];
};

// ---- targets ---------------------------------------------------------------------

struct Alvo {
  pid_t pid = -1;
  int porta = 0;
};

std::string pastaTemporaria() {
  const char* base = std::getenv("TMPDIR");
  std::string modelo = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zandor-carga-XXXXXX";
  if (mkdtemp(modelo.data()) == nullptr) falha("cannot make a temporary directory");
  pastas.push_back(modelo);
  return modelo;
}

pid_t lanca(const std::string& pasta, const std::vector<std::string>& args, const char* home = nullptr) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(pasta.c_str()) != 0) _exit(127);
    const int saida = open("saida.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(saida, 1);
    dup2(saida, 2);
    const int nada = open("/dev/null", O_RDONLY);
    dup2(nada, 0);
    if (home != nullptr) setenv("HOME", home, 1);
    std::vector<char*> v;
    for (const std::string& a : args) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    execvp(v[0], v.data());
    _exit(127);
  }
  if (pid < 0) falha("fork failed");
  return pid;
}

Alvo iniciaZandor(const std::string& binario) {
  Alvo a;
  const std::string pasta = pastaTemporaria();
  a.porta = portaLivre();
  std::ofstream(pasta + "/zandor.cfg") << a.porta << "\n";
  a.pid = lanca(pasta, {binario});
  filhos.push_back(a.pid);
  const Ns fim = agora() + 5 * kS;
  while (leArquivo(pasta + "/zandor.log") != "Feito...\n") {
    if (agora() > fim) falha("the gateway did not start: " + leArquivo(pasta + "/saida.txt"));
    usleep(5000);
  }
  return a;
}

Alvo iniciaSocat(int mudPorta) {
  Alvo a;
  a.porta = portaLivre();
  a.pid = lanca(pastaTemporaria(), {"socat", "TCP-LISTEN:" + std::to_string(a.porta) + ",bind=127.0.0.1,reuseaddr,nodelay",
                          "TCP:127.0.0.1:" + std::to_string(mudPorta) + ",nodelay"});
  filhos.push_back(a.pid);
  return a;
}

// TinTin++ in a private tmux server (its socket in our directory), HOME in
// our directory too. Its script: a port session for the users, the MUD
// session, every MUD line sent to every port connection, every message from
// a port connection sent to the MUD.
Alvo iniciaTintin(const std::string& ttpp, int mudPorta) {
  Alvo a;
  const std::string pasta = pastaTemporaria();
  a.porta = portaLivre();
  std::ofstream(pasta + "/carga.tin") << "#port init usuarios " << a.porta << "\n"
                                        << "#usuarios #event {PORT RECEIVED MESSAGE} {#mud #send {%3}}\n"
                                        << "#session mud 127.0.0.1 " << mudPorta << "\n"
                                        << "#event {RECEIVED LINE} {#usuarios #port send all {%0}}\n";
  tmuxSoquete = pasta + "/tmux";
  const std::string comando = "echo $$ > '" + pasta + "/pid'; exec '" + ttpp + "' -G '" + pasta + "/carga.tin'";
  const pid_t cliente = lanca(pasta, {"tmux", "-S", tmuxSoquete, "-f", "/dev/null", "new-session", "-d", "-x", "160", "-y", "48", comando}, pasta.c_str());
  int status = 0;
  waitpid(cliente, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) falha("tmux did not start: " + leArquivo(pasta + "/saida.txt"));
  const Ns fim = agora() + 5 * kS;
  while ((a.pid = std::atoi(leArquivo(pasta + "/pid").c_str())) <= 0) {
    if (agora() > fim) falha("TinTin++ did not start");
    usleep(10000);
  }
  tintinPid = a.pid;
  return a;
}

// ---- the report ----------------------------------------------------------------

struct Opcoes {
  std::string alvo = "zandor", binario, ttpp = "/usr/games/tt++", resumo, rotulo;
  std::vector<int> usuarios{1, 8, 32, 62};
  double taxa = 2000, segundos = 6;
  int porta = 0;
  pid_t pid = -1;
  bool soFluxo = false, detalhe = false;
};

struct Linha {
  int n = 0;
  Fase fixa, teto;
  bool temTeto = false;
  const char* limite = "-";  // what the first failing rate ran into
  double falhou = 0;         // the lowest failing rate tried
  double despertares = NAN, rssPorUsuario = NAN;
  int rajadaInteira = 0, rajadaCortada = 0;  // lines in one MUD write
};

double usPorCopia(const Fase& f) { return f.copias == 0 ? NAN : f.cpuS * 1e6 / static_cast<double>(f.copias); }

// One line per step, with -v.
void mostraFase(const char* nome, const Fase& f) {
  std::printf("    %-5s %7.0f lines/s: sent %llu, copies %llu, lost %llu, out of order %llu%s%s, %.2f s, CPU %.3f s, %.3f us/copy, MUD->user %s\n", nome,
              f.taxa, static_cast<unsigned long long>(f.enviadas), static_cast<unsigned long long>(f.copias), static_cast<unsigned long long>(f.perdidas),
              static_cast<unsigned long long>(f.foraDeOrdem), f.contido ? ", MUD held back" : "", f.atrasado ? ", late" : "", f.decorridos, f.cpuS,
              usPorCopia(f), mostra(f.desce).c_str());
}

// Doubling ladder, then two geometric halvings of the last gap.
void escada(Carga& c, Linha& l, const Opcoes& o) {
  double passou = 0;
  auto degrau = [&](double r) {
    c.pausa(300 * kMs);
    const Fase f = c.fluxo(r, 2, true);
    if (o.detalhe) mostraFase("step", f);
    if (f.passou()) {
      passou = r;
      l.teto = f;
      l.temTeto = true;
    } else {
      l.falhou = r;
      l.limite = f.falta();
    }
    return f.passou();
  };
  for (double r = 250; r <= 256000 && degrau(r); r *= 2) {
  }
  for (int i = 0; i < 2 && passou > 0 && l.falhou > 0; ++i) degrau(std::round(std::sqrt(passou * l.falhou) / 100) * 100);
}

Linha medeUm(const Opcoes& o, int n) {
  Linha l;
  l.n = n;
  Carga c(-1);
  Alvo a;
  if (o.alvo == "zandor") {
    if (o.porta > 0) {
      a.porta = o.porta;
      a.pid = o.pid;
    } else {
      a = iniciaZandor(o.binario);
    }
    c.defineAlvo(a.pid);
    c.aqueceGateway(a.porta);
    const long long rss0 = campoStatus(a.pid, "VmRSS:");
    c.entraNoGateway(a.porta, n);
    c.pausa(300 * kMs);
    l.rssPorUsuario = static_cast<double>(campoStatus(a.pid, "VmRSS:") - rss0) / n;
    c.ligaMudPeloGateway();
  } else if (o.alvo == "socat") {
    a = iniciaSocat(c.mudPorta());
    c.defineAlvo(a.pid);
    c.conectaUsuario(a.porta);
    c.aceitaMud();
  } else {
    a = iniciaTintin(o.ttpp, c.mudPorta());
    c.defineAlvo(a.pid);
    c.aceitaMud();
    for (int i = 0; i < n; ++i) c.conectaUsuario(a.porta);
  }
  c.sincroniza();

  if (o.alvo == "zandor" && !o.soFluxo) {
    c.pausa(1500 * kMs);  // the MUD link's prompt timer fires and is not re-armed
    const long long v0 = campoStatus(a.pid, "voluntary_ctxt_switches:");
    const Ns t0 = agora();
    c.pausa(4 * kS);
    l.despertares = static_cast<double>(campoStatus(a.pid, "voluntary_ctxt_switches:") - v0) * kS / static_cast<double>(agora() - t0);
    for (int linhas = 16; linhas <= 4096 && l.rajadaCortada == 0; linhas *= 2) {
      const Fase f = c.rajada(linhas);
      if (o.detalhe) mostraFase("burst", f);
      (f.perdidas == 0 && f.foraDeOrdem == 0 ? l.rajadaInteira : l.rajadaCortada) = linhas;
      c.pausa(500 * kMs);
    }
  }
  l.fixa = c.fluxo(o.taxa, o.segundos, true);
  if (o.detalhe) mostraFase("fixed", l.fixa);
  if (!o.soFluxo) escada(c, l, o);
  encerraProcessos();  // only what this run started: never a gateway given by --pid
  return l;
}

std::string copiasPorSegundo(const Fase& f) {
  char b[32];
  std::snprintf(b, sizeof b, "%.0f", static_cast<double>(f.copias) / f.segundos);
  return b;
}

std::string perda(const Fase& f) {
  char b[48];
  const double oferecidas = static_cast<double>(f.copias + f.perdidas);
  std::snprintf(b, sizeof b, "%llu (%.1f%%)", static_cast<unsigned long long>(f.perdidas), oferecidas > 0 ? 100.0 * static_cast<double>(f.perdidas) / oferecidas : 0.0);
  return b;
}

void imprime(const Opcoes& o, const std::vector<Linha>& linhas) {
  const std::string nome = o.rotulo.empty() ? o.alvo : o.rotulo;
  std::printf("\n%s, %d-byte lines, latencies in ms as p50/p99/max\n", nome.c_str(), kTamanhoLinha);
  std::printf("  fixed load: the MUD sends %.0f lines/s for %.0f s; users type about 100 lines/s in all\n", o.taxa, o.segundos);
  std::printf("  %3s %10s %16s %18s %18s %9s %10s\n", "N", "copies/s", "lost (share)", "MUD->user", "user->MUD", "us/copy", "typed r/s");
  for (const Linha& l : linhas)
    std::printf("  %3d %10s %16s %18s %18s %9.3f %5llu/%llu\n", l.n, copiasPorSegundo(l.fixa).c_str(), perda(l.fixa).c_str(), mostra(l.fixa.desce).c_str(),
                mostra(l.fixa.sobe).c_str(), usPorCopia(l.fixa), static_cast<unsigned long long>(l.fixa.digitadasRecebidas),
                static_cast<unsigned long long>(l.fixa.digitadas));
  if (!o.soFluxo) {
    std::printf("  capacity: highest rate with every copy delivered in order, the MUD never held back and p99 <= 100 ms both ways\n");
    std::printf("  %3s %10s %10s %18s %18s %9s %6s  %s\n", "N", "lines/s", "copies/s", "MUD->user", "user->MUD", "us/copy", "CPU%", "first failing rate");
    for (const Linha& l : linhas) {
      char proxima[48] = "none up to 256000";
      if (l.falhou > 0) std::snprintf(proxima, sizeof proxima, "%.0f (%s)", l.falhou, l.limite);
      if (!l.temTeto) {
        std::printf("  %3d %10s %10s %18s %18s %9s %6s  %s\n", l.n, "<250", "-", "-", "-", "-", "-", proxima);
        continue;
      }
      std::printf("  %3d %10.0f %10.0f %18s %18s %9.3f %6.1f  %s\n", l.n, l.teto.taxa, l.teto.taxa * l.n, mostra(l.teto.desce).c_str(),
                  mostra(l.teto.sobe).c_str(), usPorCopia(l.teto), 100.0 * l.teto.cpuS / l.teto.decorridos, proxima);
    }
  }
  if (o.alvo == "zandor" && !o.soFluxo) {
    std::printf("  idle wake-ups (voluntary context switches/s, users linked, no traffic), VmRSS growth per user,\n"
                "  and the largest single MUD write (lines of %d bytes, doubling from 16) that every user got whole\n", kTamanhoLinha);
    std::printf("  %3s %10s %10s %14s %14s\n", "N", "wakeups/s", "KiB/user", "burst whole", "burst cut");
    for (const Linha& l : linhas)
      std::printf("  %3d %10.1f %10.1f %14d %14s\n", l.n, l.despertares, l.rssPorUsuario, l.rajadaInteira,
                  l.rajadaCortada > 0 ? std::to_string(l.rajadaCortada).c_str() : "none");
  }
  std::fflush(stdout);
  if (o.resumo.empty()) return;
  std::ofstream r(o.resumo, std::ios::app);
  for (const Linha& l : linhas) {
    auto poe = [&](const char* chave, double v) { r << nome << ' ' << l.n << ' ' << chave << ' ' << v << '\n'; };
    poe("cpu_us_copia", usPorCopia(l.fixa));
    poe("desce_p50", l.fixa.desce.p50);
    poe("desce_p99", l.fixa.desce.p99);
    poe("desce_max", l.fixa.desce.max);
    poe("sobe_p50", l.fixa.sobe.p50);
    poe("sobe_p99", l.fixa.sobe.p99);
    poe("sobe_max", l.fixa.sobe.max);
    poe("perdidas_pct", 100.0 * static_cast<double>(l.fixa.perdidas) / static_cast<double>(std::max<uint64_t>(1, l.fixa.copias + l.fixa.perdidas)));
    if (l.temTeto) poe("teto", l.teto.taxa);
  }
}

[[noreturn]] void uso() {
  std::fprintf(stderr,
               "usage: zandor_carga [--alvo zandor|socat|tintin] [--binario PATH] [--porta P --pid PID]\n"
               "                    [--usuarios 1,8,32,62] [--taxa LINES_PER_S] [--segundos S] [--so-fluxo]\n"
               "                    [--tintin PATH] [--rotulo NAME] [--resumo FILE] [-v]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Opcoes o;
  o.binario = std::filesystem::absolute(std::filesystem::path(argv[0])).parent_path().parent_path() / "zandor";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto valor = [&]() -> std::string {
      if (i + 1 >= argc) uso();
      return argv[++i];
    };
    if (a == "--alvo") {
      o.alvo = valor();
    } else if (a == "--binario") {
      o.binario = std::filesystem::absolute(valor());
    } else if (a == "--tintin") {
      o.ttpp = valor();
    } else if (a == "--porta") {
      o.porta = std::atoi(valor().c_str());
    } else if (a == "--pid") {
      o.pid = std::atoi(valor().c_str());
    } else if (a == "--usuarios") {
      o.usuarios.clear();
      std::istringstream s(valor());
      for (std::string n; std::getline(s, n, ',');) o.usuarios.push_back(std::atoi(n.c_str()));
    } else if (a == "--taxa") {
      o.taxa = std::atof(valor().c_str());
    } else if (a == "--segundos") {
      o.segundos = std::atof(valor().c_str());
    } else if (a == "--so-fluxo") {
      o.soFluxo = true;
    } else if (a == "--rotulo") {
      o.rotulo = valor();
    } else if (a == "--resumo") {
      o.resumo = valor();
    } else if (a == "-v") {
      o.detalhe = true;
    } else {
      uso();
    }
  }
  if ((o.alvo != "zandor" && o.alvo != "socat" && o.alvo != "tintin") || (o.porta > 0) != (o.pid > 0) || o.taxa <= 0 || o.segundos <= 0) uso();
  for (int n : o.usuarios)
    if (n < 1 || n > 62 || (o.alvo == "socat" && n != 1)) uso();
  signal(SIGINT, aoSinal);
  signal(SIGTERM, aoSinal);
  signal(SIGPIPE, SIG_IGN);

  std::vector<Linha> linhas;
  for (int n : o.usuarios) linhas.push_back(medeUm(o, n));
  imprime(o, linhas);
  return 0;
}

