// The user cap at start-up: reading a "usuarios" value, and the descriptor
// limit the cap needs. The limit cases run in a child process, which may
// lower its hard limit for good.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "framework/conjunto.h"
#include "gateway/lotacao.h"

namespace zandor {
namespace {

TEST(Lotacao, UsersValueIsAPlainNumberFromOneToTheTop) {
  EXPECT_EQ(leTetoUsuarios("1"), 1);
  EXPECT_EQ(leTetoUsuarios("62"), 62);
  EXPECT_EQ(leTetoUsuarios("200"), 200);
  EXPECT_EQ(leTetoUsuarios("1000"), 1000);
  EXPECT_EQ(leTetoUsuarios("0200"), 200);
  for (const char* ruim : {"", "0", "1001", "9999", "00001", "99999999999999999999", "-5", "+5", "5 0", "5x",
                           "x5", "2e2", "0x10", " 7"})
    EXPECT_EQ(leTetoUsuarios(ruim), -1) << '"' << ruim << '"';
}

// Runs `corpo` in a child whose limit is soft/hard first; the child's exit
// status is the test's verdict (0 when every check held).
int noFilho(rlim_t macio, rlim_t duro, int (*corpo)()) {
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit l{macio, duro};
    if (setrlimit(RLIMIT_NOFILE, &l) != 0) _exit(100);
    _exit(corpo());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int limiteMacio() {
  rlimit l{};
  getrlimit(RLIMIT_NOFILE, &l);
  return static_cast<int>(l.rlim_cur);
}

// A low soft limit under a roomy hard one is raised for the cap, no further.
TEST(Lotacao, SoftLimitIsRaisedForTheCap) {
  EXPECT_EQ(noFilho(100, 2000, [] {
              int limite = 0;
              if (ajustaTeto(200, &limite) != 200) return 1;
              if (limite != 200 + kReservaDescritores || limiteMacio() != limite) return 2;
              // Already enough: left alone.
              if (ajustaTeto(62, &limite) != 62 || limite != 200 + kReservaDescritores) return 3;
              return 0;
            }),
            0);
}

// A hard limit too low for the cap: the cap the limit allows, at least one.
TEST(Lotacao, HardLimitTooLowServesWhatItAllows) {
  EXPECT_EQ(noFilho(50, 100, [] {
              int limite = 0;
              if (ajustaTeto(200, &limite) != 100 - kReservaDescritores || limite != 100) return 1;
              if (limiteMacio() != 100) return 2;
              return 0;
            }),
            0);
  EXPECT_EQ(noFilho(20, 20, [] {
              int limite = 0;
              return ajustaTeto(62, &limite) == 1 && limite == 20 ? 0 : 1;
            }),
            0);
}

// A soft limit beyond the sets' reach comes down to it, so that no socket
// the process opens is one the loop cannot watch.
TEST(Lotacao, LimitNeverExceedsTheSetsReach) {
  EXPECT_EQ(noFilho(kMaxDescritor * 2, kMaxDescritor * 2, [] {
              int limite = 0;
              if (ajustaTeto(1000, &limite) != 1000 || limite != kMaxDescritor) return 1;
              return limiteMacio() == kMaxDescritor ? 0 : 2;
            }),
            0);
}

}  // namespace
}  // namespace zandor
