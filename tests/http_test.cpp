// The request head parser: real browser requests, the head arriving a byte
// at a time, the size limit at its edges, hostile heads, and the readers of
// list values and query strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "casos.h"
#include "text/http.h"

namespace zandor {
namespace {

// Parses a copy of exactly `s.size()` bytes on the heap, so that a read past
// the end is a sanitizer's report. The views point into that copy, which
// lives until the next call.
int analisa(const std::string& s, TPedidoHttp* pedido = nullptr) {
  static std::unique_ptr<char[]> copia;
  copia = std::make_unique<char[]>(s.size() + (s.empty() ? 1 : 0));
  std::copy(s.begin(), s.end(), copia.get());
  TPedidoHttp descarte;
  return analisaPedidoHttp(copia.get(), static_cast<int>(s.size()), pedido ? pedido : &descarte);
}

std::string texto(TTrecho t) { return t.existe() ? std::string(t.p, static_cast<size_t>(t.n)) : "<ausente>"; }

TTrecho trecho(const std::string& s) { return {s.data(), static_cast<int>(s.size())}; }

const std::string kChromium =
    "GET /ws?convite=q4T_x-9ZzAbCdEfGhIjKlm HTTP/1.1\r\n"
    "Host: 127.0.0.1:4080\r\n"
    "Connection: Upgrade\r\n"
    "Pragma: no-cache\r\n"
    "Cache-Control: no-cache\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
    "Safari/537.36\r\n"
    "Upgrade: websocket\r\n"
    "Origin: http://127.0.0.1:4080\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: pt-BR,pt;q=0.9,en;q=0.8\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"
    "\r\n";

const std::string kFirefox =
    "GET /ws HTTP/1.1\r\n"
    "Host: jogo.example.org\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
    "Accept: */*\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "Origin: https://jogo.example.org\r\n"
    "Sec-WebSocket-Extensions: permessage-deflate\r\n"
    "Sec-WebSocket-Key: x3JJHMbDL1EzLkh9GBhXDw==\r\n"
    "Connection: keep-alive, Upgrade\r\n"
    "Sec-Fetch-Mode: websocket\r\n"
    "X-Forwarded-For: 192.0.2.7\r\n"
    "Upgrade: websocket\r\n"
    "\r\n";

TEST(Http, ReadsARealUpgradeRequest) {
  TPedidoHttp p;
  ASSERT_EQ(analisa(kChromium, &p), kHttpCompleto);
  EXPECT_EQ(p.tamanho, static_cast<int>(kChromium.size()));
  EXPECT_EQ(p.metodo, kMetodoGet);
  EXPECT_EQ(p.versao, 11);
  EXPECT_EQ(texto(p.caminho), "/ws");
  EXPECT_EQ(texto(p.consulta), "convite=q4T_x-9ZzAbCdEfGhIjKlm");
  EXPECT_EQ(texto(p.host), "127.0.0.1:4080");
  EXPECT_EQ(texto(p.upgrade), "websocket");
  EXPECT_EQ(texto(p.connection), "Upgrade");
  EXPECT_EQ(texto(p.chaveWs), "dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(texto(p.versaoWs), "13");
  EXPECT_EQ(texto(p.origem), "http://127.0.0.1:4080");
  EXPECT_FALSE(p.encaminhado);
  EXPECT_EQ(texto(parametroConsulta(p.consulta, "convite")), "q4T_x-9ZzAbCdEfGhIjKlm");

  ASSERT_EQ(analisa(kFirefox, &p), kHttpCompleto);
  EXPECT_EQ(texto(p.caminho), "/ws");
  EXPECT_FALSE(p.consulta.existe());
  EXPECT_EQ(texto(p.connection), "keep-alive, Upgrade");
  EXPECT_TRUE(temToken(p.connection, "upgrade"));
  EXPECT_TRUE(p.encaminhado);
}

// A head may arrive in pieces of any size: until its blank line is whole it
// is incomplete, never malformed; bytes after it (a first WebSocket frame)
// are not the head's.
TEST(Http, SplitAtEveryByteIsIncompleteUntilTheBlankLine) {
  std::string soLf = kFirefox;
  for (size_t i; (i = soLf.find("\r\n")) != std::string::npos;) soLf.erase(i, 1);
  const std::string frame("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11);
  for (const std::string& pedido : {kChromium, kFirefox, soLf, std::string("GET / HTTP/1.0\n\n")}) {
    for (size_t k = 0; k < pedido.size(); ++k)
      ASSERT_EQ(analisa(pedido.substr(0, k)), kHttpIncompleto) << k << " bytes of\n" << pedido;
    TPedidoHttp p;
    ASSERT_EQ(analisa(pedido + frame, &p), kHttpCompleto) << pedido;
    EXPECT_EQ(p.tamanho, static_cast<int>(pedido.size()));
  }
}

TEST(Http, AcceptsBareLfAndMixedLineEnds) {
  TPedidoHttp p;
  ASSERT_EQ(analisa("GET /ws HTTP/1.1\nHost: a\r\nUpgrade: websocket\n\r\n", &p), kHttpCompleto);
  EXPECT_EQ(texto(p.host), "a");
  EXPECT_EQ(texto(p.upgrade), "websocket");
  EXPECT_EQ(p.tamanho, 47);
  ASSERT_EQ(analisa("GET / HTTP/1.1\r\nHost: a\n\n", &p), kHttpCompleto);
  EXPECT_EQ(p.tamanho, 25);
}

// Builds a head of exactly `tamanho` bytes (blank line included) by padding
// one field.
std::string cabecalhoDe(size_t tamanho) {
  const std::string inicio = "GET / HTTP/1.1\r\nHost: a\r\nX-Enchimento: ";
  const std::string fim = "\r\n\r\n";
  return inicio + std::string(tamanho - inicio.size() - fim.size(), 'x') + fim;
}

TEST(Http, HeadOfEightKibibytesIsTheLimit) {
  TPedidoHttp p;
  const std::string justo = cabecalhoDe(kMaxCabecalhoHttp);
  ASSERT_EQ(analisa(justo, &p), kHttpCompleto);
  EXPECT_EQ(p.tamanho, kMaxCabecalhoHttp);
  EXPECT_EQ(analisa(justo + std::string(60000, 'z'), &p), kHttpCompleto);  // what follows never counts
  EXPECT_EQ(p.tamanho, kMaxCabecalhoHttp);

  const std::string grande = cabecalhoDe(kMaxCabecalhoHttp + 1);  // its last LF is byte 8193
  EXPECT_EQ(analisa(grande.substr(0, kMaxCabecalhoHttp - 1)), kHttpIncompleto);
  EXPECT_EQ(analisa(grande.substr(0, kMaxCabecalhoHttp)), kHttpGrande);
  EXPECT_EQ(analisa(grande), kHttpGrande);
  EXPECT_EQ(analisa(cabecalhoDe(100000)), kHttpGrande);

  // A request line that never ends, and one endless field.
  EXPECT_EQ(analisa("GET /" + std::string(kMaxCabecalhoHttp, 'a')), kHttpGrande);
  EXPECT_EQ(analisa("GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(kMaxCabecalhoHttp, 'b')), kHttpGrande);
  // Thousands of tiny fields fit as long as the whole head does.
  std::string muitos = "GET / HTTP/1.1\r\nHost: a\r\n";
  while (muitos.size() < kMaxCabecalhoHttp - 10) muitos += "a:\n";
  EXPECT_EQ(analisa(muitos + "\n"), kHttpCompleto);
}

struct CasoMalformado {
  const char* nome;
  std::string pedido;
};
void PrintTo(const CasoMalformado& c, std::ostream* os) { *os << c.nome; }

class HttpMalformado : public testing::TestWithParam<CasoMalformado> {};

TEST_P(HttpMalformado, IsRefused) {
  const std::string& pedido = GetParam().pedido;
  EXPECT_EQ(analisa(pedido), kHttpMalformado);
  EXPECT_EQ(analisa(pedido + "GET / HTTP/1.1\r\nHost: a\r\n\r\n"), kHttpMalformado) << "a second request after it";
  // Every prefix is incomplete or already refused, never accepted.
  for (size_t k = 0; k < pedido.size(); ++k) EXPECT_NE(analisa(pedido.substr(0, k)), kHttpCompleto) << k;
}

const std::string kCampos = "Host: a\r\n";

INSTANTIATE_TEST_SUITE_P(
    Http, HttpMalformado,
    testing::Values(
        CasoMalformado{"LinhaVazia", "\r\n"},
        CasoMalformado{"LinhaVaziaAntes", "\r\nGET / HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"SemVersao", "GET /\r\n\r\n"},
        CasoMalformado{"SemAlvo", "GET HTTP/1.1\r\n\r\n"},
        CasoMalformado{"DoisEspacos", "GET  / HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"EspacoNoFim", "GET / HTTP/1.1 \r\n" + kCampos + "\r\n"},
        CasoMalformado{"Tabulacao", "GET\t/ HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"MetodoVazio", " / HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"MetodoComBarra", "G/T / HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"AlvoAbsoluto", "GET http://a/ HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"AlvoAsterisco", "OPTIONS * HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"AlvoComFragmento", "GET /#x HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"AlvoComNul", std::string("GET /\0x HTTP/1.1\r\n", 18) + kCampos + "\r\n"},
        CasoMalformado{"AlvoComOitoBits", "GET /p\xE3o HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"AlvoComDel", "GET /\x7F HTTP/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"VersaoMinuscula", "GET / http/1.1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"Versao2", "GET / HTTP/2.0\r\n" + kCampos + "\r\n"},
        CasoMalformado{"VersaoLonga", "GET / HTTP/1.10\r\n" + kCampos + "\r\n"},
        CasoMalformado{"VersaoCurta", "GET / HTTP/1\r\n" + kCampos + "\r\n"},
        CasoMalformado{"CrSolto", "GET / HTTP/1.1\r\r\n" + kCampos + "\r\n"},
        CasoMalformado{"CrNoCampo", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n"},
        CasoMalformado{"NulNoCampo", std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 29)},
        CasoMalformado{"ControleNoCampo", "GET / HTTP/1.1\r\nHost: a\x1b[31m\r\n\r\n"},
        CasoMalformado{"CampoDobrado", "GET / HTTP/1.1\r\nHost: a\r\nX-A: b\r\n c\r\n\r\n"},
        CasoMalformado{"CampoDobradoTab", "GET / HTTP/1.1\r\nHost: a\r\nX-A: b\r\n\tc\r\n\r\n"},
        CasoMalformado{"EspacoAntesDosDoisPontos", "GET / HTTP/1.1\r\nHost : a\r\n\r\n"},
        CasoMalformado{"SemDoisPontos", "GET / HTTP/1.1\r\n" + kCampos + "Upgrade websocket\r\n\r\n"},
        CasoMalformado{"NomeVazio", "GET / HTTP/1.1\r\n" + kCampos + ": a\r\n\r\n"},
        CasoMalformado{"NomeComOitoBits", "GET / HTTP/1.1\r\n" + kCampos + "Ol\xE1: a\r\n\r\n"},
        CasoMalformado{"SemHost", "GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"},
        CasoMalformado{"DoisHost", "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n"},
        CasoMalformado{"DoisUpgrade", "GET / HTTP/1.1\r\n" + kCampos + "Upgrade: websocket\r\nUpgrade: h2c\r\n\r\n"},
        CasoMalformado{"DoisConnection", "GET / HTTP/1.1\r\n" + kCampos + "Connection: x\r\nCONNECTION: Upgrade\r\n\r\n"},
        CasoMalformado{"DuasChaves",
                       "GET / HTTP/1.1\r\n" + kCampos + "Sec-WebSocket-Key: a\r\nSec-WebSocket-Key: a\r\n\r\n"},
        CasoMalformado{"DuasVersoesWs",
                       "GET / HTTP/1.1\r\n" + kCampos + "Sec-WebSocket-Version: 13\r\nsec-websocket-version:\r\n\r\n"},
        CasoMalformado{"DoisOrigin", "GET / HTTP/1.1\r\n" + kCampos + "Origin: x\r\nOrigin: y\r\n\r\n"},
        CasoMalformado{"DuasChavesVazias",
                       "GET / HTTP/1.1\r\n" + kCampos + "Sec-WebSocket-Key:\r\nSec-WebSocket-Key:\r\n\r\n"}),
    PeloNome());

// A peer that does not speak HTTP is refused at its first bytes, without
// waiting for a blank line it will never send.
TEST(Http, RequestLineIsJudgedBeforeTheHeadEnds) {
  EXPECT_EQ(analisa(std::string("\x16\x03\x01\x02\x00\x01", 6)), kHttpMalformado);  // a TLS hello
  EXPECT_EQ(analisa("SSH-2.0-OpenSSH_9.2\r\n"), kHttpMalformado);
  EXPECT_EQ(analisa("\xFF\xFB\x01"), kHttpMalformado);  // telnet negotiation
  EXPECT_EQ(analisa("GET  "), kHttpMalformado);
  EXPECT_EQ(analisa("GET / HTTP/1.1x"), kHttpMalformado);
  EXPECT_EQ(analisa("GET / HTTP/1.1\rx"), kHttpMalformado);
  EXPECT_EQ(analisa("GET / HTTP/2"), kHttpMalformado);
  EXPECT_EQ(analisa("GET /ws HTTP/1.1\r"), kHttpIncompleto);  // the LF may be on its way
  EXPECT_EQ(analisa("GET /ws HTTP/1.1\r\nHost: a\r\n\r"), kHttpIncompleto);
  // Fields are only judged when the head is whole.
  EXPECT_EQ(analisa("GET / HTTP/1.1\r\nHost : a\r\n"), kHttpIncompleto);
}

TEST(Http, FieldNamesIgnoreCaseAndValuesAreTrimmed) {
  TPedidoHttp p;
  ASSERT_EQ(analisa("GET /ws HTTP/1.1\r\n"
                    "hOsT:a\r\n"
                    "UPGRADE: \t websocket \t \r\n"
                    "connection:\tUpgrade\r\n"
                    "sec-websocket-key:   \r\n"
                    "X-Apelido: Jo\xE3o\r\n"  // 8-bit bytes in a value are kept, not judged
                    "Sec-WebSocket-Keys: nao\r\n"
                    "Host-Extra: nao\r\n"
                    "\r\n",
                    &p),
            kHttpCompleto);
  EXPECT_EQ(texto(p.host), "a");
  EXPECT_EQ(texto(p.upgrade), "websocket");
  EXPECT_EQ(texto(p.connection), "Upgrade");
  EXPECT_EQ(texto(p.chaveWs), "");  // present, empty: the caller tells it from absent
  EXPECT_FALSE(p.versaoWs.existe());
  EXPECT_FALSE(p.origem.existe());
}

TEST(Http, ForwardingFieldsAreNoticedUnderAnyCase) {
  for (const char* campo : {"Forwarded: for=192.0.2.60", "X-Forwarded-For: 192.0.2.60", "X-Real-IP: 192.0.2.60",
                            "x-real-ip:", "FORWARDED:   ", "x-forwarded-for: 127.0.0.1"}) {
    TPedidoHttp p;
    ASSERT_EQ(analisa(std::string("GET /ws HTTP/1.1\r\nHost: a\r\n") + campo + "\r\n\r\n", &p), kHttpCompleto)
        << campo;
    EXPECT_TRUE(p.encaminhado) << campo;
  }
  TPedidoHttp p;
  ASSERT_EQ(analisa("GET /ws HTTP/1.1\r\nHost: a\r\nX-Forwarded: x\r\nForwarded-For: x\r\nX-Real-IPv6: x\r\n\r\n", &p),
            kHttpCompleto);
  EXPECT_FALSE(p.encaminhado);  // near names are other fields
}

TEST(Http, MethodVersionPathAndQuery) {
  struct Caso {
    std::string linha;
    int metodo, versao;
    std::string caminho, consulta;
  };
  const std::vector<Caso> casos = {
      {"GET / HTTP/1.1", kMetodoGet, 11, "/", "<ausente>"},
      {"HEAD /ws HTTP/1.1", kMetodoHead, 11, "/ws", "<ausente>"},
      {"POST / HTTP/1.1", kMetodoPost, 11, "/", "<ausente>"},
      {"PUT / HTTP/1.1", kMetodoOutro, 11, "/", "<ausente>"},
      {"get / HTTP/1.1", kMetodoOutro, 11, "/", "<ausente>"},  // methods are case-sensitive
      {"GETS / HTTP/1.1", kMetodoOutro, 11, "/", "<ausente>"},
      {"GET / HTTP/1.0", kMetodoGet, 10, "/", "<ausente>"},
      {"GET / HTTP/1.9", kMetodoGet, 11, "/", "<ausente>"},
      {"GET /? HTTP/1.1", kMetodoGet, 11, "/", ""},
      {"GET /ws?a=1?b=2 HTTP/1.1", kMetodoGet, 11, "/ws", "a=1?b=2"},
      {"GET /a%20b/../c?x=%41 HTTP/1.1", kMetodoGet, 11, "/a%20b/../c", "x=%41"},  // nothing decoded
      {"M-SEARCH /{x}|^` HTTP/1.1", kMetodoOutro, 11, "/{x}|^`", "<ausente>"},
  };
  for (const Caso& c : casos) {
    TPedidoHttp p;
    ASSERT_EQ(analisa(c.linha + "\r\nHost: h\r\n\r\n", &p), kHttpCompleto) << c.linha;
    EXPECT_EQ(p.metodo, c.metodo) << c.linha;
    EXPECT_EQ(p.versao, c.versao) << c.linha;
    EXPECT_EQ(texto(p.caminho), c.caminho) << c.linha;
    EXPECT_EQ(texto(p.consulta), c.consulta) << c.linha;
  }
  TPedidoHttp p;
  EXPECT_EQ(analisa("GET / HTTP/1.0\r\n\r\n", &p), kHttpCompleto);  // HTTP/1.0 needs no Host
  EXPECT_FALSE(p.host.existe());
  EXPECT_EQ(analisaPedidoHttp("GET / HTTP/1.0\r\n\r\n", 18, nullptr), kHttpCompleto);  // only the answer wanted

  // The exact comparison the caller makes of the path and the version.
  ASSERT_EQ(analisa("GET /ws?x HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Version: 13\r\n\r\n", &p), kHttpCompleto);
  EXPECT_TRUE(trechoIgual(p.caminho, "/ws"));
  EXPECT_TRUE(trechoIgual(p.versaoWs, "13"));
  EXPECT_FALSE(trechoIgual(p.caminho, "/w"));
  EXPECT_FALSE(trechoIgual(p.caminho, "/wss"));
  EXPECT_FALSE(trechoIgual(p.caminho, "/WS"));
  EXPECT_FALSE(trechoIgual(p.origem, ""));  // absent is not empty
  EXPECT_TRUE(trechoIgual(p.consulta, "x"));
}

TEST(Http, ListValuesHoldWholeTokens) {
  const std::vector<std::pair<std::string, bool>> casos = {
      {"Upgrade", true},          {"upgrade", true},         {"keep-alive, Upgrade", true},
      {"keep-alive,Upgrade", true}, {"Upgrade ,close", true},  {",,\t upgrade\t,", true},
      {"Upgrades", false},        {"keep-alive", false},     {"xUpgrade", false},
      {"Up grade", false},        {"", false},               {",", false},
      {"Upgrade;q=1", false},
  };
  for (const auto& [valor, esperado] : casos)
    EXPECT_EQ(temToken(trecho(valor), "upgrade"), esperado) << valor;
  EXPECT_FALSE(temToken({}, "upgrade"));
  EXPECT_TRUE(temToken(trecho("WebSocket"), "websocket"));
}

TEST(Http, QueryParameterByExactName) {
  const std::vector<std::pair<std::string, std::string>> casos = {
      {"convite=abc", "abc"},
      {"a=1&convite=abc&b=2", "abc"},
      {"convite=abc&convite=def", "abc"},  // the first one
      {"xconvite=abc", "<ausente>"},
      {"xconvite=abc&convite=def", "def"},
      {"convitex=abc", "<ausente>"},
      {"Convite=abc", "<ausente>"},  // names are case-sensitive
      {"convite", ""},
      {"convite=", ""},
      {"convite=&a=1", ""},
      {"a=convite=abc", "<ausente>"},
      {"convite=a=b", "a=b"},
      {"convite=a%2Fb", "a%2Fb"},
      {"&&convite=z&", "z"},
      {"", "<ausente>"},
  };
  for (const auto& [consulta, esperado] : casos)
    EXPECT_EQ(texto(parametroConsulta(trecho(consulta), "convite")), esperado) << consulta;
  EXPECT_FALSE(parametroConsulta({}, "convite").existe());
}

}  // namespace
}  // namespace zandor

namespace zandor {
namespace {

// A form's head: its length read strictly (digits only, once, bounded),
// the cookie kept, and chunked bodies refused.
TEST(Http, BodyLengthAndCookie) {
  struct Caso {
    std::string campos;
    int resultado, tamanhoCorpo;
  };
  const std::vector<Caso> casos = {
      {"", kHttpCompleto, 0},
      {"Content-Length: 30\r\n", kHttpCompleto, 30},
      {"content-length:1024\r\n", kHttpCompleto, 1024},
      {"Content-Length: 1025\r\n", kHttpCompleto, -1},                  // 413 for the caller
      {"Content-Length: 99999999999999999999999\r\n", kHttpCompleto, -1},  // no overflow
      {"Content-Length: 0012\r\n", kHttpCompleto, 12},
      {"Content-Length: +12\r\n", kHttpMalformado, 0},
      {"Content-Length: 1 2\r\n", kHttpMalformado, 0},
      {"Content-Length:\r\n", kHttpMalformado, 0},
      {"Content-Length: 3\r\nContent-Length: 3\r\n", kHttpMalformado, 0},  // which one a reader took
      {"Transfer-Encoding: chunked\r\n", kHttpMalformado, 0},
      {"Cookie: a=1\r\nCookie: b=2\r\n", kHttpMalformado, 0},
  };
  for (const Caso& c : casos) {
    TPedidoHttp p;
    const std::string head = "POST /entrar HTTP/1.1\r\nHost: h\r\n" + c.campos + "\r\n";
    ASSERT_EQ(analisaPedidoHttp(head.data(), static_cast<int>(head.size()), &p), c.resultado) << c.campos;
    if (c.resultado == kHttpCompleto) {
      EXPECT_EQ(p.tamanhoCorpo, c.tamanhoCorpo) << c.campos;
    }
  }
  const std::string head = "POST /entrar HTTP/1.1\r\nHost: h\r\nCookie:  x=1; zandor_assento=abc \r\n\r\nconvite=X";
  TPedidoHttp p;
  ASSERT_EQ(analisaPedidoHttp(head.data(), static_cast<int>(head.size()), &p), kHttpCompleto);
  EXPECT_EQ(std::string(p.cookie.p, static_cast<size_t>(p.cookie.n)), "x=1; zandor_assento=abc");
  EXPECT_EQ(p.tamanho, static_cast<int>(head.size()) - 9);  // the body is left to the caller
}

}  // namespace
}  // namespace zandor
