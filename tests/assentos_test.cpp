// Seats: the secret's form and its one-way keeping, lookups, nicknames and
// revocation, the 30 days through the clock seam, the least recently used
// one evicted at 256, the listing, and the file: mode 0600, hashes only,
// survived by a restart, a damaged line skipped, uses written once a minute
// through the wheel.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "framework/relogio.h"
#include "framework/tempo.h"
#include "gateway/convite.h"
#include "gateway/web/assentos.h"
#include "text/dobra.h"

namespace zandor {
namespace {

int64_t segundosFalsos = 0;
int64_t relogioFalso() { return segundosFalsos; }
bool acasoQuebrado(unsigned char*, int) { return false; }

// Seats the test says are in use, and how.
std::vector<std::pair<uint32_t, int>> gPresencas;
int presencaFalsa(uint32_t id) {
  for (const auto& [i, p] : gPresencas)
    if (i == id) return p;
  return kAssentoLivre;
}

constexpr int64_t kDia = 24 * 60 * 60;

class Assentos : public testing::Test {
 protected:
  void SetUp() override {
    montaTabelas();
    // In memory where there is such a folder: every change fsyncs, and
    // these tests make hundreds.
    char modelo[] = "/dev/shm/zandor-assentos-XXXXXX";
    char modeloTmp[] = "/tmp/zandor-assentos-XXXXXX";
    char* criada = std::filesystem::is_directory("/dev/shm") ? mkdtemp(modelo) : nullptr;
    if (criada == nullptr) criada = mkdtemp(modeloTmp);
    ASSERT_NE(criada, nullptr);
    pasta_ = criada;
    antes_ = std::filesystem::current_path();
    std::filesystem::current_path(pasta_);
    segundos = relogioFalso;
    segundosFalsos = 1'800'000'000;
    presencaAssento = presencaFalsa;
    gPresencas.clear();
    esqueceAssentos();
  }
  void TearDown() override {
    esqueceAssentos();
    segundos = segundosSistema;
    fonteAcaso = acasoSistema;
    presencaAssento = [](uint32_t) { return static_cast<int>(kAssentoLivre); };
    std::filesystem::current_path(antes_);
    std::filesystem::remove_all(pasta_);
  }

