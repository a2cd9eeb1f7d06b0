#!/bin/sh
# Builds the Debian package from the build directory $1, unpacks it into a
# temporary root and runs the packaged tool from there: it must print the
# version line of version $2 and exit with status 255.
set -eu
build=$1 version=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/pkg/*.deb)
dpkg -x "$deb" "$tmp/root"
for f in bin/norvask_oem_tool bin/norvask_mkimage share/man/man1/norvask_oem_tool.1 share/man/man1/norvask_mkimage.1; do
  [ -f "$tmp/root/usr/$f" ] || { echo "missing /usr/$f in $deb"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "no shared library dependencies in $deb"; exit 1; }
status=0
out=$("$tmp/root/usr/bin/norvask_oem_tool" -v) || status=$?
[ "$out" = "norvask_oem_tool  version : $version" ] && [ "$status" -eq 255 ] || { echo "got '$out', status $status"; exit 1; }
