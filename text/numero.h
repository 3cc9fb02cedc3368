// atoi as the C library defines it, without its undefined overflow: leading
// white space, an optional sign, the leading digits; a number beyond an int
// saturates instead of wrapping, so "4294971296" never passes for port 4000.
#pragma once

#include <climits>
#include <cstdlib>

namespace zandor {

inline int converteNumero(const char* texto) {
  const long v = std::strtol(texto, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace zandor
