#include "apoio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace e2e {

namespace {

using Relogio = std::chrono::steady_clock;

int msRestantes(Relogio::time_point fim) {
  const auto resto = std::chrono::duration_cast<Ms>(fim - Relogio::now()).count();
  return resto > 0 ? static_cast<int>(resto) : 0;
}

}  // namespace

std::string binario() { return ZANDOR_BINARIO; }

sockaddr_in enderecoLocal(const char* ip, int porta) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(porta));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

double fator() {
  static const double f = [] {
    const char* texto = std::getenv("ZANDOR_E2E_FATOR");
    const double v = texto != nullptr ? std::strtod(texto, nullptr) : 1.0;
    return v > 1.0 ? v : 1.0;
  }();
  return f;
}

Ms escala(Ms prazo) {
  if (fator() == 1.0) return prazo;
  return Ms(static_cast<Ms::rep>(static_cast<double>(prazo.count()) * fator()));
}

const std::vector<std::string>& envoltorio() {
  static const std::vector<std::string> palavras = [] {
    std::vector<std::string> v;
    if (const char* texto = std::getenv("ZANDOR_E2E_ENVOLTORIO")) {
      std::istringstream s(texto);
      for (std::string p; s >> p;) v.push_back(p);
    }
    return v;
  }();
  return palavras;
}

int escutaLocal(int fila, int* porta) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = enderecoLocal("127.0.0.1", 0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(s, fila);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  *porta = ntohs(a.sin_port);
  return s;
}

int portaLivre() {
  int porta = 0;
  close(escutaLocal(1, &porta));
  return porta;
}

// ---- Conexao ---------------------------------------------------------------

Conexao::~Conexao() { fecha(); }

Conexao::Conexao(Conexao&& o) noexcept : fd_(o.fd_), eof_(o.eof_), buffer_(std::move(o.buffer_)) { o.fd_ = -1; }

Conexao& Conexao::operator=(Conexao&& o) noexcept {
  if (this != &o) {
    fecha();
    fd_ = o.fd_;
    eof_ = o.eof_;
    buffer_ = std::move(o.buffer_);
    o.fd_ = -1;
  }
  return *this;
}

Conexao Conexao::conecta(int porta, const char* origem) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in de = enderecoLocal(origem, 0);
  if (bind(s, reinterpret_cast<sockaddr*>(&de), sizeof de) != 0) {
    close(s);
    return Conexao();
  }
  sockaddr_in para = enderecoLocal("127.0.0.1", porta);
  if (connect(s, reinterpret_cast<sockaddr*>(&para), sizeof para) != 0) {
    close(s);
    return Conexao();
  }
  return Conexao(s);
}

void Conexao::fecha() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Conexao::envia(const std::string& bytes) {
  size_t feito = 0;
  while (fd_ >= 0 && feito < bytes.size()) {
    const ssize_t r = send(fd_, bytes.data() + feito, bytes.size() - feito, MSG_NOSIGNAL);
    if (r <= 0) return;
    feito += static_cast<size_t>(r);
  }
}

int Conexao::leUmaVez(int esperaMs) {
  if (fd_ < 0 || eof_) return -1;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, esperaMs) <= 0) return 0;
  char tmp[65536];
  const ssize_t r = recv(fd_, tmp, sizeof tmp, 0);
  if (r <= 0) {
    eof_ = true;
    return -1;
  }
  buffer_.append(tmp, static_cast<size_t>(r));
  return static_cast<int>(r);
}

bool Conexao::leAte(const std::string& esperado, Ms prazo) {
  const auto fim = Relogio::now() + escala(prazo);
  for (;;) {
    if (buffer_.find(esperado) != std::string::npos) return true;
    const int resto = msRestantes(fim);
    if (resto == 0 || leUmaVez(resto) < 0) return buffer_.find(esperado) != std::string::npos;
  }
}

void Conexao::lePor(Ms duracao) {
  const auto fim = Relogio::now() + duracao;
  for (int resto; (resto = msRestantes(fim)) > 0;)
    if (leUmaVez(resto) < 0) return;
}

bool Conexao::esperaFechar(Ms prazo) {
  const auto fim = Relogio::now() + escala(prazo);
  while (!eof_) {
    const int resto = msRestantes(fim);
    if (resto == 0) return false;
    leUmaVez(resto);
  }
  return true;
}

std::string Conexao::tomaBytes(size_t n) {
  std::string parte = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return parte;
}

std::string Conexao::toma(const std::string& ate) {
  size_t n = buffer_.size();
  if (!ate.empty()) {
    const size_t i = buffer_.find(ate);
    if (i != std::string::npos) n = i + ate.size();
  }
  std::string parte = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return parte;
}

// ---- WebSocket ---------------------------------------------------------------

std::string pedidoWeb(const std::string& caminho, const std::string& extras) {
  return "GET " + caminho +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         extras + "\r\n";
}

