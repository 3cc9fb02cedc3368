// Character folding over Windows-1252 bytes, the two comparisons built on
// it, and the nickname rule.
//
// Commands and configuration names are compared without regard to letter
// case or to the accents of Portuguese; nicknames are made of a small set of
// characters. Both rest on two 256-entry tables built once at start-up.
#pragma once

namespace zandor {

// For every byte allowed in a nickname, its folded form; 0 for the rest.
extern unsigned char tabelaApelido[256];
// The folding both comparisons use: tabelaApelido where that is not 0,
// otherwise the byte itself.
extern unsigned char tabelaCompara[256];

// Fills both tables. Must run before any comparison.
void montaTabelas();

// Whole-text comparison under folding; a run of blanks matches a run of
// blanks, trailing blanks are ignored. 0 when equal, otherwise -1 or +1.
int comparaTexto(const char* a, const char* b);

// First-word comparison: a blank ends either text. Same result convention.
int comparaPalavra(const char* a, const char* b);

// Result of validaApelido.
enum : int {
  kApelidoRecusado = 0,  // bad character, blank, length or h rule
  kApelidoSemLetra = 1,  // allowed characters and length, but no letter
  kApelidoValido = 2,
};
int validaApelido(const char* texto);

}  // namespace zandor
