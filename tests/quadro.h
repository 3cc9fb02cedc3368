// One framed record as the Orvalho client sends it and as the gateway writes
// a line to a framed user: the type byte 1, the payload's length in two
// little-endian bytes, then the payload. Shared by the unit, allocation and
// end-to-end tests, so the wire format is written once.
#pragma once

#include <string>

inline std::string quadro(const std::string& carga) {
  std::string r;
  r.reserve(3 + carga.size());
  r.push_back('\x01');
  r.push_back(static_cast<char>(carga.size() & 0xFF));
  r.push_back(static_cast<char>((carga.size() >> 8) & 0xFF));
  return r + carga;
}
