// The web codec: a browser's WebSocket frames ("tramas" here, so as not to
// be taken for the framed client's records), through wslay's frame layer.
//
// In, each text message is typed text, nothing else: a CR or LF ends a
// line, and the message's end ends the last one, so "look", "look\n" and
// "look\r\n" are one line each. Every other byte is text (an ESC, a BS:
// a browser has no terminal codes to read). The text must be UTF-8.
// Out, every text goes as one text message holding the bytes a telnet user
// who chose UTF-8 would get (CR LF lines); a raw prompt as one message of
// its bytes.
//
// The decoder's state (TMontagem::estado): 0, or CR/LF when a line just
// ended with that byte, whose partner is then skipped.
//
// Lifetime: the decoder never destroys the session itself. A piece of a
// frame answers "go on", "gone" (a typed line ended the session) or the
// close code to fail with, and recebe alone acts on it: one place where a
// protocol fault ends the user.
//
// wslay's receive context (a 4 KiB input buffer among other things) is
// borrowed from a shared free list only while wslay holds part of a frame of
// the user's, and handed back as soon as it holds none: an idle web user
// owns none. wslay does not say when that is, so it is counted from here:
// every byte handed to wslay is owed back as the header and payload of the
// frames it returns; when nothing is owed and no frame is open, its buffer
// is empty and its state the initial one, as good as new for any user. The
// list is never trimmed: it holds as many contexts as users were ever caught
// mid-frame at once (usually a few, at most one per web user). Frames out are
// all whole, unmasked and built in one call, so one shared send context
// serves every user; nothing is allocated per message.
#include <wslay/wslay.h>

#include <cstring>
#include <new>

#include "framework/tempo.h"
#include "gateway/cliente.h"
#include "gateway/codec/codec.h"
#include "gateway/mensagens.h"
#include "gateway/web.h"
#include "text/codifica.h"
#include "text/telnet.h"
#include "text/utf8.h"
#include "text/utf8fluxo.h"

namespace zandor {

namespace {

constexpr int kMaxControle = 125;  // a control frame's payload

static_assert(kCapacidadeMensagem < 65536, "a text's frame needs only the 16-bit length");
static_assert(kCapacidadeCodificada < kCapacidadeAnel, "a framed text fits an empty ring");

void pulso(TCliente& s);

}  // namespace

// The keep-alive timer, beside the user's own stage timer.
class TPulsoWeb : public TTempo {
 public:
  void cExpira() override { pulso(*dono); }
  TCliente* dono = nullptr;
};

// A receive context on loan (see above), or on the free list.
struct TTramasEntrada {
  wslay_frame_context_ptr contexto = nullptr;
  TTramasEntrada* proximo = nullptr;
};

struct TEstadoWeb {
  TTramasEntrada* tramas = nullptr;  // only while wslay holds part of a frame
  // The delivery being read, for the receive callback.
  const char* entrada = nullptr;
  const char* fimEntrada = nullptr;

