// The command interpreter: what one typed line means.
//
// A user without a nickname can only choose one or use the few commands
// marked for that stage. A named user gives slash commands, chats, or talks
// to the MUD. The command words are tried in the order of kComandos; the
// first that matches decides, and a line that matches none is chat or MUD
// text. A watcher (TCliente::assiste) may use only the commands marked for
// it, and its lines for the MUD go nowhere: both are refused with one text.
//
// A UTF-8 user's line is read like everyone's, in Windows-1252: it is
// decoded first, and the words, the nickname and the chat text come from
// the decoded copy. Only a line for the MUD keeps the bytes as typed.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "gateway/cliente.h"
#include "gateway/convite.h"
#include "gateway/diretorio.h"
#include "gateway/inicio.h"
#include "gateway/mensagens.h"
#include "gateway/mud.h"
#include "gateway/tentativa.h"
#include "gateway/web.h"
#include "gateway/web/assentos.h"
#include "text/brancos.h"
#include "text/dobra.h"
#include "text/formata.h"
#include "text/numero.h"
#include "text/utf8.h"

namespace zandor {

namespace {

constexpr int kTamanhoAviso = 100;     // presence and "/con" messages
constexpr int kTamanhoConversa = kMaxTexto;  // chat lines: a whole typed line and the nickname
constexpr char kControleC = 3;
constexpr int kPortaMin = 1, kPortaMax = 65535;

enum class Acao : uint8_t {
  Sair, Terminar, Ajuda, ControleC, Nome, Quem, C1, C2, C3, Con, Mud, Convite, ConviteVer, Historia,
  Assentos, Revoga
};

// The last column: a row left without it is refused to a watcher, so a new
// command acts for the players alone until it is marked.
constexpr bool kAssistente = true;

struct TComando {
  const char* palavra;
  bool comArgumento;  // compared as the first word; otherwise as the whole line
  bool semApelido;    // also for a user who has no nickname yet
  Acao acao;
  bool assistente = false;  // also for a watcher
};

// Order matters only where two words could match one line; it is kept as
// the order the commands were always tried in.
constexpr TComando kComandos[] = {
    {"/sair", false, true, Acao::Sair, kAssistente},
    {"/quit", false, true, Acao::Sair, kAssistente},
    {"/terminar", false, false, Acao::Terminar},
    {"/ajuda", false, false, Acao::Ajuda, kAssistente},
    {"/c", false, false, Acao::ControleC},
    {"/nome", true, false, Acao::Nome, kAssistente},
    {"/quem", false, false, Acao::Quem, kAssistente},
    {"/c1", false, false, Acao::C1},
    {"/c2", false, false, Acao::C2, kAssistente},
    {"/c3", false, true, Acao::C3, kAssistente},
    {"/con", true, false, Acao::Con},
    {"/mud", true, false, Acao::Mud},
    {"/convite", false, false, Acao::Convite},
    {"/convite ver", false, false, Acao::ConviteVer},  // the whole line: "/convite verde" stays chat
    {"/historia", true, false, Acao::Historia, kAssistente},
    {"/assentos", false, false, Acao::Assentos},
    {"/revoga", true, false, Acao::Revoga},
};

const TComando* procuraComando(const char* texto) {
  for (const TComando& c : kComandos) {
    const int r = c.comArgumento ? comparaPalavra(texto, c.palavra) : comparaTexto(texto, c.palavra);
    if (r == 0) return &c;
  }
  return nullptr;
}

// Cuts `texto` after its first word and returns what follows, blanks skipped.
char* separaPalavra(char* texto) {
  char* p = texto;
  while (*p != '\0' && *p != ' ') ++p;
  if (*p == ' ') *p++ = '\0';
  return pulaBrancos(p);
}

}  // namespace

bool TCliente::cInterpreta(char* digitado) {
  char decodificado[kMaxLinha + 1];  // never longer than the line as typed
  char* texto = digitado;
  if (opcoes & kOpcaoUtf8) {
    decodificaUtf8(decodificado, digitado, sizeof decodificado);
    texto = decodificado;
  }
  const TComando* comando = procuraComando(texto);
  if (etapa < kEtapaNomeado && (comando == nullptr || !comando->semApelido)) {
    escolheApelido(texto);
    return true;
  }
  if (comando == nullptr) {
    textoOuConversa(texto, digitado);
    return true;
  }
  if (assiste && !comando->assistente) {
    cEscreve(msg::kSoAssistir);
    return true;
  }
  // A word that takes an argument matched as a first word of its own length.
  char* const argumento = texto + std::strlen(comando->palavra);
  switch (comando->acao) {
    case Acao::Sair:
      if (etapa == kEtapaNomeado) {
        char aviso[kTamanhoAviso];
        formata(aviso, sizeof aviso, msg::kSaiu, apelido);
        escreveTodos(aviso);
      }
      return false;
    case Acao::Terminar:
      encerraZandor();  // does not return
    case Acao::Ajuda:
      for (const char* linhaAjuda : msg::kAjuda) cEscreve(linhaAjuda);
      break;
    case Acao::ControleC:
      enviaBytesAoMud(&kControleC, 1);
      break;
    case Acao::Nome:
      mudaApelido(separaPalavra(texto));
      break;
    case Acao::Quem:
      listaUsuarios();
      break;
    case Acao::C1: {
      opcoes ^= kOpcaoC1;
      const bool ligado = opcoes & kOpcaoC1;
      cEscreve(codec().respostaC1(ligado));
      break;
    }
    case Acao::C2:
      opcoes ^= kOpcaoSemFiltro;
      cEscreve((opcoes & kOpcaoSemFiltro) ? msg::kC2NaoFiltrando : msg::kC2Filtrando);
      break;
    case Acao::C3:
      // The framed client is a Windows-1252 client, and its wrapping counts
      // bytes: it stays as it is. The answer comes in the new charset.
      if (codec().trocaCharset()) opcoes ^= kOpcaoUtf8;
      cEscreve((opcoes & kOpcaoUtf8) ? msg::kC3Utf8 : msg::kC3Windows);
      break;
    case Acao::Con:
      permiteEndereco(pulaBrancos(argumento));
      break;
    case Acao::Mud:
      comandoMud(pulaBrancos(argumento));
      break;
    case Acao::Convite:
      convida(false);
      break;
    case Acao::ConviteVer:
      convida(true);
      break;
    case Acao::Historia:
      comandoHistoria(pulaBrancos(argumento));
      break;
    case Acao::Assentos:
      listaAssentos([](void* eu, const char* linha) { return static_cast<TCliente*>(eu)->cEscreve(linha); }, this);
      break;
    case Acao::Revoga:
      return revoga(pulaBrancos(argumento));
  }
  return true;
}

void TCliente::escolheApelido(const char* texto) {
  if (validaApelido(texto) != kApelidoValido || apelidoAusente(texto)) {
    cEscreve(msg::kApelidoInvalidoDigite);
    return;
  }
  copiaLimitada(apelido, texto, sizeof apelido);
  etapa = kEtapaNomeado;
  if (assento != 0) nomeiaAssento(assento, apelido);
  char aviso[kTamanhoAviso];
  formata(aviso, sizeof aviso, msg::kChegou, apelido);
  escreveTodos(aviso);
  cEscreve(msg::kTecleAjuda);
  cMostraHistoria(codec().historiaAoEntrar(), false);
  cArma(kTicksNomeado);
}

void TCliente::mudaApelido(char* argumento) {
  if (validaApelido(argumento) != kApelidoValido || apelidoAusente(argumento)) {
    cEscreve(msg::kApelidoInvalido);
    return;
  }
  char aviso[kTamanhoAviso];
  formata(aviso, sizeof aviso, msg::kConhecidoComo, apelido, argumento);
  copiaLimitada(apelido, argumento, sizeof apelido);
  etapa = kEtapaNomeado;
  if (assento != 0) nomeiaAssento(assento, apelido);
  escreveTodos(aviso);
}

namespace {

// One user's entry in "/quem": the nickname, marked when the user only
// watches or is away.
void entradaQuem(char (&entrada)[kTamanhoAviso], const TCliente& c) {
  const char* forma = "%s";
  if (c.assiste)
    forma = c.cAusente() ? msg::kQuemAssistindoAusente : msg::kQuemAssistindo;
  else if (c.cAusente())
    forma = msg::kQuemAusente;
  formata(entrada, sizeof entrada, forma, c.apelido);
}

}  // namespace

void TCliente::listaUsuarios() {
  cEscreve(msg::kUsuarios);
  char entrada[kTamanhoAviso];
  for (const TCliente* c = clientes; c != nullptr; c = c->proximo) {
    entradaQuem(entrada, *c);
    cEscreve(entrada);
  }
}

// A user on a revoked seat: told, and its link closed (1008); away, it
// simply leaves. Without `destroi` the caller ends it.
void TCliente::cDespeRevogado(bool destroi) {
  if (cAusente()) {
    char aviso[kTamanhoAviso];
    formata(aviso, sizeof aviso, msg::kSaiu, apelido);
    const bool nomeado = etapa == kEtapaNomeado;
    delete this;
    if (nomeado) escreveTodos(aviso);
    return;
  }
  cEscreve(msg::kAcessoRevogado);
  cFechaWeb(kFechoPolitica);
  if (destroi) delete this;
}

// "/revoga APELIDO": the seats go, and so does whoever sits on them; false
// when this user was one of them.
bool TCliente::revoga(const char* argumento) {
  char aviso[kTamanhoAviso];
  if (revogaAssentos(argumento) == 0) {
    formata(aviso, sizeof aviso, msg::kNenhumAssentoDe, argumento);
    cEscreve(aviso);
    return true;
  }
  formata(aviso, sizeof aviso, msg::kAssentoRevogado, argumento);
  cEscreve(aviso);
  bool euMesmo = false;
  for (TCliente* c = clientes; c != nullptr;) {
    TCliente* const seguinte = c->proximo;
    if (c->assento != 0 && !assentoValido(c->assento)) {
      if (c == this) {
        euMesmo = true;  // ended by the caller, after this walk
      } else {
        c->cDespeRevogado();
      }
    }
    c = seguinte;
  }
  if (!euMesmo) return true;
  cDespeRevogado(false);
  return false;
}

void TCliente::permiteEndereco(const char* argumento) {
  ipPermitido = inet_addr(argumento);
  permiteRemoto = ipPermitido != 0 && ipPermitido != INADDR_NONE;
  char aviso[kTamanhoAviso];
  if (permiteRemoto) {
    in_addr endereco{};
    endereco.s_addr = ipPermitido;
    formata(aviso, sizeof aviso, msg::kConAceitando, inet_ntoa(endereco));
    escreveTodos(aviso);
  } else {
    escreveTodos(msg::kConSoLocais);
  }
}

void TCliente::comandoMud(char* argumento) {
  // Any "/mud" ends a waiting attempt before it does what it asks.
  cancelaTentativa();
  char* segunda = separaPalavra(argumento);
  if (argumento[0] == '\0') {
    desconectaMud(this);
    return;
  }
  char* endereco = argumento;
  char valor[kTamanhoValorEntrada];
  if (segunda[0] == '\0') {
    // One word: a name from the configuration file. An entry that holds an
    // address but no port is answered like any other bad port, rather than
    // falling through to a disconnect nobody asked for.
    const char* achado = procuraMud(argumento, this);
    if (achado == nullptr) return;
    copia(valor, achado);
    endereco = pulaBrancos(valor);
    segunda = separaPalavra(endereco);
  }
  // After the port, nothing (plain TCP), "tls" or "tls-inseguro".
  const char* const palavraTls = separaPalavra(segunda);
  const int porta = converteNumero(segunda);
  if (porta < kPortaMin || porta > kPortaMax) {
    cEscreve(msg::kPortaMud);
    return;
  }
  int modoTls = kSemTls;
  if (comparaTexto(palavraTls, "tls") == 0) {
    modoTls = kTlsVerificado;
  } else if (comparaTexto(palavraTls, "tls-inseguro") == 0) {
    modoTls = kTlsInseguro;
  } else if (palavraTls[0] != '\0') {
    cEscreve(msg::kModoMud);
    return;
  }
  conectaMud(endereco, porta, modoTls);
}

// A link for a browser: the web line's URL, or the address this user's own
// connection reached with the web port, then "#" and a fresh invite, to play
// or only to watch. Only its maker sees it.
void TCliente::convida(bool paraAssistir) {
  if (!configWeb.ligado) {
    cEscreve(msg::kWebDesligado);
    return;
  }
  char token[kTamanhoConvite];
  if (!criaConvite(token, paraAssistir)) {
    cEscreve(msg::kErroInterno);
    return;
  }
  char base[kTamanhoUrlWeb + 2 * kTamanhoEnderecoWeb];
  if (configWeb.url[0] != '\0') {
    copia(base, configWeb.url);
  } else {
    sockaddr_in local{};
    socklen_t tamanhoLocal = sizeof local;
    char endereco[INET_ADDRSTRLEN] = "127.0.0.1";
    if (getsockname(soqueteEntrada, reinterpret_cast<sockaddr*>(&local), &tamanhoLocal) == 0)
      inet_ntop(AF_INET, &local.sin_addr, endereco, sizeof endereco);
    formata(base, sizeof base, "%s://%s:%d/", configWeb.tls ? "https" : "http", endereco,
            static_cast<int>(configWeb.porta));
  }
  char link[sizeof base + kTamanhoConvite + 1];
  formata(link, sizeof link, "%s#%s", base, token);
  char aviso[sizeof link + sizeof msg::kConviteAssistir];
  formata(aviso, sizeof aviso, paraAssistir ? msg::kConviteAssistir : msg::kConvite, link);
  cEscreve(aviso);
}

// `texto` is `digitado` decoded, for a UTF-8 user. Decoding keeps ASCII and
// turns the rest into bytes that are neither "/" nor the terminator, so both
// start with "/" or "//", or are "/" alone, together: either tells the kind.
void TCliente::textoOuConversa(char* texto, const char* digitado) {
  if (texto[0] != '/') {
    cEnviaAoMud(digitado);
  } else if (texto[1] == '\0') {
    cEnviaAoMud("");
  } else if (texto[1] == '/') {
    cEnviaAoMud(digitado + 1);
  } else {
    char conversa[kTamanhoConversa];
    formata(conversa, sizeof conversa, msg::kChat, apelido, pulaBrancos(texto + 1));
    escreveTodos(conversa);
  }
}

void TCliente::cEnviaAoMud(const char* linha) {
  if (assiste)
    cEscreve(msg::kSoAssistir);
  else
    enviaAoMud(linha);
}

}  // namespace zandor
