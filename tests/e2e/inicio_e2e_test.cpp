// Start-up against the built program: the log's one line, the port from the
// configuration file, the listener, the exit status, the two files' names
// taken from the start path, and each failure's line on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apoio.h"

namespace {

using namespace e2e;

const std::string kGreeting = "+OK Para telnet pressione ENTER\r\n";
const std::string kPortaRuim = "Porta deve ser um n\xFAmero de 1024 a 65535: ";

std::string le(const std::string& caminho) {
  std::ifstream f(caminho, std::ios::binary);
  if (!f) return "<absent>";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Waits until the file holds `esperado`; true when it does.
bool esperaArquivo(const Gateway& g, const std::string& nome, const std::string& esperado) {
  const auto fim = std::chrono::steady_clock::now() + kPrazo;
  while (std::chrono::steady_clock::now() < fim) {
    if (g.leArquivo(nome) == esperado) return true;
    std::this_thread::sleep_for(5ms);
  }
  return g.leArquivo(nome) == esperado;
}

// The program run by hand in a directory the test prepared beforehand, with
// any start path; killed (by its id) if it is still running at the end.
class Execucao {
 public:
  Execucao(const std::string& pasta, const std::string& arg0) {
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(pasta.c_str()) != 0) _exit(127);
      const int saida = open("saida.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int erros = open("erros.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(saida, 1);
      dup2(erros, 2);
      const std::string bin = binario();
      execl(bin.c_str(), arg0.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Execucao() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The exit status, or -1 if it is still running after `prazo`.
  int espera(Ms prazo = kPrazo) {
    const auto fim = std::chrono::steady_clock::now() + prazo;
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= fim) return -1;
      std::this_thread::sleep_for(5ms);
    }
  }

 private:
  pid_t pid_ = -1;
};

class PastaTemporaria {
 public:
  PastaTemporaria() {
    char modelo[] = "/tmp/zandor-e2e-inicio-XXXXXX";
    caminho = mkdtemp(modelo);
  }
  ~PastaTemporaria() {
    const std::string limpa = "rm -rf '" + caminho + "'";
    if (std::system(limpa.c_str()) != 0) {
    }
  }
  void escreve(const std::string& nome, const std::string& texto) const {
    std::ofstream(caminho + "/" + nome, std::ios::binary) << texto;
  }
  std::string caminho;
};

// True when a listener could be opened on `porta` right now.
bool portaDisponivel(int porta) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const int um = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &um, sizeof um);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(porta));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool livre = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(s, 1) == 0;
  close(s);
  return livre;
}

// ---- failures ----------------------------------------------------------------

