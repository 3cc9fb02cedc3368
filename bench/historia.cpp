// zandor_historia: what the history costs, measured from outside.
//
//  - Memory: VmRSS of the gateway with N users (62 by default, the most it
//    takes) logged in and linked, before and after the MUD fills the history
//    with 8000-byte lines (32 of them fill 256 KiB).
//  - Serving: the history refilled with 1000 lines of 200 bytes, every user
//    asks "/historia 1000" at once while the MUD sends --taxa lines/s (2000
//    by default) for --segundos s. Reported: the time until the last user
//    had the whole reply (header to footer), the time until every user had
//    every line, and the gateway's CPU over the phase. Every user's stream is
//    checked: the 1000 lines of the reply consecutive in the MUD's order, and
//    after the footer every later line, in order, to the last one sent; a
//    single copy lost or out of place fails the run.
//
// Runs on 127.0.0.1 only; the one process started, the gateway, is ended by
// the end-to-end support, by its id. Usage:
//   zandor_historia [--usuarios N] [--taxa LINHAS_POR_S] [--segundos S]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "apoio.h"

namespace {

using Relogio = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLinhasHistoria = 1000;
constexpr size_t kTamanhoAntiga = 200;
const std::string kCabecalho = "/Hist\xF3rico: 1000 linhas";
const std::string kRodape = "/Fim do hist\xF3rico";

[[noreturn]] void falha(const std::string& porque) {
  std::fprintf(stderr, "zandor_historia: %s\n", porque.c_str());
  std::exit(1);
}

long long rssKiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string nome;
  long long valor = -1;
  while (f >> nome) {
    if (nome == "VmRSS:" && f >> valor) return valor;
    f.ignore(1 << 16, '\n');
  }
  return -1;
}

