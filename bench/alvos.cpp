#include "alvos.h"

#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "apoio.h"
#include "gateway/cliente.h"

namespace carga {

namespace {

// ---- what this run started --------------------------------------------------

std::optional<e2e::Gateway> gateway;  // ends and reaps its process, removes its directory
pid_t gatewayPid = -1;                // the same process, for the signal handler
std::vector<pid_t> filhos;            // killed and reaped at the end
pid_t tintinPid = -1;                 // not our child (tmux's), killed by id
std::string tmuxSoquete;              // private tmux server, by its socket path
std::vector<std::string> pastas;      // temporary directories, removed at the end

void aoSinal(int) {
  if (tintinPid > 0) kill(tintinPid, SIGKILL);
  if (gatewayPid > 0) kill(gatewayPid, SIGKILL);
  for (pid_t p : filhos) kill(p, SIGKILL);
  _exit(130);
}

// TinTin++ was the server's only pane and is already killed, so the server
// has usually left with it: kill-server then ends with 1, "no server
// running". Only a command that could not run at all, or another status,
// leaves a server that may still be up.
void paraTmux() {
  const std::string comando = "tmux -S '" + tmuxSoquete + "' kill-server >/dev/null 2>&1";
  const int status = std::system(comando.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
    std::fprintf(stderr, "zandor_carga: tmux kill-server failed (status %d); a server may be left on %s\n", status,
                 tmuxSoquete.c_str());
}

std::string leArquivo(const std::string& caminho) {
  std::ifstream f(caminho, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

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

}  // namespace

void falha(const std::string& motivo) {
  std::fflush(stdout);
  std::fprintf(stderr, "zandor_carga: %s\n", motivo.c_str());
  encerraProcessos();
  std::exit(2);
}

void encerraProcessos() {
  if (tintinPid > 0) kill(tintinPid, SIGKILL);
  tintinPid = -1;
  gatewayPid = -1;
  gateway.reset();
  for (pid_t p : filhos) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  filhos.clear();
  if (!tmuxSoquete.empty()) paraTmux();
  tmuxSoquete.clear();
  for (const std::string& p : pastas) std::filesystem::remove_all(p);
  pastas.clear();
}

void instalaSinais() {
  signal(SIGINT, aoSinal);
  signal(SIGTERM, aoSinal);
  signal(SIGPIPE, SIG_IGN);
}

// ---- the targets -----------------------------------------------------------------

Alvo iniciaZandor(const std::string& binario, int usuarios, bool wss) {
  // The web listener on, and a larger cap when the house needs it.
  std::string tls;
  if (wss) {
    const std::string pasta = pastaTemporaria();
    if (std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=carga "
                     "-keyout '" + pasta + "/key.pem' -out '" + pasta + "/cert.pem' >/dev/null 2>&1").c_str()) != 0)
      falha("--wss needs the openssl command");
    tls = " tls " + pasta + "/cert.pem " + pasta + "/key.pem";
  }
  std::string config = "%PORTA%\nweb = 127.0.0.1 %PORTAWEB%" + tls + "\n";
  if (usuarios > zandor::kMaxUsuarios) config += "usuarios = " + std::to_string(usuarios) + "\n";
  gateway.emplace(config, true, "zandor", binario);
  gatewayPid = gateway->pid();
  if (gateway->leArquivo("zandor.log") != "Feito...\n") {
    const int status = gateway->esperaSair(e2e::Ms(0));
    falha("the gateway did not start" + (status >= 0 ? " (exit status " + std::to_string(status) + ")" : std::string()) + ": " +
          gateway->saida());
  }
  Alvo a{gateway->pid(), gateway->porta(), gateway->portaWeb()};
  if (wss) {
    const int rele = e2e::portaLivre();
    filhos.push_back(lanca(pastaTemporaria(), {"socat", "TCP-LISTEN:" + std::to_string(rele) + ",bind=127.0.0.1,reuseaddr,fork,nodelay",
                                               "OPENSSL:127.0.0.1:" + std::to_string(a.portaWeb) + ",verify=0,nodelay"}));
    // Ready once it accepts: a probe costs one forked relay, which ends at once.
    const Ns fim = agora() + 5 * kS;
    for (;;) {
      const int s = socket(AF_INET, SOCK_STREAM, 0);
      const sockaddr_in e = e2e::enderecoLocal("127.0.0.1", rele);
      const bool pronto = connect(s, reinterpret_cast<const sockaddr*>(&e), sizeof e) == 0;
      close(s);
      if (pronto) break;
      if (agora() > fim) falha("the socat TLS relay did not start");
      usleep(10000);
    }
    a.portaWeb = rele;
  }
  return a;
}

Alvo iniciaSocat(int mudPorta) {
  Alvo a;
  a.porta = e2e::portaLivre();
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
  a.porta = e2e::portaLivre();
  std::ofstream(pasta + "/carga.tin") << "#port init usuarios " << a.porta << "\n"
                                      << "#usuarios #event {PORT RECEIVED MESSAGE} {#mud #send {%3}}\n"
                                      << "#session mud 127.0.0.1 " << mudPorta << "\n"
                                      << "#event {RECEIVED LINE} {#usuarios #port send all {%0}}\n";
  tmuxSoquete = pasta + "/tmux";
  const std::string comando = "echo $$ > '" + pasta + "/pid'; exec '" + ttpp + "' -G '" + pasta + "/carga.tin'";
  const pid_t cliente = lanca(pasta, {"tmux", "-S", tmuxSoquete, "-f", "/dev/null", "new-session", "-d", "-x", "160", "-y", "48", comando},
                              pasta.c_str());
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

// ---- readings from /proc -------------------------------------------------------

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

long long campoStatus(pid_t pid, const char* nome) {
  std::istringstream s(leArquivo("/proc/" + std::to_string(pid) + "/status"));
  for (std::string linha; std::getline(s, linha);)
    if (linha.rfind(nome, 0) == 0) return std::atoll(linha.c_str() + std::strlen(nome));
  return -1;
}

}  // namespace carga
