# Writes the C++ table of the page's files: run at build time as
#   cmake -DPASTA=<web folder> -DSAIDA=<generated .cpp> -P embute.cmake
# Every file in PASTA becomes a byte array, named in the table by its path
# from the folder's root with a leading "/", and given its Content-Type by
# its extension. Only CMake itself is needed: no external tool.
file(GLOB_RECURSE arquivos RELATIVE ${PASTA} ${PASTA}/*)
list(SORT arquivos)
set(arrays "")
set(tabela "")
set(i 0)
foreach(nome IN LISTS arquivos)
  file(READ ${PASTA}/${nome} hex HEX)
  string(LENGTH "${hex}" digitos)
  math(EXPR tamanho "${digitos} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  get_filename_component(ext ${nome} LAST_EXT)
  string(TOLOWER "${ext}" ext)
  if(ext STREQUAL ".html" OR ext STREQUAL ".htm")
    set(tipo "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(tipo "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(tipo "text/css; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(tipo "image/svg+xml")
  elseif(ext STREQUAL ".png")
    set(tipo "image/png")
  elseif(ext STREQUAL ".ico")
    set(tipo "image/x-icon")
  elseif(ext STREQUAL ".json" OR ext STREQUAL ".webmanifest")
    set(tipo "application/json")
  elseif(ext STREQUAL ".txt")
    set(tipo "text/plain; charset=utf-8")
  else()
    set(tipo "application/octet-stream")
  endif()
  # A trailing zero keeps an empty file's array legal; the size excludes it.
  string(APPEND arrays "const unsigned char kArquivo${i}[] = {\n${bytes}0};\n")
  string(APPEND tabela "    {\"/${nome}\", \"${tipo}\", kArquivo${i}, ${tamanho}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${SAIDA}.novo
"// Generated from the web/ folder by cmake/embute.cmake: do not edit.
#include \"gateway/paginas.h\"

#include <cstring>

namespace zandor {

namespace {
${arrays}}  // namespace

const TPagina kPaginas[] = {
${tabela}    {nullptr, nullptr, nullptr, 0},
};
const int kQuantasPaginas = ${i};

const TPagina* procuraPagina(const char* caminho) {
  if (std::strcmp(caminho, \"/\") == 0) caminho = \"/index.html\";
  for (int i = 0; i < kQuantasPaginas; ++i)
    if (std::strcmp(kPaginas[i].nome, caminho) == 0) return &kPaginas[i];
  return nullptr;
}

}  // namespace zandor
")
# Only a changed table touches the output, so an unchanged page rebuilds nothing.
file(COPY_FILE ${SAIDA}.novo ${SAIDA} ONLY_IF_DIFFERENT)
file(REMOVE ${SAIDA}.novo)
