#!/bin/sh
# The image maker's output. An accepted command line ("@": the output file) exits 0, prints nothing,
# writes the size asked (1 MiB unless given) with the words asked; a refused one exits 2, says why
# after "norvask_mkimage: " and writes no file. --version is the tool's, --help names the manual
# page's options; what it cannot write (output, a file linked to /dev/full) fails with status 2 and
# one line, the link kept. Usage: mkimage_output_check.sh TOOL MKIMAGE MANPAGE
set -u
tmp=$(mktemp -d) failed=0
trap 'rm -rf "$tmp"' EXIT
out=$tmp/m.img
fail() { echo "FAIL: $*"; failed=1; }
word() { od -An -tx4 -j $(($1)) -N4 "$out" | tr -d ' '; }
# Sub-system id (0xfffdc): device id high byte in bits 16-23, low byte 24-31, PHY code 8-15, NCSI
# bit 7, WOL bit 6, ports 0-2. The pattern leaves no word outside the owned ones erased.
while IFS='|' read -r args size words; do
  st=0 msg=$("$2" $(echo "$args" | sed "s|@|$out|g") 2>&1) || st=$?
  [ $st -eq 0 ] && [ -z "$msg" ] && [ "$(stat -c %s "$out")" = "${size:-1048576}" ] || fail "$args: status $st, '$msg'"
  for w in $words; do [ "$(word "${w%=*}")" = "${w#*=}" ] || fail "$args: word ${w%=*} is $(word "${w%=*}")"; done
  rm -f "$out"
done <<'ROWS'
@||0xfffdc=ffffffff 0=5aa51000 0x16c=0000000f 0xfd800=5aa51000 0xfd96c=00000003 0xff000=ffffffff 0xf1000=ffffffff
--phy inner @||0xfffdc=00101004
--phy yt @||0xfffdc=00106004
--phy mv-fiber @||0xfffdc=00105004
--phy mv-copper @||0xfffdc=00105104
--phy mv @||0xfffdc=00105204
--phy other @||0xfffdc=00108004
--family 1 @||0xfffdc=01101004
--family 1 --phy copper @||0xfffdc=01101004
--family 1 --phy fiber --ports 2 --wol 1 --ncsi 1 @||0xfffdc=011030c2 0x16c=00000003
--device-id 0x2001 --phy-code 52 --ports 7 @||0xfffdc=01205207 0x16c=0000000f
--phy mv --phy-code ff --device-id abcd @||0xfffdc=cdabff04
--wol 0 @||0xfffdc=00000004
@ --port-mask 7 --word ff004=1234 --word 0XF1000=0x5 --word ff004=a||0xfffdc=ffffffff 0x16c=00000007 0xff004=0000000a 0xf1000=00000005
--word ffffc=11 @||0xffffc=00000011
--size 0xFFFE0 @|1048544|0xfffdc=ffffffff
--size 1000 @|1000|0x16c=0000000f
--pattern @||0xff000=ffffffff 0xfdd6c=00000001 0x400=31147b5e 0x10000=35107f5a 0xf1004=4994f3de 0xff02c=610c2bf6
ROWS
for args in "" "--family 2 @" "--family -1 @" "@ --family" "--phy yt --family 1 @" "--phy bogus @" "--device-id 10000 @" \
  "--device-id 0x @" "--phy-code 100 @" "--ports 8 @" "--ports +3 @" "--wol yes @" "--ncsi 2 @" "--port-mask 100000000 @" \
  "--word ff004 @" "--word ff002=1 @" "--word 100000=1 @" "--word ff004=100000000 @" "--word =1 @" "--size 0x100001 @" \
  "--size 1k @" "--bogus @" "- @" "@ @2" "@/no-such-dir/x.img"; do
  st=0 msg=$("$2" $(echo "$args" | sed "s|@|$out|g") 2>&1) || st=$?
  [ $st -eq 2 ] && [ "$(echo "$msg" | grep -c '^norvask_mkimage: ')" -eq 1 ] && [ ! -e "$out" ] && [ ! -e "${out}2" ] ||
    fail "$args: status $st, '$msg'"
  rm -f "$out" "${out}2"
done
"$2" --device-id " 12" "$out" 2>/dev/null; [ $? -eq 2 ] && [ ! -e "$out" ] || fail "a device id with a space in it"
[ "$("$2" --version | sed 's/.* //')" = "$("$1" -v | sed 's/.* //')" ] || fail "--version"
options() { sed 's/\\-/-/g' | grep -o -- '--[a-z0-9-]*' | sort -u; }
[ "$("$2" --help | options)" = "$(options <"$3")" ] || fail "--help and $3 name other options"
ln -s /dev/full "$tmp/full" || exit 1
for args in --help --version "--ports 2 $tmp/full" "--size 100 $tmp/full"; do
  err=$("$2" $args 2>&1 >/dev/full)
  [ $? -eq 2 ] && [ -L "$tmp/full" ] && [ "$(echo "$err" | grep -c .)" -eq 1 ] || fail "$args: '$err'"
done
exit $failed
