// The seat table, its lookups, its listing and its file.
#include "gateway/web/assentos.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "framework/relogio.h"
#include "framework/tempo.h"
#include "gateway/convite.h"
#include "gateway/mensagens.h"
#include "text/dobra.h"
#include "text/formata.h"

namespace zandor {

namespace {

constexpr char kArquivoNovo[] = "assentos.novo";
constexpr int kDigitosHash = 2 * kBytesHashAssento;
constexpr uint32_t kGeracoes = 1u << 24;  // geracao lives in the id's upper 24 bits
// A file line: the hash, two times of up to 20 characters, the flag, the
// nickname, the blanks and the line end.
constexpr int kTamanhoLinhaArquivo = kDigitosHash + 2 * 21 + 2 + kTamanhoApelidoAssento + 1;
constexpr int kTamanhoLinhaLista = 100;  // one listing line: a nickname and a few words

struct TAssento {
  unsigned char hash[kBytesHashAssento];
  int64_t criado;
  int64_t usado;
  char apelido[kTamanhoApelidoAssento];
  bool assiste;
  bool vivo;
  uint32_t geracao;  // 1 .. kGeracoes - 1
};

TAssento gAssentos[kMaxAssentos];
bool gUsoPendente = false;  // a use not yet in the file

// The once-a-minute write of last-use times; armed only while one waits.
class TGravaUso : public TTempo {
 public:
  void cExpira() override {
    if (gUsoPendente) gravaAssentos();
  }
};
TGravaUso gGravaUso;

int livre(uint32_t) { return kAssentoLivre; }

uint32_t idDe(int slot) { return gAssentos[slot].geracao << 8 | static_cast<uint32_t>(slot); }

TAssento* porId(uint32_t id) {
  const uint32_t slot = id & 0xFF;
  if (id == 0 || slot >= static_cast<uint32_t>(kMaxAssentos)) return nullptr;
  TAssento& a = gAssentos[slot];
  return a.vivo && a.geracao == id >> 8 ? &a : nullptr;
}

void esquece(int slot) {
  TAssento& a = gAssentos[slot];
  OPENSSL_cleanse(a.hash, sizeof a.hash);
  a.vivo = false;
  a.apelido[0] = '\0';
  a.geracao = a.geracao + 1 >= kGeracoes ? 1 : a.geracao + 1;
}

bool emUso(int slot) { return presencaAssento(idDe(slot)) != kAssentoLivre; }

// Forgets the seats unused too long; whether any went.
bool expira(int64_t agora) {
  bool algum = false;
  for (int i = 0; i < kMaxAssentos; ++i)
    if (gAssentos[i].vivo && agora - gAssentos[i].usado >= kSegundosAssento && !emUso(i)) {
      esquece(i);
      algum = true;
    }
  return algum;
}

// A slot for a new seat: a free one, else the least recently used seat that
// nobody is on, else the least recently used of all.
int lugarNovo() {
  int escolhido = -1;
  bool escolhidoEmUso = true;
  for (int i = 0; i < kMaxAssentos; ++i) {
    const TAssento& a = gAssentos[i];
    if (!a.vivo) return i;
    const bool usado = emUso(i);
    if (escolhido < 0 || (escolhidoEmUso && !usado) ||
        (usado == escolhidoEmUso && a.usado < gAssentos[escolhido].usado)) {
      escolhido = i;
      escolhidoEmUso = usado;
    }
  }
  esquece(escolhido);
  return escolhido;
}

void marcaUso() {
  gUsoPendente = true;
  if (!gGravaUso.cArmado()) gGravaUso.cArma(kTicksGravaUso);
}

void hashDe(const char* segredo, int n, unsigned char (&hash)[kBytesHashAssento]) {
  SHA256(reinterpret_cast<const unsigned char*>(segredo), static_cast<size_t>(n), hash);
}

// ---- the file ----------------------------------------------------------------

int valorHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits, not negative, no sign, into *valor; the position after
// them, or null.
const char* leNumero(const char* p, int64_t* valor) {
  int64_t v = 0;
  const char* inicio = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > (INT64_MAX - (*p - '0')) / 10) return nullptr;
    v = v * 10 + (*p - '0');
  }
  if (p == inicio || p - inicio > 19) return nullptr;
  *valor = v;
  return p;
}

