// Parameterised cases that carry their own name in a `nome` field.
//
// Left alone, gtest prints a case as its raw bytes, pointers included: the
// listing changes from run to run and so do the test names CTest discovers.
// Each case struct therefore has a one-line PrintTo beside it that prints
// its name, and PeloNome names every instance after it.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct PeloNome {
  template <class Caso>
  std::string operator()(const ::testing::TestParamInfo<Caso>& i) const {
    return i.param.nome;
  }
};