bool leQuadroWeb(Conexao& c, QuadroWeb* q, Ms prazo) {
  const auto fim = Relogio::now() + escala(prazo);
  size_t n;
  while ((n = tamanhoQuadroWeb(c.recebido())) == 0) {
    const int resto = msRestantes(fim);
    if (resto == 0 || c.fechada()) return false;
    c.lePor(Ms(resto < 20 ? resto : 20));
  }
  const std::string bruto = c.tomaBytes(n);
  const unsigned char* u = reinterpret_cast<const unsigned char*>(bruto.data());
  q->fim = (u[0] & 0x80) != 0;
  q->opcode = u[0] & 0x0F;
  const unsigned curto = u[1] & 0x7F;
  const size_t inicio = curto == 127 ? 10 : curto == 126 ? 4 : 2;
  q->dados = bruto.substr(inicio);
  return true;
}

bool leTextoWeb(Conexao& c, const std::string& esperado, std::string* texto, std::vector<QuadroWeb>* controles,
                Ms prazo) {
  const auto fim = Relogio::now() + escala(prazo);
  for (;;) {
    if (texto->find(esperado) != std::string::npos) return true;
    QuadroWeb q;
    const int resto = msRestantes(fim);
    if (resto == 0 || !leQuadroWeb(c, &q, Ms(resto))) return texto->find(esperado) != std::string::npos;
    if (q.opcode == 1 || q.opcode == 0)
      *texto += q.dados;
    else if (controles != nullptr)
      controles->push_back(q);
  }
}

std::string tokenConvite(const std::string& linha, const std::string& inicio) {
  const std::string prefixo = inicio + "#";
  if (linha.size() != prefixo.size() + 22 + 2 || linha.rfind(prefixo, 0) != 0) return "";
  if (linha.compare(linha.size() - 2, 2, "\r\n") != 0) return "";
  const std::string t = linha.substr(prefixo.size(), 22);
  if (t.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") != std::string::npos)
    return "";
  return t;
}

std::string pedeConvite(Conexao& u, const std::string& inicio, const std::string& comando) {
  u.envia(comando + "\r\n");
  if (!u.leAte("\r\n")) return "";
  return tokenConvite(u.toma("\r\n"), inicio);
}

Conexao sobeWeb(int porta, const std::string& caminho, const std::string& extras, const char* origem,
                std::string* status) {
  Conexao c = Conexao::conecta(porta, origem);
  c.envia(pedidoWeb(caminho, extras));
  c.leAte("\r\n\r\n");
  *status = primeiraLinha(c.toma("\r\n\r\n"));
  return c;
}

int codigoFecho(Conexao& c) {
  QuadroWeb q;
  while (leQuadroWeb(c, &q) && q.opcode == 1) {
  }
  if (q.opcode != 8 || q.dados.size() < 2 || !c.esperaFechar()) return -1;
  return static_cast<unsigned char>(q.dados[0]) << 8 | static_cast<unsigned char>(q.dados[1]);
}

std::string trocaHttp(int porta, const std::string& pedido, const char* origem, Ms prazo) {
  Conexao c = Conexao::conecta(porta, origem);
  c.envia(pedido);
  c.esperaFechar(prazo);
  return c.toma();
}

std::string primeiraLinha(const std::string& resposta) { return resposta.substr(0, resposta.find("\r\n")); }

// ---- MudFalso --------------------------------------------------------------

MudFalso::MudFalso() { fd_ = escutaLocal(8, &porta_); }

MudFalso::~MudFalso() {
  if (fd_ >= 0) close(fd_);
}

Conexao MudFalso::aceita(Ms prazo) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(escala(prazo).count())) <= 0) return Conexao();
  return Conexao(accept(fd_, nullptr, nullptr));
}

// ---- Gateway ---------------------------------------------------------------

Gateway::Gateway(std::string config, bool esperaPorta, std::string nomePrograma, std::string programa,
                 const std::vector<std::pair<std::string, std::string>>& arquivos) {
  const char* temporaria = std::getenv("TMPDIR");
  std::string modelo = std::string(temporaria != nullptr && *temporaria != '\0' ? temporaria : "/tmp") + "/zandor-e2e-XXXXXX";
  if (mkdtemp(modelo.data()) == nullptr) {
    std::perror(modelo.c_str());
    std::abort();
  }
  pasta_ = modelo;
  // Ports are found free and let go before the gateway binds them, and in
  // between any socket, of this process or another, may draw the same
  // number. The gateway then stops with "Address already in use": with
  // ports chosen here that is no failure of the test's, and it starts again
  // on new ones.
  const bool portasNossas = config.find("%PORTA") != std::string::npos;
  for (int tentativa = 1;; ++tentativa) {
    porta_ = portaLivre();
    do portaWeb_ = portaLivre();
    while (portaWeb_ == porta_);
    std::string texto = config;
    for (size_t i; (i = texto.find("%PORTAWEB%")) != std::string::npos;) texto.replace(i, 10, std::to_string(portaWeb_));
    for (size_t i; (i = texto.find("%PORTA%")) != std::string::npos;) texto.replace(i, 7, std::to_string(porta_));
    std::ofstream(pasta_ + "/" + nomePrograma + ".cfg", std::ios::binary) << texto;
    for (const auto& [nome, conteudo] : arquivos) std::ofstream(pasta_ + "/" + nome, std::ios::binary) << conteudo;
    executa(nomePrograma, programa);
    if (!esperaPorta) return;
    // The log says "Feito..." only after the port listens; waiting for it
    // leaves no probe connection behind in the gateway's user list.
    const auto fim = Relogio::now() + escala(kPrazo);
    bool saiu = false;
    while (Relogio::now() < fim && leArquivo(nomePrograma + ".log") != "Feito...\n" && !saiu) {
      std::this_thread::sleep_for(5ms);
      saiu = esperaSair(0ms) >= 0;
    }
    if (!saiu || !portasNossas || tentativa == 5 || saida().find("Address already in use") == std::string::npos) return;
    terminou_ = false;
  }
}

