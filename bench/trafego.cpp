// The load's traffic: the MUD's numbered lines and the users' typing, paced
// on the one clock, and the accounting of a phase: copies, losses, order,
// latencies both ways, and the target's CPU time.
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "alvos.h"
#include "carga.h"

namespace carga {


namespace {

// Reads a decimal number at p, moving p past it and one following blank.
uint64_t numero(const char*& p, const char* fim) {
  uint64_t v = 0;
  while (p < fim && *p >= '0' && *p <= '9') v = v * 10 + static_cast<uint64_t>(*p++ - '0');
  if (p < fim && *p == ' ') ++p;
  return v;
}

}  // namespace

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

// ---- phases ----------------------------------------------------------------------

Fase Carga::fluxo(double taxa, double segundos, bool digitar) {
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

Fase Carga::rajada(int n) {
  Fase f;
  f.segundos = 1;
  const Ns cpu0 = comecaFase(), t = agora();
  for (int i = 0; i < n; ++i) poeLinha(t);
  descarregaMud();
  concluiFase(f, cpu0, t);
  return f;
}

Ns Carga::comecaFase() {
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
void Carga::concluiFase(Fase& f, Ns cpu0, Ns t0) {
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

// ---- the lines ---------------------------------------------------------------------

void Carga::poeLinha(Ns t) {
  char linha[kMaxTamanhoLinha + 1];
  const int n = std::snprintf(linha, sizeof linha, "ZL %llu %lld ", static_cast<unsigned long long>(seq_++), static_cast<long long>(t));
  std::memset(linha + n, 'x', static_cast<size_t>(tamanhoLinha - 2 - n));
  linha[tamanhoLinha - 2] = '\r';
  linha[tamanhoLinha - 1] = '\n';
  mudSaida_.append(linha, static_cast<size_t>(tamanhoLinha));
}

// Lines due by now, stamped with the time they are written. While the
// socket holds earlier lines back, nothing new is made: that shortfall is
// what marks a step as held back.
void Carga::enviaLinhas() {
  if (!mudSaida_.empty()) return;
  const Ns t = agora();
  if (t >= fimEnvio_) return;
  const uint64_t feitas = seq_ - primeira_;
  uint64_t devidas = std::min<uint64_t>(total_, static_cast<uint64_t>(static_cast<double>(t - inicio_) * taxa_ / kS));
  if (devidas <= feitas) return;
  for (uint64_t i = std::min<uint64_t>(devidas - feitas, 1024); i > 0; --i) poeLinha(t);
  descarregaMud();
}

void Carga::digita() {
  const Ns t = agora();
  for (size_t i = 0; i < usuarios_.size(); ++i) {
    Usuario& x = usuarios_[i];
    if (t < x.proximaDigitacao) continue;
    const std::string l = "ZU " + std::to_string(i) + " " + std::to_string(x.digitadas) + " " + std::to_string(t) + "\r\n";
    if (send(x.conexao.fd(), l.data(), l.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(l.size())) ++x.digitadas;
    x.proximaDigitacao = std::max(x.proximaDigitacao + intervalo_, t + 100 * kMs);
  }
}

// Lines "ZL seq sendtime ...": a gap in the sequence is a loss. Anything
// before the marker (telnet negotiation from a relay) is skipped.
void Carga::analisaUsuario(Usuario& x, Ns t) {
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

// Lines "ZU user count sendtime" that reached the MUD.
void Carga::analisaMud(Ns t) {
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
}

}  // namespace carga
