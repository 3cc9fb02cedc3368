// Blanks in typed text and configuration lines: only the space counts.
#pragma once

namespace zandor {

inline char* pulaBrancos(char* p) {
  while (*p == ' ') ++p;
  return p;
}

inline const char* pulaBrancos(const char* p) {
  while (*p == ' ') ++p;
  return p;
}

}  // namespace zandor
