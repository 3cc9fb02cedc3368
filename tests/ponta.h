// The far ends that the framework's in-process tests play. A Ponta is a
// connection object on one end of a non-blocking socket pair whose other end
// the test holds; the Pontas fixture makes them and clears up after them.
//
// Every event a Ponta gets is appended to `registro`: "A:<data>" for bytes,
// "A:fechou" when closed, "A:drenou" when its output drained. `gancho` then
// runs inside the callback, where it may send, change level or destroy any
// object, the Ponta itself included.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "framework/comunica.h"

namespace zandor {

class Ponta;

inline std::vector<std::string> registro;
inline std::function<void(Ponta*, const char*, int32_t)> gancho;
inline std::set<Ponta*> vivas;  // every Ponta not yet destroyed

class Ponta : public TComunica {
 public:
  // What stands for received bytes in `registro`: the bytes, or their count.
  enum class Dados { bytes, contagem };

  explicit Ponta(std::string n, Dados d = Dados::bytes) : nome(std::move(n)), dados_(d) { vivas.insert(this); }
  ~Ponta() override { vivas.erase(this); }

  void cEvento(const char* dados, int32_t n) override {
    std::string r = nome + ":";
    if (dados == nullptr)
      r += n == 0 ? "fechou" : "drenou";
    else if (dados_ == Dados::contagem)
      r += std::to_string(n);
    else
      r.append(dados, static_cast<size_t>(n));
    registro.push_back(r);
    if (gancho) gancho(this, dados, n);  // may destroy *this: nothing after it
  }

  std::string nome;

 private:
  Dados dados_;
};

// Every level is empty before and after each test; whatever a test leaves
// behind (Pontas, far ends, the log, the hook) is cleared.
class Pontas : public ::testing::Test {
 protected:
  explicit Pontas(Ponta::Dados dados = Ponta::Dados::bytes) : dados_(dados) {}

  void SetUp() override {
    for (int i = 0; i < kNiveis; ++i) ASSERT_EQ(niveis[i].cabeca, nullptr) << "level " << i << " left populated";
  }
  void TearDown() override {
    gancho = nullptr;
    while (!vivas.empty()) delete *vivas.begin();
    for (int fd : pares_)
      if (fd >= 0) close(fd);
    pares_.clear();
    registro.clear();
    for (int i = 0; i < kNiveis; ++i) EXPECT_EQ(niveis[i].cabeca, nullptr);
  }

  // A new Ponta whose socket is one end of a fresh pair; returns our end.
  int liga(Ponta*& p, const std::string& nome, int tipo = SOCK_STREAM) {
    int par[2];
    EXPECT_EQ(socketpair(AF_UNIX, tipo | SOCK_NONBLOCK, 0, par), 0);
    p = new Ponta(nome, dados_);
    p->adota(par[0]);
    pares_.push_back(par[1]);
    return par[1];
  }
  // Closes our end of a pair early, as a vanished peer.
  void larga(int fd) {
    for (int& f : pares_)
      if (f == fd) f = -1;
    close(fd);
  }

  std::vector<int> pares_;  // our ends, closed after the test

 private:
  Ponta::Dados dados_;
};

}  // namespace zandor
