// Intrusive doubly linked lists. The two links live in the listed object and
// are named by pointers to members, so one object may stand on several lists
// at once (a user is on a level list, on the users' list and in a slot of the
// timer wheel) and linking costs a few stores and no allocation. A list owns
// nothing.
//
//   cabeca -> [a] <-> [b] <-> [c] <- cauda      (anterior <-> proximo)
//              ^ anterior null     ^ proximo null
//
// TElos links and unlinks; the list is then its head, plus its tail where one
// is kept. TLista adds the walk of a dispatch, whose callbacks may destroy or
// move any object of the list while the walk goes on.
#pragma once

namespace zandor {

template <class T, T* T::*anterior, T* T::*proximo>
struct TElos {
  // At the head. A list that keeps a tail passes it: it is set when the
  // list was empty.
  static void poeCabeca(T*& cabeca, T* x, T** cauda = nullptr) {
    x->*anterior = nullptr;
    x->*proximo = cabeca;
    if (cabeca != nullptr)
      cabeca->*anterior = x;
    else if (cauda != nullptr)
      *cauda = x;
    cabeca = x;
  }

  static void poeCauda(T*& cabeca, T*& cauda, T* x) {
    x->*proximo = nullptr;
    x->*anterior = cauda;
    if (cauda != nullptr)
      cauda->*proximo = x;
    else
      cabeca = x;
    cauda = x;
  }

  // Out of its list, both links cleared. `cabeca` (and `cauda`) must be the
  // list's own: an object at the head changes them.
  static void tira(T*& cabeca, T* x, T** cauda = nullptr) {
    T* const antes = x->*anterior;
    T* const depois = x->*proximo;
    if (antes != nullptr)
      antes->*proximo = depois;
    else
      cabeca = depois;
    if (depois != nullptr)
      depois->*anterior = antes;
    else if (cauda != nullptr)
      *cauda = antes;
    x->*anterior = x->*proximo = nullptr;
  }
};

// A list that a dispatch walks, calling into objects that may destroy or
// move any object of the list: the visited one, the next, or any other. The
// two cursors are the walk's and only `tira` moves them: an object leaving
// the list is stepped over, so the walk never touches it again.
//
// One walk per list at a time: a callback may walk other lists, never the
// one that called it.
template <class T, T* T::*anterior, T* T::*proximo>
struct TLista {
  using Elos = TElos<T, anterior, proximo>;

  T* cabeca = nullptr;
  T* cauda = nullptr;
  T* seguinte = nullptr;  // the object the walk visits next
  T* corrente = nullptr;  // the object it is visiting; null once that one left

  void poeCabeca(T* x) { Elos::poeCabeca(cabeca, x, &cauda); }
  void poeCauda(T* x) { Elos::poeCauda(cabeca, cauda, x); }
  void tira(T* x) {
    if (corrente == x) corrente = nullptr;
    if (seguinte == x) seguinte = x->*proximo;
    Elos::tira(cabeca, x, &cauda);
  }

  // Calls visita(p) for each object in list order. The next object is taken
  // before the call, so whatever the call does, the walk goes on from what
  // is still on the list; an object that joins the list meanwhile is visited
  // only if it lands behind `seguinte`.
  template <class F>
  void percorre(F&& visita) {
    for (T* p = cabeca; p != nullptr; p = seguinte) {
      seguinte = p->*proximo;
      corrente = p;
      visita(p);
      corrente = nullptr;
    }
  }
};

}  // namespace zandor
