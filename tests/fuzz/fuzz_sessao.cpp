// Bytes from a user into a session: detection, both decoders (long lines
// included), the hold, the stage timers and every command ("/historia" over
// a full history, its reply carried on by the drained event as the loop
// does), from a Windows-1252 or a UTF-8 user to a
// watcher of either charset. The network is sealed off: connect and
// name resolution always fail here, so "/mud" can never reach anything, and
// "/terminar" ends the input instead of the process. A "/mud" starts a helper
// thread; the harness waits for it after every chunk, so each run is the
// same whatever the scheduling, and none outlives its input.
#include <cstring>

#include "framework/tempo.h"
#include "gateway/historico.h"
#include "sessao_fuzz.h"

using fuzz::esperaAjudantes;
using fuzz::vivo;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::preparaSessoes();
  // A full history: coloured, Windows-1252, UTF-8 and 8000-byte lines. Only
  // this fills it, so every run sees the same one.
  static char longa[zandor::kMaxLinha];
  for (char& c : longa) c = '\xE9';
  static constexpr const char* kLinhas[] = {"\x1B[1;31mVermelho\x1B[0m", "Ol\xE1 caf\xE9", "Ol\xC3\xA1", ""};
  for (int i = 0; i < zandor::kLinhasHistorico; ++i) {
    if (i % 100 == 0)
      zandor::historico.guarda(longa, sizeof longa);
    else
      zandor::historico.guarda(kLinhas[i % 4], static_cast<int>(std::strlen(kLinhas[i % 4])));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  using namespace zandor;
  fuzz::Fluxo fluxo(dados, tamanho);
  const uint8_t modo = fluxo.byte();

  // A named user who watches broadcasts (framed, or telnet in UTF-8), and
  // the user under test.
  fuzz::Par parObservador, parUsuario;
  TCliente* observador = (modo & 4) ? fuzz::observador(parObservador, kProtocoloTelnet, kOpcaoUtf8)
                                    : fuzz::observador(parObservador, kProtocoloQuadros, 0);

  auto* usuario = new TCliente;
  usuario->adota(parUsuario.fd[0]);
  usuario->cArma(kTicksPrimeiraLinha);
  if (modo & 1) usuario->opcoes = kOpcaoC1;

  try {
    // The user under test turns UTF-8 on before anything else is typed.
    if (modo & 2) {
      static constexpr char kUtf8[] = "\r\n/c3\r\n";
      usuario->cEvento(kUtf8, sizeof kUtf8 - 1);
    }
    while (!fluxo.vazio() && vivo(usuario)) {
      const uint8_t controle = fluxo.byte();
      size_t n;
      const char* pedaco = fluxo.pedaco(1 + (controle & 0x3F), &n);
      // With mode bit 16 every chunk comes 200 times over, so that short
      // inputs make lines past the 8000-byte limit.
      for (int vez = (modo & 16) ? 200 : 1; vez > 0 && n > 0 && vivo(usuario); --vez)
        usuario->cEvento(pedaco, static_cast<int32_t>(n));
      esperaAjudantes();
      if (controle & 0x40) {
        parUsuario.drena();
        if (vivo(usuario) && usuario->cModo() <= kModoNormal && !usuario->cVazio() && usuario->cDescarrega())
          usuario->cEvento(nullptr, 1);
      }
      if ((controle & 0x80) && vivo(usuario)) cAvanca(1 + (controle & 0x0F) * 100);
      parObservador.drena();
    }
  } catch (const fuzz::Terminou&) {
  }

  esperaAjudantes();
  if (vivo(usuario)) delete usuario;
  delete observador;
  fuzz::arruma();
  return 0;
}
