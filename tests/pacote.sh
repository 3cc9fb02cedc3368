#!/usr/bin/env bash
# What a person installing Zandor gets: `cmake --install` lays out the
# program, its manual page and its documentation; the manual renders without
# a warning; the manual page and the unit name the paths of the prefix they
# were installed under; CPack makes a Debian package holding the same, for
# /usr, with a sane description and dependencies, that installs a service:
# its unit, its conffile, its scripts, copyright and changelog, clean under
# lintian where lintian is installed. Nothing here runs the scripts: that
# needs root, and .ci/run does it on its throwaway machine.
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
         ./usr/share/doc/zandor/copyright ./usr/share/doc/zandor/changelog.gz \
         ./etc/zandor/zandor.cfg ./usr/lib/systemd/system/zandor.service; do
  grep -q " $f\$" <<<"$conteudo" || falha "package lacks $f"
done
# The example unit tells how to set up what the package sets up itself.
! grep -q 'share/doc/zandor/zandor.service' <<<"$conteudo" || falha "package holds the example unit"

dpkg-deb -x "$deb" "$tmp/deb"
! readelf -S "$tmp/deb/usr/bin/zandor" | grep -q '\.symtab' || falha "packaged program is not stripped"
cmp -s "$tmp/deb/etc/zandor/zandor.cfg" "$tmp/deb/usr/share/doc/zandor/zandor.cfg" ||
  falha "/etc/zandor/zandor.cfg is not the shipped configuration"

# The service: run as zandor in /var/lib/zandor, the program where the
# package puts it.
unidade=$tmp/deb/usr/lib/systemd/system/zandor.service
for l in ExecStart=/usr/bin/zandor WorkingDirectory=/var/lib/zandor User=zandor \
         ReadWritePaths=/var/lib/zandor Documentation='man:zandor(1)' WantedBy=multi-user.target; do
  grep -qxF "$l" "$unidade" || falha "unit lacks $l"
done
! grep -q 'useradd\|cp ' "$unidade" || falha "unit keeps the example's set-up comments"

# The package's manual page names the program and the example
# configuration under /usr, and the service's files instead of the example
# unit.
pagina=$(gzip -dc "$tmp/deb/usr/share/man/man1/zandor.1.gz")
grep -qxF ".I /usr/bin/zandor" <<<"$pagina" || falha "package's manual page does not name /usr/bin/zandor"
grep -qF "cp /usr/share/doc/zandor/zandor.cfg ." <<<"$pagina" || falha "package's manual page does not name /usr/share/doc"
for l in ".I /etc/zandor/zandor.cfg" ".I /usr/lib/systemd/system/zandor.service" ".IR /var/lib/zandor ,"; do
  grep -qxF "$l" <<<"$pagina" || falha "package's manual page lacks $l"
done
! grep -q 'example systemd unit' <<<"$pagina" || falha "package's manual page names the example unit"
avisos=$(groff -ww -man -z <<<"$pagina" 2>&1)
[ -z "$avisos" ] || falha "groff warns on the package's manual page: $avisos"

info=$(dpkg-deb -I "$deb")
grep -q '^ Package: zandor$' <<<"$info" || falha "no package name"
grep -q '^ Depends: .*libc6' <<<"$info" || falha "no libc6 dependency: $info"
grep -q '^ Depends: adduser, ' <<<"$info" || falha "no adduser dependency: $info"
grep -q '^ Description: gateway that shares one MUD connection' <<<"$info" || falha "no description"
grep -q '^  connection\. Users connect' <<<"$info" || falha "long description mangled"
grep -q '^ Section: net$' <<<"$info" || falha "no section"
mantenedor=$(sed -n 's/^ZANDOR_MANTENEDOR:STRING=//p' "$build/CMakeCache.txt")
[ -n "$mantenedor" ] || falha "no ZANDOR_MANTENEDOR in the cache"
grep -qxF " Maintainer: $mantenedor" <<<"$info" || falha "Maintainer is not ZANDOR_MANTENEDOR ($mantenedor)"
versao=$(dpkg-deb -f "$deb" Version)

dpkg-deb -e "$deb" "$tmp/controle"
[ "$(cat "$tmp/controle/conffiles")" = /etc/zandor/zandor.cfg ] || falha "conffiles: $(cat "$tmp/controle/conffiles")"
for s in postinst prerm postrm; do
  [ -x "$tmp/controle/$s" ] || falha "no executable $s"
  sh -n "$tmp/controle/$s" || falha "$s: syntax"
done

# changelog.gz: Debian's format, its latest entry this version, signed by
# the maintainer.
gzip -dc "$tmp/deb/usr/share/doc/zandor/changelog.gz" >"$tmp/changelog"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$versao" ] ||
  falha "changelog's latest entry is not $versao: $(head -1 "$tmp/changelog")"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Maintainer)" = "$mantenedor" ] ||
  falha "changelog not signed by $mantenedor"

# copyright: Debian's machine-readable format around LICENSE's own text.
copyright=$tmp/deb/usr/share/doc/zandor/copyright
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" ||
  falha "copyright is not machine-readable"
grep -qx 'Copyright: 2026 Zandor developers' "$copyright" || falha "copyright names no holder"
diff <(sed -n '/^Permission is hereby granted/,$p' "$(dirname "$0")/../LICENSE") \
     <(sed -n '/^ Permission is hereby granted/,$p' "$copyright" | sed 's/^ \.$//; s/^ //') >&2 ||
  falha "copyright's licence text differs from LICENSE"

# Debian's own checker: no error, no warning (information notes pass).
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" 2>/dev/null || falha "lintian: $(lintian "$deb" 2>/dev/null)"
else
  echo "lintian is not installed: the package is not checked by it"
fi
echo "install and package: ok"