void Gateway::executa(const std::string& nomePrograma, const std::string& programa) {
  // Under a wrapper the program is started by path, and the wrapper passes
  // that path on as the program's start path: a link named after it keeps
  // the base name the test asked for.
  std::vector<std::string> argumentos = envoltorio();
  if (!argumentos.empty()) {
    std::string nome = nomePrograma.empty() ? ".zandor" : nomePrograma;
    for (size_t i = 0; (i = nome.find('/', i)) != std::string::npos; ++i)
      mkdir((pasta_ + "/" + nome.substr(0, i)).c_str(), 0755);
    // Should the link fail, the gateway never starts and the test says so.
    unlink((pasta_ + "/" + nome).c_str());
    if (symlink(programa.c_str(), (pasta_ + "/" + nome).c_str()) != 0) std::perror("symlink");
    argumentos.push_back("./" + nome);
  }
  std::vector<char*> argv;
  for (std::string& a : argumentos) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(pasta_.c_str()) != 0) _exit(127);
    const int saida = open("saida.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int erros = open("erros.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(saida, 1);
    dup2(erros, 2);
    if (argv.size() > 1) {
      execvp(argv[0], argv.data());
      _exit(127);
    }
    const std::string arg0 = "./" + nomePrograma;
    execl(programa.c_str(), arg0.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

Gateway::~Gateway() {
  if (pid_ > 0 && !terminou_ && !envoltorio().empty()) {
    // A wrapper gets the chance to finish its report.
    kill(pid_, SIGTERM);
    esperaSair();
  }
  if (pid_ > 0 && !terminou_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code erro;
  if (std::filesystem::remove_all(pasta_, erro) == static_cast<std::uintmax_t>(-1))
    std::fprintf(stderr, "cannot remove %s: %s\n", pasta_.c_str(), erro.message().c_str());
}

int Gateway::esperaSair(Ms prazo) {
  const auto fim = Relogio::now() + escala(prazo);
  for (;;) {
    if (terminou_) return estado_;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      terminou_ = true;
      estado_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return estado_;
    }
    if (Relogio::now() >= fim) return -1;
    std::this_thread::sleep_for(5ms);
  }
}

std::string Gateway::leArquivo(const std::string& nome) const {
  std::ifstream f(pasta_ + "/" + nome, std::ios::binary);
  if (!f) return "<absent>";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string Gateway::saida() const { return leArquivo("saida.txt"); }
std::string Gateway::erros() const { return leArquivo("erros.txt"); }

Conexao Gateway::usuarioTelnet(const std::string& apelido, const std::string& comando, const std::string& resposta) {
  Conexao c = Conexao::conecta(porta_);
  c.leAte("ENTER\r\n");
  c.envia("\r\n");
  c.leAte("/quit\r\n");
  if (!comando.empty()) {
    c.envia(comando + "\r\n");
    c.leAte(resposta + "\r\n");
  }
  // The prompt would come by itself after two seconds; a line brings it now.
  c.envia(apelido + "\r\n");
  c.leAte("Tecle /ajuda para saber os comandos\r\n");
  c.descarta();
  return c;
}

Conexao Gateway::usuarioWeb(const std::string& apelido, const std::string& caminho, const std::string& extras,
                            const char* origem) {
  std::string status, texto;
  Conexao c = sobeWeb(portaWeb_, caminho, extras, origem, &status);
  leTextoWeb(c, "Digite seu apelido\r\n", &texto);
  c.envia(textoWeb(apelido));
  texto.clear();
  leTextoWeb(c, "Tecle /ajuda para saber os comandos\r\n", &texto);
  c.descarta();
  return c;
}

Conexao Gateway::usuarioQuadros(const std::string& apelido) {
  Conexao c = Conexao::conecta(porta_);
  c.leAte("ENTER\r\n");
  c.envia("orvalho\r\n");
  c.leAte("+OK Entrando via Orvalho\r\n");
  // The byte after the detection line's CR was the LF: dropped by design.
  c.envia(quadro(apelido));
  c.leAte("Tecle /ajuda para saber os comandos");
  c.descarta();
  return c;
}

}  // namespace e2e
