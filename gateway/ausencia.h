// An away web user's output: what it would have been sent while its link
// was down, kept to be sent when it comes back.
//
// The messages are kept as that user's codec made them (bytes ready for its
// ring), whole, oldest first, in one buffer of kBytesAusencia allocated when
// the user goes away and freed once it is back and everything kept has been
// sent, or when it leaves. Nothing is allocated per message. When a new
// message finds no room, the oldest whole messages go, and are counted, so
// the user learns how many it lost ("/N linhas perdidas enquanto ausente").
//
// The buffer holds records that never wrap, each a length and its bytes:
//
//   not wrapped:  [ free | rec rec rec ........ | free ]
//                        ^inicio                ^fim
//
//   wrapped:      [ rec rec .... | free | rec rec rec ... | unused ]
//                                ^fim  ^inicio            ^marca
//
// A record that does not fit before the end starts again at the front,
// behind the oldest, and the bytes past `marca` wait unused until the oldest
// records before them go. So a user loses a little of the 64 KiB to that
// tail, at most one message's worth, and never more than kBytesAusencia is
// kept.
//
// On coming back the kept messages are streamed out as the user's ring
// takes them, like the history (historia.cpp): cPrimeira shows the oldest,
// cTira takes it once the ring has accepted it. While anything is kept,
// new output for that user goes in behind it, so the order holds.
//
// Memory: kBytesAusencia per away user, and nothing for the rest; with the
// default cap of 62 users all away, 62 x 64 KiB = 3.9 MiB.
#pragma once

#include <cstdint>

namespace zandor {

inline constexpr int32_t kBytesAusencia = 64 * 1024;
inline constexpr int kTicksAusencia = 3000;  // 10 min: how long a user stays away before it leaves

class TAusencia {
 public:
  TAusencia() = default;
  ~TAusencia() { cTermina(); }
  TAusencia(const TAusencia&) = delete;
  TAusencia& operator=(const TAusencia&) = delete;

  // Allocates the buffer (once: a second call keeps what is kept); false
  // when memory is short, and the user cannot be kept away.
  bool cComeca();
  // Frees the buffer and forgets what it held and the count of lost messages.
  void cTermina();
  bool cAtiva() const { return base != nullptr; }

  // Keeps one whole message of n bytes, dropping the oldest to make room.
  // Without a buffer, or with n beyond kBytesAusencia - kCabeca, the message
  // itself is lost and counted.
  void cGuarda(const char* bytes, int32_t n);

  // The oldest kept message; false when none is kept.
  bool cPrimeira(const char** bytes, int32_t* n) const;
  // Takes the oldest kept message away: it was sent.
  void cTira();
  // Sends the kept messages through envia(bytes, n) while it accepts them;
  // how many it took.
  template <class Envia>
  int cEscoa(Envia envia) {
    const char* p;
    int32_t n;
    int enviadas = 0;
    while (cPrimeira(&p, &n) && envia(p, n)) {
      cTira();
      ++enviadas;
    }
    return enviadas;
  }

  int32_t cMensagens() const { return mensagens; }
  int32_t cBytes() const { return bytes; }  // of the kept messages, their lengths left out
  bool cVazia() const { return mensagens == 0; }

  // Messages lost since the count was last taken; taking it zeroes it.
  int32_t cPerdidas() const { return perdidas; }
  int32_t cTiraPerdidas() {
    const int32_t n = perdidas;
    perdidas = 0;
    return n;
  }
  // msg::kLinhasPerdidas with the count taken, into destino[tamanho]; false
  // (and nothing written) when none was lost.
  bool cAvisoPerdidas(char* destino, int tamanho);

  static constexpr int32_t kCabeca = static_cast<int32_t>(sizeof(int32_t));  // a record's length

 private:
  void descartaMaisAntiga();

  char* base = nullptr;
  int32_t inicio = 0;     // the oldest record
  int32_t fim = 0;        // where the next record goes
  int32_t marca = 0;      // wrapped: the end of the records behind `inicio`
  bool dobrada = false;
  int32_t mensagens = 0;
  int32_t bytes = 0;
  int32_t perdidas = 0;
};

static_assert(TAusencia::kCabeca < kBytesAusencia, "a record's length leaves room for its bytes");

inline constexpr int kTamanhoRetoma = 65;  // a resume id: 64 characters and a terminator

// What binds a web user to the resume id its page sent: the id, made with
// the user when it came with one and was admitted by a seat or as loopback,
// and the away state. Small (the store's buffer is taken only while away or
// still draining), and only web users with an id have one.
//
//   linked  --link ends, no /sair-->  away (ausente: output kept, 10 min)
//   away    --same id, same admission-->  draining (escoando: kept output
//           goes first, new output queues behind it)  --empty-->  linked
//   away    --10 min-->  gone, "//APELIDO saiu"
struct TRetoma {
  char id[kTamanhoRetoma] = {};
  bool ausente = false;   // no link: output goes to `guardado`
  bool escoando = false;  // linked again, `guardado` still being sent
  TAusencia guardado;
};

}  // namespace zandor