TEST(Inicio, LogThatCannotBeCreatedIsToldOnStandardErrorAlone) {
  PastaTemporaria pasta;
  pasta.escreve("zandor.cfg", std::to_string(portaLivre()) + "\n");
  ASSERT_EQ(mkdir((pasta.caminho + "/zandor.log").c_str(), 0755), 0);
  Execucao zandor(pasta.caminho, "./zandor");
  EXPECT_EQ(zandor.espera(), 1);
  EXPECT_EQ(le(pasta.caminho + "/saida.txt"), "");
  EXPECT_EQ(le(pasta.caminho + "/erros.txt"), "Criando arquivo zandor.log: Is a directory\n");
  struct stat info {};
  ASSERT_EQ(stat((pasta.caminho + "/zandor.log").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(Inicio, MissingConfigurationIsLogged) {
  // Started as "./zandor.exe": the base name is zandor, and the file the
  // helper wrote, zandor.exe.cfg, is not the one looked for.
  Gateway g("%PORTA%\n", false, "zandor.exe");
  EXPECT_EQ(g.esperaSair(), 1);
  EXPECT_EQ(g.leArquivo("zandor.log"), "Abrindo arquivo zandor.cfg: No such file or directory\n");
  EXPECT_EQ(g.saida(), "");
  EXPECT_EQ(g.erros(), g.leArquivo("zandor.log"));
}

TEST(Inicio, BothFilesAreNamedAfterTheStartPathUpToItsFirstDot) {
  Gateway g("%PORTA%\n", false, "prog.novo");
  EXPECT_EQ(g.esperaSair(), 1);
  EXPECT_EQ(g.leArquivo("prog.log"), "Abrindo arquivo prog.cfg: No such file or directory\n");
  EXPECT_EQ(g.leArquivo("prog.novo.log"), "<absent>");
  EXPECT_EQ(g.saida(), "");
  EXPECT_EQ(g.erros(), "Abrindo arquivo prog.cfg: No such file or directory\n");
}

TEST(Inicio, BadPortsAreLoggedWithTheWholeTextRead) {
  const std::vector<std::string> textos = {
      "1023\n",
      "65536\n",
      "-4000\n",
      "abc\n",
      "",
      "0\n",
      "4294971296\n",  // would wrap to 4000 in 32 bits
      "1023\nfoo = bar 1\n",
      "porta 4000\narena = 192.0.2.10 4000\n",
      "\t  x4000\r\n",
  };
  for (const std::string& texto : textos) {
    Gateway g(texto, false);
    EXPECT_EQ(g.esperaSair(), 1) << texto;
    EXPECT_EQ(g.leArquivo("zandor.log"), kPortaRuim + texto + "\n") << texto;
    EXPECT_EQ(g.saida(), "") << texto;
    EXPECT_EQ(g.erros(), kPortaRuim + texto + "\n") << texto;
  }
}

TEST(Inicio, OnlyTheFirst299BytesAreSeenAndShown) {
  const std::string texto = "1023 " + std::string(400, 'x') + "\n";
  Gateway g(texto, false);
  EXPECT_EQ(g.esperaSair(), 1);
  EXPECT_EQ(g.leArquivo("zandor.log"), kPortaRuim + texto.substr(0, 299) + "\n");
}

TEST(Inicio, PortInUseIsPrintedAndTheLogStaysEmpty) {
  MudFalso ocupante;  // listens on 127.0.0.1 at its port
  Gateway g(std::to_string(ocupante.porta()) + "\n", false);
  EXPECT_EQ(g.esperaSair(), 1);
  EXPECT_EQ(g.saida(), "bind(): Address already in use\n");
  EXPECT_EQ(g.erros(), "bind(): Address already in use\n");
  EXPECT_EQ(g.leArquivo("zandor.log"), "");
}

// ---- success -----------------------------------------------------------------

TEST(Inicio, PortFormsThatStartTheGateway) {
  const std::vector<std::string> textos = {
      "%PORTA%\n", "%PORTA%", "   %PORTA%\n", "%PORTA% x y\n", "+%PORTA%\n", "\n%PORTA%\n", "\t\n%PORTA%\n",
      "%PORTA%\r\narena = 192.0.2.10 4000\r\n",
  };
  for (const std::string& texto : textos) {
    Gateway g(texto);
    EXPECT_TRUE(esperaArquivo(g, "zandor.log", "Feito...\n")) << texto;
    Conexao c = Conexao::conecta(g.porta());
    ASSERT_TRUE(c.aberta()) << texto;
    EXPECT_TRUE(c.leAte(kGreeting)) << texto;
    EXPECT_EQ(c.recebido(), kGreeting) << texto;
    EXPECT_EQ(g.esperaSair(0ms), -1) << "still running: " << texto;
    EXPECT_EQ(g.saida(), "") << texto;
    EXPECT_EQ(g.erros(), "") << texto;
  }
}

TEST(Inicio, BoundaryPortsAreAccepted) {
  for (int porta : {1024, 65535})
    if (!portaDisponivel(porta)) GTEST_SKIP() << "port " << porta << " is busy on this machine";
  for (int porta : {1024, 65535}) {
    Gateway g(std::to_string(porta) + "\n", false);
    EXPECT_TRUE(esperaArquivo(g, "zandor.log", "Feito...\n")) << porta;
    Conexao c = Conexao::conecta(porta);
    ASSERT_TRUE(c.aberta()) << porta;
    EXPECT_TRUE(c.leAte(kGreeting)) << porta;
    EXPECT_EQ(c.recebido(), kGreeting);
  }
}

TEST(Inicio, EmptyBaseNameUsesDotLogAndDotCfg) {
  // Started as "./": nothing after the last separator.
  Gateway g("%PORTA%\n", true, "");
  EXPECT_TRUE(esperaArquivo(g, ".log", "Feito...\n"));
  Conexao c = Conexao::conecta(g.porta());
  EXPECT_TRUE(c.leAte(kGreeting));
}

TEST(Inicio, WindowsStylePathWithDottedFoldersNamesProgCfgAndProgLog) {
  PastaTemporaria pasta;
  const int porta = portaLivre();
  pasta.escreve("prog.cfg", std::to_string(porta) + "\n");
  Execucao zandor(pasta.caminho, "C:\\jogos.antigos\\prog.novo.exe");
  const auto fim = std::chrono::steady_clock::now() + kPrazo;
  while (le(pasta.caminho + "/prog.log") != "Feito...\n" && std::chrono::steady_clock::now() < fim)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(le(pasta.caminho + "/prog.log"), "Feito...\n");
  Conexao c = Conexao::conecta(porta);
  EXPECT_TRUE(c.leAte(kGreeting));
  EXPECT_EQ(zandor.espera(0ms), -1);
}

}  // namespace
