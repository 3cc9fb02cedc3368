// The user record, admission and output.
#include "gateway/cliente.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <new>

#include "gateway/mensagens.h"
#include "gateway/web/assentos.h"
#include "text/formata.h"
#include "text/utf8.h"

namespace zandor {


namespace {

constexpr char kLocal[] = "127.0.0.1";

using Usuarios = TElos<TCliente, &TCliente::anterior, &TCliente::proximo>;

// A text converted to UTF-8 grows at most threefold, and the longest text
// the gateway composes is kMaxTexto bytes; the telnet encoder then adds the
// final CR LF, and a CR for every LF, which only a framed user's chat
// carries (a record holds at most 1024 bytes). Nothing is ever cut.
constexpr int kTamanhoUtf8 = kMaxBytesUtf8 * kMaxTexto + 1;

static_assert(kTamanhoUtf8 + 2 <= kCapacidadeSaida);

// The codec of each kind, by tag: where a tag becomes a kind.
const TCodec* const kCodecs[] = {&codecDeteccao, &codecTelnet, &codecQuadros, &codecWeb};

}  // namespace

TCliente::TCliente() {
  Usuarios::poeCabeca(clientes, this);
  ++quantosUsuarios;
}

// Leaves the user list first, so no walk made after this meets the user;
// then the timer is disarmed and the connection flushed once and closed by
// the base destructors, in that order.
TCliente::~TCliente() {
  Usuarios::tira(clientes, this);
  --quantosUsuarios;
  liberaWeb();  // a web user's close frame goes out with the flush below
  delete retoma;
  if (assento != 0) renovaAssento(assento);
}

// A text converted to UTF-8 grows at most threefold (see kTamanhoUtf8).
bool TCliente::cEscreve(const char* texto) {
  char utf8[kTamanhoUtf8];
  if (opcoes & kOpcaoUtf8) {
    codificaUtf8(utf8, texto, sizeof utf8);
    texto = utf8;
  }
  char saida[kCapacidadeCodificada];
  return cManda(saida, codec().codifica(saida, texto, sizeof saida, opcoes));
}

void TCliente::cPedeApelido() { cEscreve(msg::kDigiteApelido); }

const TCodec& TCliente::codec() const {
  static_assert(std::size(kCodecs) == kProtocoloWeb + 1, "one codec per tag, in the tags' order (cliente.h)");
  return *kCodecs[protocolo];
}

void escreveTodos(const char* texto) {
  for (TCliente* c = clientes; c != nullptr; c = c->proximo)
    if (c->codec().ouve()) c->cEscreve(texto);
}

bool casaCheia() { return quantosUsuarios >= limiteUsuarios; }

// A remote address not allowed is denied before the cap is looked at; an
// allowed one that finds the house full keeps its allowance for a later try.
void TPortaria::cConecta(int aceito, const sockaddr_in* par) {
  char texto[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &par->sin_addr, texto, sizeof texto);
  char permitido[INET_ADDRSTRLEN] = {};
  in_addr endereco{};
  endereco.s_addr = ipPermitido;
  inet_ntop(AF_INET, &endereco, permitido, sizeof permitido);

  const bool casou = permiteRemoto && std::strcmp(permitido, texto) == 0;
  if (!casou && std::strcmp(texto, kLocal) != 0) {
    send(aceito, msg::kAcessoNegado, sizeof msg::kAcessoNegado - 1, MSG_NOSIGNAL);
    close(aceito);
    return;
  }
  if (casaCheia()) {
    send(aceito, msg::kLotado, sizeof msg::kLotado - 1, MSG_NOSIGNAL);
    close(aceito);
    return;
  }
  if (casou) permiteRemoto = false;  // one connection per allowance, local ones included

  TCliente* c = new (std::nothrow) TCliente;
  if (c == nullptr) {
    close(aceito);
    return;
  }
  c->adota(aceito);
  semAtraso(aceito);
  c->cArma(kTicksPrimeiraLinha);
  c->cEnvia(msg::kSaudacao, -1);
}

}  // namespace zandor