  struct TNovo {
    uint32_t id;
    std::string segredo;
  };
  static TNovo cria(bool assiste = false) {
    char segredo[kTamanhoSegredo];
    std::memset(segredo, '#', sizeof segredo);
    const uint32_t id = criaAssento(assiste, segredo);
    EXPECT_NE(id, 0u);
    return {id, segredo};
  }
  static uint32_t usa(const std::string& s) { return usaAssento(s.data(), static_cast<int>(s.size())); }
  static std::string arquivo() {
    std::ifstream f(kArquivoAssentos, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static std::vector<std::string> lista() {
    std::vector<std::string> linhas;
    listaAssentos(
        [](void* c, const char* t) {
          static_cast<std::vector<std::string>*>(c)->push_back(t);
          return true;
        },
        &linhas);
    return linhas;
  }
  // A restart: the table forgotten, the file read again.
  static int reinicia(std::string* log = nullptr) {
    esqueceAssentos();
    std::FILE* f = std::tmpfile();
    const int n = carregaAssentos(f);
    if (log != nullptr) {
      std::rewind(f);
      char b[4096] = {};
      log->assign(b, std::fread(b, 1, sizeof b - 1, f));
    }
    std::fclose(f);
    return n;
  }

  std::string pasta_;
  std::filesystem::path antes_;
};

constexpr char kAlfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

TEST_F(Assentos, SecretIsFreshBase64urlAndOnlyItOpensTheSeat) {
  std::set<std::string> vistos;
  for (int i = 0; i < 100; ++i) {
    const TNovo n = cria();
    ASSERT_EQ(n.segredo.size(), static_cast<size_t>(kCaracteresSegredo));
    for (char c : n.segredo) ASSERT_NE(std::strchr(kAlfabeto, c), nullptr) << n.segredo;
    ASSERT_TRUE(vistos.insert(n.segredo).second);
  }
  esqueceAssentos();
  const TNovo a = cria(), b = cria();
  EXPECT_NE(a.id, b.id);
  EXPECT_EQ(usa(a.segredo), a.id);
  EXPECT_EQ(usa(a.segredo), a.id) << "a seat is used again and again";
  EXPECT_EQ(usa(b.segredo), b.id);
  std::string quase = a.segredo;
  quase[5] = quase[5] == 'x' ? 'y' : 'x';
  for (const std::string& errado : {quase, a.segredo.substr(1), a.segredo + "A", std::string(), std::string(32, 'A')})
    EXPECT_EQ(usa(errado), 0u) << errado;
  EXPECT_EQ(usaAssento(nullptr, kCaracteresSegredo), 0u);

  char campo[kTamanhoCampoCookie];
  for (bool seguro : {false, true}) {
    campoCookieAssento(campo, a.segredo.c_str(), seguro);
    EXPECT_EQ(std::string(campo), "Set-Cookie: zandor_assento=" + a.segredo +
                                      "; Path=/; Max-Age=2592000; HttpOnly; SameSite=Strict" +
                                      (seguro ? "; Secure" : "") + "\r\n");
  }
}

TEST_F(Assentos, FailingRandomSourceMakesNoSeat) {
  fonteAcaso = acasoQuebrado;
  char segredo[kTamanhoSegredo];
  std::memset(segredo, '#', sizeof segredo);
  EXPECT_EQ(criaAssento(false, segredo), 0u);
  EXPECT_EQ(segredo[0], '\0');
  EXPECT_EQ(quantosAssentos(), 0);
}

TEST_F(Assentos, RevokingByNicknameAsNicknamesCompare) {
  const TNovo ana = cria(), outraAna = cria(true), bia = cria(), semNome = cria();
  nomeiaAssento(ana.id, "Ana");
  nomeiaAssento(outraAna.id, "ANA");
  nomeiaAssento(bia.id, "Bia");
  EXPECT_EQ(revogaAssentos("Carla"), 0);
  EXPECT_EQ(revogaAssentos(""), 0) << "a seat without a nickname is never named";
  EXPECT_EQ(revogaAssentos("ana "), 2);
  for (const TNovo& n : {ana, outraAna}) {
    EXPECT_FALSE(assentoValido(n.id));
    EXPECT_EQ(usa(n.segredo), 0u) << "the revoked secret opens nothing";
  }
  EXPECT_TRUE(assentoValido(bia.id));
  EXPECT_TRUE(assentoValido(semNome.id));
  EXPECT_EQ(std::string(apelidoAssento(bia.id)), "Bia");
  // The slot a revoked seat freed goes to a new seat under another id.
  const TNovo nova = cria();
  EXPECT_NE(nova.id, ana.id);
  EXPECT_NE(nova.id, outraAna.id);
  EXPECT_FALSE(assentoValido(ana.id));
  EXPECT_FALSE(assentoAssiste(outraAna.id));
  EXPECT_EQ(reinicia(), 3);
  EXPECT_EQ(usa(ana.segredo), 0u) << "nor after a restart";
}

TEST_F(Assentos, ForgottenAfterThirtyDaysUnusedUnlessInUse) {
  const TNovo velho = cria(), usado = cria(), ocupado = cria();
  segundosFalsos += 20 * kDia;
  EXPECT_EQ(usa(usado.segredo), usado.id);
  gPresencas = {{ocupado.id, kAssentoAusente}};
  segundosFalsos += 10 * kDia - 1;
  EXPECT_TRUE(assentoValido(velho.id));
  segundosFalsos += 1;
  expiraAssentos();
  EXPECT_FALSE(assentoValido(velho.id));
  EXPECT_EQ(usa(velho.segredo), 0u);
  EXPECT_TRUE(assentoValido(ocupado.id)) << "a user is on it";
  EXPECT_EQ(usa(usado.segredo), usado.id);
  // Gone while the gateway was down: not loaded.
  segundosFalsos += 31 * kDia;
  EXPECT_EQ(reinicia(), 0);
}

TEST_F(Assentos, FullTableEvictsTheLeastRecentlyUsedFreeSeat) {
  std::vector<TNovo> todos;
  for (int i = 0; i < kMaxAssentos; ++i) {
    todos.push_back(cria());
    segundosFalsos += 1;
  }
  EXPECT_EQ(quantosAssentos(), kMaxAssentos);
  EXPECT_EQ(usa(todos[0].segredo), todos[0].id);             // the oldest, just used
  gPresencas = {{todos[1].id, kAssentoConectado}};             // the next, in use
  const TNovo novo = cria();
  EXPECT_EQ(quantosAssentos(), kMaxAssentos);
  EXPECT_TRUE(assentoValido(todos[0].id));
  EXPECT_TRUE(assentoValido(todos[1].id));
  EXPECT_FALSE(assentoValido(todos[2].id)) << "the least recently used free seat went";
  for (int i = 3; i < kMaxAssentos; ++i) ASSERT_TRUE(assentoValido(todos[i].id)) << i;
  EXPECT_EQ(usa(novo.segredo), novo.id);
}

TEST_F(Assentos, FileHoldsHashesOnlyWithMode0600AndSurvivesARestart) {
  const mode_t mascara = umask(0);  // whatever the process's umask
  std::ofstream(kArquivoAssentos) << "";
  chmod(kArquivoAssentos, 0644);
  std::ofstream("assentos.novo") << "sobra de uma queda";
  chmod("assentos.novo", 0666);
  const TNovo ana = cria(), olho = cria(true);
  nomeiaAssento(ana.id, "Ana");
  umask(mascara);

  struct stat info {};
  ASSERT_EQ(stat(kArquivoAssentos, &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists("assentos.novo"));
  const std::string texto = arquivo();
  for (const TNovo& n : {ana, olho}) EXPECT_EQ(texto.find(n.segredo), std::string::npos) << "no secret in the file";
  std::istringstream linhas(texto);
  std::string l;
  int n = 0;
  while (std::getline(linhas, l)) {
    ++n;
    EXPECT_TRUE(std::regex_match(l, std::regex("[0-9a-f]{64} 1800000000 1800000000 [01]( Ana)?"))) << l;
  }
  EXPECT_EQ(n, 2);

  EXPECT_EQ(reinicia(), 2);
  const uint32_t a = usa(ana.segredo), o = usa(olho.segredo);
  ASSERT_NE(a, 0u);
  ASSERT_NE(o, 0u);
  EXPECT_EQ(std::string(apelidoAssento(a)), "Ana");
  EXPECT_FALSE(assentoAssiste(a));
  EXPECT_TRUE(assentoAssiste(o)) << "a watcher's seat stays a watcher's";

  // An older file readable by others is made private on loading.
  chmod(kArquivoAssentos, 0644);
  reinicia();
  ASSERT_EQ(stat(kArquivoAssentos, &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(Assentos, DamagedLinesAreSkippedAndLoggedTheRestLoad) {
  const TNovo a = cria(), b = cria();
  nomeiaAssento(b.id, "Bia");
  const std::string bom = arquivo();
  const std::string primeira = bom.substr(0, bom.find('\n') + 1);
  const std::string danificadas[] = {
      "zz" + primeira.substr(2),                                  // not hex
      primeira.substr(0, 64) + " 1 2\n",                           // fields missing
      primeira.substr(0, 64) + " -1 2 0\n",                        // a sign
      primeira.substr(0, 64) + " 1 99999999999999999999 0\n",      // overflow
      primeira.substr(0, 64) + " 1 2 3\n",                         // a bad flag
      primeira.substr(0, 64) + " 1 2 0 um apelido\n",              // a nickname with a blank
      primeira.substr(0, 64) + " 1 2 0 " + std::string(300, 'x') + "\n",  // far too long
      primeira,                                                    // a copy of a seat already read
      "\n",
  };
  std::string texto = primeira;
  for (const std::string& d : danificadas) texto += d;
  texto += bom.substr(primeira.size());
  std::ofstream(kArquivoAssentos, std::ios::binary) << texto;

  std::string log;
  EXPECT_EQ(reinicia(&log), 2);
  EXPECT_NE(usa(a.segredo), 0u);
  EXPECT_NE(usa(b.segredo), 0u);
  for (int linha = 2; linha <= 10; ++linha)
    EXPECT_NE(log.find("Arquivo assentos, linha " + std::to_string(linha) + " danificada: ignorada\n"),
              std::string::npos)
        << linha << "\n" << log;
  EXPECT_EQ(log.find("linha 1 "), std::string::npos);
  EXPECT_EQ(log.find("linha 11 "), std::string::npos);

  // No file is no seat, and no complaint.
  std::filesystem::remove(kArquivoAssentos);
  EXPECT_EQ(reinicia(&log), 0);
  EXPECT_EQ(log, "");
}

// A change is written at once; a use only once the minute is up, through
// the wheel, and uses within that minute make one write.
TEST_F(Assentos, UsesReachTheFileOnceAMinute) {
  const TNovo a = cria();
  const std::string feito = arquivo();
  segundosFalsos += 10;
  EXPECT_EQ(usa(a.segredo), a.id);
  segundosFalsos += 10;
  EXPECT_EQ(usa(a.segredo), a.id);
  EXPECT_EQ(arquivo(), feito) << "not yet";
  cAvanca(kTicksGravaUso - 1);
  EXPECT_EQ(arquivo(), feito) << "not yet";
  cAvanca(1);
  EXPECT_NE(arquivo().find(" 1800000000 1800000020 0\n"), std::string::npos) << arquivo();
  // Nothing waiting: no timer left on the wheel.
  std::filesystem::remove(kArquivoAssentos);
  cAvanca(2 * kTicksGravaUso);
  EXPECT_FALSE(std::filesystem::exists(kArquivoAssentos));
  // A change writes at once, the waiting uses with it.
  renovaAssento(a.id);
  nomeiaAssento(a.id, "Ana");
  EXPECT_NE(arquivo().find(" Ana\n"), std::string::npos);
  std::filesystem::remove(kArquivoAssentos);
  cAvanca(kTicksGravaUso);
  EXPECT_FALSE(std::filesystem::exists(kArquivoAssentos)) << "the uses went with the change";
  // What the timer has not written yet, the gateway's end writes.
  segundosFalsos += 5;
  usa(a.segredo);
  descarregaAssentos();
  EXPECT_NE(arquivo().find(" 1800000025 0 Ana\n"), std::string::npos) << arquivo();
}

TEST_F(Assentos, ListingSaysWhoAndWhenMostRecentFirst) {
  EXPECT_EQ(lista(), std::vector<std::string>{"/Nenhum assento"});
  struct {
    const char* apelido;
    bool assiste;
    int presenca;
    int64_t idade;  // seconds since its last use
  } casos[] = {
      {"Ana", false, kAssentoConectado, 0},      {"Bia", true, kAssentoConectado, 1},
      {"Caio", false, kAssentoAusente, 2},       {"", false, kAssentoLivre, 59},
      {"Dora", true, kAssentoLivre, 60},         {"Eva", false, kAssentoLivre, 3599},
      {"Fabio", false, kAssentoLivre, 3600},     {"Gil", false, kAssentoLivre, 2 * kDia - 1},
      {"Hugo", true, kAssentoLivre, 2 * kDia},   {"Ivo", false, kAssentoLivre, 29 * kDia},
  };
  const int64_t agora = segundosFalsos + 30 * kDia;
  for (const auto& c : casos) {
    segundosFalsos = agora - c.idade;
    const TNovo n = cria(c.assiste);
    if (c.apelido[0] != '\0') nomeiaAssento(n.id, c.apelido);
    if (c.presenca != kAssentoLivre) gPresencas.push_back({n.id, c.presenca});
  }
  segundosFalsos = agora;
  const std::vector<std::string> esperado = {
      "/Assentos: 10",
      "Ana - em uso",
      "Bia - em uso (s\xF3 assiste)",
      "Caio - ausente",
      "? - \xFAltimo uso h\xE1 menos de um minuto",
      "Dora - \xFAltimo uso h\xE1 1 min (s\xF3 assiste)",
      "Eva - \xFAltimo uso h\xE1 59 min",
      "Fabio - \xFAltimo uso h\xE1 1 h",
      "Gil - \xFAltimo uso h\xE1 47 h",
      "Hugo - \xFAltimo uso h\xE1 2 dias (s\xF3 assiste)",
      "Ivo - \xFAltimo uso h\xE1 29 dias",
  };
  EXPECT_EQ(lista(), esperado);
}

}  // namespace
}  // namespace zandor
