// The command interpreter: what one typed line means.
//
// A user without a nickname can only choose one or leave. A named user gives
// slash commands, chats, or talks to the MUD. The order of the tests is the
// order of the table in cInterpreta; the first that matches decides.
#include <arpa/inet.h>


#include "gateway/cliente.h"
#include "gateway/diretorio.h"
#include "gateway/inicio.h"
#include "gateway/mensagens.h"
#include "gateway/mud.h"
#include "text/dobra.h"
#include "text/formata.h"
#include "text/numero.h"

namespace zandor {

namespace {

constexpr int kTamanhoAviso = 100;     // presence and "/con" messages
constexpr int kTamanhoConversa = 500;  // chat lines
constexpr int kTamanhoPalavraComando = 4;   // "/con" and "/mud" before their argument
constexpr char kControleC = 3;
constexpr int kPortaMin = 1, kPortaMax = 65535;

inline char* pulaBrancos(char* p) {
  while (*p == ' ') ++p;
  return p;
}

// Cuts `texto` after its first word and returns what follows, blanks skipped.
char* separaPalavra(char* texto) {
  char* p = texto;
  while (*p != '\0' && *p != ' ') ++p;
  if (*p == ' ') *p++ = '\0';
  return pulaBrancos(p);
}

}  // namespace

bool TCliente::cInterpreta(char* texto) {
  if (comparaTexto(texto, "/sair") == 0 || comparaTexto(texto, "/quit") == 0) {
    if (etapa == kEtapaNomeado) {
      char aviso[kTamanhoAviso];
      formata(aviso, sizeof aviso, msg::kSaiu, apelido);
      escreveTodos(aviso);
    }
    return false;
  }

  if (etapa < kEtapaNomeado) {
    if (validaApelido(texto) == kApelidoValido) {
      copiaLimitada(apelido, texto, sizeof apelido);
      etapa = kEtapaNomeado;
      char aviso[kTamanhoAviso];
      formata(aviso, sizeof aviso, msg::kChegou, apelido);
      escreveTodos(aviso);
      cEscreve(msg::kTecleAjuda);
      cArma(kTicksNomeado);
    } else {
      cEscreve(msg::kApelidoInvalidoDigite);
    }
    return true;
  }

  if (comparaTexto(texto, "/terminar") == 0) {
    escreveTodos(msg::kEncerrando);
    for (TCliente* c = clientes; c != nullptr; c = c->proximo) c->cDescarrega();
    // A line for the MUD handled earlier in the same pass (typed just before
    // "/terminar" in one write) is still only queued: send it too.
    if (mud != nullptr) mud->cDescarrega();
    termina(0);
  }
  if (comparaTexto(texto, "/ajuda") == 0) {
    for (const char* linhaAjuda : msg::kAjuda) cEscreve(linhaAjuda);
  } else if (comparaTexto(texto, "/c") == 0) {
    if (mud != nullptr) mud->cEnvia(&kControleC, 1);
  } else if (comparaPalavra(texto, "/nome") == 0) {
    mudaApelido(separaPalavra(texto));
  } else if (comparaTexto(texto, "/quem") == 0) {
    listaUsuarios();
  } else if (comparaTexto(texto, "/c1") == 0) {
    opcoes ^= kOpcaoC1;
    const bool ligado = opcoes & kOpcaoC1;
    if (protocolo == kProtocoloQuadros)
      cEscreve(ligado ? msg::kC1Corta240 : msg::kC1Corta80);
    else
      cEscreve(ligado ? msg::kC1NaoVoltando : msg::kC1Voltando);
  } else if (comparaTexto(texto, "/c2") == 0) {
    opcoes ^= kOpcaoSemFiltro;
    cEscreve((opcoes & kOpcaoSemFiltro) ? msg::kC2NaoFiltrando : msg::kC2Filtrando);
  } else if (comparaPalavra(texto, "/con") == 0) {
    permiteEndereco(pulaBrancos(texto + kTamanhoPalavraComando));
  } else if (comparaPalavra(texto, "/mud") == 0) {
    comandoMud(pulaBrancos(texto + kTamanhoPalavraComando));
  } else {
    textoOuConversa(texto);
  }
  return true;
}

void TCliente::mudaApelido(char* argumento) {
  if (validaApelido(argumento) != kApelidoValido) {
    cEscreve(msg::kApelidoInvalido);
    return;
  }
  char aviso[kTamanhoAviso];
  formata(aviso, sizeof aviso, msg::kConhecidoComo, apelido, argumento);
  copiaLimitada(apelido, argumento, sizeof apelido);
  etapa = kEtapaNomeado;
  escreveTodos(aviso);
}

void TCliente::listaUsuarios() {
  cEscreve(msg::kUsuarios);
  for (TCliente* c = clientes; c != nullptr; c = c->proximo) cEscreve(c->apelido);
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
  const int porta = converteNumero(segunda);
  if (porta < kPortaMin || porta > kPortaMax) {
    cEscreve(msg::kPortaMud);
    return;
  }
  conectaMud(endereco, porta);
}

void TCliente::textoOuConversa(char* texto) {
  if (texto[0] != '/') {
    if (mud != nullptr) mud->cEnviaLinha(texto);
  } else if (texto[1] == '\0') {
    if (mud != nullptr) mud->cEnviaLinha("");
  } else if (texto[1] == '/') {
    if (mud != nullptr) mud->cEnviaLinha(texto + 1);
  } else {
    char conversa[kTamanhoConversa];
    formata(conversa, sizeof conversa, msg::kChat, apelido, pulaBrancos(texto + 1));
    escreveTodos(conversa);
  }
}

}  // namespace zandor
