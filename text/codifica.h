// The two output encoders: telnet lines and framed-client records.
//
// Every text bound for a user passes through one of them at the last moment.
// Both read a zero-terminated Windows-1252 text, never write more than the
// capacity given, write no terminator, and return the bytes written. An LF
// in the text separates lines; a CR means nothing to them and is copied.
//
// The framed record, in both directions:
//
//   +------+-----------+-----------+---------------------------+
//   | 0x01 | len & 0xFF| len >> 8  |  payload: one line, no    |
//   | type | (little-endian u16)   |  line end, no terminator  |
//   +------+-----------+-----------+---------------------------+
//     0       1           2           3 .. 3+len
//
// Toward the client a record that continues a line cut by the width starts
// its payload with " /" (0x20 0x2F).
#pragma once

namespace zandor {

inline constexpr int kTipoQuadro = 1;
inline constexpr int kCabecalhoQuadro = 3;
inline constexpr int kLargura80 = 79;   // framed width for 80 columns
inline constexpr int kLargura240 = 239; // framed width for 240 columns

// Every LF becomes CR LF and one CR LF always ends the output. Returns 0 and
// writes nothing when `capacidade` is below 4.
int codificaTelnet(char* saida, const char* texto, int capacidade);

// Cuts the text into records of at most `largura` - 1 payload bytes,
// preferring a blank near the end of the piece. Returns 0 when `capacidade`
// is 9 or less or the text is empty.
int codificaQuadros(char* saida, const char* texto, int capacidade, int largura);

}  // namespace zandor
