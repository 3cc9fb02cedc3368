// The MUD directory: "name = address port" entries in the configuration
// file, looked up by "/mud NAME". The file is read anew at every lookup.
#pragma once

namespace zandor {

class TCliente;

inline constexpr int kTamanhoNomeEntrada = 256;   // 255 characters kept
inline constexpr int kTamanhoValorEntrada = 256;  // 255 characters kept
inline constexpr int kPedacoArquivo = 300;        // the file is read in chunks of this

// Reads entries byte by byte; line state carries across chunks, so lines may
// be of any length. The last entry whose name matches wins.
//
// A line: leading blanks skipped; the first '=' ends the name (trailing
// blanks cut); blanks after the '=' skipped; the value runs to the line end
// (trailing blanks cut). CR and LF end lines; other bytes below 32 vanish.
// A line without '=' or with an empty value is no entry.
class TLeitorEntradas {
 public:
  explicit TLeitorEntradas(const char* procurado) : pedido(procurado) {}
  void cLe(const char* bytes, int n);
  void cFimLinha();
  // The value of the last matching entry, or null.
  const char* cAchado() const { return achou ? achado : nullptr; }

 private:
  void poe(unsigned char b);

  const char* pedido;
  char nome[kTamanhoNomeEntrada];
  char valor[kTamanhoValorEntrada];
  char achado[kTamanhoValorEntrada];
  int posNome = 0;
  int posValor = 0;
  bool temIgual = false;
  bool achou = false;
};

// The names the gateway keeps for its own settings ("web", "usuarios"):
// entries under them set the gateway up and name no MUD, so "/mud NAME"
// answers one as it answers an unknown name. Compared as entry names are.
bool nomeReservado(const char* nome);

// The value of the last entry named `nome` in the configuration file, read
// now: 1 when found (copied into `valor`), 0 when there is none, -1 when the
// file cannot be opened (errno tells why).
int leEntrada(const char* nome, char (&valor)[kTamanhoValorEntrada]);

// The value of the MUD entry named `nome`, or null after telling `usuario` why.
const char* procuraMud(const char* nome, TCliente* usuario);

}  // namespace zandor
