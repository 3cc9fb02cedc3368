// The programs under load and everything this run starts for them.
//
// The gateway is started through the end-to-end support (e2e::Gateway), in a
// directory of its own; socat and TinTin++ serve as reference relays. Every
// process started here is ended here, by its id, on a normal end, on a
// failure (falha) and on SIGINT or SIGTERM; nothing else is ever signalled.
#pragma once

#include <sys/types.h>

#include <string>

#include "comum.h"

namespace carga {

struct Alvo {
  pid_t pid = -1;
  int porta = 0;     // where the users connect
  int portaWeb = 0;  // where web users connect (the gateway's web line)
};

// Returns once the gateway listens; a gateway that does not start is a falha.
// A house of more than the default cap is started under "usuarios = N".
// With `wss` the web line has `tls` and a certificate made now, and the
// returned web port is a socat relay's (plain in, TLS to the gateway, one
// process per connection), so the load tool's plain sockets speak WSS to
// the gateway; the relay's CPU is not the target's.
Alvo iniciaZandor(const std::string& binario, int usuarios, bool wss = false);
// A plain relay for one user, straight to the MUD on mudPorta.
Alvo iniciaSocat(int mudPorta);
// TinTin++ sharing its MUD session on a port (see alvos.cpp).
Alvo iniciaTintin(const std::string& ttpp, int mudPorta);

// Ends and reaps what this run started and removes its directories; a
// gateway given by --porta and --pid is not ours and is left alone.
void encerraProcessos();
// SIGINT and SIGTERM end what we started; SIGPIPE is ignored.
void instalaSinais();

// CPU time of a process in nanoseconds: /proc/PID/schedstat, exact, when
// present; /proc/PID/stat (utime+stime in clock ticks) otherwise.
Ns cpuNs(pid_t pid);
// A numeric field of /proc/PID/status ("VmRSS:" in KiB, counters as is), or -1.
long long campoStatus(pid_t pid, const char* nome);

}  // namespace carga
