// The gateway against Debian's telnet client, typed into by an expect script
// (cliente_telnet.exp beside this file) while this side plays the MUD.
// Skipped where telnet or expect is not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "apoio.h"

namespace {

using namespace e2e;
using Relogio = std::chrono::steady_clock;

// True when `nome` is an executable somewhere on PATH.
bool noCaminho(const std::string& nome) {
  const char* caminho = std::getenv("PATH");
  std::istringstream pastas(caminho ? caminho : "/usr/bin:/bin");
  for (std::string pasta; std::getline(pastas, pasta, ':');)
    if (!pasta.empty() && access((pasta + "/" + nome).c_str(), X_OK) == 0) return true;
  return false;
}

// The expect script as a child process, its output kept in a file.
class Roteiro {
 public:
  Roteiro(const std::string& saida, int porta, int portaMud) {
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int f = open(saida.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(f, 1);
      dup2(f, 2);
      const std::string a = std::to_string(porta), b = std::to_string(portaMud);
      execlp("expect", "expect", "-f", ZANDOR_INTEROP_PASTA "/cliente_telnet.exp", a.c_str(), b.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Roteiro() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Roteiro(const Roteiro&) = delete;
  Roteiro& operator=(const Roteiro&) = delete;

  // The script's exit status, or -1 when it is still running after `prazo`.
  int espera(Ms prazo) {
    const auto fim = Relogio::now() + prazo;
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Relogio::now() >= fim) return -1;
      std::this_thread::sleep_for(10ms);
    }
  }

 private:
  pid_t pid_ = -1;
};

TEST(TelnetClient, DebianTelnetIsDetectedNamedAndTalksWithTheMud) {
  if (!noCaminho("telnet") || !noCaminho("expect")) GTEST_SKIP() << "telnet or expect is not installed";
  Gateway g;
  MudFalso falso;
  Roteiro roteiro(g.pasta() + "/expect.txt", g.porta(), falso.porta());

  // The telnet user links the gateway here once it has a nickname.
  Conexao lado = falso.aceita(10s);
  ASSERT_TRUE(lado.aberta()) << g.leArquivo("expect.txt");
  lado.envia("Linha do MUD para o cliente telnet\r\n");
  // What the user types reaches the MUD as the line alone: no option
  // negotiation from the client, no echo, CR LF at the end.
  EXPECT_TRUE(lado.leAte("ola do telnet\r\n", 5s)) << g.leArquivo("expect.txt");
  EXPECT_EQ(lado.recebido(), "ola do telnet\r\n");
  lado.envia("Recebido: ola do telnet\r\n");

  // The script then interrupts with Ctrl-C and must still see a chat line.
  EXPECT_EQ(roteiro.espera(10s), 0) << g.leArquivo("expect.txt");
  // Neither the interrupt nor leaving sends anything to the MUD.
  lado.lePor(100ms);
  EXPECT_EQ(lado.recebido(), "ola do telnet\r\n");
}

}  // namespace
