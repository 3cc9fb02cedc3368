// A web user's session: WebSocket frames around the telnet session.
//
// One decoder and one encoder, and nothing else differs. In, each text
// message is typed text: its bytes go through the telnet user's line
// assembly (sessao.cpp), where a CR or LF ends a line, and the message's end
// ends the last one, so "look", "look\n" and "look\r\n" are one line each.
// Out, every text the gateway would send a telnet user who chose UTF-8 goes
// as one text message holding exactly those bytes (there are no telnet
// commands to leave out: only the telnet decoder's answers are commands,
// and a web user never reaches it with an IAC, which no UTF-8 text holds).
//
// Frames are read and written by wslay's frame layer over this connection's
// own bytes: the receive callback hands it the delivery being read; the send
// callback writes a frame's header in front of its payload, which the
// encoder already wrote in place on the stack, and the frame is queued whole
// through the ring, or refused whole as any text is. wslay's context (a
// 4 KiB input buffer among other things) is made once per user, at the
// upgrade; nothing is allocated per message.
#include <wslay/wslay.h>

#include <cstring>
#include <new>

#include "framework/tempo.h"
#include "gateway/cliente.h"
#include "gateway/mensagens.h"
#include "gateway/mud.h"
#include "gateway/web.h"
#include "text/codifica.h"
#include "text/utf8fluxo.h"

namespace zandor {

namespace {

constexpr int kInicioLinha = 3;        // where sessao.cpp's line text starts
constexpr int kCabecalhoWebMax = 4;    // an unmasked frame of up to 65535 bytes
constexpr int kMaxControle = 125;      // a control frame's payload

static_assert(kCapacidadeSaida + kCabecalhoWebMax < kCapacidadeAnel, "a framed text fits an empty ring");
static_assert(kCapacidadeSaida < 65536, "a text's frame needs only the 16-bit length");

}  // namespace

// The keep-alive timer, beside the user's own stage timer.
class TPulsoWeb : public TTempo {
 public:
  void cExpira() override { dono->cPulsoWeb(); }
  TCliente* dono = nullptr;
};

struct TEstadoWeb {
  wslay_frame_context_ptr quadros = nullptr;
  // The delivery being read, for the receive callback.
  const char* entrada = nullptr;
  const char* fimEntrada = nullptr;
  // The frame being written, for the send callback.
  unsigned char* destino = nullptr;
  int32_t capacidade = 0;
  int32_t escrito = 0;

