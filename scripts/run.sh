#!/usr/bin/env bash
# Starts the program on a catalogue folder, creating an empty catalogue there
# first when the folder holds none.
#   scripts/run.sh BUILD_DIR [CATALOGUE_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
dir=${2:-${XDG_DATA_HOME:-$HOME/.local/share}/tavo-url-manager}
mkdir -p "$dir"
tool="$build/tools/xcetool"
if ! ls "$dir" | grep -qi '^urls\.dbf$'; then
  "$tool" create-catalogue "$dir"
fi
cd "$dir"
if [ -x "$build/app/tavo-url-manager" ]; then
  exec "$build/app/tavo-url-manager"
fi
exec "$tool" info urls.DBF
