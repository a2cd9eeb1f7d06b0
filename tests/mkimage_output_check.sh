#!/bin/sh
# norvask_mkimage --version prints the tool's version and --help names every option of its manual
# page, and no other; what it cannot write (standard output, an output file linked to /dev/full)
# fails with status 2 and one line on standard error, and the link is kept.
# Usage: mkimage_output_check.sh TOOL MKIMAGE MANPAGE
set -u
[ "$("$2" --version | sed 's/.* //')" = "$("$1" -v | sed 's/.* //')" ] || { echo "FAIL: --version"; exit 1; }
options() { sed 's/\\-/-/g' | grep -o -- '--[a-z0-9-]*' | sort -u; }
[ "$("$2" --help | options)" = "$(options <"$3")" ] || { echo "FAIL: --help and $3 name other options"; exit 1; }
full=$(mktemp -u) && ln -s /dev/full "$full" || exit 1
trap 'rm -f "$full"' EXIT
for args in --help --version "--ports 2 $full"; do
  err=$("$2" $args 2>&1 >/dev/full)
  [ $? -eq 2 ] && [ -L "$full" ] && [ "$(echo "$err" | grep -c .)" -eq 1 ] || { echo "FAIL: $args: '$err'"; exit 1; }
done
