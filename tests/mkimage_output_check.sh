#!/bin/sh
# The image maker prints the version of the tool it is built with; whatever it
# writes, when that cannot be written it fails with status 2 and one line on
# standard error, and it never removes a device named as its output (here
# through a link, which a regression would remove instead of /dev/full).
# Usage: mkimage_output_check.sh TOOL MKIMAGE
set -u
failed=0
v=$("$1" -v)
m=$("$2" --version) && [ "${m##* }" = "${v##* }" ] || { echo "FAIL: version '$m', the tool's '$v'"; failed=1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ln -s /dev/full "$tmp/full"
nl='
'
for args in --help --version "--ports 2 $tmp/full"; do
  err=$("$2" $args 2>&1 >/dev/full)
  status=$?
  if [ $status -eq 2 ] && [ -n "$err" ] && [ -L "$tmp/full" ]; then
    case $err in *"$nl"*) ;; *) continue ;; esac
  fi
  echo "FAIL: norvask_mkimage $args >/dev/full: status $status, '$err'"
  failed=1
done
exit $failed
