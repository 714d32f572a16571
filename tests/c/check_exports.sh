#!/bin/sh
# The library's exported C symbols must be exactly the functions the C header declares: nothing
# missing, nothing extra (other C++ symbols are mangled and left to the C++ headers).
set -eu
library=$1
header=$2
case $library in
*.dll)  # the export table's names (the line after the table's heading up to the blank line)
  exported=$(x86_64-w64-mingw32-objdump -p "$library" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/{/\[/{/Table/d};p}' |
    awk 'NF {print $NF}' | grep -v '^_Z' | sort) ;;
*)
  exported=$(nm -D --defined-only "$library" | awk '$3 !~ /^_Z/ {print $3}' | sort) ;;
esac
# Every function declaration, with or without the export macro: one left unmarked shows up as
# declared but not exported.
declared=$(sed -n 's/^\(QXNET_C_API \)\{0,1\}[a-z_0-9]* [ *]*\(qxnet_[a-z_0-9]*\)(.*/\2/p' \
  "$header" | sort)
[ -n "$declared" ] || { echo "no declarations found in $header" >&2; exit 1; }
if [ "$exported" != "$declared" ]; then
  echo "exported and declared C symbols differ (< exported, > declared):" >&2
  printf '%s\n' "$exported" >/tmp/qxnet-exported.$$
  printf '%s\n' "$declared" | diff /tmp/qxnet-exported.$$ - >&2 || true
  rm -f /tmp/qxnet-exported.$$
  exit 1
fi
echo "$(printf '%s\n' "$declared" | wc -l) C functions exported, as declared"
