// The load itself: one MUD and N users around the target, driven from one
// thread and one epoll set.
//
// The MUD is an e2e::MudFalso the target connects to; the users are
// e2e::Conexao sockets, switched to non-blocking with TCP_NODELAY. Lines
// from the MUD read "ZL seq sendtime xxx...", 64 bytes with CR LF; lines
// the users type read "ZU user count sendtime"; "ZS" marks a synchronisation.
// Every line carries the moment it was written on the one clock, so its
// latency is read at the other end.
#pragma once

#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "apoio.h"
#include "comum.h"

namespace carga {

struct Quantis {
  double p50 = NAN, p99 = NAN, max = NAN;  // milliseconds
  size_t n = 0;
};

// What one phase of the load measured: a fixed rate for a time, or a burst.
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
  Carga();
  ~Carga();
  Carga(const Carga&) = delete;
  Carga& operator=(const Carga&) = delete;
  int mudPorta() const { return mud_.porta(); }
  void defineAlvo(pid_t p) { alvo_ = p; }

  // ---- sessions (carga.cpp) ----
  void conectaUsuario(int porta);
  // The gateway's login, all users at once, the first `quadros` of the `n`
  // as framed clients and the rest by telnet; then `web` more users through
  // the web listener on `portaWeb`, upgraded and named.
  void entraNoGateway(int porta, int n, int web = 0, int portaWeb = 0, int quadros = 0);
  // One user logs in and leaves, so that the code and tables a session
  // touches are resident before the baseline is read; with `portaWeb`, a
  // web user, so that what the web path makes once (the hash's tables, the
  // shared frame contexts, the HTTP connection's place in the heap) is in
  // the baseline too and not spread over the users measured.
  void aqueceGateway(int porta, int portaWeb = 0);
  // The first user asks the gateway for the MUD and everyone hears it linked.
  void ligaMudPeloGateway();
  void aceitaMud();
  // From here on every user parses lines; returns once each has seen a
  // marker line from the MUD, so no earlier text is in flight.
  void sincroniza();
  void pausa(Ns d) { gira(agora() + d, [] { return false; }); }

  // ---- phases (trafego.cpp) ----
  // The MUD sends `taxa` lines/s for `segundos`, then every user is drained.
  Fase fluxo(double taxa, double segundos, bool digitar);
  // The MUD writes `n` lines at once, as it does for a long room or a help
  // page, then every user is drained.
  Fase rajada(int n);

 private:
  struct Usuario {
    e2e::Conexao conexao;
    std::string entrada;     // bytes received and not yet taken
    bool logado = false;     // lines are parsed only once the login is over
    bool viuSync = false;
    uint64_t esperado = 0;   // next sequence number due from the MUD
    uint64_t recebidas = 0, perdidas = 0, foraDeOrdem = 0;
    Ns proximaDigitacao = 0;
    uint64_t digitadas = 0;
    bool web = false;        // WebSocket frames around the same lines
    bool aberto = false;     // web: the upgrade's answer is past
    std::string bruto;       // web, framed: bytes not yet a whole frame or record
    bool quadros = false;    // framed records around the same lines (none cut: lines stay under 79 bytes)
  };
  static constexpr uint32_t kMud = 0xFFFFFFFF;  // the MUD's mark in the epoll set; users are their index

  // carga.cpp: the loop and the sockets.
  void vigia(int fd, uint32_t marca, uint32_t eventos);
  bool todos(const std::function<bool(const Usuario&)>& p) const;
  void esperaTodos(const std::string& texto, const char* etapa, size_t desde = 0);
  void gira(Ns ate, const std::function<bool()>& pronto);
  void leUsuario(Usuario& x);
  // Sends a typed line: as it is to a telnet user, in a masked frame to a web
  // user, in a record to a framed one.
  static bool enviaLinha(const Usuario& x, const std::string& linha);
  void leMud();
  void descarregaMud();

  // trafego.cpp: making, pacing and counting the lines.
  Ns comecaFase();
  void concluiFase(Fase& f, Ns cpu0, Ns t0);
  void poeLinha(Ns t);
  void enviaLinhas();
  void digita();
  void analisaUsuario(Usuario& x, Ns t);
  void analisaMud(Ns t);

  pid_t alvo_ = -1;
  int ep_ = -1;  // the epoll set
  e2e::MudFalso mud_;
  e2e::Conexao mudLado_;  // the target's connection to the MUD
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

Quantis quantis(std::vector<int32_t> us);

}  // namespace carga
