#include "gateway/diretorio.h"

#include <cstdio>

#include "gateway/cliente.h"
#include "gateway/inicio.h"
#include "gateway/mensagens.h"
#include "text/dobra.h"
#include "text/formata.h"

namespace zandor {

namespace {

constexpr int kTamanhoAviso = 300;
constexpr const char* kNomesReservados[] = {"web", "usuarios"};

}  // namespace

void TLeitorEntradas::poe(unsigned char b) {
  if (b == '\r' || b == '\n') {
    cFimLinha();
    return;
  }
  if (b < ' ') return;
  if (!temIgual) {
    if (b == '=') {
      temIgual = true;
      return;
    }
    if (b == ' ' && posNome == 0) return;
    if (posNome < kTamanhoNomeEntrada - 1) nome[posNome++] = static_cast<char>(b);
  } else {
    if (b == ' ' && posValor == 0) return;
    if (posValor < kTamanhoValorEntrada - 1) valor[posValor++] = static_cast<char>(b);
  }
}

void TLeitorEntradas::cLe(const char* bytes, int n) {
  for (int i = 0; i < n; ++i) poe(static_cast<unsigned char>(bytes[i]));
}

void TLeitorEntradas::cFimLinha() {
  while (posNome > 0 && nome[posNome - 1] == ' ') --posNome;
  while (posValor > 0 && valor[posValor - 1] == ' ') --posValor;
  nome[posNome] = '\0';
  valor[posValor] = '\0';
  if (temIgual && posValor > 0 && comparaTexto(nome, pedido) == 0) {
    copia(achado, valor);
    achou = true;
  }
  posNome = posValor = 0;
  temIgual = false;
}

bool nomeReservado(const char* nome) {
  for (const char* reservado : kNomesReservados)
    if (comparaTexto(nome, reservado) == 0) return true;
  return false;
}

int leEntrada(const char* nome, char (&valor)[kTamanhoValorEntrada]) {
  copia(fimNome, ".cfg");
  std::FILE* arquivo = std::fopen(nomeArquivo, "r");
  if (arquivo == nullptr) return -1;
  TLeitorEntradas leitor(nome);
  char pedaco[kPedacoArquivo];
  for (;;) {
    const size_t n = std::fread(pedaco, 1, sizeof pedaco, arquivo);
    leitor.cLe(pedaco, static_cast<int>(n));
    if (n < sizeof pedaco) break;
  }
  leitor.cFimLinha();  // a last line without line end still counts
  std::fclose(arquivo);
  if (leitor.cAchado() == nullptr) return 0;
  copia(valor, leitor.cAchado());
  return 1;
}

const char* procuraMud(const char* nome, TCliente* usuario) {
  static char resultado[kTamanhoValorEntrada];
  const int achou = nomeReservado(nome) ? 0 : leEntrada(nome, resultado);
  if (achou < 0) {
    char aviso[kTamanhoAviso];
    formata(aviso, sizeof aviso, msg::kNaoAbriuArquivo, nomeArquivo);
    usuario->cEscreve(aviso);
    return nullptr;
  }
  if (achou == 0) {
    usuario->cEscreve(msg::kMudNaoEncontrado);
    return nullptr;
  }
  return resultado;
}

}  // namespace zandor
