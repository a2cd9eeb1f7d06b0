#!/bin/sh
# The Debian package built from build directory $1 passes lintian (errors fail, the rest is shown),
# holds its files where Debian wants them, its changelog names version $2, and the packaged tool,
# unpacked into a temporary root, prints the version line of $2 with status 255.
set -eu
build=$1 version=$2
command -v lintian >/dev/null || { echo "lintian is missing (apt-get install lintian)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/pkg/*.deb)
lintian --allow-root --fail-on error --info "$deb" || { echo "lintian reports errors on $deb"; exit 1; }
dpkg -x "$deb" "$tmp/root"
doc=share/doc/norvask-oem-tool
for f in bin/norvask_oem_tool bin/norvask_mkimage share/man/man1/norvask_oem_tool.1.gz \
         share/man/man1/norvask_mkimage.1.gz $doc/copyright $doc/changelog.gz; do
  [ -f "$tmp/root/usr/$f" ] || { echo "missing /usr/$f in $deb"; exit 1; }
done
head=$(gzip -dc "$tmp/root/usr/$doc/changelog.gz" | head -n 1)
case $head in "norvask-oem-tool ($version) "*) ;; *) echo "packaging/changelog begins '$head', not $version"; exit 1 ;; esac
dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "no shared library dependencies in $deb"; exit 1; }
status=0
out=$("$tmp/root/usr/bin/norvask_oem_tool" -v) || status=$?
[ "$out" = "norvask_oem_tool  version : $version" ] && [ "$status" -eq 255 ] || { echo "got '$out', status $status"; exit 1; }
