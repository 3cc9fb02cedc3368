// Support for tests of MUD links over TLS: a throw-away certificate
// (certificado.h), the environment that makes a gateway trust it, and
// Debian's socat ending TLS in front of a plain loopback MUD. A test skips
// itself where openssl or socat is missing (temPrograma). Only the socat
// started here is ever signalled, by its id; it serves one connection and
// ends with it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "apoio.h"
#include "certificado.h"

namespace e2e {

// Whether `programa` is on the PATH.
inline bool temPrograma(const std::string& programa) {
  return std::system(("command -v " + programa + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string leTexto(const std::string& caminho) {
  std::ifstream f(caminho, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

using zandor::Certificado;

// SSL_CERT_FILE for the gateways started while it lives (they inherit the
// test's environment); SSL_CERT_DIR is cleared, so that only that file is
// trusted. Without a file, neither is set: OpenSSL's own defaults.
class Confianca {
 public:
  explicit Confianca(const std::string& arquivo) {
    guarda("SSL_CERT_FILE", arquivoAntes_);
    guarda("SSL_CERT_DIR", pastaAntes_);
    if (!arquivo.empty()) setenv("SSL_CERT_FILE", arquivo.c_str(), 1);
    unsetenv("SSL_CERT_DIR");
  }
  ~Confianca() {
    restaura("SSL_CERT_FILE", arquivoAntes_);
    restaura("SSL_CERT_DIR", pastaAntes_);
  }
  Confianca(const Confianca&) = delete;
  Confianca& operator=(const Confianca&) = delete;

 private:
  static void guarda(const char* nome, std::optional<std::string>& onde) {
    if (const char* v = std::getenv(nome)) onde = v;
    unsetenv(nome);
  }
  static void restaura(const char* nome, const std::optional<std::string>& valor) {
    if (valor)
      setenv(nome, valor->c_str(), 1);
    else
      unsetenv(nome);
  }
  std::optional<std::string> arquivoAntes_, pastaAntes_;
};

// socat ending TLS on a loopback port with `cert`, and passing the plain
// bytes to 127.0.0.1:portaMud. One connection; it asks for no client
// certificate.
class Socat {
 public:
  Socat(const Certificado& cert, int portaMud) {
    porta_ = portaLivre();
    log_ = cert.certificado() + "." + std::to_string(porta_) + ".log";
    const std::string escuta = "OPENSSL-LISTEN:" + std::to_string(porta_) + ",bind=127.0.0.1,reuseaddr,cert=" +
                               cert.certificado() + ",key=" + cert.chave() + ",verify=0";
    const std::string destino = "TCP:127.0.0.1:" + std::to_string(portaMud);
    pid_ = fork();
    if (pid_ == 0) {
      const int f = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(f, 2);
      execlp("socat", "socat", "-d", "-d", escuta.c_str(), destino.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it says it listens: a probe would use up its one connection.
    const auto fim = std::chrono::steady_clock::now() + escala(kPrazo);
    while (std::chrono::steady_clock::now() < fim && leTexto(log_).find("listening on") == std::string::npos)
      std::this_thread::sleep_for(5ms);
  }
  ~Socat() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    unlink(log_.c_str());
  }
  Socat(const Socat&) = delete;
  Socat& operator=(const Socat&) = delete;

  int porta() const { return porta_; }
  std::string log() const { return leTexto(log_); }

 private:
  pid_t pid_ = -1;
  int porta_ = 0;
  std::string log_;
};

}  // namespace e2e
