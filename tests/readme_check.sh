#!/usr/bin/env bash
# The README's examples run as written. In a fresh directory laid out as the
# clone root after `make run` (build/ with both programs and demo.img), each
# sh block of a row's section runs in turn in bash -e, as a reader's script
# would (with the README's own pipefail, no other); a block of "$ " lines
# must print the lines that follow them. Usage: readme_check.sh README TOOL MKIMAGE
set -u
readme=$1
command -v jq >/dev/null || { echo "jq is missing (apt-get install jq)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/build" && ln -s "$2" "$tmp/build/norvask_oem_tool" && ln -s "$3" "$tmp/build/norvask_mkimage"
"$3" --family 0 --phy inner "$tmp/build/demo.img" || exit 1
failed=0

# run SECTION [SED]: the section's blocks, with the edit SED applied; a block
# the edit changes must fail, every other block must exit 0.
run() {
  awk -v s="## $1" '/^## /{on = $0 == s} on && /^```/{inblock = /^```sh$/; n += inblock; next}
    on && inblock {print > (dir "/block" n)}' dir="$tmp" "$readme"
  for b in "$tmp"/block*; do
    cp "$b" "$b.orig" && sed -i "${2:-}" "$b"
    if grep -q '^\$ ' "$b"; then
      out=$(cd "$tmp" && sed -n 's/^\$ //p' "$b" | bash -e 2>&1) && [ "$out" = "$(grep -v '^\$ ' "$b")" ]
    else
      out=$(cd "$tmp" && bash -e "$b" 2>&1)
    fi
    status=$?
    if cmp -s "$b" "$b.orig"; then [ $status -eq 0 ]; else [ $status -ne 0 ]; fi ||
      { echo "FAIL: $1${2:+ ($2)}: status $status of"; sed 's/^/  | /' "$b"; echo "$out"; failed=1; }
    rm "$b" "$b.orig"
  done
}

run "Making an image"
run "Scripting a session"
run "Scripted use"
# The CI check fails when its image is missing, whatever jq makes of no input.
run "Scripted use" 's|show build/line/1.img|show build/missing.img|'
exit $failed
