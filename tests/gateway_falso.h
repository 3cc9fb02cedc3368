// The one in-process gateway of the unit tests: users and a MUD link on
// non-blocking AF_UNIX pairs (the gateway's end goes to the object under
// test, the test reads and writes the far end with soquetes.h's reader), the
// listeners' entry points called directly, and time on the one fake clock
// (relogio_falso.h) and the wheel. Bytes come in through cEvento, as the
// loop would hand them over.
//
// A case starts with no user, no MUD link and no HTTP connection, and
// whatever it leaves of them is destroyed after it, far ends closed and the
// history emptied. A fixture that needs more (admission's globals, the
// clock) adds it in its own SetUp and TearDown around these.
//
// The allocation test and the fuzz targets keep their own small harnesses
// on the same pairs (soquetes.h's parDeSoquetes): one must read without
// allocating, the others run without GoogleTest thousands of times a second.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "framework/comunica.h"
#include "gateway/cliente.h"
#include "gateway/historico.h"
#include "gateway/mud.h"
#include "gateway/web.h"
#include "soquetes.h"
#include "text/dobra.h"

namespace zandor {

class GatewayFalso : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { montaTabelas(); }
  void SetUp() override {
    ASSERT_EQ(clientes, nullptr);
    ASSERT_EQ(mud, nullptr);
    ASSERT_EQ(TConexaoHttp::quantos, 0);
    historico.limpa();
  }
  void TearDown() override {
    while (clientes != nullptr) delete clientes;
    // HTTP connections a case left alive sit on the normal level.
    for (TComunica* p = niveis[kNivelNormal].cabeca; p != nullptr;) {
      TComunica* seguinte = p->cProximo();
      if (dynamic_cast<TConexaoHttp*>(p) != nullptr) delete p;
      p = seguinte;
    }
    delete mud;
    mud = nullptr;
    for (int fd : pontas_) close(fd);
    pontas_.clear();
    historico.limpa();
  }

  // A pair: the gateway's end is returned, the far end kept in `ponta` and
  // closed after the case.
  int par(int& ponta, int buffer = 0) {
    int fds[2];
    if (!parDeSoquetes(fds, buffer)) std::abort();
    pontas_.push_back(fds[1]);
    ponta = fds[1];
    return fds[0];
  }

  // A session made directly on a pair, with a protocol and no stage yet.
  TCliente* sessao(int8_t protocolo, int& ponta, int buffer = 0) {
    TCliente* c = new TCliente;
    c->adota(par(ponta, buffer));
    c->protocolo = protocolo;
    return c;
  }

  // A named user reading in `protocolo` with `opcoes`.
  TCliente* usuario(int8_t protocolo, uint8_t opcoes, int& ponta, int buffer = 0) {
    TCliente* c = sessao(protocolo, ponta, buffer);
    c->opcoes = opcoes;
    c->etapa = kEtapaNomeado;
    return c;
  }

  // The MUD link, on a pair whose far end is `mudPonta_`.
  void ligaMud() {
    mud = new TMud;
    mud->adota(par(mudPonta_));
  }
  static void doMud(const std::string& bytes) { mud->cEvento(bytes.data(), static_cast<int32_t>(bytes.size())); }

  // What the loop does for a user between passes: flush unless held, and
  // report a drained ring; then the far end reads.
  static std::string passo(TCliente* c, int ponta) {
    if (c->cModo() <= kModoNormal && !c->cVazio() && c->cDescarrega()) c->cEvento(nullptr, 1);
    return le(ponta);
  }

  int mudPonta_ = -1;

 private:
  std::vector<int> pontas_;
};

}  // namespace zandor
