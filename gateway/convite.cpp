// The invite table, its random source and its constant-time lookup.
#include "gateway/convite.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "framework/relogio.h"
#include "framework/tempo.h"

namespace zandor {

namespace {

constexpr int kCaracteres = kTamanhoConvite - 1;

struct TConvite {
  char token[kCaracteres];  // not terminated
  uint32_t criado;
  bool assiste;
  bool vivo;
};

TConvite gConvites[kMaxConvites];

bool expirado(const TConvite& c, uint32_t agora) { return agora - c.criado >= kMsValidadeConvite; }

void expira(uint32_t agora) {
  for (TConvite& c : gConvites)
    if (c.vivo && expirado(c, agora)) c.vivo = false;
}

// Ticks until the oldest live invite expires, rounded up; 0 when none lives.
int ticksAteExpirar(uint32_t agora) {
  uint32_t falta = 0;
  for (const TConvite& c : gConvites)
    if (c.vivo && (falta == 0 || kMsValidadeConvite - (agora - c.criado) < falta))
      falta = kMsValidadeConvite - (agora - c.criado);
  return static_cast<int>((falta + kMsPorTick - 1) / kMsPorTick);
}

static_assert((kMsValidadeConvite + kMsPorTick - 1) / kMsPorTick <= kMaxTicks, "an invite's life fits the wheel");

// Forgets what expired when the oldest invite's time is up, then waits for
// the next oldest, if any.
class TVigiaConvites : public TTempo {
 public:
  void cExpira() override {
    const uint32_t agora = relogio();
    expira(agora);
    cArma(ticksAteExpirar(agora));
  }
};

TVigiaConvites gVigia;

}  // namespace

bool acasoSistema(unsigned char* bytes, int n) {
  int lidos = 0;
  while (lidos < n) {
    // Never blocking: a kernel whose pool is not ready yet fails the invite
    // instead of stalling the loop.
    const ssize_t r = getrandom(bytes + lidos, static_cast<size_t>(n - lidos), GRND_NONBLOCK);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    lidos += static_cast<int>(r);
  }
  return true;
}

FonteAcaso fonteAcaso = acasoSistema;

bool sorteiaSegredo(char* texto, int n) {
  texto[0] = '\0';
  unsigned char acaso[kMaxBytesSorteio];
  if (n < 1 || n > kMaxBytesSorteio || !fonteAcaso(acaso, n)) return false;
  unsigned char base64[4 * ((kMaxBytesSorteio + 2) / 3) + 1];  // EVP_EncodeBlock's output, padding included
  EVP_EncodeBlock(base64, acaso, n);
  OPENSSL_cleanse(acaso, sizeof acaso);
  const int caracteres = (8 * n + 5) / 6;
  for (int i = 0; i < caracteres; ++i) {
    const unsigned char c = base64[i];
    texto[i] = static_cast<char>(c == '+' ? '-' : c == '/' ? '_' : c);
  }
  texto[caracteres] = '\0';
  OPENSSL_cleanse(base64, sizeof base64);
  return true;
}

bool criaConvite(char (&token)[kTamanhoConvite], bool assiste) {
  if (!sorteiaSegredo(token, kBytesConvite)) return false;

  const uint32_t agora = relogio();
  expira(agora);
  TConvite* lugar = nullptr;
  for (TConvite& c : gConvites) {
    if (!c.vivo) {
      lugar = &c;
      break;
    }
    if (lugar == nullptr || agora - c.criado > agora - lugar->criado) lugar = &c;  // the oldest
  }
  std::memcpy(lugar->token, token, kCaracteres);
  lugar->criado = agora;
  lugar->assiste = assiste;
  lugar->vivo = true;
  if (!gVigia.cArmado()) gVigia.cArma(ticksAteExpirar(agora));
  return true;
}

namespace {

// The live entry token[0..n) names, or null.
TConvite* achaConvite(const char* token, int n) {
  if (token == nullptr || n != kCaracteres) return nullptr;
  expira(relogio());
  // Every live entry is compared, whichever matches: the time taken depends
  // on how many are alive, never on the token's bytes.
  TConvite* achado = nullptr;
  for (TConvite& c : gConvites)
    if (c.vivo && CRYPTO_memcmp(c.token, token, kCaracteres) == 0) achado = &c;
  return achado;
}

}  // namespace

bool conviteValido(const char* token, int n) { return achaConvite(token, n) != nullptr; }

bool usaConvite(const char* token, int n, bool* assiste) {
  TConvite* achado = achaConvite(token, n);
  if (achado == nullptr) return false;
  achado->vivo = false;
  OPENSSL_cleanse(achado->token, kCaracteres);
  if (assiste != nullptr) *assiste = achado->assiste;
  return true;
}

void esqueceConvites() {
  OPENSSL_cleanse(gConvites, sizeof gConvites);
  for (TConvite& c : gConvites) c.vivo = false;
  gVigia.cArma(0);
}

}  // namespace zandor
