// The page's files, built into the program from the web/ folder at build
// time (cmake/embute.cmake writes the table), so that the install stays one
// file and the gateway never reads a file from the disk to serve it.
#pragma once

#include <cstdint>

namespace zandor {

struct TPagina {
  const char* nome;  // "/index.html", as a request names it
  const char* tipo;  // its Content-Type
  const unsigned char* bytes;
  int32_t tamanho;
};

extern const TPagina kPaginas[];
extern const int kQuantasPaginas;

// The file a request path names ("/" is "/index.html"), or null. Only the
// embedded names match, so no path reaches anything else.
const TPagina* procuraPagina(const char* caminho);

}  // namespace zandor
