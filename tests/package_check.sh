#!/bin/sh
# The package of build $1: lintian-clean, hardened, libc alone, version $2. From source $3 after
# `make run`, both installs put everything in place; `make install` strips and builds no test.
set -eu
build=$1 version=$2 src=$3 tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
command -v lintian >/dev/null || fail "lintian is missing (apt-get install lintian)"
cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
deb=$(ls "$tmp"/pkg/*.deb)
{ lintian --allow-root --fail-on error "$deb" || echo "E: lintian failed"; } | tee "$tmp/lintian"
! grep -Eq '^E: |hardening-' "$tmp/lintian" || fail "lintian errors or hardening tags"
dpkg-deb -f "$deb" Depends | grep -Eqx 'libc6( \([^)]*\))?' || fail "depends on more than libc6"
dpkg -x "$deb" "$tmp/root"
tool=$tmp/root/usr/bin/norvask_oem_tool
readelf -d "$tool" | grep -q BIND_NOW && readelf --dyn-syms -W "$tool" | grep -q ' __[a-z]*_chk@' || fail "not hardened"
[ "$("$tool" -v)" = "norvask_oem_tool  version : $version" ] || fail "$tool -v"
make -C "$src" --no-print-directory BUILD="$tmp/run" JOBS=2 run-targets >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
cmake --install "$tmp/run" --prefix "$tmp/a" >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
make -C "$src" --no-print-directory BUILD="$tmp/run" JOBS=2 PREFIX="$tmp/b" install >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
for f in bin/norvask_oem_tool bin/norvask_mkimage share/man/man1/norvask_oem_tool.1.gz share/man/man1/norvask_mkimage.1.gz \
  share/doc/norvask-oem-tool/changelog.gz share/bash-completion/completions/norvask_oem_tool; do
  for root in "$tmp/root/usr" "$tmp/a" "$tmp/b"; do [ -f "$root/$f" ] || fail "no $root/$f"; done
done
[ ! -e "$tmp/run/tests/verbs_test" ] || fail "make install built the tests"
! readelf -S "$tmp/b/bin/norvask_oem_tool" | grep -q symtab || fail "make install left the symbols in"
