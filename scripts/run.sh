#!/usr/bin/env bash
# Starts the program built in BUILD_DIR on a catalogue folder, through the
# same launcher an installed program uses: the folder becomes the program's
# working directory, and gets an empty catalogue first when it holds none.
#   scripts/run.sh BUILD_DIR [CATALOGUE_DIR]
# CATALOGUE_DIR defaults to tavo-url-manager under the XDG data directory.
set -euo pipefail
launcher="$1/desktop/tavo-url-manager"
shift
if [ ! -x "$launcher" ]; then
  echo "run.sh: $launcher is missing: configure the build with the program" >&2
  exit 1
fi
exec "$launcher" "$@"
