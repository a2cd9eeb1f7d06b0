#!/usr/bin/env bash
# The bash completion, run by bash on a command line as <TAB> would, offers
# exactly the words of each row. Usage: completion_check.sh SCRIPT TOOL MKIMAGE
set -u
source "$1" || exit 1
tool=$2 mk=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
: >"$tmp/a.img"
# A program whose Settings section differs: the names follow its help.
printf '#!/bin/sh\nprintf "Settings:\\n  foo=X bar-enable=yes|no\\n  more text\\n\\n  baz=1\\n"\n' >"$tmp/other"
chmod +x "$tmp/other"
failed=0

# check FUNCTION LINE WORDS: completing at the end of LINE offers WORDS.
check() {
  COMP_LINE=$2 COMP_POINT=${#2} COMPREPLY=()
  $1 2>/dev/null
  [ "${COMPREPLY[*]}" = "$3" ] || { echo "FAIL: '$2<TAB>' offers '${COMPREPLY[*]}', not '$3'"; failed=1; }
}

check _norvask_oem_tool "$tool sh" "show"
check _norvask_oem_tool "$tool -" "--help -f -F -v --version"
check _norvask_oem_tool "$tool set IMG gp" "gpio= gpio-enable="
check _norvask_oem_tool "$tool set IMG port-disable-enable=" "yes no"
check _norvask_oem_tool "$tool set IMG lldp=3 --" "--dry-run"
check _norvask_oem_tool "$tool show $tmp/a" "$tmp/a.img"
check _norvask_oem_tool "$tool show IMG " "--json"
check _norvask_oem_tool "$tool apply IMG -" "-"
check _norvask_oem_tool "$tmp/other set IMG " "foo= bar-enable= --dry-run"
check _norvask_mkimage "$mk --phy m" "mv-fiber mv-copper mv"
check _norvask_mkimage "$mk --family " "0 1"
check _norvask_mkimage "$mk --ver" "--version"
check _norvask_mkimage "$mk --size " ""
check _norvask_mkimage "$mk --ports 2 $tmp/a" "$tmp/a.img"
exit $failed
