#!/bin/sh
# The Debian package built from build directory $1 passes lintian (errors and hardening tags fail, the
# rest is shown), its programs are hardened and need libc alone, a tree of source $3 built without
# GoogleTest packs the same bytes, its files sit where Debian wants them, its changelog names version
# $2, and its tool, unpacked into a temporary root, prints the version line of $2 with status 255.
set -eu
build=$1 version=$2 src=$3
command -v lintian >/dev/null || { echo "lintian is missing (apt-get install lintian)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/pkg/*.deb)

# Errors fail the check; warnings and the rest are shown. Root is how CI runs.
{ lintian --allow-root --fail-on error --info --display-info "$deb" || echo "E: lintian failed"; } | tee "$tmp/lintian.log"
! grep -Eq '^E: |hardening-' "$tmp/lintian.log" || { echo "lintian reports errors or hardening tags on $deb"; exit 1; }

# Reproducible: a tree elsewhere, of the same build type and compiler and as
# on a machine without GoogleTest, packs the same bytes.
cmake -S "$src" -B "$tmp/b2" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON $(grep -E '^CMAKE_(BUILD_TYPE|CXX_COMPILER):' "$build/CMakeCache.txt" | sed 's/^/-D/') \
  >"$tmp/b2.log" 2>&1 && cpack --config "$tmp/b2/CPackConfig.cmake" -B "$tmp/pkg2" >>"$tmp/b2.log" 2>&1 || { cat "$tmp/b2.log"; exit 1; }
cmp "$deb" "$tmp"/pkg2/*.deb || { echo "two builds of one commit differ"; exit 1; }

dpkg -x "$deb" "$tmp/root"
doc=share/doc/norvask-oem-tool
for f in bin/norvask_oem_tool bin/norvask_mkimage share/man/man1/norvask_oem_tool.1.gz share/man/man1/norvask_mkimage.1.gz \
         $doc/copyright $doc/changelog.gz share/bash-completion/completions/norvask_oem_tool share/bash-completion/completions/norvask_mkimage; do
  [ -f "$tmp/root/usr/$f" ] || { echo "missing /usr/$f in $deb"; exit 1; }
done
head=$(gzip -dc "$tmp/root/usr/$doc/changelog.gz" | head -n 1)
case $head in "norvask-oem-tool ($version) "*) ;; *) echo "packaging/changelog begins '$head', not $version"; exit 1 ;; esac
dpkg-deb -f "$deb" Depends | grep -Eqx 'libc6( \([^)]*\))?' || { echo "$deb depends on more than libc6"; exit 1; }
for p in norvask_oem_tool norvask_mkimage; do
  readelf -d "$tmp/root/usr/bin/$p" | grep -q BIND_NOW && readelf --dyn-syms -W "$tmp/root/usr/bin/$p" |
    grep -q ' __[a-z]*_chk@' || { echo "$p: no BIND_NOW or no fortified call"; exit 1; }
done
status=0
out=$("$tmp/root/usr/bin/norvask_oem_tool" -v) || status=$?
[ "$out" = "norvask_oem_tool  version : $version" ] && [ "$status" -eq 255 ] || { echo "got '$out', status $status"; exit 1; }