// One line of the file, its line end removed, into `a`; false when damaged.
bool leLinha(const char* p, TAssento* a) {
  for (int i = 0; i < kBytesHashAssento; ++i) {
    const int alto = valorHex(p[0]), baixo = alto < 0 ? -1 : valorHex(p[1]);
    if (baixo < 0) return false;
    a->hash[i] = static_cast<unsigned char>(alto << 4 | baixo);
    p += 2;
  }
  if (*p++ != ' ') return false;
  if ((p = leNumero(p, &a->criado)) == nullptr || *p++ != ' ') return false;
  if ((p = leNumero(p, &a->usado)) == nullptr || *p++ != ' ') return false;
  if (*p != '0' && *p != '1') return false;
  a->assiste = *p++ == '1';
  a->apelido[0] = '\0';
  if (*p == '\0') return true;
  if (*p++ != ' ' || std::strlen(p) >= sizeof a->apelido || validaApelido(p) == kApelidoRecusado) return false;
  copia(a->apelido, p);
  return true;
}

bool escreveTudo(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The whole table as the file's text; its length.
int textoArquivo(char* destino, int tamanho) {
  static constexpr char kHex[] = "0123456789abcdef";
  int n = 0;
  for (const TAssento& a : gAssentos) {
    if (!a.vivo || tamanho - n < kTamanhoLinhaArquivo) continue;
    char hex[kDigitosHash + 1];
    for (int i = 0; i < kBytesHashAssento; ++i) {
      hex[2 * i] = kHex[a.hash[i] >> 4];
      hex[2 * i + 1] = kHex[a.hash[i] & 0xF];
    }
    hex[kDigitosHash] = '\0';
    n += std::snprintf(destino + n, static_cast<size_t>(tamanho - n), "%s %" PRId64 " %" PRId64 " %d%s%s\n", hex,
                       a.criado, a.usado, a.assiste ? 1 : 0, a.apelido[0] != '\0' ? " " : "", a.apelido);
  }
  return n;
}

}  // namespace

FontePresenca presencaAssento = livre;

uint32_t criaAssento(bool assiste, char (&segredo)[kTamanhoSegredo]) {
  if (!sorteiaSegredo(segredo, kBytesSegredo)) return 0;

  const int64_t agora = segundos();
  expira(agora);
  const int slot = lugarNovo();
  TAssento& a = gAssentos[slot];
  hashDe(segredo, kCaracteresSegredo, a.hash);
  a.criado = a.usado = agora;
  a.apelido[0] = '\0';
  a.assiste = assiste;
  a.vivo = true;
  if (a.geracao == 0) a.geracao = 1;
  gravaAssentos();
  return idDe(slot);
}

uint32_t usaAssento(const char* segredo, int n) {
  if (segredo == nullptr || n != kCaracteresSegredo) return 0;
  const int64_t agora = segundos();
  if (expira(agora)) gravaAssentos();
  unsigned char hash[kBytesHashAssento];
  hashDe(segredo, n, hash);
  // Every live seat is compared, whichever matches.
  int achado = -1;
  for (int i = 0; i < kMaxAssentos; ++i)
    if (gAssentos[i].vivo && CRYPTO_memcmp(gAssentos[i].hash, hash, sizeof hash) == 0) achado = i;
  OPENSSL_cleanse(hash, sizeof hash);
  if (achado < 0) return 0;
  gAssentos[achado].usado = agora;
  marcaUso();
  return idDe(achado);
}

