#!/bin/sh
# `make run` never creates an image at a path the user named: a missing file, an empty name or a
# directory stops make before anything is built or the tool starts; an existing image goes to the
# tool as it is; demo images are made only under the build directory. Usage: make_run_check.sh SRC
set -u
src=$1 tmp=$(mktemp -d) failed=0
trap 'rm -rf "$tmp"' EXIT
build=$tmp/build
: >"$tmp/board.img"

# check ok|refused PATTERN [VAR=VALUE...] -- MAKE-ARGS...: make's status, its output holding
# PATTERN, the tool never started and, when refused, no build directory left.
check() {
  want=$1 pattern=$2 envs= status=0 why=
  shift 2
  while [ "$1" != -- ]; do envs="$envs $1"; shift; done
  shift
  out=$(cd "$src" && env $envs make --no-print-directory BUILD="$build" "$@" 2>&1 </dev/null) || status=$?
  [ "$want" = ok ] && [ "$status" -ne 0 ] && why="exit status $status"
  [ "$want" = refused ] && { [ "$status" -ne 0 ] || why="exit status 0"; [ ! -e "$build" ] || why="$why; $build made"; }
  printf '%s\n' "$out" | grep -qF -- "$pattern" || why="$why; no '$pattern'"
  case $out in *"Input your number"*) why="$why; the tool started" ;; esac
  [ -z "$why" ] || { echo "FAIL: make $* ($envs): $why"; printf '%s\n' "$out" | sed 's/^/  | /'; failed=1; }
  rm -rf "$build"
}

check refused "IMAGE=$tmp/missing.img is not an existing file" -- run IMAGE="$tmp/missing.img"
check refused "IMAGE=$tmp/no/dir.img is not an existing file" -- run IMAGE="$tmp/no/dir.img"
check refused "IMAGE=$tmp is not an existing file" -- run IMAGE="$tmp"
check refused "IMAGE is empty" -- run IMAGE=
check refused "IMAGE=$tmp/env.img is not an existing file" IMAGE="$tmp/env.img" -- run
check refused "is not an existing file" -- run IMAGE="$tmp/missing.img" FAMILY=1
check ok "norvask_oem_tool -f '$tmp/board.img'" -- -n run IMAGE="$tmp/board.img"
check ok "norvask_mkimage --family '0' --phy 'inner' '$build/demo.img'" -- -n run
check ok "norvask_mkimage --family '1' --phy 'copper' '$build/demo-1-copper.img'" -- -n run FAMILY=1
check ok "norvask_oem_tool -f '$build/demo-0-yt.img'" -- -n run PHY=yt
for p in "$tmp/missing.img" "$tmp/no" "$tmp/env.img"; do
  [ ! -e "$p" ] || { echo "FAIL: $p was created"; failed=1; }
done
# An existing image is never remade by the image maker.
if (cd "$src" && make --no-print-directory -n run BUILD="$build" IMAGE="$tmp/board.img" 2>&1) | grep -q '/norvask_mkimage '; then
  echo "FAIL: make run IMAGE= runs the image maker"; failed=1
fi
exit $failed
