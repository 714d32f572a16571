#!/usr/bin/env bash
# Hand-made mutants: each one changes one piece of library code, rebuilds the suites named for it
# and runs them; a mutant counts as caught when some suite fails (or hangs past the time-out).
# A list holds one mutant a line, four fields separated by a TAB:
#   file <TAB> exact text <TAB> its replacement <TAB> ctest regular expression of the suites to run
# The exact text must stand once in the file, so a list goes stale loudly when the code moves.
# Usage: scripts/mutants.sh [list ...]   (default: every scripts/mutants/*.txt)
# Builds in build/mutants (Release); prints one row a mutant and a total.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=${QXNET_MUTANTS_BUILD:-build/mutants}
lists=("$@")
[ ${#lists[@]} -gt 0 ] || lists=(scripts/mutants/*.txt)

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXNET_BUILD_TOOLS=ON \
  ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} \
  >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" >/dev/null || { echo "the unmutated tree does not build" >&2; exit 1; }

backup=$(mktemp)
restore() { [ -n "${current:-}" ] && cp "$backup" "$current"; current=; }
trap 'restore; rm -f "$backup"' EXIT INT TERM

caught=0 missed=0 stale=0 n=0  # stale: the text moved, no suite matched, or the mutant does not build
for list in "${lists[@]}"; do
  while IFS=$'\t' read -r file before after regex; do
    [[ -z "$file" || "$file" == \#* ]] && continue
    n=$((n + 1))
    label="$list:$n $file"
    if [ ! -f "$file" ] || [ "$(grep -cF -- "$before" "$file")" != 1 ]; then
      printf 'STALE   %s: the text does not stand once: %s\n' "$label" "$before"
      stale=$((stale + 1))
      continue
    fi
    current=$file
    cp "$file" "$backup"
    BEFORE=$before AFTER=$after python3 - "$file" <<'PY'
import os, sys
path = sys.argv[1]
text = open(path, encoding="utf-8").read()
open(path, "w", encoding="utf-8").write(text.replace(os.environ["BEFORE"], os.environ["AFTER"], 1))
PY
    targets=$(cd "$dir" && ctest -N -R "$regex" | sed -nE 's/^ *Test +#[0-9]+: +([^ ]+).*/\1/p')
    if [ -z "$targets" ]; then
      printf 'STALE   %s: no suite matches %s\n' "$label" "$regex"
      stale=$((stale + 1))
      restore
      continue
    fi
    # shellcheck disable=SC2086
    if ! cmake --build "$dir" -j "$(nproc)" --target $targets >/dev/null 2>&1; then
      result=INVALID why="does not build"
    elif (cd "$dir" && ctest -R "$regex" -j "$(nproc)" --timeout 180 >/dev/null 2>&1); then
      result=MISSED why="every suite passed"
    else
      result=CAUGHT why="a suite failed"
    fi
    restore
    case $result in
      CAUGHT) caught=$((caught + 1)) ;;
      MISSED) missed=$((missed + 1)) ;;
      *) stale=$((stale + 1)) ;;
    esac
    printf '%-7s %s: %s -> %s (%s)\n' "$result" "$label" "$before" "$after" "$why"
  done <"$list"
done
# Rebuild the unmutated code so the tree is left as it was found.
cmake --build "$dir" -j "$(nproc)" >/dev/null 2>&1
echo "mutants: $n, caught $caught, missed $missed, stale $stale"
[ "$missed" = 0 ] && [ "$stale" = 0 ]
