// The MUD link: connecting, telnet toward the MUD, line assembly, delivery,
// and the one way users' lines reach the MUD.
#include "gateway/mud.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "gateway/cliente.h"
#include "gateway/entrega.h"
#include "gateway/historico.h"
#include "gateway/mensagens.h"
#include "gateway/tentativa.h"
#include "text/formata.h"
#include "text/telnet.h"
#include "text/utf8.h"

namespace zandor {

namespace {

using namespace telnet;

constexpr uint8_t kEstadoEscape = 2;
constexpr int kMaxCorpoEscape = 27;     // bytes before the final letter: up to 28 kept

static_assert(kMaxCorpoEscape + 2 <= kTamanhoEscape, "28 bytes of body and the final letter fit");
static_assert(kTamanhoEscape + 1 < kMaxLinha, "a whole escape sequence fits an empty line");
static_assert(kMaxLinha < UINT16_MAX, "contagem counts a whole line");

constexpr unsigned char kTipoTerminal[] = {IAC, SB, kOpcaoTipoTerminal, 0, 'T', 'E', 'R', 'M', IAC, SE};
constexpr unsigned char kTamanhoJanela[] = {IAC, SB, kOpcaoJanela, 0, 80, 0, 25, IAC, SE};

constexpr int kTamanhoConectando = kMaxTexto;  // "/Conectando em %s %d", the address as typed

// Options the gateway agrees to; every other one is refused.
bool opcaoAceita(unsigned char opcao) {
  switch (opcao) {
    case kOpcaoEco:
    case kOpcaoSemGA:
    case kOpcaoEstado:
    case kOpcaoMarcaTempo:
    case kOpcaoTipoTerminal:
    case kOpcaoJanela:
    case kOpcaoVelocidade:
    case kOpcaoFluxo:
    case kOpcaoModoLinha:
    case kOpcaoAmbiente:
      return true;
    default:
      return false;
  }
}

// From an ESC at *p, the last byte of its sequence: the first letter after
// it, or the byte before the terminator when no letter comes.
const char* fimEscape(const char* p) {
  while (p[1] != '\0' && !ehLetra(static_cast<unsigned char>(p[1]))) ++p;
  if (p[1] != '\0') ++p;
  return p;
}

}  // namespace

void filtra(char* linha) {
  char* destino = linha;
  for (const char* p = linha; *p != '\0'; ++p) {
    const unsigned char b = static_cast<unsigned char>(*p);
    if (b == ESC) {
      p = fimEscape(p);
      continue;
    }
    if (b >= ' ') *destino++ = static_cast<char>(b);
  }
  *destino = '\0';
}

// ---- input -----------------------------------------------------------------

void TMud::cEvento(const char* dados, int32_t n) {
  if (dados == nullptr) {
    if (n != 0) return;  // output drained: nothing to do
    escreveTodos(msg::kConexaoTerminada);
    if (mud == this) mud = nullptr;
    delete this;
    return;
  }
  cArma(kTicksPrompt);
  for (int32_t i = 0; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(dados[i]);
    if (posComando != 0) {
      byteTelnet(b);
    } else if (b == IAC) {
      comando[0] = IAC;
      posComando = 1;
    } else if (b != 0) {
      byteTexto(b);
    }
  }
}

void TMud::byteTelnet(unsigned char b) {
  if (posComando > 2 && comando[posComando - 1] == IAC && b == SE) {
    if (comando[2] == kOpcaoTipoTerminal && comando[3] == kPedeTipo) cEnvia(kTipoTerminal, sizeof kTipoTerminal);
    posComando = 0;
    return;
  }
  // A long subnegotiation keeps overwriting the last place.
  if (posComando > kTamanhoComando - 1) posComando = kTamanhoComando - 1;
  comando[posComando++] = b;
  if (posComando == 2 && (b < SB || b == IAC)) {
    posComando = 0;  // a two-byte command (GA, NOP, IAC IAC) leaves no trace
    return;
  }
  if (posComando == 3 && comando[1] != SB) {
    const unsigned char pedido = comando[1];
    const unsigned char opcao = b;
    unsigned char resposta = 0;
    if (pedido == WILL) resposta = opcaoAceita(opcao) ? DO : DONT;
    if (pedido == DO) resposta = opcaoAceita(opcao) ? WILL : WONT;
    if (resposta != 0) {
      const unsigned char r[] = {IAC, resposta, opcao};
      cEnvia(r, sizeof r);
    }
    if (opcao == kOpcaoJanela) cEnvia(kTamanhoJanela, sizeof kTamanhoJanela);
    posComando = 0;
  }
}

void TMud::byteTexto(unsigned char b) {
  if (estado == kEstadoEscape) {
    if (ehLetra(b)) {
      estado = 0;
      escape[posEscape++] = static_cast<char>(b);
      abreEspaco(posEscape + 1);
      texto[contagem] = static_cast<char>(ESC);
      std::memcpy(texto + contagem + 1, escape, posEscape);
      contagem = static_cast<uint16_t>(contagem + posEscape + 1);
      return;
    }
    if (b >= 33 && b <= 127) {
      if (posEscape <= kMaxCorpoEscape) escape[posEscape++] = static_cast<char>(b);
      return;
    }
    estado = 0;  // the sequence is abandoned; b is ordinary text
  }
  if (b == ESC) {
    estado = kEstadoEscape;
    posEscape = 0;
  } else if ((b == CR && estado == LF) || (b == LF && estado == CR)) {
    estado = 0;
  } else if (b == CR || b == LF) {
    estado = b;
    cEntrega();
  } else if (b == BS || b == DEL) {
    if (contagem > 0) --contagem;
  } else {
    abreEspaco(1);
    texto[contagem++] = static_cast<char>(b);
  }
}

// A full line goes out as it stands, except that a UTF-8 character it would
// split moves whole to the next line, so that a reader in UTF-8 gets every
// character intact. (A Windows-1252 line may end in a byte that looks like
// the start of such a character; it moves too, which changes only where the
// line breaks.)
void TMud::abreEspaco(int n) {
  if (contagem + n <= kMaxLinha) return;
  const int inicio = inicioIncompleto(texto, contagem);
  const int levado = inicio > 0 ? contagem - inicio : 0;
  char carregado[kMaxBytesUtf8];
  std::memcpy(carregado, texto + contagem - levado, static_cast<size_t>(levado));
  contagem = static_cast<uint16_t>(contagem - levado);
  cEntrega();
  std::memcpy(texto, carregado, static_cast<size_t>(levado));
  contagem = static_cast<uint16_t>(levado);
}

// ---- delivery --------------------------------------------------------------

// Who receives it, and how, is entrega.cpp's.
void TMud::cEntrega(bool guarda) {
  texto[contagem] = '\0';
  if (guarda) historico.guarda(texto, contagem);
  const int n = contagem;
  contagem = 0;
  static_cast<void>(entregaLinha(texto, n));
}

// Three ticks without data: a prompt, most likely. Text with something
// visible goes out as a line, not kept in the history. Blanks and escapes
// alone stay pending; telnet users who keep colours get those bytes raw, web
// users the same bytes in one message. Framed users get nothing in that
// step, since raw bytes would break their record stream.
void TMud::cExpira() {
  if (contagem == 0) return;
  texto[contagem] = '\0';
  for (const char* p = texto; *p != '\0'; ++p) {
    if (*p == ' ') continue;
    if (static_cast<unsigned char>(*p) == ESC) {
      p = fimEscape(p);
      continue;
    }
    cEntrega(false);
    return;
  }
  entregaBruto(texto, contagem);
}

// ---- output ----------------------------------------------------------------

namespace {

int compoeLinha(char (&linha)[kTamanhoLinhaMud], const char* linhaUsuario) {
  return static_cast<int>(formata(linha, sizeof linha, "%s\r\n", linhaUsuario) - linha);
}

}  // namespace

void TMud::cEnviaLinha(const char* linhaUsuario) {
  char linha[kTamanhoLinhaMud];
  cEnvia(linha, compoeLinha(linha, linhaUsuario));
}

void enviaAoMud(const char* linha) {
  char texto[kTamanhoLinhaMud];
  enviaBytesAoMud(texto, compoeLinha(texto, linha));
}

void enviaBytesAoMud(const void* bytes, int32_t n) {
  if (tentativa != nullptr)
    tentativa->cGuarda(bytes, n);
  else if (mud != nullptr)
    mud->cEnvia(bytes, n);
}

// ---- connecting ------------------------------------------------------------

void conectaMud(const char* endereco, int porta, int modoTls) {
  cancelaTentativa();
  char aviso[kTamanhoConectando];
  formata(aviso, sizeof aviso, msg::kConectando, endereco, porta);
  escreveTodos(aviso);
  iniciaTentativa(endereco, porta, modoTls);
}

bool poeMud(int soquete, TSessaoTls* sessao) {
  semAtraso(soquete);
  TMud* novo = new (std::nothrow) TMud;
  if (novo == nullptr) {
    if (sessao != nullptr) tlsEncerra(sessao);
    close(soquete);
    return false;
  }
  delete mud;  // the old link goes only now that the new one works
  mud = novo;
  mud->adota(soquete, sessao);
  return true;
}

void desconectaMud(TCliente* usuario) {
  if (mud == nullptr) {
    usuario->cEscreve(msg::kNaoConectado);
    return;
  }
  delete mud;
  mud = nullptr;
  escreveTodos(msg::kDesconectado);
}

}  // namespace zandor
