// A MUD line delivered: who receives it, and in which form, written once.
//
// Every reader whose kind is known gets each line, except one being shown
// the history (reprise.cpp), who gets kept lines through it, in order, and
// no prompts. A reader who filters gets the line stripped of escapes and
// control bytes (filtra, mud.h); a UTF-8 reader gets it in UTF-8; each kind
// frames it its own way. Those choices make a form, and each form a
// delivery needs is built once, on its first reader; every reader then gets
// a copy of bytes already built, queued whole or refused whole by the ring
// as any output is.
#pragma once

#include <cstdint>

namespace zandor {

class TCliente;

// A line the MUD ended or a prompt with something visible: `texto`, `n`
// bytes and a terminator. Returns how many forms it built.
int entregaLinha(const char* texto, int n);
// An escape-only prompt: as it is to the readers who keep colours and whose
// kind takes raw bytes.
void entregaBruto(const char* bytes, int n);
// The bytes `leitor` would have got of `linha` had it been delivered now,
// into saida[0..capacidade): the history's replay. `linha` is filtered in
// place when the reader filters.
int formaPara(const TCliente& leitor, char* linha, char* saida, int capacidade);

}  // namespace zandor
