// Bytes from a MUD into the link: negotiation, escape sequences, line
// assembly (long lines included), the prompt timer, and delivery to a filtering telnet user, a
// telnet user who keeps colours (either of them reading UTF-8) and a framed
// user.
#include "apoio_fuzz.h"
#include "framework/tempo.h"
#include "gateway/cliente.h"
#include "gateway/mud.h"
#include "text/dobra.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zandor::montaTabelas();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  using namespace zandor;
  fuzz::Fluxo fluxo(dados, tamanho);
  const uint8_t modo = fluxo.byte();

  fuzz::Par pares[3];
  TCliente* usuarios[3];
  for (int i = 0; i < 3; ++i) {
    usuarios[i] = new TCliente;
    usuarios[i]->adota(pares[i].fd[0]);
    usuarios[i]->etapa = kEtapaNomeado;
  }
  usuarios[0]->protocolo = kProtocoloTelnet;
  usuarios[1]->protocolo = kProtocoloTelnet;
  usuarios[1]->opcoes = kOpcaoSemFiltro;
  if (modo & 4) usuarios[0]->opcoes |= kOpcaoUtf8;
  if (modo & 8) usuarios[1]->opcoes |= kOpcaoUtf8;
  usuarios[2]->protocolo = kProtocoloQuadros;
  usuarios[2]->opcoes = modo & (kOpcaoSemFiltro | kOpcaoC1);

  fuzz::Par parMud;
  mud = new TMud;
  mud->adota(parMud.fd[0]);

  while (!fluxo.vazio()) {
    const uint8_t controle = fluxo.byte();
    size_t n;
    const char* pedaco = fluxo.pedaco(1 + (controle & 0x3F) * 8, &n);
    // A chunk may come forty times over, so that short inputs make lines
    // past the 8000-byte limit.
    for (int vez = (controle & 0x40) ? 40 : 1; vez > 0 && n > 0; --vez) mud->cEvento(pedaco, static_cast<int32_t>(n));
    if (controle & 0x80) cAvanca(kTicksPrompt);
    for (auto& p : pares) p.drena();
    parMud.drena();
  }
  // The MUD hangs up: the link reports it and destroys itself.
  if (modo & 0x80)
    mud->cEvento(nullptr, 0);
  else
    delete mud;
  mud = nullptr;
  for (TCliente* u : usuarios) delete u;
  return 0;
}