  uint64_t devido = 0;         // bytes handed to wslay, not yet returned in a frame
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

// The answer to a peer's close frame (web.h).
uint16_t respostaFecho(const unsigned char* corpo, int n) {
  if (n == 0) return kFechoNormal;
  if (n == 1) return kFechoProtocolo;
  const int codigo = corpo[0] << 8 | corpo[1];
  // The codes an endpoint may send: 1004-1006 and 1015 are reserved to
  // say what happened without a close frame, and 1016-2999 are unassigned.
  const bool valido = (codigo >= 1000 && codigo <= 1003) || (codigo >= 1007 && codigo <= 1014) ||
                      (codigo >= 3000 && codigo <= 4999);
  if (!valido) return kFechoProtocolo;
  if (!ehUtf8(reinterpret_cast<const char*>(corpo + 2), n - 2)) return kFechoDados;
  return static_cast<uint16_t>(codigo);
}

namespace {

// ---- frames out --------------------------------------------------------------

// The frame being written, for the shared send context's callback.
struct TSaidaWeb {
  wslay_frame_context_ptr contexto = nullptr;
  unsigned char* destino = nullptr;
  int32_t capacidade = 0;
  int32_t escrito = 0;
} saidaWeb;

ssize_t escreve(const uint8_t* bytes, size_t len, int, void*) {
  TSaidaWeb& e = saidaWeb;
  if (len > static_cast<size_t>(e.capacidade - e.escrito)) return -1;
  if (bytes != e.destino + e.escrito) std::memmove(e.destino + e.escrito, bytes, len);
  e.escrito += static_cast<int32_t>(len);
  return static_cast<ssize_t>(len);
}

// The web user being read: contexts change hands, so the receive callback
// learns whose bytes to take from here, set before every wslay_frame_recv.
TEstadoWeb* lendoWeb = nullptr;

ssize_t recebe(uint8_t* buf, size_t len, int, void*) {
  TEstadoWeb* e = lendoWeb;
  const size_t resta = static_cast<size_t>(e->fimEntrada - e->entrada);
  const size_t n = len < resta ? len : resta;
  if (n == 0) return -1;  // wslay: nothing now, WSLAY_ERR_WANT_READ
  std::memcpy(buf, e->entrada, n);
  e->entrada += n;
  e->devido += n;
  return static_cast<ssize_t>(n);
}

int mascara(uint8_t*, size_t, void*) { return -1; }  // a server never masks

constexpr wslay_frame_callbacks kCallbacks = {escreve, recebe, mascara};

// ---- receive contexts on loan ------------------------------------------------

struct TTramasLivres {
  TTramasEntrada* primeiro = nullptr;
  int quantos = 0;  // on the list
  int feitos = 0;   // ever made and still alive
} tramasLivres;

TTramasEntrada* tomaTramas() {
  TTramasLivres& l = tramasLivres;
  if (TTramasEntrada* t = l.primeiro) {
    l.primeiro = t->proximo;
    --l.quantos;
    return t;
  }
  TTramasEntrada* t = new (std::nothrow) TTramasEntrada;
  if (t == nullptr) return nullptr;
  if (wslay_frame_context_init(&t->contexto, &kCallbacks, nullptr) != 0) {
    delete t;
    return nullptr;
  }
  ++l.feitos;
  return t;
}

// Back to the list only when idle; a context caught mid-frame (its user is
// leaving) holds state no other user may inherit, so it is freed.
void devolveTramas(TEstadoWeb& w) {
  TTramasEntrada* t = w.tramas;
  if (t == nullptr) return;
  w.tramas = nullptr;
  if (w.devido == 0 && w.lidoQuadro == 0) {
    t->proximo = tramasLivres.primeiro;
    tramasLivres.primeiro = t;
    ++tramasLivres.quantos;
    return;
  }
  wslay_frame_context_free(t->contexto);
  delete t;
  --tramasLivres.feitos;
}

// The bytes of a frame's header as wslay read it: 2, the extended length
// when the payload needs one, and the mask. A header longer than needed
// (lengths written in more bytes than they need) only leaves bytes owed, so
// that context stays with its user: never handed back too soon.
uint64_t cabecalhoRecebido(const wslay_frame_iocb& io) {
  const uint64_t extendido = io.payload_length < 126 ? 0 : io.payload_length <= 0xFFFF ? 2 : 8;
  return 2 + extendido + (io.mask ? 4 : 0);
}

// A frame around the payload already written at saida + kFolgaMoldura:
//
//   saida: [ room: 4 bytes ][ payload: n bytes ]
//
// the header (2 or 4 bytes) is written right before the payload, and a
// 2-byte header's frame moves to the start. The frame's length, or 0.
int emTrama(uint8_t opcode, unsigned char* saida, int32_t n) {
  if (saidaWeb.contexto == nullptr && wslay_frame_context_init(&saidaWeb.contexto, &kCallbacks, nullptr) != 0) {
    saidaWeb.contexto = nullptr;
    return 0;
  }
  const int cabecalho = n < 126 ? 2 : kFolgaMoldura;
  saidaWeb.destino = saida + kFolgaMoldura - cabecalho;
  saidaWeb.capacidade = cabecalho + n;
  saidaWeb.escrito = 0;
  wslay_frame_iocb io{};
  io.fin = 1;
  io.opcode = opcode;
  io.payload_length = static_cast<uint64_t>(n);
  io.data = saida + kFolgaMoldura;
  io.data_length = static_cast<size_t>(n);
  // The callback takes everything, so the frame is whole after one call.
  if (wslay_frame_send(saidaWeb.contexto, &io) != n || saidaWeb.escrito != cabecalho + n) return 0;
  if (cabecalho < kFolgaMoldura) std::memmove(saida, saidaWeb.destino, static_cast<size_t>(cabecalho + n));
  return cabecalho + n;
}

// A short frame of bytes, queued whole or not at all.
bool enviaTrama(TCliente& s, uint8_t opcode, const void* bytes, int32_t n) {
  unsigned char trama[kFolgaMoldura + kMaxControle];
  if (n < 0 || n > kMaxControle) return false;
  if (n > 0) std::memcpy(trama + kFolgaMoldura, bytes, static_cast<size_t>(n));
  const int total = emTrama(opcode, trama, n);
  return total > 0 && s.cManda(trama, total);
}

void falha(TCliente& s, uint16_t codigo) {
  s.cFechaWeb(codigo);
  delete &s;  // the destructor flushes once, close frame included, and closes
}

void pulso(TCliente& s) {
  TEstadoWeb& w = *s.web;
  if (w.ouviu) {
    w.ouviu = false;
    w.silencios = 0;
  } else if (++w.silencios >= kPulsosSilencio) {
    // A silent link is a dead one: a bound user goes away, others leave.
    if (!s.cAusenta()) falha(s, kFechoSaindo);
    return;
  } else {
    enviaTrama(s, kOpcodePing, nullptr, 0);
  }
  w.pulso.cArma(kTicksPulso);
}

// ---- frames in ---------------------------------------------------------------

constexpr int kSegue = 0;   // go on reading
constexpr int kFoi = -1;    // the session is gone

// One pass over typed text: true when a line is complete.
bool passo(TMontagem& m, const char*& p, const char* fim) {
  using namespace telnet;
  while (p < fim) {
    const unsigned char b = static_cast<unsigned char>(*p++);
    if ((b == CR && m.estado == LF) || (b == LF && m.estado == CR)) {
      m.estado = 0;  // second half of a line-end pair
    } else if (b == CR || b == LF) {
      m.estado = b;
      if (m.tamanho < TMontagem::kInicio) m.tamanho = TMontagem::kInicio;
      return true;
    } else {
      m.estado = 0;
      if (b != 0) m.poe(b);
    }
  }
  return false;
}

// The message ended: a character left open is invalid UTF-8, and text after
// the last line end (or an empty message) is a line of its own.
int fimMensagem(TCliente& s, TEstadoWeb& w) {
  TMontagem& m = s.montagem;
  w.emMensagem = false;
  if (!w.utf8.inteiro()) return kFechoDados;
  m.estado = 0;
  if (w.linhaNaMensagem && m.vazia()) {
    m.tamanho = 0;
    return kSegue;
  }
  if (m.tamanho < TMontagem::kInicio) m.tamanho = TMontagem::kInicio;
  return s.completaLinha() ? kSegue : kFoi;
}

// One piece of a frame's payload, as wslay hands it over.
int pedaco(TCliente& s, TEstadoWeb& w, const wslay_frame_iocb& io) {
  const bool inicio = w.lidoQuadro == 0;
  const uint64_t pago = io.data_length + (inicio ? cabecalhoRecebido(io) : 0);
  w.devido = pago < w.devido ? w.devido - pago : 0;
  w.lidoQuadro += io.data_length;
  const bool fimQuadro = w.lidoQuadro == io.payload_length;
  if (fimQuadro) w.lidoQuadro = 0;
  // A client must mask every frame, and no extension was agreed.
  if (!io.mask || io.rsv != 0) return kFechoProtocolo;
  const uint8_t op = io.opcode;

  if (wslay_is_ctrl_frame(op)) {
    if (op != kOpcodeFecha && op != kOpcodePing && op != kOpcodePong) return kFechoProtocolo;
    // wslay refuses a control frame over 125 bytes or in fragments.
    std::memcpy(w.controle + w.nControle, io.data, io.data_length);
    w.nControle = static_cast<uint8_t>(w.nControle + io.data_length);
    if (!fimQuadro) return kSegue;
    const int n = w.nControle;
    w.nControle = 0;
    if (op == kOpcodeFecha) return respostaFecho(w.controle, n);
    if (op == kOpcodePing) enviaTrama(s, kOpcodePong, w.controle, n);
    return kSegue;
  }

  if (inicio) {
    const bool continua = op == kOpcodeContinua;
    if (op == kOpcodeBinario) return kFechoTipo;
    if ((op != kOpcodeTexto && !continua) || continua != w.emMensagem) return kFechoProtocolo;
    if (!continua) {
      w.emMensagem = true;
      w.linhaNaMensagem = false;
      w.tamanhoMensagem = 0;
      w.utf8 = TUtf8Fluxo{};
      s.montagem.estado = 0;
    }
    if (io.payload_length > static_cast<uint64_t>(kMaxMensagemWeb - w.tamanhoMensagem)) return kFechoGrande;
  }
  w.tamanhoMensagem += static_cast<int32_t>(io.data_length);
  if (!w.utf8.passa(io.data, static_cast<int>(io.data_length))) return kFechoDados;
  const char* p = reinterpret_cast<const char*>(io.data);
  const char* const fim = p + io.data_length;
  while (passo(s.montagem, p, fim)) {
    w.linhaNaMensagem = true;
    if (!s.completaLinha()) return kFoi;
  }
  if (fimQuadro && io.fin) return fimMensagem(s, w);
  return kSegue;
}

class TCodecWeb final : public TCodec {
 public:
  bool recebe(TCliente& s, const char* dados, int32_t n) const override {
    TEstadoWeb& w = *s.web;
    w.entrada = dados;
    w.fimEntrada = dados + n;
    w.ouviu = true;
    if (w.tramas == nullptr && (w.tramas = tomaTramas()) == nullptr) {
      falha(s, kFechoSaindo);
      return false;
    }
    for (;;) {
      wslay_frame_iocb io{};
      lendoWeb = &w;
      const ssize_t r = wslay_frame_recv(w.tramas->contexto, &io);
      if (r == WSLAY_ERR_WANT_READ) {
        if (w.devido == 0 && w.lidoQuadro == 0) devolveTramas(w);
        return true;
      }
      // wslay's own refusals: a control frame too long or fragmented, a bad length.
      const int desfecho = r < 0 ? kFechoProtocolo : pedaco(s, w, io);
      if (desfecho == kSegue) continue;
      if (desfecho != kFoi) falha(s, static_cast<uint16_t>(desfecho));
      return false;
    }
  }
  int codifica(char* saida, const char* texto, int capacidade, uint8_t) const override {
    unsigned char* trama = reinterpret_cast<unsigned char*>(saida);
    const int n = codificaTelnet(saida + kFolgaMoldura, texto, capacidade - kFolgaMoldura);
    return emTrama(kOpcodeTexto, trama, n);
  }
  int bruto(char* saida, const char* bytes, int n, int capacidade) const override {
    if (n > capacidade - kFolgaMoldura) return 0;
    std::memcpy(saida + kFolgaMoldura, bytes, static_cast<size_t>(n));
    return emTrama(kOpcodeTexto, reinterpret_cast<unsigned char*>(saida), n);
  }
  int moldura(uint8_t) const override { return kMolduraWeb; }
  // A browser is no terminal: nothing is held, and an empty line of a named
  // user goes to the MUD as one.
  void vazia(TCliente& s, bool longa) const override {
    if (!longa && s.etapa == kEtapaNomeado) s.cEnviaAoMud("");
  }
  const char* respostaC1(bool ligado) const override { return ligado ? msg::kC1NaoVoltando : msg::kC1Voltando; }
  // Someone joining from a browser sees the screen as it stands.
  int historiaAoEntrar() const override { return kHistoriaEntrada; }
};

const TCodecWeb webUnico;

}  // namespace

const TCodec& codecWeb = webUnico;

TTramasContagem contagemTramas() { return {tramasLivres.feitos, tramasLivres.quantos}; }

// ---- the web user's life -----------------------------------------------------

bool TCliente::cIniciaWeb() {
  if (!cRenovaWeb()) return false;
  protocolo = kProtocoloWeb;
  // Colours are kept from the start and the text is UTF-8 both ways.
  opcoes = kOpcaoUtf8 | kOpcaoSemFiltro;
  etapa = kEtapaPedido;
  return true;
}

bool TCliente::cRenovaWeb() {
  web = new (std::nothrow) TEstadoWeb;
  if (web == nullptr) return false;
  web->pulso.dono = this;
  web->pulso.cArma(kTicksPulso);
  return true;
}

void TCliente::cComecaWeb() {
  if (assiste) cEscreve(msg::kEntrouAssistir);  // the page reads it: typed text goes as chat
  cPedeApelido();
  cArma(kTicksPedido);
}

void TCliente::cFechaWeb(uint16_t codigo) {
  if (web == nullptr || web->fechou) return;
  web->fechou = true;
  const unsigned char corpo[2] = {static_cast<unsigned char>(codigo >> 8), static_cast<unsigned char>(codigo & 0xFF)};
  enviaTrama(*this, kOpcodeFecha, corpo, sizeof corpo);
}

void TCliente::liberaWeb(bool comFecho) {
  if (web == nullptr) return;
  if (comFecho) cFechaWeb(kFechoNormal);
  devolveTramas(*web);
  delete web;
  web = nullptr;
}

}  // namespace zandor
