#!/bin/sh
# `make run` never creates an image at a path the user named: a missing file, an empty name or a directory
# stops make before anything is built or the tool starts; an existing image goes to the tool as it is, never
# remade; demo images are made only under the build directory. Each row: ok or refused, a text make
# prints, its arguments (VAR=VALUE before "run" goes to the environment). Usage: make_run_check.sh SRC
set -u
src=$1 tmp=$(mktemp -d) failed=0
trap 'rm -rf "$tmp"' EXIT
build=$tmp/build
: >"$tmp/board.img"
while IFS='|' read -r want pattern env args; do
  status=0 why=
  out=$(cd "$src" && eval "env $env make --no-print-directory BUILD=\"$build\" $args" 2>&1 </dev/null) || status=$?
  [ "$want" = ok ] && [ "$status" -ne 0 ] && why="exit status $status"
  [ "$want" = refused ] && { [ "$status" -ne 0 ] || why="exit status 0"; [ ! -e "$build" ] || why="$why; $build made"; }
  printf '%s\n' "$out" | grep -qF -- "$(eval "echo \"$pattern\"")" || why="$why; no '$pattern'"
  case $out in *"Input your number"*) why="$why; the tool started" ;; esac
  case $args in *board.img*) ! printf '%s\n' "$out" | grep -q '/norvask_mkimage ' || why="$why; board.img remade" ;; esac
  [ -z "$why" ] || { echo "FAIL: make $args ($env): $why"; printf '%s\n' "$out" | sed 's/^/  | /'; failed=1; }
  rm -rf "$build"
done <<'ROWS'
refused|IMAGE=$tmp/missing.img is not an existing file||run IMAGE="$tmp/missing.img"
refused|IMAGE=$tmp/no/dir.img is not an existing file||run IMAGE="$tmp/no/dir.img"
refused|IMAGE=$tmp is not an existing file||run IMAGE="$tmp"
refused|IMAGE is empty||run IMAGE=
refused|IMAGE=$tmp/env.img is not an existing file|IMAGE="$tmp/env.img"|run
refused|is not an existing file||run IMAGE="$tmp/missing.img" FAMILY=1
ok|norvask_oem_tool -f '$tmp/board.img'||-n run IMAGE="$tmp/board.img"
ok|norvask_mkimage --family '0' --phy 'inner' '$build/demo.img'||-n run
ok|norvask_mkimage --family '1' --phy 'copper' '$build/demo-1-copper.img'||-n run FAMILY=1
ok|norvask_oem_tool -f '$build/demo-0-yt.img'||-n run PHY=yt
ROWS
for p in "$tmp/missing.img" "$tmp/no" "$tmp/env.img"; do [ ! -e "$p" ] || { echo "FAIL: $p was created"; failed=1; }; done
exit $failed
