// A throw-away self-signed certificate and its key, made by Debian's
// openssl command in a folder of its own under /tmp and removed at the end,
// for the tests that play a TLS server. pronto() is false where the command
// is missing: such a test skips itself.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

namespace zandor {

class Certificado {
 public:
  // `nomes`: a subjectAltName list such as "DNS:localhost,IP:127.0.0.1".
  explicit Certificado(const std::string& nomes = "DNS:localhost,IP:127.0.0.1") {
    char modelo[] = "/tmp/zandor-tls-XXXXXX";
    if (mkdtemp(modelo) == nullptr) return;
    pasta_ = modelo;
    const std::string comando = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                "-subj /CN=zandor-teste -addext 'subjectAltName=" + nomes + "' -keyout '" +
                                chave() + "' -out '" + certificado() + "' >/dev/null 2>&1";
    pronto_ = std::system(comando.c_str()) == 0;
  }
  ~Certificado() {
    if (!pasta_.empty()) std::system(("rm -rf '" + pasta_ + "'").c_str());
  }
  Certificado(const Certificado&) = delete;
  Certificado& operator=(const Certificado&) = delete;

  bool pronto() const { return pronto_; }
  std::string certificado() const { return pasta_ + "/cert.pem"; }
  std::string chave() const { return pasta_ + "/key.pem"; }

 private:
  std::string pasta_;
  bool pronto_ = false;
};

}  // namespace zandor
