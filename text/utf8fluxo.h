// UTF-8 checked as it streams in: a message's bytes arrive in pieces, and a
// character may be split between two of them, so the check keeps, between
// calls, how many continuation bytes are still owed and the range the next
// one must fall in (which is what rules out overlong forms, surrogates and
// anything above U+10FFFF, as ehUtf8 does for a whole text).
#pragma once

#include <cstdint>

namespace zandor {

struct TUtf8Fluxo {
  uint8_t faltam = 0;         // continuation bytes still owed
  uint8_t menor = 0x80;       // range of the next continuation byte
  uint8_t maior = 0xBF;

  // False at the first byte that cannot continue well-formed UTF-8.
  bool passa(const unsigned char* p, int n) {
    for (int i = 0; i < n; ++i) {
      const unsigned char b = p[i];
      if (faltam > 0) {
        if (b < menor || b > maior) return false;
        --faltam;
        menor = 0x80;
        maior = 0xBF;
        continue;
      }
      if (b < 0x80) continue;
      if (b >= 0xC2 && b <= 0xDF) {
        faltam = 1;
      } else if (b >= 0xE0 && b <= 0xEF) {
        faltam = 2;
        if (b == 0xE0) menor = 0xA0;
        if (b == 0xED) maior = 0x9F;
      } else if (b >= 0xF0 && b <= 0xF4) {
        faltam = 3;
        if (b == 0xF0) menor = 0x90;
        if (b == 0xF4) maior = 0x8F;
      } else {
        return false;
      }
    }
    return true;
  }
  // Whether the text so far ends between characters.
  bool inteiro() const { return faltam == 0; }
};

}  // namespace zandor
