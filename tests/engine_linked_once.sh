#!/usr/bin/env bash
# Each program links the engine once, as libxce.so: none of them defines a
# function or object of the engine's inside (the static core library).
#   engine_linked_once.sh CORE_ARCHIVE PROGRAM...
set -euo pipefail

core=$1
shift

# Strong definitions only: inline functions of the engine's published
# headers are weak and may be in any program that uses them.
strong() { nm --defined-only "$@" 2>/dev/null | awk '$2 ~ /^[TDBR]$/ { print $3 }' | sort -u; }

inside=$(mktemp)
trap 'rm -f "$inside"' EXIT
strong "$core" > "$inside"
[ -s "$inside" ] || { echo "no symbols read from $core" >&2; exit 1; }

status=0
for program in "$@"; do
  both=$(strong "$program" | comm -12 - "$inside")
  if [ -n "$both" ]; then
    echo "$program defines symbols of the engine's inside:" >&2
    echo "$both" | c++filt | head -20 >&2
    status=1
  else
    echo "$program: the engine only through libxce.so"
  fi
done
exit "$status"
