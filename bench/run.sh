#!/usr/bin/env bash
# Zandor's performance figures in one command.
#
# Builds the gateway and the load tool (Release, build-bench) and a second
# gateway that leaves Nagle's algorithm on (build-bench-nagle), installs
# socat, tmux and TinTin++ when they are missing, and prints:
#   - the gateway with 1, 8, 32 users and a full house (the most users it
#     takes, from the load tool's --teto): latency both ways and CPU per
#     delivered copy under a fixed load, lossless capacity, idle wake-ups and
#     memory per user;
#   - the same fixed load through socat (one user), for CPU per copy;
#   - a full house at 2,000 lines/s through the gateway and through TinTin++
#     sharing its session on a port, and through the gateway with lines of 80
#     and of 2,000 bytes (CPU per copy, p99, the gateway's memory);
#   - a crowd: 200 users (under "usuarios = 200") beside the default full
#     house, the MUD at 2,000 lines/s of 80 bytes: loss, CPU per copy, p99,
#     the gateway's memory;
#   - a thousand users (under "usuarios = 1000") at 200 lines/s of 80 bytes:
#     loss, CPU per copy, p99;
#   - the kernel's floor under the CPU per copy (zandor_piso): one send per
#     user per pass over loopback and nothing else, and two, the first with
#     MSG_MORE, as a pass that overflows a user's ring sends;
#   - a full house at 2,000 lines/s of web users only, and of half telnet
#     and half web users, those in clear and over WSS: CPU per copy for each
#     kind;
#   - user->MUD latency while the MUD floods, with TCP_NODELAY and without.
# Everything runs on 127.0.0.1; the load tool starts and ends every process
# it measures, by id. Temporary files go to one directory removed at exit.
# Takes about six minutes.
set -euo pipefail

raiz=$(cd "$(dirname "$0")/.." && pwd)
build="$raiz/build-bench"
buildNagle="$raiz/build-bench-nagle"

