#!/usr/bin/env bash
# Each sh block of a row's README section, after its sed edit, runs in bash -e as after `make run`:
# changed, it must fail, else pass; "$ " lines print the lines after them.
# Usage: readme_check.sh README TOOL MKIMAGE
tmp=$(mktemp -d) failed=0
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/build" && ln -s "$2" "$3" "$tmp/build" && "$3" --family 0 --phy inner "$tmp/build/demo.img" || exit 1
while IFS='|' read -r section edit; do
  awk -v s="## $section" '/^## /{on = $0 == s} on && /^```/{inblock = /^```sh$/; n += inblock; next}
    on && inblock {print > (dir "/block" n)}' dir="$tmp" "$1"
  for b in "$tmp"/block*; do
    sed "$edit" "$b" >"$b.run"
    if grep -q '^\$ ' "$b"; then
      out=$(cd "$tmp" && sed -n 's/^\$ //p' "$b.run" | bash -e 2>&1) && [ "$out" = "$(grep -v '^\$ ' "$b.run")" ]
    else
      out=$(cd "$tmp" && bash -e "$b.run" 2>&1)
    fi
    status=$?
    cmp -s "$b" "$b.run"
    [ $((status != 0)) -eq $? ] ||
      { echo "FAIL: $section ($edit): status $status of"; sed 's/^/  | /' "$b.run"; echo "$out"; failed=1; }
    rm "$b" "$b.run"
  done
done <<'ROWS'
Making an image|
Scripting a session|
Scripted use|
Scripted use|s|show build/line/1.img|show build/missing.img|
ROWS
exit $failed