// utime + stime, in seconds.
double cpuS(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string tudo((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream campos(tudo.substr(tudo.rfind(')') + 2));
  std::string c;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && campos >> c; ++i) {
    if (i == 14) utime = std::atoll(c.c_str());
    if (i == 15) stime = std::atoll(c.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A MUD line's place in the MUD's order: "a<i>..." is i, "v<j>" 1000 + j.
long ordem(const std::string& l) {
  if (l.size() < 2 || (l[0] != 'a' && l[0] != 'v')) return -1;
  const long n = std::strtol(l.c_str() + 1, nullptr, 10);
  return l[0] == 'a' ? n : kLinhasHistoria + n;
}

std::string antiga(int i) {
  std::string s = "a" + std::to_string(i) + " ";
  return s + std::string(kTamanhoAntiga - s.size(), 'x');
}

struct Leitor {
  e2e::Conexao c;
  std::string resto;       // a line not yet ended
  int etapa = 0;           // 0 before the header, 1 inside the reply, 2 after
  long anterior = -1;      // order of the last MUD line checked
  int naResposta = 0;
  long ultimo = -1;        // order of the last MUD line seen anywhere
  double fimResposta = 0;  // seconds from the request to the footer
};

// Reads what there is and checks each complete line.
void le(Leitor& u, double agora) {
  char buf[65536];
  ssize_t r;
  while ((r = recv(u.c.fd(), buf, sizeof buf, MSG_DONTWAIT)) > 0) u.resto.append(buf, static_cast<size_t>(r));
  size_t de = 0, fim;
  while ((fim = u.resto.find("\r\n", de)) != std::string::npos) {
    const std::string l = u.resto.substr(de, fim - de);
    de = fim + 2;
    if (l == kCabecalho) {
      u.etapa = 1;
      u.anterior = -1;
      continue;
    }
    if (l == kRodape) {
      if (u.naResposta != kLinhasHistoria) falha("a reply of " + std::to_string(u.naResposta) + " lines");
      u.etapa = 2;
      u.fimResposta = agora;
      continue;
    }
    const long o = ordem(l);
    if (o < 0) continue;  // notices
    if (u.etapa >= 1 && u.anterior >= 0 && o != u.anterior + 1)
      falha("line " + std::to_string(o) + " after " + std::to_string(u.anterior));
    if (u.etapa == 1) ++u.naResposta;
    u.anterior = o;
    if (u.etapa == 2 || o > u.ultimo) u.ultimo = o;
  }
  u.resto.erase(0, de);
}

}  // namespace

int main(int argc, char** argv) {
  int usuarios = 62;
  double taxa = 2000, segundos = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    if (o == "--usuarios") usuarios = std::atoi(argv[i + 1]);
    else if (o == "--taxa") taxa = std::atof(argv[i + 1]);
    else if (o == "--segundos") segundos = std::atof(argv[i + 1]);
    else falha("unknown option " + o);
  }

  e2e::MudFalso falso;
  e2e::Gateway g;
  std::vector<Leitor> leitores(static_cast<size_t>(usuarios));
  for (int i = 0; i < usuarios; ++i) leitores[static_cast<size_t>(i)].c = g.usuarioTelnet("u" + std::to_string(i));
  leitores[0].c.envia("/mud 127.0.0.1 " + std::to_string(falso.porta()) + "\r\n");
  e2e::Conexao lado = falso.aceita();
  if (!lado.aberta()) falha("the gateway did not link to the MUD");

  // Sends `texto` a piece at a time, every user reading meanwhile, until each
  // has seen `marca`.
  auto enviaLido = [&](const std::string& texto, const std::string& marca) {
    for (size_t de = 0; de < texto.size(); de += 16384) lado.envia(texto.substr(de, 16384));
    for (Leitor& u : leitores) {
      if (!u.c.leAte(marca, 20s)) falha("a user did not get " + marca);
      u.c.descarta();
    }
  };
  enviaLido("", "/Conectado\r\n");
  const long long rssAntes = rssKiB(g.pid());
  std::string longas;
  for (int i = 0; i < 40; ++i) longas += std::string(8000, static_cast<char>('A' + i % 26)) + "\r\n";
  for (int i = 0; i < 40; i += 4) enviaLido(longas.substr(static_cast<size_t>(i) * 8002, 4 * 8002), "\r\n");
  enviaLido("cheia\r\n", "cheia\r\n");
  const long long rssCheia = rssKiB(g.pid());
  std::printf("users %d: VmRSS %lld KiB linked, %lld KiB with a full history of 8000-byte lines\n", usuarios, rssAntes,
              rssCheia);

  for (int i = 0; i < kLinhasHistoria; i += 50) {
    std::string lote;
    for (int k = i; k < i + 50; ++k) lote += antiga(k) + "\r\n";
    enviaLido(lote, antiga(i + 49) + "\r\n");
  }

  const long totalVivas = static_cast<long>(taxa * segundos);
  const long ultima = kLinhasHistoria + totalVivas - 1;
  const double cpu0 = cpuS(g.pid());
  const auto inicio = Relogio::now();
  for (Leitor& u : leitores) u.c.envia("/historia 1000\r\n");
  long enviadas = 0;
  std::vector<pollfd> fds;
  for (Leitor& u : leitores) fds.push_back({u.c.fd(), POLLIN, 0});
  double todosEm = -1;
  for (;;) {
    const double t = std::chrono::duration<double>(Relogio::now() - inicio).count();
    std::string saida;
    while (enviadas < totalVivas && enviadas < static_cast<long>(t * taxa))
      saida += "v" + std::to_string(enviadas++) + "\r\n";
    if (!saida.empty()) lado.envia(saida);
    poll(fds.data(), fds.size(), 1);
    bool todos = true;
    for (Leitor& u : leitores) {
      le(u, t);
      if (u.etapa != 2 || u.ultimo != ultima) todos = false;
    }
    if (todos) {
      todosEm = t;
      break;
    }
    if (t > segundos + 60) falha("not every user had every line after a minute");
  }
  const double cpu = cpuS(g.pid()) - cpu0;
  double ultimaResposta = 0;
  for (const Leitor& u : leitores) ultimaResposta = u.fimResposta > ultimaResposta ? u.fimResposta : ultimaResposta;
  std::printf(
      "/historia 1000 to %d users at once, MUD at %.0f lines/s for %.1f s: last reply whole after %.3f s, every line "
      "to every user after %.3f s, gateway CPU %.3f s; no copy lost\n",
      usuarios, taxa, segundos, ultimaResposta, todosEm, cpu);
  return 0;
}
