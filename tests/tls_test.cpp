// The connection object over a TLS session, in-process, against an OpenSSL
// server on the other end of a small socket pair: a writer that keeps
// meeting a full socket (the session holding half a record) loses and
// repeats no byte; a reader that takes less than the session holds comes
// back for the rest although no wait would announce it; close_notify on
// close, and none after a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "certificado.h"
#include "framework/comunica.h"
#include "framework/conjunto.h"
#include "framework/laco.h"
#include "framework/relogio.h"
#include "framework/tls.h"
#include "gateway/sinais.h"

namespace zandor {
namespace {

// A connection that keeps what it receives and whether it was closed.
class Receptor : public TComunica {
 public:
  void cEvento(const char* dados, int32_t n) override {
    if (dados != nullptr)
      recebido.append(dados, static_cast<size_t>(n));
    else if (n == 0)
      fechado = true;
  }
  std::string recebido;
  bool fechado = false;
};

// The gateway's end, a Receptor over a client session made by tlsConecta,
// and the server's end, blocking, over OpenSSL directly. The pair's buffers
// are small, so that a few kilobytes fill them.
class TransporteTls : public ::testing::Test {
 protected:
  // As start-up does: OpenSSL writes with write(2).
  static void SetUpTestSuite() {
    tlsPreparaProcesso();  // as start-up does
    ignoraSigpipe();
  }
  void SetUp() override {
    if (!cert_.pronto()) GTEST_SKIP() << "the openssl command is not installed";
    int par[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, par), 0);
    const int pequeno = 4096;
    for (int s : par) {
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, &pequeno, sizeof pequeno);
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, &pequeno, sizeof pequeno);
    }
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, vigia_), 0);
    cliente_ = par[0];
    servidor_ = par[1];
    // A server read that waits for bytes that never come fails the test.
    timeval limite{2, 0};
    setsockopt(servidor_, SOL_SOCKET, SO_RCVTIMEO, &limite, sizeof limite);
    ASSERT_EQ(fcntl(cliente_, F_SETFL, fcntl(cliente_, F_GETFL) | O_NONBLOCK), 0);

    contexto_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(contexto_, cert_.certificado().c_str());
    SSL_CTX_use_PrivateKey_file(contexto_, cert_.chave().c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_mode(contexto_, SSL_MODE_AUTO_RETRY);
    lado_ = SSL_new(contexto_);
    SSL_set_fd(lado_, servidor_);
    std::atomic<bool> aceito{false};
    std::thread aceita([&] { aceito = SSL_accept(lado_) == 1; });
    char razao[kTamanhoRazaoTls];
    TSessaoTls* sessao = tlsConecta(cliente_, "localhost", false, vigia_[0], relogioMonotonico() + 5000, razao);
    aceita.join();
    ASSERT_NE(sessao, nullptr) << razao;
    ASSERT_TRUE(aceito);
    r_ = new Receptor;
    r_->adota(cliente_, sessao);
  }

  void TearDown() override {
    delete r_;  // closes cliente_ and ends the session
    if (lado_ != nullptr) SSL_free(lado_);
    if (contexto_ != nullptr) SSL_CTX_free(contexto_);
    if (servidor_ >= 0) close(servidor_);
    for (int s : vigia_)
      if (s >= 0) close(s);
    ERR_clear_error();
  }

  // What the server reads, one record's worth at most.
  std::string leServidor() {
    char tmp[16384];
    const int n = SSL_read(lado_, tmp, sizeof tmp);
    return n > 0 ? std::string(tmp, static_cast<size_t>(n)) : std::string();
  }

  // The loop's receive step for the client, as a pass runs it after its
  // wait found the socket ready: false when the wait finds nothing.
  bool passo(int esperaMs) {
    TConjunto prontos;
    prontos.poe(cliente_);
    TConjunto nenhum;
    if (espera(&prontos, &nenhum, esperaMs) <= 0) return false;
    cRecebe(&prontos, kNiveis);
    return true;
  }

  Certificado cert_;
  SSL_CTX* contexto_ = nullptr;
  SSL* lado_ = nullptr;
  int cliente_ = -1, servidor_ = -1;
  int vigia_[2] = {-1, -1};
  Receptor* r_ = nullptr;
};

std::string linha(int i) {
  return "linha " + std::to_string(i) + " " + std::string(static_cast<size_t>(40 + i % 97), 'a' + i % 26) + "\r\n";
}