void campoCookieAssento(char (&destino)[kTamanhoCampoCookie], const char* segredo, bool seguro) {
  static_assert(kSegundosAssento == 2592000, "the cookie's Max-Age below");
  formata(destino, sizeof destino, "Set-Cookie: %s=%s; Path=/; Max-Age=2592000; HttpOnly; SameSite=Strict%s\r\n",
          kCookieAssento, segredo, seguro ? "; Secure" : "");
}

bool assentoValido(uint32_t id) { return porId(id) != nullptr; }

bool assentoAssiste(uint32_t id) {
  const TAssento* a = porId(id);
  return a != nullptr && a->assiste;
}

const char* apelidoAssento(uint32_t id) {
  const TAssento* a = porId(id);
  return a != nullptr ? a->apelido : "";
}

void nomeiaAssento(uint32_t id, const char* apelido) {
  TAssento* a = porId(id);
  if (a == nullptr || std::strcmp(a->apelido, apelido) == 0) return;
  copiaLimitada(a->apelido, apelido, sizeof a->apelido);
  a->usado = segundos();
  gravaAssentos();
}

void renovaAssento(uint32_t id) {
  TAssento* a = porId(id);
  if (a == nullptr) return;
  a->usado = segundos();
  marcaUso();
}

int revogaAssentos(const char* apelido) {
  int revogados = 0;
  for (int i = 0; i < kMaxAssentos; ++i) {
    const TAssento& a = gAssentos[i];
    if (a.vivo && a.apelido[0] != '\0' && comparaTexto(a.apelido, apelido) == 0) {
      esquece(i);
      ++revogados;
    }
  }
  if (revogados > 0) gravaAssentos();
  return revogados;
}

void expiraAssentos() {
  if (expira(segundos())) gravaAssentos();
}

int quantosAssentos() {
  int n = 0;
  for (const TAssento& a : gAssentos) n += a.vivo;
  return n;
}

void listaAssentos(EscreveAssento escreve, void* contexto) {
  const int64_t agora = segundos();
  if (expira(agora)) gravaAssentos();
  // Slots, most recently used first: an insertion sort of at most 256.
  uint8_t ordem[kMaxAssentos];
  int n = 0;
  for (int i = 0; i < kMaxAssentos; ++i) {
    if (!gAssentos[i].vivo) continue;
    int j = n++;
    for (; j > 0 && gAssentos[ordem[j - 1]].usado < gAssentos[i].usado; --j) ordem[j] = ordem[j - 1];
    ordem[j] = static_cast<uint8_t>(i);
  }
  char linha[kTamanhoLinhaLista];
  if (n == 0) {
    escreve(contexto, msg::kNenhumAssento);
    return;
  }
  formata(linha, sizeof linha, msg::kAssentos, n);
  escreve(contexto, linha);
  for (int k = 0; k < n; ++k) {
    const TAssento& a = gAssentos[ordem[k]];
    const char* apelido = a.apelido[0] != '\0' ? a.apelido : msg::kAssentoSemApelido;
    const char* marca = a.assiste ? msg::kMarcaAssiste : "";
    const int presenca = presencaAssento(idDe(ordem[k]));
    const int64_t idade = agora > a.usado ? agora - a.usado : 0;  // a clock set back reads as now
    if (presenca == kAssentoConectado)
      formata(linha, sizeof linha, msg::kAssentoEmUso, apelido, marca);
    else if (presenca == kAssentoAusente)
      formata(linha, sizeof linha, msg::kAssentoAusente, apelido, marca);
    else if (idade < 60)
      formata(linha, sizeof linha, msg::kAssentoAgora, apelido, marca);
    else if (idade < 60 * 60)
      formata(linha, sizeof linha, msg::kAssentoMinutos, apelido, static_cast<int>(idade / 60), marca);
    else if (idade < 48 * 60 * 60)
      formata(linha, sizeof linha, msg::kAssentoHoras, apelido, static_cast<int>(idade / 3600), marca);
    else
      formata(linha, sizeof linha, msg::kAssentoDias, apelido, static_cast<int>(idade / 86400), marca);
    if (!escreve(contexto, linha)) return;
  }
}

