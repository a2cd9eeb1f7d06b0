#!/usr/bin/env bash
# <TAB> at the end of each row's line offers exactly its words, settings from the line's program's
# --help. Usage: completion_check.sh SCRIPT TOOL MKIMAGE
source "$1" || exit 1
tool=$2 mk=$3 dir=$(mktemp -d) failed=0
trap 'rm -rf "$dir"' EXIT && : >"$dir/a.img"
printf '#!/bin/sh\nprintf "Settings:\\n  foo=X bar-enable=yes|no\\n\\n  baz=1\\n"\n' >"$dir/other" && chmod +x "$dir/other"
while IFS='|' read -r fn line want; do
  COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
  $fn </dev/null 2>/dev/null
  [ "${COMPREPLY[*]}" = "$want" ] || { echo "FAIL: '$line<TAB>' offers '${COMPREPLY[*]}', not '$want'"; failed=1; }
done <<ROWS
_norvask_oem_tool|$tool sh|show
_norvask_oem_tool|$tool set IMG gp|gpio= gpio-enable=
_norvask_oem_tool|$tool set IMG yt|yt-led0= yt-led1= yt-led2= yt-blink=
_norvask_oem_tool|$tool set IMG port-disable-enable=|yes no
_norvask_oem_tool|$tool show $dir/a|$dir/a.img
_norvask_oem_tool|$tool apply IMG F --|--dry-run --force --wait --help
_norvask_oem_tool|$tool get IMG gpio|gpio gpio-enable
_norvask_oem_tool|$tool ver|verify
_norvask_oem_tool|$dir/other set IMG |foo= bar-enable= --dry-run --force --wait --help
_norvask_mkimage|$mk --phy mv-|mv-fiber mv-copper
ROWS
exit $failed
