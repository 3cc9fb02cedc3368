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
//    with none, divided by N. One user logs in and leaves before the
//    baseline (and one web user when web users are measured), so the code a
//    session runs and what the web path makes once are already resident.
//    Pages are 4 KiB, so the figure for one user is coarse. The whole VmRSS
//    is also read at the end of the fixed load.
//  - Idle wake-ups: voluntary context switches of the gateway (each one a
//    sleep that ended) per second, read from /proc/PID/status over 4 s with
//    the users logged in, the MUD linked and no traffic.
//  - Bursts: the MUD writes 16, 32, ... 4096 lines in one go (a long room, a
//    help page), half a second apart, until some user misses a line.
//  - A fixed load: the MUD sends --taxa lines/s (64 bytes each unless --bytes
//    says otherwise, paced every millisecond) for --segundos s. Every line
//    carries its sequence number and its send time; each user checks the
//    sequence (a gap is a loss) and records MUD->user latency per copy.
//    Meanwhile the users type, about 100 lines/s in all and never two from
//    one user within 100 ms (as people type: each line is its own delivery
//    and its own latency); each typed line carries its send time and the MUD
//    records user->MUD latency. The target's CPU time over the
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
// Targets: --alvo zandor (default; started from --binario, the gateway built
// beside this tool unless given, or an already running one given by --porta
// and --pid; --web K makes K of each N users browsers, through the web
// listener, in WebSocket frames; --wss puts them over TLS through a socat
// relay; --quadros K makes K of the others framed clients at 80 columns),
// socat (one user, a plain relay),
// tintin (TinTin++ in a private tmux, forwarding every MUD line to all port
// connections and every port message to the MUD).
//
// The parts: alvos.cpp starts and ends the targets and reads /proc;
// carga.cpp holds the sessions and the one event loop; trafego.cpp makes,
// paces and counts the lines; relatorio.cpp prints the figures; this file
// reads the options and runs the plan above for each N.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "alvos.h"
#include "apoio.h"
#include "carga.h"
#include "gateway/cliente.h"
#include "relatorio.h"

using namespace carga;
using zandor::kMaxUsuarios;

namespace {

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
  Carga c;
  Alvo a;
  if (o.alvo == "zandor") {
    if (o.porta > 0) {
      a.porta = o.porta;
      a.pid = o.pid;
    } else {
      a = iniciaZandor(o.binario, n, o.wss);
    }
    c.defineAlvo(a.pid);
    const int web = std::min(o.web, n);
    if (web > 0 && a.portaWeb == 0) falha("--web needs a gateway started here, with its web line");
    c.aqueceGateway(a.porta);
    if (web > 0) c.aqueceGateway(a.porta, a.portaWeb);
    const long long rss0 = campoStatus(a.pid, "VmRSS:");
    const long long anon0 = campoStatus(a.pid, "RssAnon:");
    c.entraNoGateway(a.porta, n - web, web, a.portaWeb, std::min(o.quadros, n - web));
    c.pausa(300 * kMs);
    l.rssPorUsuario = static_cast<double>(campoStatus(a.pid, "VmRSS:") - rss0) / n;
    // Anonymous memory (the heap: users' records, rings, lines) with the
    // users in and idle, beside the gateway's with none.
    const long long anon = campoStatus(a.pid, "RssAnon:");
    std::fprintf(stderr, "idle: %d users, RssAnon %lld KiB (%lld with none, %.2f KiB per user), VmRSS %lld KiB\n", n, anon,
                 anon0, static_cast<double>(anon - anon0) / n, campoStatus(a.pid, "VmRSS:"));
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
  l.rssKb = campoStatus(a.pid, "VmRSS:");
  if (o.detalhe) mostraFase("fixed", l.fixa);
  if (!o.soFluxo) escada(c, l, o);
  encerraProcessos();  // only what this run started: never a gateway given by --pid
  return l;
}

[[noreturn]] void uso() {
  std::fprintf(stderr,
               "usage: zandor_carga [--alvo zandor|socat|tintin] [--binario PATH] [--porta P --pid PID]\n"
               "                    [--usuarios 1,8,32,%d] [--web K [--wss]] [--quadros K] [--taxa LINES_PER_S] [--segundos S] [--so-fluxo]\n"
               "                    [--bytes %d..%d] [--tintin PATH] [--rotulo NAME] [--resumo FILE] [-v]\n"
               "       zandor_carga --teto   (prints the gateway's default user cap, %d)\n"
               "  more than %d users (up to %d) start the gateway with \"usuarios = N\"\n",
               kMaxUsuarios, kMinTamanhoLinha, kMaxTamanhoLinha, kMaxUsuarios, kMaxUsuarios, zandor::kTetoUsuarios);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Opcoes o;
  o.binario = e2e::binario();
  o.usuarios = {1, 8, 32, kMaxUsuarios};
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
    } else if (a == "--bytes") {
      tamanhoLinha = std::atoi(valor().c_str());
      if (tamanhoLinha < kMinTamanhoLinha || tamanhoLinha > kMaxTamanhoLinha) uso();
    } else if (a == "--quadros") {
      o.quadros = std::atoi(valor().c_str());
    } else if (a == "--web") {
      o.web = std::atoi(valor().c_str());
    } else if (a == "--wss") {
      o.wss = true;
    } else if (a == "--so-fluxo") {
      o.soFluxo = true;
    } else if (a == "--rotulo") {
      o.rotulo = valor();
    } else if (a == "--resumo") {
      o.resumo = valor();
    } else if (a == "-v") {
      o.detalhe = true;
    } else if (a == "--teto") {
      std::printf("%d\n", kMaxUsuarios);
      return 0;
    } else {
      uso();
    }
  }
  if ((o.alvo != "zandor" && o.alvo != "socat" && o.alvo != "tintin") || (o.porta > 0) != (o.pid > 0) || o.taxa <= 0 || o.segundos <= 0) uso();
  for (int n : o.usuarios)
    if (n < 1 || n > zandor::kTetoUsuarios || (o.alvo == "socat" && n != 1)) uso();
  instalaSinais();

  std::vector<Linha> linhas;
  for (int n : o.usuarios) linhas.push_back(medeUm(o, n));
  imprime(o, linhas);
  return 0;
}

