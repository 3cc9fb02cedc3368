#!/usr/bin/env bash
# Runs the end-to-end suite with every gateway it starts under valgrind's
# memcheck, and fails on any error valgrind reports in any of them (invalid
# reads and writes, uses of uninitialised values, bad frees, memory definitely
# or possibly lost) and on any failing test. A gateway that the test leaves
# running is ended with SIGTERM, on which valgrind still checks for leaks and
# writes its summary; one that has no summary (killed outright) counts as a
# failure too. tools/valgrind.supp lists what is not ours to fix.
#
# Usage: tools/valgrind.sh [build dir, default build] [gtest filter, default *]
# ZANDOR_E2E_FATOR (default 10) stretches the tests' deadlines.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
filtro=${2:-*}
e2e="$build/tests/zandor_e2e"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
[ -x "$e2e" ] || { echo "$e2e not found: build the zandor_e2e target first" >&2; exit 2; }

relatorios=$(mktemp -d /tmp/zandor-valgrind-XXXXXX)
# Each gateway writes its own report, named after its process id; valgrind's
# own output never reaches the gateway's standard output or error.
export ZANDOR_E2E_ENVOLTORIO="valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,possible \
--errors-for-leak-kinds=definite,possible --error-exitcode=99 --suppressions=$PWD/tools/valgrind.supp \
--log-file=$relatorios/gateway.%p.txt"
export ZANDOR_E2E_FATOR=${ZANDOR_E2E_FATOR:-10}

inicio=$SECONDS
set +e
"$e2e" --gtest_filter="$filtro" >"$relatorios/testes.txt" 2>&1
testes=$?
set -e
duracao=$((SECONDS - inicio))

falhas=0
shopt -s nullglob
arquivos=("$relatorios"/gateway.*.txt)
echo "valgrind: ${#arquivos[@]} gateway runs in ${duracao} s"
for f in "${arquivos[@]}"; do
  resumo=$(grep -h 'ERROR SUMMARY' "$f" || true)
  if [ -z "$resumo" ]; then
    echo "no ERROR SUMMARY (ended before valgrind could report): $f"
    falhas=$((falhas + 1))
  elif ! grep -q 'ERROR SUMMARY: 0 errors' <<<"$resumo"; then
    echo "== $f"
    cat "$f"
    falhas=$((falhas + 1))
  fi
done
# The summary lines, counted.
for f in "${arquivos[@]}"; do grep -h 'ERROR SUMMARY' "$f" || true; done | sed 's/^==[0-9]*== //' | sort | uniq -c

grep -E '^\[  (PASSED|FAILED) |tests? ran' "$relatorios/testes.txt" || true
if [ "$testes" -ne 0 ]; then
  echo "tests failed under valgrind:"
  grep -E '^\[  FAILED  \]|Failure' -A3 "$relatorios/testes.txt" | head -80
fi
if [ "$falhas" -ne 0 ] || [ "$testes" -ne 0 ] || [ "${#arquivos[@]}" -eq 0 ]; then
  echo "reports kept in $relatorios"
  exit 1
fi
rm -rf "$relatorios"
echo "valgrind: clean"