int carregaAssentos(std::FILE* log) {
  esqueceAssentos();
  std::FILE* arquivo = std::fopen(kArquivoAssentos, "re");
  if (arquivo == nullptr) {
    if (errno == ENOENT) return 0;
    if (log != nullptr) std::fprintf(log, msg::kLogAbrindo, kArquivoAssentos, std::strerror(errno));
    std::fprintf(stderr, msg::kLogAbrindo, kArquivoAssentos, std::strerror(errno));
    return -1;
  }
  // Older versions, or a hand, may have left it readable by others.
  struct stat info {};
  if (fstat(fileno(arquivo), &info) == 0 && (info.st_mode & 07777) != 0600) fchmod(fileno(arquivo), 0600);

  const int64_t agora = segundos();
  char linha[kTamanhoLinhaArquivo + 2];
  int numero = 0;
  while (std::fgets(linha, sizeof linha, arquivo) != nullptr) {
    ++numero;
    size_t n = std::strlen(linha);
    const bool longa = n == sizeof linha - 1 && linha[n - 1] != '\n';
    if (longa) {  // the rest of it goes too
      int c;
      while ((c = std::fgetc(arquivo)) != EOF && c != '\n') {
      }
    }
    if (n > 0 && linha[n - 1] == '\n') linha[--n] = '\0';
    TAssento lido{};
    bool bom = !longa && leLinha(linha, &lido);
    for (int i = 0; bom && i < kMaxAssentos; ++i)
      if (gAssentos[i].vivo && std::memcmp(gAssentos[i].hash, lido.hash, sizeof lido.hash) == 0) bom = false;
    if (!bom) {
      if (log != nullptr) std::fprintf(log, msg::kLogAssentoDanificado, kArquivoAssentos, numero);
      std::fprintf(stderr, msg::kLogAssentoDanificado, kArquivoAssentos, numero);
      continue;
    }
    if (agora - lido.usado >= kSegundosAssento) continue;  // forgotten while the gateway was down
    const int slot = lugarNovo();
    const uint32_t geracao = gAssentos[slot].geracao;
    gAssentos[slot] = lido;
    gAssentos[slot].vivo = true;
    gAssentos[slot].geracao = geracao == 0 ? 1 : geracao;
  }
  std::fclose(arquivo);
  return quantosAssentos();
}

bool gravaAssentos() {
  // One buffer for the program: the loop's thread is the only writer.
  static char texto[kMaxAssentos * kTamanhoLinhaArquivo];
  const int n = textoArquivo(texto, sizeof texto);
  bool feito = false;
  const int fd = open(kArquivoNovo, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    // A temporary file left by a crash keeps its mode through O_TRUNC.
    feito = fchmod(fd, 0600) == 0 && escreveTudo(fd, texto, static_cast<size_t>(n)) && fsync(fd) == 0;
    feito = close(fd) == 0 && feito;
    feito = feito && rename(kArquivoNovo, kArquivoAssentos) == 0;
    if (!feito) unlink(kArquivoNovo);
  }
  if (!feito) {
    // Kept in memory; the timer tries again.
    marcaUso();
    return false;
  }
  // The rename itself is durable once the directory is; a failure here
  // loses nothing the next write would not redo.
  const int pasta = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pasta >= 0) {
    fsync(pasta);
    close(pasta);
  }
  gUsoPendente = false;
  gGravaUso.cArma(0);
  return true;
}

void descarregaAssentos() {
  if (gUsoPendente) gravaAssentos();
}

void esqueceAssentos() {
  for (int i = 0; i < kMaxAssentos; ++i)
    if (gAssentos[i].vivo) esquece(i);
  gUsoPendente = false;
  gGravaUso.cArma(0);
}

}  // namespace zandor
