// Start-up: the program's two files named after its start path, the one-line
// start-up log, the port and the user cap from the configuration file, the
// one listener, and the exit routine.
#pragma once

namespace zandor {

inline constexpr int kTamanhoTrabalho = 300;   // start path; then the config's first bytes
inline constexpr int kTamanhoBase = 185;       // base name: 184 characters and a terminator
inline constexpr int kTamanhoExtensao = 4;     // ".log" / ".cfg"
inline constexpr int kPortaMinima = 1024;
inline constexpr int kPortaMaxima = 65535;

// The configuration file's name for the whole run (no directory part: both
// files live in the current directory), and where its extension starts.
extern char nomeArquivo[kTamanhoBase + kTamanhoExtensao];
extern char* fimNome;

// The last component of `caminho` (either separator), cut at its first dot,
// at most 184 characters, into `destino` of kTamanhoBase bytes.
void derivaNomeBase(const char* caminho, char* destino);

// A line for the log after start-up (the file is reopened to append) and
// for standard error: the rare events of a running gateway, a certificate
// renewed or refused.
void anotaLog(const char* formato, ...) __attribute__((format(printf, 1, 2)));

// Ends the process; every exit goes through here. It flushes standard output
// and calls `fimProcesso`, which is std::exit except in harnesses that drive
// the gateway in-process (a fuzzer must survive "/terminar"); should the
// replacement return, the process aborts.
[[noreturn]] void termina(int codigo);
using FimProcesso = void (*)(int codigo);
extern FimProcesso fimProcesso;

// Shuts the gateway down, on "/terminar" or a signal (sinais.h): every user
// is told "/Encerrando Zandor" after whatever output was held for them,
// every connection is flushed, the MUD link last, and the process exits
// with status 0.
[[noreturn]] void encerraZandor();

// The program: start-up, then the event loop for the rest of the run.
int inicia(int argc, char** argv);

}  // namespace zandor
