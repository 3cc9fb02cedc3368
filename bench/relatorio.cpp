#include "relatorio.h"

#include <cstdio>
#include <fstream>

namespace carga {

namespace {

std::string mostra(const Quantis& q) {
  if (q.n == 0) return "-";
  char b[64];
  std::snprintf(b, sizeof b, "%.1f/%.1f/%.1f", q.p50, q.p99, q.max);
  return b;
}

double usPorCopia(const Fase& f) { return f.copias == 0 ? NAN : f.cpuS * 1e6 / static_cast<double>(f.copias); }

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

}  // namespace

void mostraFase(const char* nome, const Fase& f) {
  std::printf("    %-5s %7.0f lines/s: sent %llu, copies %llu, lost %llu, out of order %llu%s%s, %.2f s, CPU %.3f s, %.3f us/copy, MUD->user %s\n", nome,
              f.taxa, static_cast<unsigned long long>(f.enviadas), static_cast<unsigned long long>(f.copias), static_cast<unsigned long long>(f.perdidas),
              static_cast<unsigned long long>(f.foraDeOrdem), f.contido ? ", MUD held back" : "", f.atrasado ? ", late" : "", f.decorridos, f.cpuS,
              usPorCopia(f), mostra(f.desce).c_str());
}

void imprime(const Opcoes& o, const std::vector<Linha>& linhas) {
  const std::string nome = o.rotulo.empty() ? o.alvo : o.rotulo;
  std::printf("\n%s, %d-byte lines, latencies in ms as p50/p99/max\n", nome.c_str(), tamanhoLinha);
  std::printf("  fixed load: the MUD sends %.0f lines/s for %.0f s; users type about 100 lines/s in all\n", o.taxa, o.segundos);
  std::printf("  %4s %10s %16s %18s %18s %9s %10s %9s\n", "N", "copies/s", "lost (share)", "MUD->user", "user->MUD", "us/copy", "typed r/s",
              "RSS KiB");
  for (const Linha& l : linhas)
    std::printf("  %4d %10s %16s %18s %18s %9.3f %5llu/%-4llu %9lld\n", l.n, copiasPorSegundo(l.fixa).c_str(), perda(l.fixa).c_str(),
                mostra(l.fixa.desce).c_str(), mostra(l.fixa.sobe).c_str(), usPorCopia(l.fixa),
                static_cast<unsigned long long>(l.fixa.digitadasRecebidas), static_cast<unsigned long long>(l.fixa.digitadas), l.rssKb);
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
                "  and the largest single MUD write (lines of %d bytes, doubling from 16) that every user got whole\n", tamanhoLinha);
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
    poe("rss_kb", static_cast<double>(l.rssKb));
    if (l.temTeto) poe("teto", l.teto.taxa);
  }
}

}  // namespace carga
