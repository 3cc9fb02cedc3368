// Support for end-to-end tests: the real zandor binary started in a private
// directory on an ephemeral loopback port, raw client sockets, and a fake MUD
// that a test scripts byte by byte. Everything stays on 127.0.0.0/8, and the
// only process ever signalled is the one started here, by its id. Nothing
// here needs GoogleTest: the load tool in bench/ is built on it too.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "quadro.h"
#include "quadroweb.h"

namespace e2e {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

inline constexpr Ms kPrazo = 3000ms;  // how long a test waits for expected bytes

// Runs under a slow wrapper, valgrind for one, are steered by two variables
// of the environment, each read once. Unset, nothing changes.
//
//   ZANDOR_E2E_ENVOLTORIO  a command prefix, split at blanks, that Gateway
//       runs the program under, e.g. "valgrind --log-file=/tmp/vg.%p".
//       The program is then reached through a symbolic link in the
//       gateway's folder named after the start path, so it still sees
//       "./zandor" (an empty name becomes the link ".zandor", whose base
//       name is empty too). Gateway's destructor sends SIGTERM and waits
//       before it resorts to SIGKILL, so that the wrapper can write its
//       report.
//   ZANDOR_E2E_FATOR  a multiplier (default 1, at least 1) for the deadlines
//       of leAte, esperaFechar, MudFalso::aceita, Gateway::esperaSair and
//       the start-up wait; lePor is an observation window and keeps its
//       length.
double fator();
Ms escala(Ms prazo);
const std::vector<std::string>& envoltorio();  // empty when unset

// The IPv4 address `ip` (dotted text) and `porta`, ready for bind or connect.
sockaddr_in enderecoLocal(const char* ip, int porta);

// A socket listening on 127.0.0.1 with a backlog of `fila`, on a port the
// system chooses; the port is written to *porta.
int escutaLocal(int fila, int* porta);

// A free loopback port, found by listening on port 0 and letting it go.
int portaLivre();

// Path of the built program.
std::string binario();

// One TCP socket with a read buffer that accumulates everything received.
class Conexao {
 public:
  Conexao() = default;
  explicit Conexao(int fd) : fd_(fd) {}
  ~Conexao();
  Conexao(Conexao&& o) noexcept;
  Conexao& operator=(Conexao&& o) noexcept;
  Conexao(const Conexao&) = delete;
  Conexao& operator=(const Conexao&) = delete;

  // Connects to 127.0.0.1:porta from `origem` (127.0.0.2 plays a remote peer).
  static Conexao conecta(int porta, const char* origem = "127.0.0.1");

  bool aberta() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void envia(const std::string& bytes);
  // Reads until `esperado` appears in the buffer (true) or the time is up.
  bool leAte(const std::string& esperado, Ms prazo = kPrazo);
  // Reads whatever arrives during `duracao`.
  void lePor(Ms duracao);
  // Reads until the peer closes (true) or the time is up.
  bool esperaFechar(Ms prazo = kPrazo);
  // Everything received so far and not yet taken.
  const std::string& recebido() const { return buffer_; }
  // Takes the buffer up to and including the first `ate`, or all of it.
  std::string toma(const std::string& ate = "");
  // Takes the first `n` bytes of the buffer.
  std::string tomaBytes(size_t n);
  void descarta() { buffer_.clear(); }
  void fecha();
  bool fechada() const { return eof_; }

