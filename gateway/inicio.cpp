#include "gateway/inicio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework/laco.h"
#include "framework/tls.h"
#include "gateway/cliente.h"
#include "gateway/diretorio.h"
#include "gateway/lotacao.h"
#include "gateway/mensagens.h"
#include "gateway/web/assentos.h"
#include "gateway/mud.h"
#include "gateway/sinais.h"
#include "gateway/web.h"
#include "text/dobra.h"
#include "text/formata.h"
#include "text/numero.h"

namespace zandor {

char nomeArquivo[kTamanhoBase + kTamanhoExtensao];
char* fimNome = nomeArquivo;

void derivaNomeBase(const char* caminho, char* destino) {
  char trabalho[kTamanhoTrabalho];
  copiaLimitada(trabalho, caminho, sizeof trabalho);
  // Both separators count on every platform; the last one anywhere wins.
  for (const char* p = caminho; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') copiaLimitada(trabalho, p + 1, sizeof trabalho);
  for (char* p = trabalho; *p != '\0'; ++p)
    if (*p == '.') *p = '\0';
  copiaLimitada(destino, trabalho, kTamanhoBase);
}

namespace {

// A start-up failure: its line goes to the log, when there is one, and the
// same line to standard error, where a service manager's journal finds it.
void relata(std::FILE* log, const char* formato, ...) {
  va_list argumentos, copia;
  va_start(argumentos, formato);
  va_copy(copia, argumentos);
  if (log != nullptr) std::vfprintf(log, formato, argumentos);
  std::vfprintf(stderr, formato, copia);
  va_end(copia);
  va_end(argumentos);
}

}  // namespace

void anotaLog(const char* formato, ...) {
  char arquivo[sizeof nomeArquivo];
  copia(arquivo, nomeArquivo);
  copia(arquivo + (fimNome - nomeArquivo), ".log");
  va_list argumentos, copiaArgs;
  va_start(argumentos, formato);
  va_copy(copiaArgs, argumentos);
  if (std::FILE* log = std::fopen(arquivo, "a")) {
    std::vfprintf(log, formato, argumentos);
    std::fclose(log);
  }
  std::vfprintf(stderr, formato, copiaArgs);
  va_end(copiaArgs);
  va_end(argumentos);
}

// A lambda: the standard library does not promise that std::exit has an address.
FimProcesso fimProcesso = [](int codigo) { std::exit(codigo); };

void termina(int codigo) {
  descarregaAssentos();  // the last uses, if the minute's write is still due
  std::fflush(stdout);
  fimProcesso(codigo);
  std::abort();
}

void encerraZandor() {
  escreveTodos(msg::kEncerrando);
  for (TCliente* c = clientes; c != nullptr; c = c->proximo) {
    c->cFechaWeb(kFechoSaindo);
    c->cDescarrega();
  }
  // A line for the MUD handled earlier in the same pass (typed just before
  // "/terminar" in one write) is still only queued: send it too, then end a
  // TLS session properly (close_notify) before the process goes.
  if (mud != nullptr) mud->cFecha(true);
  termina(0);
}

int inicia(int argc, char** argv) {
  tlsPreparaProcesso();
  ignoraSigpipe();
  montaTabelas();

  derivaNomeBase(argc > 0 && argv[0] != nullptr ? argv[0] : "", nomeArquivo);
  fimNome = nomeArquivo + std::strlen(nomeArquivo);

  copia(fimNome, ".log");
  std::FILE* log = std::fopen(nomeArquivo, "w");
  if (log == nullptr) {
    relata(nullptr, msg::kLogCriando, nomeArquivo, std::strerror(errno));
    termina(1);
  }

  copia(fimNome, ".cfg");
  const int arquivo = open(nomeArquivo, O_RDONLY);
  if (arquivo < 0) {
    relata(log, msg::kLogAbrindo, nomeArquivo, std::strerror(errno));
    termina(1);
  }
  // Only the first bytes matter here; the MUD directory reads the rest.
  char trabalho[kTamanhoTrabalho];
  ssize_t lidos = read(arquivo, trabalho, sizeof trabalho - 1);
  if (lidos < 0) lidos = 0;
  trabalho[lidos] = '\0';
  close(arquivo);

  const char* p = trabalho;
  while (*p == ' ') ++p;
  const int porta = converteNumero(p);
  if (porta < kPortaMinima || porta > kPortaMaxima) {
    relata(log, msg::kLogPorta, trabalho);
    termina(1);
  }

  // The user cap, and the descriptors it needs. The reader has just opened
  // the file too; should it fail now, the file went away in between.
  char valor[kTamanhoValorEntrada];
  const int achou = leEntrada("usuarios", valor);
  if (achou < 0) {
    relata(log, msg::kLogAbrindo, nomeArquivo, std::strerror(errno));
    termina(1);
  }
  if (achou > 0) {
    limiteUsuarios = leTetoUsuarios(valor);
    if (limiteUsuarios < 0) {
      relata(log, msg::kLogUsuarios, kTetoUsuarios, valor);
      termina(1);
    }
  }
  int limite = 0;
  const int serve = ajustaTeto(limiteUsuarios, &limite);
  if (serve < limiteUsuarios) {
    relata(log, msg::kLogLimite, limite, serve, limiteUsuarios);
    limiteUsuarios = serve;
  }

  TPortaria* entrada = new (std::nothrow) TPortaria;
  if (entrada == nullptr) {
    std::perror(msg::kAlocando);
    termina(1);
  }
  uint16_t porta16 = static_cast<uint16_t>(porta);
  if (const char* erro = entrada->cAbre(&porta16)) {
    std::puts(erro);
    relata(nullptr, "%s\n", erro);
    termina(1);
  }

  // The web listener, when the configuration has a web line: a bad line is
  // a start-up failure of its own, an open failure is the main listener's.
  char linhaWeb[kTamanhoValorEntrada];
  if (leEntrada("web", linhaWeb) > 0) {
    if (!leLinhaWeb(linhaWeb, &configWeb)) {
      relata(log, msg::kLogWeb, linhaWeb);
      termina(1);
    }
    char falha[kTamanhoFalhaTls];
    if (!carregaTlsWeb(falha)) {
      relata(log, msg::kLogTlsWeb, falha);
      termina(1);
    }
    if (const char* erro = abreWeb()) {
      std::puts(erro);
      relata(nullptr, "%s\n", erro);
      termina(1);
    }
    // Seats given before a restart still let their browsers in.
    presencaAssento = presencaNoAssento;
    carregaAssentos(log);
  }

  std::fputs(msg::kLogFeito, log);
  std::fclose(log);

  instalaSinais();
  cExecuta();
  termina(0);
}

}  // namespace zandor
