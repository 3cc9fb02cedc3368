// Windows-1252 and UTF-8: the table from one to the other, and the
// conversions a telnet user who reads and types UTF-8 needs.
//
// The gateway keeps every text in Windows-1252. On the way out to such a
// user a text is converted (codificaUtf8), unless it is already UTF-8
// (ehUtf8: lines from a MUD that speaks it); on the way in, what the user
// typed is converted back (decodificaUtf8) before the gateway reads it.
//
// Sizes: every Windows-1252 character lies in the Basic Multilingual Plane
// (the highest is U+2122), so one byte becomes at most three and a text
// grows at most threefold. Decoding never grows a text: each sequence read,
// valid or not, becomes exactly one byte. Nothing here allocates; every
// function writes into the caller's fixed buffer and cuts at its capacity.
#pragma once

#include <array>
#include <cstdint>

namespace zandor {

inline constexpr int kMaxBytesUtf8 = 3;  // one Windows-1252 character, in UTF-8

// Windows-1252 byte -> Unicode code point, as the WHATWG Encoding Standard
// maps it: ASCII and 0xA0..0xFF are Latin-1; 0x80..0x9F hold the
// typographic extras, except the five bytes Windows-1252 leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D), which map to the C1 control of the same
// value so that every byte survives the round trip.
inline constexpr std::array<uint16_t, 256> tabelaUnicode = [] {
  constexpr uint16_t kExtras[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
  };
  std::array<uint16_t, 256> t{};
  for (int b = 0; b < 256; ++b) t[b] = static_cast<uint16_t>(b >= 0x80 && b < 0xA0 ? kExtras[b - 0x80] : b);
  return t;
}();

static_assert(tabelaUnicode[0x80] == 0x20AC && tabelaUnicode[0x9D] == 0x9D && tabelaUnicode[0xE9] == 0xE9);

// Windows-1252 text -> UTF-8. Writes at most `capacidade` - 1 bytes and a
// terminator, stopping before a character that would not fit whole; returns
// the bytes written before the terminator. Nothing at all with `capacidade`
// <= 0.
int codificaUtf8(char* saida, const char* texto, int capacidade);

// Whether texto[0..n) is well-formed UTF-8: no stray continuation byte, no
// overlong form, no surrogate, nothing above U+10FFFF, no sequence cut short.
bool ehUtf8(const char* texto, int n);

// UTF-8 text -> Windows-1252. Every character Windows-1252 lacks becomes
// "?", and so does every invalid stretch: one "?" per maximal subpart, the
// longest start of a well-formed sequence before the byte that breaks it (a
// byte that can start none is a subpart of its own). That is the practice of
// Unicode and of the WHATWG decoder, and it means the byte that breaks a
// sequence is read again as a start of its own, so an ASCII byte is never
// swallowed by a broken sequence before it. Writes at most `capacidade` - 1
// bytes and a terminator and returns the bytes written; the output is never
// longer than the input, so `saida` may be `texto` itself.
int decodificaUtf8(char* saida, const char* texto, int capacidade);

// Where a sequence that the end of texto[0..n) leaves unfinished begins, or
// n when the text does not end inside one.
int inicioIncompleto(const char* texto, int n);

// Where the last character of texto[0..n) begins (n > 0): its first byte
// when the text ends in a sequence, whole or unfinished; n - 1 otherwise.
int inicioUltimo(const char* texto, int n);

}  // namespace zandor
