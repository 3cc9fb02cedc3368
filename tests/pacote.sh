#!/usr/bin/env bash
# What a person installing Zandor gets: `cmake --install` lays out the
# program, its manual page and its documentation; the manual renders without
# a warning; the manual page and the unit name the paths of the prefix they
# were installed under; CPack makes a Debian package holding the same, for
# /usr, with a sane description and dependencies.
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
falha() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/raiz" >/dev/null
for f in bin/zandor share/man/man1/zandor.1.gz share/doc/zandor/zandor.cfg \
         share/doc/zandor/README.md share/doc/zandor/zandor.service; do
  [ -f "$tmp/raiz/$f" ] || falha "install lacks $f"
done
[ -x "$tmp/raiz/bin/zandor" ] || falha "installed program is not executable"

# The unit and the manual page as installed under prefix $1 in tree $2.
caminhos() {
  local unidade=$2/share/doc/zandor/zandor.service pagina
  pagina=$(gzip -dc "$2/share/man/man1/zandor.1.gz")
  grep -qxF "ExecStart=$1/bin/zandor" "$unidade" || falha "unit under $1: $(grep ExecStart "$unidade")"
  grep -qF "cp $1/share/doc/zandor/zandor.cfg" "$unidade" || falha "unit comments do not name $1"
  grep -qxF ".I $1/bin/zandor" <<<"$pagina" || falha "manual page does not name $1/bin/zandor"
  grep -qF "cp $1/share/doc/zandor/zandor.cfg ." <<<"$pagina" || falha "manual page does not name $1/share/doc"
}
caminhos "$tmp/raiz" "$tmp/raiz"

avisos=$(gzip -dc "$tmp/raiz/share/man/man1/zandor.1.gz" | groff -ww -man -z 2>&1)
[ -z "$avisos" ] || falha "groff warns: $avisos"
avisos=$(MANWIDTH=80 man -l "$tmp/raiz/share/man/man1/zandor.1.gz" 2>&1 >/dev/null)
[ -z "$avisos" ] || falha "man warns: $avisos"
pagina=$(MANWIDTH=80 man -l "$tmp/raiz/share/man/man1/zandor.1.gz" 2>/dev/null)
grep -q "/Encerrando" <<<"$pagina" || falha "manual page does not render its commands"

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pacote" >/dev/null)
deb=$(ls "$tmp"/pacote/zandor_*_*.deb)
[[ $(basename "$deb") =~ ^zandor_[0-9.]+_[a-z0-9]+\.deb$ ]] || falha "odd package name $(basename "$deb")"

conteudo=$(dpkg-deb -c "$deb")
for f in ./usr/bin/zandor ./usr/share/man/man1/zandor.1.gz ./usr/share/doc/zandor/zandor.cfg \
         ./usr/share/doc/zandor/zandor.service; do
  grep -q " $f\$" <<<"$conteudo" || falha "package lacks $f"
done

dpkg-deb -x "$deb" "$tmp/deb"
caminhos /usr "$tmp/deb/usr"

info=$(dpkg-deb -I "$deb")
grep -q '^ Package: zandor$' <<<"$info" || falha "no package name"
grep -q '^ Depends: .*libc6' <<<"$info" || falha "no libc6 dependency: $info"
grep -q '^ Description: gateway that shares one MUD connection' <<<"$info" || falha "no description"
grep -q '^  connection\. Users connect' <<<"$info" || falha "long description mangled"
grep -q '^ Section: net$' <<<"$info" || falha "no section"
echo "install and package: ok"
