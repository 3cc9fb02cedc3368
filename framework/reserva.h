// TReserva: a free list of large buffers of one size, for what only some
// connections need for a while (a ring while a long line is in flight, a
// long typed line). A buffer handed back is kept for the next taker, so a
// steady state allocates nothing; the list is never trimmed, so it holds as
// many buffers as were ever out at once: the cost of that is the peak, kept
// (at most one ring's growth per connection, 32 KiB each).
#pragma once

#include <cstddef>
#include <new>

namespace zandor {

template <int kTamanho>
class TReserva {
 public:
  static_assert(kTamanho >= static_cast<int>(sizeof(void*)), "a free buffer holds the link to the next");

  // A buffer of kTamanho bytes, or null when none can be had.
  char* toma() {
    if (livres_ != nullptr) {
      Livre* l = livres_;
      livres_ = l->proximo;
      --quantosLivres_;
      return reinterpret_cast<char*>(l);
    }
    return static_cast<char*>(::operator new(kTamanho, std::nothrow));
  }
  void devolve(char* b) {
    if (b == nullptr) return;
    Livre* l = reinterpret_cast<Livre*>(b);
    l->proximo = livres_;
    livres_ = l;
    ++quantosLivres_;
  }
  int livres() const { return quantosLivres_; }

 private:
  struct Livre {
    Livre* proximo;
  };
  Livre* livres_ = nullptr;
  int quantosLivres_ = 0;
};

}  // namespace zandor
