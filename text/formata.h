// Bounded formatting and copying into fixed buffers.
//
// Every message the gateway composes is written into a buffer of fixed size
// and every text it keeps (a nickname, a file name, an address) lives in a
// fixed field. formata and copiaLimitada never write past the destination:
// they cut instead. copia does not cut: it is for a caller that has made
// sure of the room, and writes the whole text whatever the destination's
// size. Each returns the position of the terminator it wrote, so a caller
// can append.
#pragma once

namespace zandor {

// Writes at most `tamanho` - 1 characters and a terminator. Conversions:
//   %%  one '%'            %c  low byte of an int
//   %d  int in decimal     %s  whole text        %t  first word, <= 16 chars
// Anything else after '%' is dropped and the character kept as text. A full
// buffer still consumes every argument, so later conversions stay in step.
// With `tamanho` <= 0 nothing at all is written and `destino` is returned.
char* formata(char* destino, int tamanho, const char* formato, ...);

// Copies at most `limite` - 1 characters and a terminator; `limite` is the
// destination's size. With `limite` <= 0 nothing is written.
char* copiaLimitada(char* destino, const char* origem, int limite);

// Unbounded copy: the caller guarantees the room.
char* copia(char* destino, const char* origem);

// The system's text for error number `erro`, the one strerror gives, copied
// as copiaLimitada does. Safe on any thread: strerror may share one buffer
// among them.
char* copiaErro(char* destino, int erro, int limite);

}  // namespace zandor
