// Bytes from a browser into the gateway: the HTTP request on the web
// listener, the upgrade, then WebSocket frames into a web user's session,
// with a named telnet user watching. The fuzzer either writes the whole
// stream itself (the head included) or, more often, lets the harness send a
// valid upgrade and then builds frames from its bytes: a header byte of its
// choice (FIN, reserved bits, opcode), masked or not, around a chunk of its
// data, so that most inputs reach past the frame checks into the session.
// The network is sealed off as in fuzz_sessao: "/mud" reaches nothing, and
// "/terminar" ends the input instead of the process.
#include <arpa/inet.h>

#include <string>

#include "../quadroweb.h"
#include "framework/tempo.h"
#include "gateway/web.h"
#include "gateway/web/admissao.h"
#include "sessao_fuzz.h"

using fuzz::esperaAjudantes;
using fuzz::vivo;

namespace {

constexpr char kUpgrade[] =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A frame around `carga` with the fuzzer's first header byte; masked unless asked.
std::string quadro(uint8_t cabeca, const char* carga, size_t n, bool semMascara) {
  std::string q = quadroWeb(cabeca & 0x0F, std::string(carga, n), !semMascara, true);
  q[0] = static_cast<char>(cabeca);
  return q;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::preparaSessoes();
  zandor::configWeb.ligado = true;  // "/convite" makes links
  zandor::configWeb.porta = 4080;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  using namespace zandor;
  fuzz::Fluxo fluxo(dados, tamanho);
  const uint8_t modo = fluxo.byte();
  esqueceEnderecos();  // no input is refused for the refusals of another

  fuzz::Par parObservador, parNavegador;
  TCliente* observador = fuzz::observador(parObservador, kProtocoloTelnet, 0);

  // The browser's connection as the web listener hands it over.
  TEscutaWeb escuta;
  sockaddr_in par{};
  par.sin_family = AF_INET;
  par.sin_addr.s_addr = htonl((modo & 1) ? INADDR_LOOPBACK : INADDR_LOOPBACK + 1);
  escuta.cConecta(parNavegador.fd[0], &par);
  parNavegador.fd[0] = -1;
  TComunica* pedido = niveis[kNivelNormal].cabeca;

  TCliente* usuario = nullptr;
  try {
    if (modo & 2) {
      // The harness upgrades; the fuzzer speaks frames.
      pedido->cEvento(kUpgrade, sizeof kUpgrade - 1);
      if (clientes != observador) usuario = clientes;
    }
    while (!fluxo.vazio()) {
      const uint8_t controle = fluxo.byte();
      size_t n;
      if (usuario == nullptr) {
        // Raw bytes to the request while it lives, then to the user it became.
        if (TConexaoHttp::quantos == 0) break;
        const char* pedaco = fluxo.pedaco(1 + (controle & 0x7F), &n);
        TCliente* antes = clientes;
        if (n > 0) pedido->cEvento(pedaco, static_cast<int32_t>(n));
        if (clientes != antes) usuario = clientes;
        if (usuario == nullptr && (controle & 0x80) && TConexaoHttp::quantos > 0) cAvanca(1 + (controle & 0x3F));
        continue;
      }
      if (!vivo(usuario)) break;
      const uint8_t cabeca = fluxo.byte();
      const char* pedaco = fluxo.pedaco(controle & 0x1F ? (controle & 0x1F) * 8 : 2000, &n);
      const std::string q = (controle & 0x20) ? std::string(pedaco, n) : quadro(cabeca, pedaco, n, controle & 0x40);
      usuario->cEvento(q.data(), static_cast<int32_t>(q.size()));
      esperaAjudantes();
      parNavegador.drena();
      if ((controle & 0x80) && vivo(usuario)) cAvanca(1 + (cabeca & 0x0F) * 60);
      parObservador.drena();
    }
  } catch (const fuzz::Terminou&) {
  }

  esperaAjudantes();
  if (usuario != nullptr && vivo(usuario)) delete usuario;
  if (usuario == nullptr && TConexaoHttp::quantos > 0) delete pedido;
  delete observador;
  fuzz::arruma();
  return 0;
}
