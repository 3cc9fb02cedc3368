// The gateway against a real TinyMUX server: a throw-away game set up in a
// private directory on a free loopback port, two users sharing the one link
// through a recording relay, so that the bytes the gateway sends the server
// (its answers to the server's option negotiation, the users' lines) can be
// checked byte by byte; and the same server reached over TLS, with socat
// ending TLS in front of it. Skipped where TinyMUX (or, for TLS, socat and
// openssl) is not installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "confere.h"
#include "tls_apoio.h"

namespace {

using namespace e2e;
using Relogio = std::chrono::steady_clock;

// Where Debian's tinymux package puts the server and the programs it starts.
const std::string kBinariosMux = "/usr/lib/tinymux/game/bin";

int conectaLocal(int porta) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = enderecoLocal("127.0.0.1", porta);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

std::string hex(const std::string& b) {
  static const char* const digitos = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : b) {
    if (!r.empty()) r += ' ';
    r += digitos[c >> 4];
    r += digitos[c & 15];
  }
  return r;
}

// A TinyMUX game of its own: the layout that tinymux-install makes (bin/
// linked to the packaged programs, a configuration file, data/ and text/),
// started the way Startmux starts it, but in the foreground of a child
// process, logging to a file, and with a minimal fresh database (-s), whose
// Wizard (#1) has the password "potrzebie". It listens on 127.0.0.1 only.
class JogoTinyMux {
 public:
  explicit JogoTinyMux(const std::string& telaInicial) {
    char modelo[] = "/tmp/zandor-mux-XXXXXX";
    pasta_ = mkdtemp(modelo);
    porta_ = portaLivre();
    executa("mkdir bin data text");
    for (const char* p : {"netmux", "slave", "stubslave", "libmux.so"})
      executa(std::string("ln -s ") + kBinariosMux + "/" + p + " bin/" + p);
    escreve("text/connect.txt", telaInicial);
    escreve("netmux.conf",
            "input_database data/netmux.db\n"
            "output_database data/netmux.db.new\n"
            "crash_database data/netmux.db.CRASH\n"
            "game_dir_file data/netmux.dir\n"
            "game_pag_file data/netmux.pag\n"
            "mail_database data/mail.db\n"
            "comsys_database data/comsys.db\n"
            "port " + std::to_string(porta_) + "\n"
            "ip_address 127.0.0.1\n"
            "mud_name ZandorTeste\n"
            "connect_file text/connect.txt\n");

    pid_ = fork();
    if (pid_ == 0) {
      // Should this test process die, the server goes with it.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (chdir(pasta_.c_str()) != 0) _exit(127);
      const int log = open("netmux.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(log, 1);
      dup2(log, 2);
      setenv("LD_LIBRARY_PATH", "./bin", 1);
      execl("./bin/netmux", "netmux", "-c", "netmux.conf", "-p", "netmux.pid", "-e", "-", "-s",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once the port takes a connection; the probe leaves at once.
    const auto fim = Relogio::now() + 10s;
    while (Relogio::now() < fim && !vivo_) {
      const int s = conectaLocal(porta_);
      if (s >= 0) {
        close(s);
        vivo_ = true;
      } else {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          return;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
  }

  ~JogoTinyMux() {
    if (pid_ > 0) {
      // SIGTERM makes it write its database and take its helpers down.
      kill(pid_, SIGTERM);
      const auto fim = Relogio::now() + 5s;
      while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
        if (Relogio::now() >= fim) {
          kill(pid_, SIGKILL);
          waitpid(pid_, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    executa("rm -rf '" + pasta_ + "'");
  }

  JogoTinyMux(const JogoTinyMux&) = delete;
  JogoTinyMux& operator=(const JogoTinyMux&) = delete;

  bool vivo() const { return vivo_; }
  int porta() const { return porta_; }

  std::string log() const {
    std::ifstream f(pasta_ + "/netmux.log", std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }

 private:
  void executa(const std::string& comando) const {
    const std::string c = "cd '" + pasta_ + "' && " + comando;
    if (std::system(c.c_str()) != 0) ADD_FAILURE() << "failed: " << c;
  }
  void escreve(const std::string& nome, const std::string& texto) const {
    std::ofstream(pasta_ + "/" + nome, std::ios::binary) << texto;
  }

  std::string pasta_;
  int porta_ = 0;
  pid_t pid_ = -1;
  bool vivo_ = false;
};

// A loopback relay between the gateway and the server that forwards both
// directions untouched and records them, with the time each piece toward the
// gateway was passed on. It serves one connection, on its own thread.
class Relay {
 public:
  explicit Relay(int portaServidor) : servidor_(portaServidor) {
    escuta_ = escutaLocal(1, &porta_);
    fio_ = std::thread([this] { roda(); });
  }

  ~Relay() {
    parar_ = true;
    fio_.join();
    close(escuta_);
  }

  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  int porta() const { return porta_; }

  std::string paraServidor() const {
    std::lock_guard<std::mutex> t(trava_);
    return paraServidor_;
  }
  std::string paraGateway() const {
    std::lock_guard<std::mutex> t(trava_);
    return paraGateway_;
  }
  // When the bytes toward the gateway first held `trecho` in full.
  std::optional<Relogio::time_point> quando(const std::string& trecho) const {
    std::lock_guard<std::mutex> t(trava_);
    const size_t i = paraGateway_.find(trecho);
    if (i == std::string::npos) return std::nullopt;
    for (const auto& [tamanho, instante] : marcas_)
      if (tamanho >= i + trecho.size()) return instante;
    return std::nullopt;
  }

 private:
  void roda() {
    int gateway = -1, servidor = -1;
    bool acabou = false;
    while (!parar_) {
      if (gateway < 0) {
        pollfd p{escuta_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0 || acabou) continue;
        gateway = accept(escuta_, nullptr, nullptr);
        servidor = conectaLocal(servidor_);
        if (gateway < 0 || servidor < 0) {
          acabou = true;
          if (gateway >= 0) close(gateway);
          gateway = -1;
        }
        continue;
      }
      pollfd p[2] = {{gateway, POLLIN, 0}, {servidor, POLLIN, 0}};
      if (poll(p, 2, 20) <= 0) continue;
      for (int k = 0; k < 2 && gateway >= 0; ++k) {
        if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char tmp[8192];
        const ssize_t r = recv(p[k].fd, tmp, sizeof tmp, 0);
        if (r <= 0) {
          close(gateway);
          close(servidor);
          gateway = servidor = -1;
          acabou = true;
          break;
        }
        const std::string pedaco(tmp, static_cast<size_t>(r));
        {
          // Recorded before it is passed on, so the recorded time is never
          // later than the moment the other side can see the bytes.
          std::lock_guard<std::mutex> t(trava_);
          if (k == 0) {
            paraServidor_ += pedaco;
          } else {
            paraGateway_ += pedaco;
            marcas_.emplace_back(paraGateway_.size(), Relogio::now());
          }
        }
        const int destino = k == 0 ? servidor : gateway;
        for (size_t feito = 0; feito < pedaco.size();) {
          const ssize_t w = send(destino, pedaco.data() + feito, pedaco.size() - feito, MSG_NOSIGNAL);
          if (w <= 0) break;
          feito += static_cast<size_t>(w);
        }
      }
    }
    if (gateway >= 0) close(gateway);
    if (servidor >= 0) close(servidor);
  }

  int servidor_;
  int escuta_ = -1;
  int porta_ = 0;
  std::atomic<bool> parar_{false};
  mutable std::mutex trava_;
  std::string paraServidor_, paraGateway_;
  std::vector<std::pair<size_t, Relogio::time_point>> marcas_;
  std::thread fio_;
};

constexpr unsigned char IAC = 255, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, SE = 240;

const std::string kTipoTerminal = bytes({IAC, SB, 24, 0, 'T', 'E', 'R', 'M', IAC, SE});
const std::string kJanela = bytes({IAC, SB, 31, 0, 80, 0, 25, IAC, SE});

// The gateway takes ECHO, SUPPRESS-GO-AHEAD, STATUS, TIMING-MARK,
// TERMINAL-TYPE, NAWS, TERMINAL-SPEED, TOGGLE-FLOW-CONTROL, LINEMODE and
// ENVIRON, refuses every other option, sends its window size after any word
// about NAWS, and names its terminal when asked. This is what it owes the
// server for everything the server sent, in order.
std::string respostasDevidas(const std::string& doServidor) {
  auto aceita = [](unsigned char o) {
    for (int a : {1, 3, 5, 6, 24, 31, 32, 33, 34, 36})
      if (o == a) return true;
    return false;
  };
  std::string r;
  for (size_t i = 0; i + 1 < doServidor.size();) {
    if (static_cast<unsigned char>(doServidor[i]) != IAC) {
      ++i;
      continue;
    }
    const auto cmd = static_cast<unsigned char>(doServidor[i + 1]);
    if (cmd >= WILL && cmd <= DONT && i + 2 < doServidor.size()) {
      const auto o = static_cast<unsigned char>(doServidor[i + 2]);
      if (cmd == WILL) r += bytes({IAC, aceita(o) ? DO : DONT, o});
      if (cmd == DO) r += bytes({IAC, aceita(o) ? WILL : WONT, o});
      if (o == 31) r += kJanela;
      i += 3;
    } else if (cmd == SB) {
      const size_t fim = doServidor.find(bytes({IAC, SE}), i + 2);
      if (doServidor.compare(i + 2, 2, bytes({24, 1})) == 0) r += kTipoTerminal;
      i = fim == std::string::npos ? doServidor.size() : fim + 2;
    } else {
      i += 2;
    }
  }
  return r;
}

// Waits for `linha` and its CR LF as a whole line, and takes everything up to
// it; fails if it never came or came glued to other text.
::testing::AssertionResult chegaLinha(Conexao& c, const std::string& linha, Ms prazo = kPrazo) {
  const std::string alvo = linha + "\r\n";
  if (!c.leAte(alvo, prazo))
    return ::testing::AssertionFailure() << "no line [" << ::testing::PrintToString(linha) << "] in ["
                                         << ::testing::PrintToString(c.recebido()) << "]";
  const size_t i = c.recebido().find(alvo);
  const bool inteira = i == 0 || c.recebido()[i - 1] == '\n';
  const std::string antes = c.toma(alvo);
  if (!inteira)
    return ::testing::AssertionFailure() << "[" << ::testing::PrintToString(linha) << "] not a line of its own in ["
                                         << ::testing::PrintToString(antes) << "]";
  return ::testing::AssertionSuccess();
}

const std::string kBoasVindas = "Bem-vindo ao jogo de teste do Zandor";
const std::string kPrompt = "Nome e senha> ";

TEST(TinyMux, TwoUsersShareOneCharacterThroughTheGateway) {
  if (access((kBinariosMux + "/netmux").c_str(), X_OK) != 0) GTEST_SKIP() << "TinyMUX is not installed";
  // The connect screen ends in a prompt without a line end.
  JogoTinyMux jogo(kBoasVindas + "\r\n" + kPrompt);
  ASSERT_TRUE(jogo.vivo()) << jogo.log();
  Relay relay(jogo.porta());
  Gateway g;

  Conexao ana = g.usuarioTelnet("Ana");  // filters colour
  Conexao bia = g.usuarioTelnet("Bia");  // keeps colour
  ASSERT_TRUE(chegaLinha(ana, "//Bia chegou"));
  bia.envia("/c2\r\n");
  ASSERT_TRUE(chegaLinha(bia, "/c2 N\xE3o filtrando cores"));

  ana.envia("/mud 127.0.0.1 " + std::to_string(relay.porta()) + "\r\n");
  for (Conexao* c : {&ana, &bia}) {
    EXPECT_TRUE(chegaLinha(*c, "/Conectando em 127.0.0.1 " + std::to_string(relay.porta())));
    EXPECT_TRUE(chegaLinha(*c, "/Conectado"));
    EXPECT_TRUE(chegaLinha(*c, kBoasVindas));
  }

  // The prompt comes as a line of its own once the server has been quiet for
  // three ticks.
  EXPECT_TRUE(chegaLinha(ana, kPrompt));
  const auto recebido = Relogio::now();
  EXPECT_TRUE(chegaLinha(bia, kPrompt));
  const auto enviado = relay.quando(kPrompt);
  ASSERT_TRUE(enviado.has_value());
  const auto quieto = std::chrono::duration_cast<Ms>(recebido - *enviado);
  RecordProperty("prompt_after_ms", static_cast<int>(quieto.count()));
  EXPECT_GE(quieto, 350ms) << "prompt delivered before the silence";

  // By then the negotiation is over: every option the server offered has had
  // its answer, the terminal type was asked for and given, and the window
  // size was sent.
  const std::string oferta = relay.paraGateway().substr(0, relay.paraGateway().find(kBoasVindas));
  const std::string respostas = relay.paraServidor();
  RecordProperty("server_offer", hex(oferta));
  RecordProperty("gateway_answers", hex(respostas));
  EXPECT_NE(oferta.find(bytes({IAC, DO, 24})), std::string::npos) << hex(oferta);
  EXPECT_NE(oferta.find(bytes({IAC, DO, 31})), std::string::npos) << hex(oferta);
  EXPECT_NE(relay.paraGateway().find(bytes({IAC, SB, 24, 1, IAC, SE})), std::string::npos)
      << hex(relay.paraGateway());
  EXPECT_EQ(hex(respostas), hex(respostasDevidas(relay.paraGateway())));
  EXPECT_NE(respostas.find(bytes({IAC, WILL, 24})), std::string::npos);
  EXPECT_NE(respostas.find(bytes({IAC, WILL, 31}) + kJanela), std::string::npos);
  EXPECT_NE(respostas.find(kTipoTerminal), std::string::npos);

  // Logged in: the server's empty lines come as empty lines, and the prompt
  // was not sent a second time.
  ana.envia("connect wizard potrzebie\r\n");
  const std::string entrada = "\r\nMAIL: You have no mail.\r\n\r\nLimbo(#0R)\r\n";
  for (Conexao* c : {&ana, &bia}) {
    EXPECT_TRUE(c->leAte("Limbo(#0R)\r\n"));
    EXPECT_EQ(c->toma(), entrada);
  }

  // The server's own view of the terminal: the name the gateway gave and the
  // window size it reported.
  bia.envia("think [terminfo(me)]|[width(me)]|[height(me)]\r\n");
  EXPECT_TRUE(chegaLinha(ana, "TERM telnet|80|25"));
  EXPECT_TRUE(chegaLinha(bia, "TERM telnet|80|25"));

  // Colour: kept for Bia, gone for Ana.
  ana.envia("@set me=ansi\r\n");
  EXPECT_TRUE(chegaLinha(ana, "Set."));
  EXPECT_TRUE(chegaLinha(bia, "Set."));
  bia.envia("think [ansi(hr,Perigo)] [ansi(g,ok)]\r\n");
  EXPECT_TRUE(chegaLinha(bia, "\x1b[1m\x1b[31mPerigo\x1b[0m \x1b[32mok\x1b[0m"));
  EXPECT_TRUE(chegaLinha(ana, "Perigo ok"));

  // A second character, straight on the server, watches the room.
  ana.envia("@pcreate Vigia=segredo\r\n");
  EXPECT_TRUE(chegaLinha(ana, "New player 'Vigia' (#2) created with password 'segredo'"));
  EXPECT_TRUE(chegaLinha(bia, "New player 'Vigia' (#2) created with password 'segredo'"));
  Conexao vigia = Conexao::conecta(jogo.porta());
  ASSERT_TRUE(vigia.leAte(kPrompt));
  vigia.envia("connect Vigia segredo\r\n");
  ASSERT_TRUE(vigia.leAte("Limbo\r\n"));
  EXPECT_TRUE(chegaLinha(ana, "Vigia has connected."));
  EXPECT_TRUE(chegaLinha(bia, "Vigia has connected."));
  vigia.descarta();

  // One user speaks; both see it, and so does the room. Accents go through
  // as Latin-1 bytes both ways.
  bia.envia("say Ol\xE1 a todos\r\n");
  EXPECT_TRUE(chegaLinha(ana, "You say, \"Ol\xE1 a todos\""));
  EXPECT_TRUE(chegaLinha(bia, "You say, \"Ol\xE1 a todos\""));
  EXPECT_TRUE(chegaLinha(vigia, "Wizard says, \"Ol\xE1 a todos\""));

  // The room answers with a pose; both users see it.
  vigia.envia(":acena para Wizard.\r\n");
  EXPECT_TRUE(chegaLinha(ana, "Vigia acena para Wizard."));
  EXPECT_TRUE(chegaLinha(bia, "Vigia acena para Wizard."));

  // Long lines both ways: a description of 769 bytes is stored whole (as the
  // server counts it), and a line of 800 bytes comes back whole to both users.
  std::string descricao;
  while (descricao.size() < 769) descricao += "Uma sala longa, de pedra antiga. ";
  descricao.resize(769);
  ana.envia("@desc me=" + descricao + "\r\n");
  EXPECT_TRUE(chegaLinha(ana, "Set."));
  EXPECT_TRUE(chegaLinha(bia, "Set."));
  ana.envia("think strlen(get(me/desc))\r\n");
  EXPECT_TRUE(chegaLinha(ana, "769"));
  bia.envia("think [repeat(x,800)]\r\n");
  EXPECT_TRUE(chegaLinha(ana, std::string(800, 'x')));
  EXPECT_TRUE(chegaLinha(bia, std::string(800, 'x')));

  // Toward the server went the negotiation answers and the users' lines,
  // each once, with CR LF, and nothing else.
  EXPECT_EQ(relay.paraServidor(), respostas +
                                      "connect wizard potrzebie\r\n"
                                      "think [terminfo(me)]|[width(me)]|[height(me)]\r\n"
                                      "@set me=ansi\r\n"
                                      "think [ansi(hr,Perigo)] [ansi(g,ok)]\r\n"
                                      "@pcreate Vigia=segredo\r\n"
                                      "say Ol\xE1 a todos\r\n"
                                      "@desc me=" + descricao + "\r\n"
                                      "think strlen(get(me/desc))\r\n"
                                      "think [repeat(x,800)]\r\n");
}

// A web user alone plays through the gateway: the connect screen and its
// prompt as lines, the login, colours kept, a long line whole, and the
// server's end of the link, all as text messages in UTF-8.
TEST(TinyMux, AWebUserPlaysThroughTheGateway) {
  if (access((kBinariosMux + "/netmux").c_str(), X_OK) != 0) GTEST_SKIP() << "TinyMUX is not installed";
  JogoTinyMux jogo(kBoasVindas + "\r\n" + kPrompt);
  ASSERT_TRUE(jogo.vivo()) << jogo.log();
  Gateway g("%PORTA%\nweb = 127.0.0.1 %PORTAWEB%\n");
  Conexao lia = g.usuarioWeb("Lia");

  std::string texto;
  lia.envia(textoWeb("/mud 127.0.0.1 " + std::to_string(jogo.porta())));
  EXPECT_TRUE(leTextoWeb(lia, kPrompt + "\r\n", &texto)) << texto;
  EXPECT_EQ(texto, "/Conectando em 127.0.0.1 " + std::to_string(jogo.porta()) + "\r\n/Conectado\r\n" + kBoasVindas +
                       "\r\n" + kPrompt + "\r\n");
  texto.clear();
  lia.envia(textoWeb("connect wizard potrzebie"));
  EXPECT_TRUE(leTextoWeb(lia, "Limbo(#0R)\r\n", &texto)) << texto;
  texto.clear();
  lia.envia(textoWeb("@set me=ansi"));
  lia.envia(textoWeb("think [ansi(hr,Perigo)] [ansi(g,ok)]"));
  lia.envia(textoWeb("think [repeat(x,800)]"));
  const std::string esperado =
      "Set.\r\n\x1b[1m\x1b[31mPerigo\x1b[0m \x1b[32mok\x1b[0m\r\n" + std::string(800, 'x') + "\r\n";
  EXPECT_TRUE(leTextoWeb(lia, esperado, &texto));
  EXPECT_EQ(texto, esperado);
  texto.clear();
  lia.envia(textoWeb("QUIT"));
  EXPECT_TRUE(leTextoWeb(lia, "/Conex\xC3\xA3o com o MUD terminada\r\n", &texto)) << texto;
}

// TinyMUX behind socat, reached with "tls" and its certificate trusted: the
// session works as a plain link does, negotiation and long lines included,
// and what the users typed is stored on the server, as a second, direct
// connection sees.
TEST(TinyMux, ReachedOverTlsBehindSocat) {
  if (access((kBinariosMux + "/netmux").c_str(), X_OK) != 0) GTEST_SKIP() << "TinyMUX is not installed";
  if (!temPrograma("socat") || !temPrograma("openssl")) GTEST_SKIP() << "socat or openssl is not installed";
  JogoTinyMux jogo(kBoasVindas + "\r\n" + kPrompt);
  ASSERT_TRUE(jogo.vivo()) << jogo.log();
  Certificado cert("DNS:localhost,IP:127.0.0.1");
  ASSERT_TRUE(cert.pronto());
  Socat socat(cert, jogo.porta());
  std::unique_ptr<Gateway> g;
  {
    Confianca confianca(cert.certificado());
    g = std::make_unique<Gateway>();
  }
  Conexao ana = g->usuarioTelnet("Ana");

  ana.envia("/mud localhost " + std::to_string(socat.porta()) + " tls\r\n");
  EXPECT_TRUE(chegaLinha(ana, "/Conectando em localhost " + std::to_string(socat.porta())));
  EXPECT_TRUE(chegaLinha(ana, "/Conectado"));
  EXPECT_TRUE(chegaLinha(ana, kBoasVindas));
  EXPECT_TRUE(chegaLinha(ana, kPrompt));
  ana.envia("connect wizard potrzebie\r\n");
  EXPECT_TRUE(ana.leAte("Limbo(#0R)\r\n"));
  ana.descarta();

  // The server's view of the terminal: negotiated inside the session.
  ana.envia("think [terminfo(me)]|[width(me)]|[height(me)]\r\n");
  EXPECT_TRUE(chegaLinha(ana, "TERM telnet|80|25"));
  // Long lines both ways inside the session: a 769-byte description stored
  // whole, an 800-byte line and a 7,000-byte one read back whole.
  std::string descricao;
  while (descricao.size() < 769) descricao += "Uma sala guardada do outro lado do TLS. ";
  descricao.resize(769);
  descricao.back() = '.';  // the server trims a blank at the end
  ana.envia("@desc me=" + descricao + "\r\n");
  EXPECT_TRUE(chegaLinha(ana, "Set."));
  ana.envia("think strlen(get(me/desc))\r\n");
  EXPECT_TRUE(chegaLinha(ana, "769"));
  ana.envia("think [repeat(x,800)]\r\n");
  EXPECT_TRUE(chegaLinha(ana, std::string(800, 'x')));
  ana.envia("think [repeat(abcdefg,1000)]\r\n");
  EXPECT_TRUE(chegaLinha(ana, [] {
    std::string r;
    for (int i = 0; i < 1000; ++i) r += "abcdefg";
    return r;
  }()));

  Conexao direta = Conexao::conecta(jogo.porta());
  ASSERT_TRUE(direta.leAte(kPrompt));
  direta.envia("connect wizard potrzebie\r\n");
  ASSERT_TRUE(direta.leAte("Limbo(#0R)\r\n"));
  direta.envia("think get(me/desc)\r\n");
  EXPECT_TRUE(chegaLinha(direta, descricao, 5s));

  // What socat saw of the session: protocol and cipher.
  const std::string log = socat.log();
  const size_t i = log.find("SSL connection using");
  RecordProperty("tls_session", i == std::string::npos ? log : log.substr(i, log.find('\n', i) - i));

  ana.envia("/mud\r\n");
  EXPECT_TRUE(chegaLinha(ana, "/Desconectado do MUD"));
}

}  // namespace
