// One WebSocket frame as a browser sends it (RFC 6455: a client masks every
// frame) and the reading of one as the gateway writes it (unmasked). Shared
// by the unit, allocation, fuzz and end-to-end tests, so the wire format is
// written once.
#pragma once

#include <cstdint>
#include <string>

// A frame of `opcode` around `dados`; `mascara` false makes it unmasked, as
// no client may send one.
inline std::string quadroWeb(uint8_t opcode, const std::string& dados, bool mascara = true, bool fim = true) {
  std::string q;
  q += static_cast<char>((fim ? 0x80 : 0) | opcode);
  const uint8_t m = mascara ? 0x80 : 0;
  const uint64_t n = dados.size();
  if (n < 126) {
    q += static_cast<char>(m | n);
  } else if (n < 65536) {
    q += static_cast<char>(m | 126);
    q += static_cast<char>(n >> 8);
    q += static_cast<char>(n & 0xFF);
  } else {
    q += static_cast<char>(m | 127);
    for (int i = 7; i >= 0; --i) q += static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  if (!mascara) return q + dados;
  const unsigned char chave[4] = {0x37, 0xFA, 0x21, 0x3D};
  q.append(reinterpret_cast<const char*>(chave), 4);
  for (size_t i = 0; i < n; ++i) q += static_cast<char>(dados[i] ^ chave[i % 4]);
  return q;
}

inline std::string textoWeb(const std::string& dados) { return quadroWeb(1, dados); }

// The length of the frame at the front of `b`, or 0 while it is incomplete.
inline size_t tamanhoQuadroWeb(const std::string& b) {
  if (b.size() < 2) return 0;
  const unsigned char* u = reinterpret_cast<const unsigned char*>(b.data());
  size_t cabecalho = 2;
  uint64_t n = u[1] & 0x7F;
  if (n == 126) {
    if (b.size() < 4) return 0;
    n = static_cast<uint64_t>(u[2]) << 8 | u[3];
    cabecalho = 4;
  } else if (n == 127) {
    if (b.size() < 10) return 0;
    n = 0;
    for (int i = 0; i < 8; ++i) n = n << 8 | u[2 + i];
    cabecalho = 10;
  }
  if (u[1] & 0x80) cabecalho += 4;
  return b.size() >= cabecalho + n ? cabecalho + n : 0;
}

// Splits an unmasked byte stream into its frames' payloads, each prefixed by
// its opcode as one character ('1' text, '8' close, '9' ping, 'A' pong...);
// `resto` gets what does not make a whole frame.
inline std::string quadrosLidos(std::string b, std::string* resto = nullptr) {
  std::string r;
  size_t n;
  while ((n = tamanhoQuadroWeb(b)) != 0) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(b.data());
    const unsigned curto = u[1] & 0x7F;
    const size_t inicio = curto == 127 ? 10 : curto == 126 ? 4 : 2;
    r += "0123456789ABCDEF"[u[0] & 0x0F];
    r += b.substr(inicio, n - inicio);
    r += '|';
    b.erase(0, n);
  }
  if (resto != nullptr) *resto = b;
  return r;
}