// The server reads nothing while the gateway writes: the socket fills, the
// session holds a record half sent, the ring fills behind it and refuses.
// Then the server reads, the loop's flushes resume, and every byte arrives
// once, in order.
TEST_F(TransporteTls, AWriteThatMeetsAFullSocketResumesWithoutLosingOrRepeatingAByte) {
  std::string aceito;
  int i = 0;
  // Fill: until the ring refuses, which it does only once the socket is full.
  for (; i < 5000 && r_->cEnvia(linha(i).data(), static_cast<int32_t>(linha(i).size())); ++i) aceito += linha(i);
  ASSERT_LT(i, 5000) << "the socket never filled";
  EXPECT_FALSE(r_->cVazio());
  EXPECT_FALSE(r_->cDescarrega());
  // Drain and refill in turns, many times over the held record.
  std::string lido;
  for (int volta = 0; volta < 200; ++volta) {
    const std::string parte = leServidor();
    if (parte.empty()) break;  // two seconds without a byte: lost ones
    lido += parte;
    r_->cDescarrega();
    for (int k = 0; k < 3; ++k, ++i) {
      if (!r_->cEnvia(linha(i).data(), static_cast<int32_t>(linha(i).size()))) break;
      aceito += linha(i);
    }
  }
  while (!r_->cDescarrega() || lido.size() < aceito.size()) {
    const std::string parte = leServidor();
    if (parte.empty()) break;
    lido += parte;
  }
  EXPECT_FALSE(r_->fechar);
  EXPECT_EQ(lido.size(), aceito.size());
  EXPECT_TRUE(lido == aceito) << "bytes lost, repeated or out of order";
}

// The server sends records larger than one read of the loop: what the
// session already took off the socket is read in the same pass, so no byte
// waits for a wait that would never come.
TEST_F(TransporteTls, WhatTheSessionHoldsIsReadWithoutAWaitToAnnounceIt) {
  std::string enviado;
  for (int i = 0; i < 8; ++i) enviado += std::string(6000, static_cast<char>('A' + i));
  std::thread escreve([&] {
    for (int i = 0; i < 8; ++i) SSL_write(lado_, enviado.data() + i * 6000, 6000);
  });
  while (r_->recebido.size() < enviado.size() && passo(2000)) {
  }
  escreve.join();
  EXPECT_EQ(r_->recebido.size(), enviado.size());
  EXPECT_TRUE(r_->recebido == enviado);
}

// Closing after a flush: the queued bytes, then close_notify.
TEST_F(TransporteTls, ClosingFlushesThenSendsCloseNotify) {
  ASSERT_TRUE(r_->cEnvia("tchau\r\n", -1));
  r_->cFecha(true);
  EXPECT_EQ(r_->tls, nullptr);
  EXPECT_EQ(leServidor(), "tchau\r\n");
  char tmp[16];
  const int n = SSL_read(lado_, tmp, sizeof tmp);
  EXPECT_EQ(SSL_get_error(lado_, n), SSL_ERROR_ZERO_RETURN);
}

// The server ends the session: the reader is told the link closed, and the
// close that follows answers without failing.
TEST_F(TransporteTls, ThePeersCloseNotifyClosesTheLink) {
  ASSERT_GE(SSL_shutdown(lado_), 0);
  ASSERT_TRUE(passo(2000));
  EXPECT_TRUE(r_->fechado);
  EXPECT_EQ(r_->tls, nullptr);
  EXPECT_EQ(r_->soqueteEntrada, -1);
}

// Garbage where records belong: a protocol failure closes the link. OpenSSL
// answers it with its one fatal alert; the close after it adds nothing (no
// close_notify into a session that failed).
TEST_F(TransporteTls, GarbageInsteadOfARecordClosesTheLink) {
  const char lixo[] = "isto nao e um registro TLS\r\n";
  ASSERT_EQ(send(servidor_, lixo, sizeof lixo - 1, 0), static_cast<ssize_t>(sizeof lixo - 1));
  ASSERT_TRUE(passo(2000));
  EXPECT_TRUE(r_->fechado);
  EXPECT_EQ(r_->tls, nullptr);
  EXPECT_EQ(r_->soqueteEntrada, -1);
  unsigned char tmp[256];
  const ssize_t n = recv(servidor_, tmp, sizeof tmp, MSG_DONTWAIT);
  ASSERT_GE(n, 5);
  const ssize_t registro = 5 + (tmp[3] << 8 | tmp[4]);
  EXPECT_EQ(n, registro) << "more than the one alert followed the failure";
}

}  // namespace
}  // namespace zandor
