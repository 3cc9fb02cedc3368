#!/usr/bin/env bash
# Installs, from Debian, what building Zandor needs and a fresh machine may
# lack: the compiler and CMake, GoogleTest for the tests, OpenSSL (TLS toward
# the MUD, the WebSocket handshake's hash) and wslay (WebSocket framing).
# Installs nothing when all is there, so it costs nothing to run every time.
# Needs root (or sudo) only when something is missing.
set -eu
faltam=()
command -v cmake >/dev/null || faltam+=(cmake)
command -v g++ >/dev/null || faltam+=(g++)
command -v make >/dev/null || faltam+=(make)
[ -f /usr/include/gtest/gtest.h ] || faltam+=(libgtest-dev)
[ -f /usr/include/openssl/ssl.h ] || faltam+=(libssl-dev)
[ -f /usr/include/wslay/wslay.h ] || faltam+=(libwslay-dev)
[ ${#faltam[@]} -eq 0 ] && exit 0
echo "instalando: ${faltam[*]}" >&2
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq "${faltam[@]}" >/dev/null