faltam=()
command -v socat >/dev/null 2>&1 || faltam+=(socat)
command -v tmux >/dev/null 2>&1 || faltam+=(tmux)
[ -x /usr/games/tt++ ] || faltam+=(tintin++)
if [ ${#faltam[@]} -gt 0 ]; then
  echo "installing ${faltam[*]}" >&2
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${faltam[@]}" >/dev/null
fi

compila() {  # build dir, targets, extra cmake options
  local dir=$1 alvos=$2
  shift 2
  cmake -S "$raiz" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j2 --target $alvos >/dev/null
}
echo "building (Release)..." >&2
compila "$build" "zandor zandor_carga zandor_piso"
compila "$buildNagle" "zandor" -DZANDOR_NAGLE=ON

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export TMPDIR=$tmp
carga="$build/bench/zandor_carga"
resumo="$tmp/resumo"
teto=$("$carga" --teto)  # the most users the gateway takes

echo "Zandor $(git -C "$raiz" rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$carga" --rotulo zandor --usuarios "1,8,32,$teto" --taxa 1000 --segundos 6 --resumo "$resumo"
"$carga" --rotulo socat --alvo socat --usuarios 1 --taxa 1000 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo zandor@2000 --usuarios "$teto" --taxa 2000 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo zandor@2000x80 --usuarios "$teto" --taxa 2000 --segundos 6 --so-fluxo --bytes 80 --resumo "$resumo"
"$carga" --rotulo zandor@2000x2000 --usuarios "$teto" --taxa 2000 --segundos 6 --so-fluxo --bytes 2000 --resumo "$resumo"
"$carga" --rotulo multidao --usuarios "$teto,200" --taxa 2000 --bytes 80 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo mil --usuarios 1000 --taxa 200 --bytes 80 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo web@2000 --usuarios "$teto" --web "$teto" --taxa 2000 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo mistura@2000 --usuarios "$teto" --web $((teto / 2)) --taxa 2000 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo wss@2000 --usuarios "$teto" --web $((teto / 2)) --wss --taxa 2000 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo tintin@2000 --alvo tintin --usuarios "$teto" --taxa 2000 --segundos 6 --so-fluxo --resumo "$resumo"
"$carga" --rotulo nodelay --usuarios 8 --taxa 2000 --segundos 10 --so-fluxo --resumo "$resumo"
"$carga" --rotulo nagle --binario "$buildNagle/zandor" --usuarios 8 --taxa 2000 --segundos 10 --so-fluxo --resumo "$resumo"

awk -v teto="$teto" '
  { v[$1 " " $2 " " $3] = $4 }
  function q(r, n, k) { return v[r " " n " " k] }
  function razao(a, b) { return (b + 0 > 0) ? sprintf("%.2f", a / b) : "-" }
  END {
    print ""
    print "Comparisons"
    printf "  CPU per delivered copy, 1 user, 1,000 lines/s: zandor %.3f us, socat %.3f us; zandor/socat = %s\n",
      q("zandor", 1, "cpu_us_copia"), q("socat", 1, "cpu_us_copia"), razao(q("zandor", 1, "cpu_us_copia"), q("socat", 1, "cpu_us_copia"))
    printf "  %d users, 2,000 lines/s:     %12s %12s\n", teto, "zandor", "tt++"
    printf "    CPU us per copy            %12.3f %12.3f\n", q("zandor@2000", teto, "cpu_us_copia"), q("tintin@2000", teto, "cpu_us_copia")
    printf "    MUD->user p50/p99 ms       %5.1f/%-6.1f %5.1f/%-6.1f\n", q("zandor@2000", teto, "desce_p50"), q("zandor@2000", teto, "desce_p99"),
      q("tintin@2000", teto, "desce_p50"), q("tintin@2000", teto, "desce_p99")
    printf "    user->MUD p50/p99 ms       %5.1f/%-6.1f %5.1f/%-6.1f\n", q("zandor@2000", teto, "sobe_p50"), q("zandor@2000", teto, "sobe_p99"),
      q("tintin@2000", teto, "sobe_p50"), q("tintin@2000", teto, "sobe_p99")
    printf "    copies lost                %11.1f%% %11.1f%%\n", q("zandor@2000", teto, "perdidas_pct"), q("tintin@2000", teto, "perdidas_pct")
    printf "  %d users, 2,000 lines/s, by line length: %12s %12s\n", teto, "80 bytes", "2000 bytes"
    printf "    CPU us per copy            %12.3f %12.3f\n", q("zandor@2000x80", teto, "cpu_us_copia"), q("zandor@2000x2000", teto, "cpu_us_copia")
    printf "    MUD->user p99 ms           %12.1f %12.1f\n", q("zandor@2000x80", teto, "desce_p99"), q("zandor@2000x2000", teto, "desce_p99")
    printf "    copies lost                %11.1f%% %11.1f%%\n", q("zandor@2000x80", teto, "perdidas_pct"), q("zandor@2000x2000", teto, "perdidas_pct")
    printf "    gateway VmRSS KiB          %12d %12d\n", q("zandor@2000x80", teto, "rss_kb"), q("zandor@2000x2000", teto, "rss_kb")
    printf "  a crowd, 2,000 lines/s of 80 bytes:  %12s %12s\n", teto " users", "200 users"
    printf "    copies lost                %11.1f%% %11.1f%%\n", q("multidao", teto, "perdidas_pct"), q("multidao", 200, "perdidas_pct")
    printf "    CPU us per copy            %12.3f %12.3f\n", q("multidao", teto, "cpu_us_copia"), q("multidao", 200, "cpu_us_copia")
    printf "    MUD->user p50/p99 ms       %5.1f/%-6.1f %5.1f/%-6.1f\n", q("multidao", teto, "desce_p50"), q("multidao", teto, "desce_p99"),
      q("multidao", 200, "desce_p50"), q("multidao", 200, "desce_p99")
    printf "    user->MUD p50/p99 ms       %5.1f/%-6.1f %5.1f/%-6.1f\n", q("multidao", teto, "sobe_p50"), q("multidao", teto, "sobe_p99"),
      q("multidao", 200, "sobe_p50"), q("multidao", 200, "sobe_p99")
    printf "    gateway VmRSS KiB          %12d %12d\n", q("multidao", teto, "rss_kb"), q("multidao", 200, "rss_kb")
    printf "  1000 users, 200 lines/s of 80 bytes: %.1f%% lost, CPU %.3f us per copy, MUD->user p50/p99 %.1f/%.1f ms, VmRSS %d KiB\n",
      q("mil", 1000, "perdidas_pct"), q("mil", 1000, "cpu_us_copia"), q("mil", 1000, "desce_p50"), q("mil", 1000, "desce_p99"), q("mil", 1000, "rss_kb")
    printf "  %d users, 2,000 lines/s, CPU us per copy: all telnet %.3f, all web %.3f (web/telnet = %s), half and half %.3f\n",
      teto, q("zandor@2000", teto, "cpu_us_copia"), q("web@2000", teto, "cpu_us_copia"),
      razao(q("web@2000", teto, "cpu_us_copia"), q("zandor@2000", teto, "cpu_us_copia")), q("mistura@2000", teto, "cpu_us_copia")
    printf "  %d users, half of them web, 2,000 lines/s, CPU us per copy: web in clear %.3f, web over WSS %.3f (WSS/clear = %s)\n",
      teto, q("mistura@2000", teto, "cpu_us_copia"), q("wss@2000", teto, "cpu_us_copia"),
      razao(q("wss@2000", teto, "cpu_us_copia"), q("mistura@2000", teto, "cpu_us_copia"))
    printf "  8 users, MUD at 2,000 lines/s:    %12s %12s\n", "TCP_NODELAY", "Nagle on"
    printf "    user->MUD p50/p99/max ms   %5.1f/%.1f/%.1f   %5.1f/%.1f/%.1f\n", q("nodelay", 8, "sobe_p50"), q("nodelay", 8, "sobe_p99"), q("nodelay", 8, "sobe_max"),
      q("nagle", 8, "sobe_p50"), q("nagle", 8, "sobe_p99"), q("nagle", 8, "sobe_max")
    printf "    MUD->user p50/p99/max ms   %5.1f/%.1f/%.1f   %5.1f/%.1f/%.1f\n", q("nodelay", 8, "desce_p50"), q("nodelay", 8, "desce_p99"), q("nodelay", 8, "desce_max"),
      q("nagle", 8, "desce_p50"), q("nagle", 8, "desce_p99"), q("nagle", 8, "desce_max")
  }' "$resumo"
echo "  the kernel's floor (under the load tool at 2,000 lines/s the gateway makes about 50 passes/s, 40 lines each):"
"$build/bench/zandor_piso" --usuarios "$teto" --partes 1 | sed 's/^/    /'
"$build/bench/zandor_piso" --usuarios "$teto" --partes 2 | sed 's/^/    /'
