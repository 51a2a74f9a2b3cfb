#!/usr/bin/env bash
# The whole suite of a build folder, offscreen. A test that did not run
# (skipped or disabled) fails the run as a failed test would: every test's
# inputs are in the repository, so a test that does not run hides a fault.
#   scripts/test.sh BUILD_DIR [CTEST_ARGS...]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [CTEST_ARGS...]}
shift

log=$(mktemp)
trap 'rm -f "$log"' EXIT

status=0
(cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure "$@") | tee "$log" || status=$?

# ctest lists every test that did not run after its summary, one a line:
#   "<number> - <name> (Skipped)" or "... (Disabled)".
not_run=$(grep -cE '^[[:space:]]*[0-9]+ - .* \((Skipped|Disabled)\)$' "$log" || true)
if [ "$not_run" -gt 0 ]; then
  echo "error: $not_run test(s) did not run (listed above); every test must run" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
