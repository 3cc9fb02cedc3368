// The figures of a run: the settings it was given, one row per number of
// users, and how both are printed (and appended to --resumo for run.sh).
#pragma once

#include <sys/types.h>

#include <cmath>
#include <string>
#include <vector>

#include "carga.h"

namespace carga {

struct Opcoes {
  std::string alvo = "zandor", binario, ttpp = "/usr/games/tt++", resumo, rotulo;
  std::vector<int> usuarios;
  double taxa = 2000, segundos = 6;
  int porta = 0;
  int web = 0;  // of the N users, this many (at most N) come through the web listener
  bool wss = false;  // the web listener over TLS; web users reach it through a socat TLS relay
  int quadros = 0;  // and this many of the rest log in as the framed client, at 80 columns
  pid_t pid = -1;
  bool soFluxo = false, detalhe = false;
};

struct Linha {
  int n = 0;
  Fase fixa, teto;
  bool temTeto = false;
  const char* limite = "-";  // what the first failing rate ran into
  double falhou = 0;         // the lowest failing rate tried
  double despertares = NAN, rssPorUsuario = NAN;
  long long rssKb = -1;  // the target's VmRSS at the end of the fixed load
  int rajadaInteira = 0, rajadaCortada = 0;  // lines in one MUD write
};

// One line per step, with -v.
void mostraFase(const char* nome, const Fase& f);
// The tables, and the summary lines for run.sh when --resumo is given.
void imprime(const Opcoes& o, const std::vector<Linha>& linhas);

}  // namespace carga
