#!/usr/bin/env bash
# Starts the program on a catalogue folder, creating an empty catalogue there
# first when the folder holds none. The program's working directory is the
# catalogue folder: it takes its tables and its settings file from there.
#   scripts/run.sh BUILD_DIR [CATALOGUE_DIR]
# CATALOGUE_DIR defaults to tavo-url-manager under the XDG data directory.
set -euo pipefail
build=$(cd "$1" && pwd)
dir=${2:-${XDG_DATA_HOME:-$HOME/.local/share}/tavo-url-manager}
mkdir -p "$dir"
program="$build/app/tavo-url-manager"
tool="$build/tools/xcetool"
if ! find "$dir" -maxdepth 1 -iname 'urls.dbf' | grep -q .; then
  if [ -x "$tool" ]; then
    "$tool" create-catalogue "$dir" || echo "run.sh: could not create a catalogue in $dir" >&2
  else
    echo "run.sh: $tool is not built; starting without a catalogue" >&2
  fi
fi
cd "$dir"
exec "$program"