 private:
  int leUmaVez(int esperaMs);
  int fd_ = -1;
  bool eof_ = false;
  std::string buffer_;
};

// A WebSocket client's side, over a Conexao (RFC 6455: the client masks).
struct QuadroWeb {
  uint8_t opcode = 0;
  bool fim = false;
  std::string dados;
};
// The upgrade request for `caminho`, with `extras` (whole header lines)
// after the usual fields.
std::string pedidoWeb(const std::string& caminho = "/ws", const std::string& extras = "");
// Reads one whole frame from the front of the connection's buffer, waiting
// for it up to `prazo`, and takes it from the buffer.
bool leQuadroWeb(Conexao& c, QuadroWeb* q, Ms prazo = kPrazo);
// Reads frames, concatenating the text messages' bytes, until they hold
// `esperado` (true) or the time is up; control frames go to `controles`.
bool leTextoWeb(Conexao& c, const std::string& esperado, std::string* texto,
                std::vector<QuadroWeb>* controles = nullptr, Ms prazo = kPrazo);

// The token of an invite's line: `inicio`, "#", 22 characters of base64url
// and the line's end; "" for any other line.
std::string tokenConvite(const std::string& linha, const std::string& inicio);
// What `comando`, a form of "/convite", gives `u`: the token of its answer
// line, whose text before the "#" must be `inicio`.
std::string pedeConvite(Conexao& u, const std::string& inicio, const std::string& comando = "/convite");

// An upgrade of `caminho` (with `extras`, whole header lines) from
// `origem`: the connection with the answer's head taken, its status line in
// *status.
Conexao sobeWeb(int porta, const std::string& caminho, const std::string& extras, const char* origem,
                std::string* status);

// The code of the close frame that follows any text messages, once the
// connection has closed after it; -1 for another frame, no close or a
// connection left open.
int codigoFecho(Conexao& c);

// One HTTP exchange on a fresh connection to `porta` from `origem`: the
// whole answer, read until the gateway closes or `prazo` is over.
std::string trocaHttp(int porta, const std::string& pedido, const char* origem = "127.0.0.1", Ms prazo = kPrazo);
// An answer's first line: its status.
std::string primeiraLinha(const std::string& resposta);

// A listening loopback socket standing in for a MUD.
class MudFalso {
 public:
  MudFalso();
  ~MudFalso();
  int porta() const { return porta_; }
  // Waits for the gateway's connection; it connects on a helper thread, so
  // "/Conectado" may reach users a moment after this returns.
  Conexao aceita(Ms prazo = kPrazo);

 private:
  int fd_ = -1;
  int porta_ = 0;
};

// The zandor binary, run in a fresh directory holding its zandor.cfg. The
// directory is made under $TMPDIR (/tmp when unset) and removed at the end.
class Gateway {
 public:
  // `config` is the configuration file's text; "%PORTA%" is replaced by the
  // chosen port. With `esperaPorta` the constructor returns once the port
  // accepts connections, or once the start-up wait is over: leArquivo of the
  // log tells which. `programa` is the binary to run, the built one unless
  // given.
  // `arquivos` (name, content) are written into the folder before the start:
  // what a gateway kept from an earlier run.
  explicit Gateway(std::string config = "%PORTA%\n", bool esperaPorta = true, std::string nomePrograma = "zandor",
                   std::string programa = binario(),
                   const std::vector<std::pair<std::string, std::string>>& arquivos = {});
  ~Gateway();
  int porta() const { return porta_; }
  // A second free port, put in the configuration where "%PORTAWEB%" stands.
  int portaWeb() const { return portaWeb_; }
  const std::string& pasta() const { return pasta_; }
  pid_t pid() const { return pid_; }
  // Waits for the process to end; its exit status, or -1 on time-out.
  int esperaSair(Ms prazo = kPrazo);
  std::string leArquivo(const std::string& nome) const;
  std::string saida() const;  // what it wrote to standard output
  std::string erros() const;  // and to standard error
  // A telnet user through detection and nickname; the buffer is left empty.
  // A `comando` given is typed before the nickname and its answer, the line
  // `resposta`, awaited (e.g. "/c3", to choose the nickname in UTF-8).
  Conexao usuarioTelnet(const std::string& apelido, const std::string& comando = "",
                        const std::string& resposta = "");
  // A framed-client user through detection and nickname.
  Conexao usuarioQuadros(const std::string& apelido);
  // A web user through the upgrade of `caminho` (with `extras`, whole
  // header lines) from `origem`, and its nickname; the buffer is left empty.
  Conexao usuarioWeb(const std::string& apelido, const std::string& caminho = "/ws", const std::string& extras = "",
                     const char* origem = "127.0.0.1");

 private:
  void executa(const std::string& nomePrograma, const std::string& programa);
  std::string pasta_;
  int porta_ = 0;
  int portaWeb_ = 0;
  pid_t pid_ = -1;
  bool terminou_ = false;
  int estado_ = -1;  // the exit status, once terminou_
};

}  // namespace e2e