  uint64_t lidoQuadro = 0;     // payload bytes of the current frame so far
  int32_t tamanhoMensagem = 0; // payload bytes of the current message so far
  bool emMensagem = false;     // a text message began and has not ended
  bool linhaNaMensagem = false;
  bool fechou = false;         // the close frame is queued
  bool ouviu = false;          // input since the last keep-alive tick
  uint8_t silencios = 0;       // keep-alive ticks without input
  TUtf8Fluxo utf8;
  uint8_t nControle = 0;
  unsigned char controle[kMaxControle];
  TPulsoWeb pulso;
};

namespace {

ssize_t recebe(uint8_t* buf, size_t len, int, void* dados) {
  TEstadoWeb* e = static_cast<TEstadoWeb*>(dados);
  const size_t resta = static_cast<size_t>(e->fimEntrada - e->entrada);
  const size_t n = len < resta ? len : resta;
  if (n == 0) return -1;  // wslay: nothing now, WSLAY_ERR_WANT_READ
  std::memcpy(buf, e->entrada, n);
  e->entrada += n;
  return static_cast<ssize_t>(n);
}

// The payload is already in place behind the header's room (emolduraWeb):
// only the header is copied.
ssize_t escreve(const uint8_t* bytes, size_t len, int, void* dados) {
  TEstadoWeb* e = static_cast<TEstadoWeb*>(dados);
  if (len > static_cast<size_t>(e->capacidade - e->escrito)) return -1;
  if (bytes != e->destino + e->escrito) std::memcpy(e->destino + e->escrito, bytes, len);
  e->escrito += static_cast<int32_t>(len);
  return static_cast<ssize_t>(len);
}

int mascara(uint8_t*, size_t, void*) { return -1; }  // a server never masks

constexpr wslay_frame_callbacks kCallbacks = {escreve, recebe, mascara};

}  // namespace

bool TCliente::cIniciaWeb() {
  web = new (std::nothrow) TEstadoWeb;
  if (web == nullptr) return false;
  if (wslay_frame_context_init(&web->quadros, &kCallbacks, web) != 0) {
    delete web;
    web = nullptr;
    return false;
  }
  web->pulso.dono = this;
  protocolo = kProtocoloWeb;
  // Colours are kept from the start and the text is UTF-8 both ways.
  opcoes = kOpcaoUtf8 | kOpcaoSemFiltro;
  etapa = kEtapaPedido;
  return true;
}

void TCliente::cComecaWeb() {
  cPedeApelido();
  cArma(kTicksPedido);
  web->pulso.cArma(kTicksPulso);
}

void TCliente::liberaWeb() {
  if (web == nullptr) return;
  cFechaWeb(kFechoNormal);
  wslay_frame_context_free(web->quadros);
  delete web;
  web = nullptr;
}

// ---- output ----------------------------------------------------------------

// The frame is built where it will be queued from:
//
//   quadro: [ room: 4 bytes ][ payload: n bytes, already written ]
//                 ^ header (2 or 4 bytes) ends right where the payload starts
//
// so a text is encoded once, straight into its frame.
bool TCliente::emolduraWeb(uint8_t opcode, unsigned char* quadro, int32_t n) {
  const int cabecalho = n < 126 ? 2 : kCabecalhoWebMax;
  web->destino = quadro + kCabecalhoWebMax - cabecalho;
  web->capacidade = cabecalho + n;
  web->escrito = 0;
  wslay_frame_iocb io{};
  io.fin = 1;
  io.opcode = opcode;
  io.payload_length = static_cast<uint64_t>(n);
  io.data = quadro + kCabecalhoWebMax;
  io.data_length = static_cast<size_t>(n);
  // The callback takes everything, so the frame is whole after one call.
  if (wslay_frame_send(web->quadros, &io) != n || web->escrito != cabecalho + n) return false;
  return cEnvia(web->destino, web->escrito);
}

bool TCliente::enviaQuadroWeb(uint8_t opcode, const void* bytes, int32_t n) {
  if (web == nullptr || n < 0 || n > kCapacidadeSaida) return false;
  unsigned char quadro[kCabecalhoWebMax + kCapacidadeSaida];
  if (n > 0) std::memcpy(quadro + kCabecalhoWebMax, bytes, static_cast<size_t>(n));
  return emolduraWeb(opcode, quadro, n);
}

bool TCliente::enviaTextoWeb(const char* texto) {
  if (web == nullptr) return false;
  unsigned char quadro[kCabecalhoWebMax + kCapacidadeSaida];
  const int n = codificaTelnet(reinterpret_cast<char*>(quadro + kCabecalhoWebMax), texto, kCapacidadeSaida);
  return emolduraWeb(kOpcodeTexto, quadro, n);
}

void TCliente::cFechaWeb(uint16_t codigo) {
  if (web == nullptr || web->fechou) return;
  web->fechou = true;
  const unsigned char corpo[2] = {static_cast<unsigned char>(codigo >> 8), static_cast<unsigned char>(codigo & 0xFF)};
  enviaQuadroWeb(kOpcodeFecha, corpo, sizeof corpo);
}

void TCliente::falhaWeb(uint16_t codigo) {
  cFechaWeb(codigo);
  delete this;  // the destructor flushes once, close frame included, and closes
}

void TCliente::cPulsoWeb() {
  if (web->ouviu) {
    web->ouviu = false;
    web->silencios = 0;
  } else if (++web->silencios >= kPulsosSilencio) {
    falhaWeb(kFechoSaindo);
    return;
  } else {
    enviaQuadroWeb(kOpcodePing, nullptr, 0);
  }
  web->pulso.cArma(kTicksPulso);
}

// ---- input -----------------------------------------------------------------

void TCliente::eventoWeb(const char* dados, int32_t n) {
  web->entrada = dados;
  web->fimEntrada = dados + n;
  web->ouviu = true;
  for (;;) {
    wslay_frame_iocb io{};
    const ssize_t r = wslay_frame_recv(web->quadros, &io);
    if (r == WSLAY_ERR_WANT_READ) return;
    if (r < 0) {
      falhaWeb(kFechoProtocolo);  // a control frame too long or fragmented, a bad length
      return;
    }
    if (!pedacoWeb(io)) return;
  }
}

// One piece of a frame's payload, as wslay hands it over. False when the
// user is gone.
bool TCliente::pedacoWeb(const wslay_frame_iocb& io) {
  const bool inicio = web->lidoQuadro == 0;
  web->lidoQuadro += io.data_length;
  const bool fimQuadro = web->lidoQuadro == io.payload_length;
  if (fimQuadro) web->lidoQuadro = 0;
  // A client must mask every frame, and no extension was agreed.
  if (!io.mask || io.rsv != 0) {
    falhaWeb(kFechoProtocolo);
    return false;
  }
  const uint8_t op = io.opcode;

  if (wslay_is_ctrl_frame(op)) {
    if (op != kOpcodeFecha && op != kOpcodePing && op != kOpcodePong) {
      falhaWeb(kFechoProtocolo);
      return false;
    }
    // wslay refuses a control frame over 125 bytes or in fragments.
    std::memcpy(web->controle + web->nControle, io.data, io.data_length);
    web->nControle = static_cast<uint8_t>(web->nControle + io.data_length);
    if (!fimQuadro) return true;
    const int n = web->nControle;
    web->nControle = 0;
    if (op == kOpcodePing) {
      enviaQuadroWeb(kOpcodePong, web->controle, n);
    } else if (op == kOpcodeFecha) {
      falhaWeb(respostaFecho(web->controle, n));
      return false;
    }
    return true;
  }

  if (inicio) {
    const bool continua = op == kOpcodeContinua;
    if (op == kOpcodeBinario) {
      falhaWeb(kFechoTipo);
      return false;
    }
    if ((op != kOpcodeTexto && !continua) || continua != web->emMensagem) {
      falhaWeb(kFechoProtocolo);
      return false;
    }
    if (!continua) {
      web->emMensagem = true;
      web->linhaNaMensagem = false;
      web->tamanhoMensagem = 0;
      web->utf8 = TUtf8Fluxo{};
      estado = 0;
    }
    if (io.payload_length > static_cast<uint64_t>(kMaxMensagemWeb - web->tamanhoMensagem)) {
      falhaWeb(kFechoGrande);
      return false;
    }
  }
  web->tamanhoMensagem += static_cast<int32_t>(io.data_length);
  if (!web->utf8.passa(io.data, static_cast<int>(io.data_length))) {
    falhaWeb(kFechoDados);
    return false;
  }
  const char* p = reinterpret_cast<const char*>(io.data);
  const char* const fim = p + io.data_length;
  while (p < fim) {
    if (!passoTelnet(p, fim)) break;
    web->linhaNaMensagem = true;
    if (!completaLinha()) return false;
  }
  if (fimQuadro && io.fin) return fimMensagemWeb();
  return true;
}

// The message ended: a character left open is invalid UTF-8, and text after
// the last line end (or an empty message) is a line of its own.
bool TCliente::fimMensagemWeb() {
  web->emMensagem = false;
  if (!web->utf8.inteiro()) {
    falhaWeb(kFechoDados);
    return false;
  }
  estado = 0;
  if (web->linhaNaMensagem && tamanho <= kInicioLinha) {
    tamanho = 0;
    return true;
  }
  if (tamanho < kInicioLinha) tamanho = kInicioLinha;
  return completaLinha();
}

}  // namespace zandor
